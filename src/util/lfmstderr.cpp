#include "util/lfmstderr.h"

#include <atomic>
#include <mutex>
#include <new>

#include "platform/lfmplatform.h"
#include "util/lfmclock.h"
#include "util/lfmtimefuncs.h"

namespace {

std::atomic<std::FILE*> g_stream{nullptr};

// Serialises lines from concurrent threads; a leaf lock, nothing is called
// while it is held. Never destroyed, like the stream, and built in static
// storage: the lines of catch-all handlers must get out even when memory
// has run out.
std::mutex& OutputMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* m = new (storage) std::mutex;
  return *m;
}

std::FILE* Stream() {
  std::FILE* f = g_stream.load(std::memory_order_acquire);
  return f ? f : stderr;
}

}  // namespace

std::string lfmStdErr::TimeStamp() {
  std::tm tm{};
  if (!lfmPlatform::Current()->LocalTime(lfmClock::Now(), &tm))
    return "Jan-01-1970 00:00:00: ";
  char buf[64];
  const char* month =
      (tm.tm_mon >= 0 && tm.tm_mon < 12) ? lfmTimeFuncs::MonthNames()[tm.tm_mon + 1] : "Jan";
  std::snprintf(buf, sizeof buf, "%s-%02d-%04d %02d:%02d:%02d: ", month, tm.tm_mday,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void lfmStdErr::WriteLine(const char* text) noexcept {
  try {
    std::lock_guard<std::mutex> lock(OutputMutex());
    std::FILE* f = Stream();
    std::fputs(text ? text : "", f);
    std::fputc('\n', f);
    std::fflush(f);
  } catch (...) {
  }
}

void lfmStdErr::WriteFallback(const std::string& text) noexcept {
  try {
    std::string line = TimeStamp();
    line += "####\n";
    line += text;
    std::lock_guard<std::mutex> lock(OutputMutex());
    std::FILE* f = Stream();
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fflush(f);
  } catch (...) {
  }
}

void lfmStdErr::SetStreamForTest(std::FILE* stream) noexcept {
  g_stream.store(stream, std::memory_order_release);
}
