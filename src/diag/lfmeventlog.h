#pragma once
// The system destination of catalogue messages: the Windows event log, or
// the platform's system log, under the event source "KYR".

#include <cstdint>
#include <string>

#include "diag/lfmmessages.h"

class lfmEventLog {
 public:
  static constexpr const char* kSource = "KYR";
  static constexpr size_t kMaxArgs = 5;

  // Reports `m` unless its level is above `systemDebugLevel` (level 99 always
  // goes). The insertion strings are args[0..] up to the first null, at most
  // five. Registers the event source first when this process has not tried
  // yet. Thread-safe; never throws; a failed report is silent.
  static void Report(const lfmMessage& m, const char* const* args, size_t count,
                     int32_t systemDebugLevel) noexcept;

  // Registers the event source once per process, whatever the outcome; a
  // second call does nothing. Guarded by its own mutex.
  static void Register() noexcept;

  // The message file registered with the source: root, separator, "bin",
  // separator, "lfmeventmsg.dll"; empty when the root is unknown or the path
  // would not be shorter than 260 characters.
  static std::string MessageFilePath();

  // For tests only: lets the next report register again.
  static void ResetForTest();
};
