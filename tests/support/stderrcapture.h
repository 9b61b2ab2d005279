#pragma once
// Captures what the system writes to standard error for the life of the object.

#include <cstdio>
#include <string>

#include "util/lfmstderr.h"

class StdErrCapture {
 public:
  StdErrCapture() : file_(std::tmpfile()) { lfmStdErr::SetStreamForTest(file_); }
  ~StdErrCapture() {
    lfmStdErr::SetStreamForTest(nullptr);
    if (file_)
      std::fclose(file_);
  }
  StdErrCapture(const StdErrCapture&) = delete;
  StdErrCapture& operator=(const StdErrCapture&) = delete;

  std::string Text() const {
    std::string out;
    if (!file_)
      return out;
    std::fflush(file_);
    long end = std::ftell(file_);
    std::rewind(file_);
    out.resize(static_cast<size_t>(end > 0 ? end : 0));
    size_t n = std::fread(&out[0], 1, out.size(), file_);
    out.resize(n);
    std::fseek(file_, 0, SEEK_END);
    return out;
  }

 private:
  std::FILE* file_;
};
