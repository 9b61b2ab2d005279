#include "sitemap/tssitemapreader.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "sitemap/tssiteparammap.h"
#include "util/lfmmac.h"
#include "util/lfmutility.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

// Whole text a non-negative decimal number equal to `n`.
bool IsDecimal(const std::string& text, int64_t n) {
  if (text.empty() || text.size() > 18)
    return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
  }
  return v == n;
}

// The records to make room for when reading a file whose "LineCount" is
// `lineCount`: that count, but never more lines than a file of the open
// file's size can hold (one character and a line end each), so that a
// wrong count costs no more than the file itself could.
size_t ReserveFor(const std::string& lineCount, lfmFileHandle handle) {
  if (lineCount.empty() || lineCount.size() > 18)
    return 0;
  int64_t n = 0;
  for (char c : lineCount) {
    if (c < '0' || c > '9')
      return 0;
    n = n * 10 + (c - '0');
  }
  int err = 0;
  int64_t size = lfmPlatform::Current()->Size(handle, &err);
  return size > 0 ? static_cast<size_t>(std::min(n, (size + 1) / 2)) : 0;
}

}  // namespace

tsSiteMapReader::tsSiteMapReader() : buffer_(kReadChunk) {}

tsSiteMapReader::~tsSiteMapReader() {
  Close();
}

const char* tsSiteMapReader::ResultText(int32_t code) {
  switch (code) {
    case kEmptyFile:
      return "Empty File";
    case kNoCheckSum:
      return "No Checksum";
    case kInvalidCheckSum:
      return "Invalid Checksum";
    case kWrongLength:
      return "Wrong Length";
    case kWrongVersion:
      return "Wrong Version";
    case kOldDate:
      return "Old Date";
    case kLineTooLong:
      return "Line Too Long";
    default:
      return "";
  }
}

int32_t tsSiteMapReader::Open(const std::string& path) {
  Close();
  int err = 0;
  handle_ = lfmPlatform::Current()->Open(path, kOpenReadOnly, kOpenPermission, &err);
  return handle_ == kInvalidFileHandle ? kCannotOpen : kOk;
}

int32_t tsSiteMapReader::Close() {
  if (handle_ == kInvalidFileHandle)
    return kOk;
  int err = 0;
  bool closed = lfmPlatform::Current()->Close(handle_, &err);
  handle_ = kInvalidFileHandle;
  return closed ? kOk : kCannotOpen;
}

int32_t tsSiteMapReader::Reset() {
  if (handle_ == kInvalidFileHandle)
    return kCannotRewind;
  int err = 0;
  if (lfmPlatform::Current()->Seek(handle_, 0, 0, &err) != 0)
    return kCannotRewind;
  bufferPos_ = bufferEnd_ = 0;
  eof_ = false;
  return kOk;
}

void tsSiteMapReader::StartPass() {
  mac_.reset(new lfmMAC());
  digest_.clear();
  dataLines_ = 0;
  application_.clear();
  version_.clear();
  date_.clear();
  fields_.clear();
  fileLength_.clear();
  lineCount_.clear();
  checkSum_.clear();
  fieldColumns_.clear();
  haveFields_ = false;
}

int32_t tsSiteMapReader::NextLine() {
  line_.clear();
  bool any = false;
  for (;;) {
    if (bufferPos_ == bufferEnd_) {
      if (eof_)
        break;
      int err = 0;
      int64_t n = lfmPlatform::Current()->Read(handle_, buffer_.data(), buffer_.size(), &err);
      if (n < 0)
        return kCannotOpen;
      if (n == 0) {
        eof_ = true;
        continue;
      }
      bufferPos_ = 0;
      bufferEnd_ = static_cast<size_t>(n);
    }
    const char* start = buffer_.data() + bufferPos_;
    const void* nl = std::memchr(start, '\n', bufferEnd_ - bufferPos_);
    size_t take = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - start)
                                : bufferEnd_ - bufferPos_;
    // One byte of slack for the CR of a CR LF line end.
    if (line_.size() + take > kMaxLineLength + 1)
      return kLineTooLong;
    bufferPos_ += take;
    if (nl != nullptr && !any) {
      // The whole line is in the buffer: use it where it is.
      ++bufferPos_;
      text_ = std::string_view(start, take);
      any = true;
      break;
    }
    line_.append(start, take);
    text_ = line_;
    any = true;
    if (nl != nullptr) {
      ++bufferPos_;
      break;
    }
  }
  if (!any)
    return kEndOfFile;
  if (!text_.empty() && text_.back() == '\r')
    text_.remove_suffix(1);
  return text_.size() > kMaxLineLength ? kLineTooLong : kOk;
}

