#pragma once
// Reads a site map file: a text file of "#Key: value" header lines and
// comma-separated data lines in the column order of the "Fields" header,
// with a line count and an MD5 checksum of the data lines in its header.
// A site map comes from elsewhere: every line is capped in length and
// nothing in the file can make the reader allocate without bound.
//
// One reader per load, used by one thread: Open, ScanFile, CheckFile,
// Reset, Read into the map's standby half, CheckFile again, Close. Each
// pass (ScanFile, Read) starts from the top of the file and recounts the
// data lines, the digest and the header values.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lfmplatform.h"
#include "sitemap/tssiteparammap.h"

class lfmMAC;
class tsSiteParamMapController;
struct tsSiteParamRecord;

class tsSiteMapReader {
 public:
  // Result codes.
  enum : int32_t {
    kOk = 0,
    kEndOfFile = 1,  // internal to the line loop
    kCannotOpen = 4500,
    kCannotRewind = 4501,
    kEmptyFile = 4502,
    kNoCheckSum = 4503,
    kInvalidCheckSum = 4504,
    kWrongLength = 4505,
    kWrongVersion = 4506,  // reserved
    kOldDate = 4507,       // reserved
    kNoFields = 4508,
    kValueRejected = 4509,
    kCancelled = 4510,
    kLineTooLong = 4511,
  };
  // A line (without its terminator) longer than this rejects the file.
  static constexpr size_t kMaxLineLength = 64 * 1024;
  // Column names beyond this many in "Fields" are ignored, and so are the
  // values of a data line beyond kMaxValues.
  static constexpr size_t kMaxFields = 30;
  static constexpr size_t kMaxValues = 55;
  // Lines (ScanFile) or records (Read) between two sleeps and cancel tests.
  static constexpr int64_t kBatchLines = 100;

  // Returns true when the load should stop.
  using CancelFn = std::function<bool()>;

  tsSiteMapReader();
  ~tsSiteMapReader();
  tsSiteMapReader(const tsSiteMapReader&) = delete;
  tsSiteMapReader& operator=(const tsSiteMapReader&) = delete;

  // The text of a result code for messages ("Empty File", ...); empty for
  // codes without one.
  static const char* ResultText(int32_t code);

  // Opens `path` for reading: 0 or kCannotOpen. Closes a file opened before.
  int32_t Open(const std::string& path);
  // Reads the whole file from the top: header values, the count and digest
  // of the data lines. Sleeps `sleepMs` (if positive) and asks `cancel`
  // (if given) after every kBatchLines lines. 0, or the first error.
  // Without `digest` the data lines are only counted (Digest() stays
  // empty).
  int32_t ScanFile(int32_t sleepMs, const CancelFn& cancel, bool digest = true);
  // Checks what the last pass found, in this order: no data lines
  // (kEmptyFile), no checksum (kNoCheckSum), with `verify` a checksum other
  // than the digest, ignoring case (kInvalidCheckSum), a line count other
  // than the data lines counted (kWrongLength); else 0.
  int32_t CheckFile(bool verify) const;
  // Rewinds to the top: 0 or kCannotRewind.
  int32_t Reset();
  // Reads the file from the top into the standby half of `map`, under the
  // map's controller lock: each data line becomes a record; records with
  // neither KYR ID nor tag id are skipped. Sleeps and asks `cancel` after
  // every kBatchLines records. At the end the standby half's checksum is
  // the digest. 0, or the first error.
  int32_t Read(tsSiteParamMapController& map, int32_t sleepMs, const CancelFn& cancel);
  // Closes the file: 0, or kCannotOpen when it could not be closed.
  int32_t Close();

  // Results of the last pass.
  // The MD5 of the data lines as 32 upper-case hexadecimal digits.
  const std::string& Digest() const { return digest_; }
  int64_t DataLines() const { return dataLines_; }
  const std::string& Application() const { return application_; }
  const std::string& Version() const { return version_; }
  const std::string& Date() const { return date_; }
  const std::string& Fields() const { return fields_; }
  const std::string& FileLength() const { return fileLength_; }
  const std::string& LineCount() const { return lineCount_; }
  const std::string& CheckSum() const { return checkSum_; }
  // Column of each "Fields" position (-1: not a site map column).
  const std::vector<int32_t>& FieldColumns() const { return fieldColumns_; }

 private:
  // Called for each data line of a pass; returns 0 to go on.
  using DataLineFn = std::function<int32_t(std::string_view)>;

  // `digest`: compute the digest of the data lines (else Digest() is left
  // empty).
  int32_t Pass(int32_t sleepMs, const CancelFn& cancel, bool countRecords, const DataLineFn& onData,
               bool digest);
  void StartPass();
  // Next line into text_ (terminator removed; valid until the next call):
  // 0, kEndOfFile, kLineTooLong
  // or kCannotOpen for a read error (the file cannot be read).
  int32_t NextLine();
  void Header(std::string_view line);
  // Splits a data line into the columns of the "Fields" header (views
  // into `line`, values as tsSiteParamRecord::Set stores them).
  int32_t ParseRecord(std::string_view line,
                      std::string_view columns[tsSiteParamRecord::kColumnCount]);

  lfmFileHandle handle_ = kInvalidFileHandle;
  std::vector<char> buffer_;
  size_t bufferPos_ = 0;
  size_t bufferEnd_ = 0;
  bool eof_ = false;
  std::string line_;       // a line that spans two reads
  std::string_view text_;  // the current line: in the buffer or in line_

  std::unique_ptr<lfmMAC> mac_;
  std::string digest_;
  int64_t dataLines_ = 0;
  std::string application_, version_, date_, fields_, fileLength_, lineCount_, checkSum_;
  std::vector<int32_t> fieldColumns_;
  bool haveFields_ = false;
};
