#pragma once
// Hit counting: one counter per file key (a KYR ID, "NonHosted" or
// "StandardLag") and one global counter of requests, each in two banks.
// Request threads count into the active bank; the hit-count heartbeat
// swaps the banks and writes the idle one as comma-separated lines to a
// hit-count file ("hclf"), which is rotated by flushes or by size.
//
// Process-wide, static operations only. Thread-safe: counting never waits
// for a flush's file I/O.

#include <cstdint>
#include <ctime>
#include <string>

class lfmRequestData;
struct lfmLogStream;
struct tsSiteParams;

class lfmHitCountControllerPool {
 public:
  // The header line of every hit-count file, "\r\n" included.
  static const char* const kHeader;

  // Reads the settings, makes the directory, clears every counter and
  // notes now as the interval time. Throws whException.
  static void Initialize();
  // Flushes what was counted (now, the last interval time), closes and
  // finishes the file, forgets every counter. Never throws.
  static void ShutDown();
  static bool IsInitialized();
  // The directory the files go to: "hitcountlogfiledir", or the root's log
  // directory when that could not be made. Empty before Initialize.
  static std::string Directory();

  // Counts one logged hit at `hitTime` for the site of `request` (the file
  // key the log writer uses, from `site`); a hit whose log stream
  // lfmLogStream::Admit refuses is not counted (and counted as refused). Throws whException when
  // the pool is not initialised.
  static void CountHit(lfmRequestData& request, const tsSiteParams& site, time_t hitTime);
  // The same for a hit whose line went to `stream` (lfmLogRecord hands it
  // over, so that the stream is worked out once per hit).
  static void CountHit(const lfmLogStream& stream, time_t hitTime);
  // Counts one request at `t` in the global counter. Throws likewise.
  static void CountRequest(time_t t);

  // Swaps the banks and writes the idle one with the flush time and the
  // interval time: the heartbeat's flush. Never throws (failures are
  // reported; counts that could not be written are kept for the next
  // flush).
  static void Flush(time_t flushTime, time_t intervalTime);
  // The start of the current hour as the heartbeat publishes it; ShutDown
  // writes the last interval with it.
  static void SetIntervalTime(time_t intervalTime);

  // The next entry number (1 after start-up); for tests.
  static uint64_t NextEntryForTest();
  // Replaces the size limit ("hitcountmaxsize" in bytes) of an initialised
  // pool; for tests.
  static void SetMaxBytesForTest(uint64_t bytes);
};
