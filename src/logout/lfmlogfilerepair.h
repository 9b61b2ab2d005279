#pragma once
// Start-up repair of log files that an earlier run left unfinished: a run
// killed with a memory-mapped file open leaves the file's reservation as
// NUL padding after its data, and one killed (or cut off by the system)
// while a line was going out can leave that line incomplete. A later run
// that opened such a file would write its lines after the damage, and a
// reader would meet NULs or a line merged from two.
//
// Repair works only on files no live process is writing: every log file
// the module writes is marked for as long as it is open (see
// lfmPlatform::MarkWriting), and a marked file is left alone.

#include <cstdint>
#include <functional>
#include <string>

class lfmLogFileRepair {
 public:
  enum State {
    kNotOpened,  // could not be read
    kInUse,      // a live process is writing it: left alone
    kExamined,   // read, and cut where it needed it
  };
  struct Result {
    State state = kNotOpened;
    int64_t size = -1;     // its length afterwards; -1 when not examined
    uint64_t padding = 0;  // NUL bytes cut from its end
    uint64_t torn = 0;     // bytes of an incomplete last line (or header) cut
  };

  // The longest incomplete last line that is cut. A longer run of bytes
  // without a line end is no log line of ours and is kept.
  static constexpr int64_t kMaxTornLine = 1 << 20;

  // Cuts the file's trailing NUL padding and then an incomplete last line
  // (everything after its last "\n"); when what is left holds nothing but
  // an unfinished header, that goes too, so that the next open writes the
  // header again. A cut is reported with MESS_LOG_FILE_REPAIRED. A whole
  // file is only opened for reading, at its last byte. Where the file
  // system cannot tell whether a live process writes the file, it is
  // repaired only `withoutLock`.
  static Result Repair(const std::string& path, bool withoutLock = false);

  // Repairs every file of `directory` whose name ends with `extension`
  // (with its dot) and, when `ours` is given, that it accepts (the directory
  // may hold other programs' files); returns how many were cut.
  static int RepairDirectory(const std::string& directory, const std::string& extension,
                             const std::function<bool(const std::string& name)>& ours = nullptr);

  // Calls `visit` with the path and the name of every file (not directory)
  // of `directory` whose name ends with `extension` (with its dot).
  static void ForEachFile(
      const std::string& directory, const std::string& extension,
      const std::function<void(const std::string& path, const std::string& name)>& visit);

  // Whether `name` is one the log output gives its files with the
  // configured prefix: "<prefix>...", "<key>_<prefix>..." of split hosted
  // files, "kyr-..." and "<key>-kyr-..." of the hosted service model.
  static bool IsLogFileName(const std::string& name, const std::string& prefix);
};