void tsSiteMapReader::Header(std::string_view text) {
  text.remove_prefix(1);  // '#'
  size_t colon = text.find(':');
  if (colon == std::string_view::npos)
    return;
  std::string_view key = Trim(text.substr(0, colon));
  std::string_view value = text.substr(colon + 1);
  size_t second = value.find(':');
  if (second != std::string_view::npos)
    value = value.substr(0, second);
  value = Trim(value);
  // The header keys and where their values go; others are ignored.
  const std::pair<const char*, std::string*> keys[] = {{"application", &application_},
                                                       {"version", &version_},
                                                       {"date", &date_},
                                                       {"filelength", &fileLength_},
                                                       {"linecount", &lineCount_},
                                                       {"checksum", &checkSum_},
                                                       {"fields", &fields_}};
  std::string* target = nullptr;
  for (const auto& k : keys)
    if (lfmUtility::EqualsNoCase(key, k.first))
      target = k.second;
  if (target == nullptr)
    return;
  target->assign(value.data(), value.size());
  if (target != &fields_)
    return;

  // Positions of the columns; a column named twice keeps its first place.
  fieldColumns_.clear();
  haveFields_ = false;
  bool seen[tsSiteParamRecord::kColumnCount] = {};
  size_t start = 0;
  while (start <= value.size() && fieldColumns_.size() < kMaxFields) {
    size_t comma = value.find(',', start);
    if (comma == std::string_view::npos)
      comma = value.size();
    std::string_view name = Trim(value.substr(start, comma - start));
    int32_t column = tsSiteParamRecord::ColumnIndex(name);
    if (column >= 0 && seen[column])
      column = -1;
    else if (column >= 0)
      seen[column] = true;
    fieldColumns_.push_back(column);
    if (!name.empty())
      haveFields_ = true;
    start = comma + 1;
  }
}

int32_t tsSiteMapReader::Pass(int32_t sleepMs, const CancelFn& cancel, bool countRecords,
                              const DataLineFn& onData, bool digest) {
  StartPass();
  int32_t rc = Reset();
  if (rc != kOk)
    return rc;
  int64_t lines = 0;
  for (;;) {
    rc = NextLine();
    if (rc == kEndOfFile)
      break;
    if (rc != kOk)
      return rc;
    if (text_.empty())
      continue;
    bool data = text_[0] != '#';
    if (data) {
      if (!haveFields_)
        return kNoFields;
      if (digest)
        mac_->Update(text_.data(), text_.size());
      ++dataLines_;
      if (onData && (rc = onData(text_)) != kOk)
        return rc;
    } else {
      Header(text_);
    }
    if (countRecords && !data)
      continue;
    if (++lines % kBatchLines == 0) {
      if (sleepMs > 0)
        lfmPlatform::Current()->SleepMs(static_cast<uint32_t>(sleepMs));
      if (cancel && cancel())
        return kCancelled;
    }
  }
  if (digest)
    digest_ = mac_->HexDigest();
  return kOk;
}

int32_t tsSiteMapReader::ScanFile(int32_t sleepMs, const CancelFn& cancel, bool digest) {
  return Pass(sleepMs, cancel, false, nullptr, digest);
}

int32_t tsSiteMapReader::CheckFile(bool verify) const {
  if (dataLines_ == 0)
    return kEmptyFile;
  if (checkSum_.empty())
    return kNoCheckSum;
  if (verify && !lfmUtility::EqualsNoCase(checkSum_, digest_))
    return kInvalidCheckSum;
  if (!IsDecimal(lineCount_, dataLines_))
    return kWrongLength;
  return kOk;
}

int32_t tsSiteMapReader::Read(tsSiteParamMapController& map, int32_t sleepMs,
                              const CancelFn& cancel) {
  tsSiteParamMapController::Fill fill(map);
  std::string_view columns[tsSiteParamRecord::kColumnCount];
  bool reserved = false;
  int32_t rc = Pass(
      sleepMs, cancel, true,
      [&](std::string_view line) {
        if (!reserved) {
          // The headers are read by now: size the indexes once.
          reserved = true;
          fill.Reserve(ReserveFor(lineCount_, handle_));
        }
        int32_t set = ParseRecord(line, columns);
        return set != kOk ? set : fill.Insert(columns);
      },
      true);
  if (rc == kOk)
    fill.SetCheckSum(digest_);
  return rc;
}

int32_t tsSiteMapReader::ParseRecord(std::string_view text,
                                     std::string_view columns[tsSiteParamRecord::kColumnCount]) {
  for (int32_t c = 0; c < tsSiteParamRecord::kColumnCount; ++c)
    columns[c] = std::string_view("", 0);
  // A value holding a NUL (a damaged file) counts as empty: the map stores
  // NUL-ended values, and a cut one could stand for another site.
  bool nul = std::memchr(text.data(), '\0', text.size()) != nullptr;
  const char* p = text.data();
  const char* end = p + text.size();
  size_t fields = std::min(fieldColumns_.size(), kMaxValues);
  for (size_t i = 0; i < fields; ++i) {
    const char* value = p;
    while (p != end && *p != ',')
      ++p;
    int32_t column = fieldColumns_[i];
    if (column >= 0) {
      std::string_view v(value, static_cast<size_t>(p - value));
      if (nul && v.find('\0') != std::string_view::npos)
        v = std::string_view("", 0);  // no text of a site holds a NUL
      columns[column] = tsSiteParamRecord::Normalize(column, v);
    }
    if (p == end)
      break;
    ++p;
  }
  return kOk;
}
