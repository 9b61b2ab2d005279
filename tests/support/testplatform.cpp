#include "tests/support/testplatform.h"

#include <chrono>
#include <thread>

#include <cstring>

TestPlatform::TestPlatform() {
  lfmPlatform::Install(this);
}

TestPlatform::~TestPlatform() {
  lfmPlatform::Install(nullptr);
}

void TestPlatform::SetEnv(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  env_[name] = value;
}

void TestPlatform::UnsetEnv(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  env_.erase(name);
}

void TestPlatform::SetNamedValue(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  named_[name] = value;
}

std::vector<std::string> TestPlatform::Mkdirs() {
  std::lock_guard<std::mutex> lock(mu_);
  return mkdirs_;
}

bool TestPlatform::GetEnvironment(const std::string& name, std::string* value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = env_.find(name);
  if (it == env_.end())
    return false;
  *value = it->second;
  return true;
}

bool TestPlatform::GetNamedValue(const std::string& name, std::string* value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = named_.find(name);
  if (it == named_.end())
    return false;
  *value = it->second;
  return true;
}

bool TestPlatform::TakeForRepair(lfmFileHandle h, bool* inUse) {
  if (noFileLocks.load()) {
    *inUse = false;
    return false;
  }
  return lfmPlatformWrapper::TakeForRepair(h, inUse);
}

int TestPlatform::Rename(const std::string& from, const std::string& to, bool replace) {
  if (int e = renameError.load())
    return e;
  return lfmPlatformWrapper::Rename(from, to, replace);
}

void* TestPlatform::MapView(lfmFileHandle h, uint64_t offset, size_t length, int* err) {
  if (int e = mapViewError.load()) {
    if (mapViewsBeforeFailure.fetch_sub(1) <= 0) {
      mapViewsBeforeFailure.store(0);
      if (err)
        *err = e;
      return nullptr;
    }
  }
  return lfmPlatformWrapper::MapView(h, offset, length, err);
}

int TestPlatform::Remove(const std::string& path) {
  if (int e = removeError.load())
    return e;
  return lfmPlatformWrapper::Remove(path);
}

int TestPlatform::MakeDirectory(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    mkdirs_.push_back(path);
  }
  if (int e = mkdirError.load())
    return e;
  return lfmPlatformWrapper::MakeDirectory(path);
}

std::FILE* TestPlatform::OpenStream(const std::string& path, const char* mode, int* err) {
  int e = openStreamWriteError.load();
  if (e && mode && (std::strchr(mode, 'w') || std::strchr(mode, '+') || std::strchr(mode, 'a'))) {
    if (err)
      *err = e;
    return nullptr;
  }
  std::string target = path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!redirectSuffix_.empty() && path.size() >= redirectSuffix_.size() &&
        path.compare(path.size() - redirectSuffix_.size(), std::string::npos, redirectSuffix_) == 0)
      target = redirectTarget_;
  }
  return lfmPlatformWrapper::OpenStream(target, mode, err);
}

void TestPlatform::SleepMs(uint32_t ms) {
  sleptMs += ms;
  if (realSleep)
    lfmPlatformWrapper::SleepMs(ms);
}

std::string TestPlatform::RegisteredMessageFile() {
  std::lock_guard<std::mutex> lock(mu_);
  return messageFile_;
}

std::vector<lfmSystemEvent> TestPlatform::Events() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

void TestPlatform::SetHostName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  hostName_ = name;
}

bool TestPlatform::SystemLogRegister(const std::string&, const std::string& messageFile, uint32_t) {
  ++eventSourceRegistrations;
  std::lock_guard<std::mutex> lock(mu_);
  messageFile_ = messageFile;
  return false;
}

bool TestPlatform::SystemLogReport(const std::string&, const lfmSystemEvent& event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(event);
  return true;
}

std::string TestPlatform::HostName() {
  std::lock_guard<std::mutex> lock(mu_);
  return hostName_;
}

void TestPlatform::RedirectStreams(const std::string& suffix, const std::string& target) {
  std::lock_guard<std::mutex> lock(mu_);
  redirectSuffix_ = suffix;
  redirectTarget_ = target;
}

int64_t TestPlatform::Write(lfmFileHandle h, const void* data, size_t n, int* err) {
  ++writeCalls;
  if (holdWrites.load()) {
    ++heldWrites;
    while (holdWrites.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (int e = writeError.load()) {
    if (err)
      *err = e;
    return -1;
  }
  size_t limit = shortWriteMax.load();
  return lfmPlatformWrapper::Write(h, data, limit && n > limit ? limit : n, err);
}
