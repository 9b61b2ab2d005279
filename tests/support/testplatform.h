#pragma once
// A platform wrapper for tests: its own environment and named values, no
// real sleeping, and switches that make single operations fail.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/lfmplatform.h"

class TestPlatform : public lfmPlatformWrapper {
 public:
  // Installs itself; the destructor restores the default.
  TestPlatform();
  ~TestPlatform() override;

  // The environment seen by the system: only what is set here.
  void SetEnv(const std::string& name, const std::string& value);
  void UnsetEnv(const std::string& name);
  void SetNamedValue(const std::string& name, const std::string& value);

  // Failure switches: an error number to return (0 = pass through).
  std::atomic<int> renameError{0};
  std::atomic<int> removeError{0};
  std::atomic<int> mkdirError{0};
  // Low-level writes fail with this error (0 = pass through), or write at
  // most `shortWriteMax` bytes per call (0 = no limit).
  std::atomic<int> writeError{0};
  std::atomic<size_t> shortWriteMax{0};
  std::atomic<uint64_t> writeCalls{0};
  // While set, low-level writes wait (really sleeping) until it is cleared;
  // `heldWrites` counts the writes that waited.
  std::atomic<bool> holdWrites{false};
  std::atomic<int> heldWrites{0};
  // Mapped views fail with this error (0 = pass through) once
  // `mapViewsBeforeFailure` more views have been granted.
  std::atomic<int> mapViewError{0};
  std::atomic<int> mapViewsBeforeFailure{0};
  // Streams opened for writing fail with this error (0 = pass through).
  std::atomic<int> openStreamWriteError{0};
  // A file system without advisory locks: TakeForRepair cannot tell.
  std::atomic<bool> noFileLocks{false};
  // Streams on paths ending in `suffix` are opened on `target` instead
  // (for example "/dev/full" for a full disk).
  void RedirectStreams(const std::string& suffix, const std::string& target);
  // Real sleeping is skipped; the total asked for is counted.
  std::atomic<uint64_t> sleptMs{0};
  bool realSleep = false;

  // Directories the system asked to create, in order.
  std::vector<std::string> Mkdirs();

  // The system log: registrations and events are recorded, not sent.
  std::atomic<int> eventSourceRegistrations{0};
  std::string RegisteredMessageFile();
  std::vector<lfmSystemEvent> Events();
  // The host name the system sees (empty: the lookup fails).
  void SetHostName(const std::string& name);

  bool GetEnvironment(const std::string& name, std::string* value) override;
  bool GetNamedValue(const std::string& name, std::string* value) override;
  int64_t Write(lfmFileHandle h, const void* data, size_t n, int* err) override;
  void* MapView(lfmFileHandle h, uint64_t offset, size_t length, int* err) override;
  bool TakeForRepair(lfmFileHandle h, bool* inUse) override;
  int Rename(const std::string& from, const std::string& to, bool replace) override;
  int Remove(const std::string& path) override;
  int MakeDirectory(const std::string& path) override;
  std::FILE* OpenStream(const std::string& path, const char* mode, int* err) override;
  void SleepMs(uint32_t ms) override;
  bool SystemLogRegister(const std::string& source, const std::string& messageFile,
                         uint32_t categoryCount) override;
  bool SystemLogReport(const std::string& source, const lfmSystemEvent& event) override;
  std::string HostName() override;

 private:
  std::mutex mu_;
  std::map<std::string, std::string> env_;
  std::map<std::string, std::string> named_;
  std::vector<std::string> mkdirs_;
  std::string messageFile_;
  std::string redirectSuffix_;
  std::string redirectTarget_;
  std::vector<lfmSystemEvent> events_;
  std::string hostName_ = "testhost";
};
