#pragma once
// The system's last-resort output: standard error. Used for the fixed lines
// of catch-all clauses, for reports that must not reach the audit file
// (a missing root), and whenever the audit file cannot be written.

#include <cstdio>
#include <string>

class lfmStdErr {
 public:
  // Writes `text` and an end of line, then flushes. Never throws.
  static void WriteLine(const char* text) noexcept;

  // The fallback writer: the local time as "Mon-DD-YYYY HH:MM:SS: ", the line
  // "####", the text, and an end of line. Never throws.
  static void WriteFallback(const std::string& text) noexcept;

  // The local time stamp used by the fallback writer and the audit file.
  static std::string TimeStamp();

  // For tests: sends all output to `stream` (null restores standard error).
  static void SetStreamForTest(std::FILE* stream) noexcept;
};
