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
#include <string>
#include <vector>

class lfmLogFileRepair {
 public:
  struct Result {
    bool taken = false;    // opened and held for repair (no live writer)
    int64_t size = -1;     // its length afterwards; -1 when not taken
    uint64_t padding = 0;  // NUL bytes cut from its end
    uint64_t torn = 0;     // bytes of an incomplete last line cut
  };

  // Cuts the file's trailing NUL padding and then an incomplete last line
  // (everything after its last "\n"); a file that was cut is reported with
  // MESS_LOG_FILE_REPAIRED. A whole file is only read at its last byte.
  static Result Repair(const std::string& path);

  // Repairs every file of `directory` whose name ends with one of
  // `extensions` (each with its dot); returns how many were cut.
  static int RepairDirectory(const std::string& directory,
                             const std::vector<std::string>& extensions);
};
