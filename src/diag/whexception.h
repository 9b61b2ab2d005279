#pragma once
// The system's one exception type. Thrown by value, caught by reference, and
// deliberately not derived from std::exception: catch sites name it.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

// Names a method: class name (empty for free functions) and method name with
// its parameter list or a tag, e.g. ("lfmParseMapPool", "GetParseMap()").
class whMethodId {
 public:
  whMethodId(const char* className, const char* methodName)
      : class_(className ? className : ""), method_(methodName ? methodName : "") {}
  virtual ~whMethodId() = default;
  whMethodId(const whMethodId&) = default;
  whMethodId& operator=(const whMethodId&) = default;

  const std::string& ClassName() const { return class_; }
  const std::string& MethodName() const { return method_; }

 private:
  std::string class_;
  std::string method_;
};

// A message template: an exception code and a printf-style format.
// Immutable; modules keep theirs as static constants.
class whExceptionText {
 public:
  constexpr whExceptionText(int32_t code, const char* format) : code_(code), format_(format) {}
  constexpr int32_t Code() const { return code_; }
  constexpr const char* Format() const { return format_; }

 private:
  int32_t code_;
  const char* format_;
};

// Longest formatted exception message; longer output is cut.
constexpr size_t kExceptionTextMax = 2047;

class whException {
 public:
  // From a literal: a code and a finished sentence.
  whException(const char* className, const char* methodName, const char* sourceFile, int32_t line,
              int32_t code, const char* text);

  // From a template and its arguments (plain character strings and integers).
  template <typename... Args>
  whException(const char* className, const char* methodName, const char* sourceFile, int32_t line,
              const whExceptionText& tmpl, Args... args)
      : whException(className, methodName, sourceFile, line, tmpl.Code(),
                    Format(tmpl.Format(), args...).c_str()) {}

  virtual ~whException() = default;
  whException(const whException&) = default;
  whException& operator=(const whException&) = default;

  int32_t Line() const { return data_->line; }
  const std::string& SourceFile() const { return data_->sourceFile; }
  const std::string& SourceClassName() const { return data_->method.ClassName(); }
  const std::string& SourceMethodName() const { return data_->method.MethodName(); }
  const whMethodId& SourceMethod() const { return data_->method; }
  const std::string& Message() const { return data_->message; }
  int32_t Code() const { return data_->code; }

 private:
  template <typename... Args>
  static std::string Format(const char* format, Args... args) {
    static_assert(((std::is_integral<Args>::value || std::is_same<Args, const char*>::value ||
                    std::is_same<Args, char*>::value) &&
                   ...),
                  "exception template arguments are plain strings or integers");
    return FormatChecked(format, Widen(args)...);
  }
  // Promotes integers to long long so that "%d" and "%ld" placeholders alike
  // are fed a value of a known width; strings pass through (null as "(null)").
  template <typename T>
  static auto Widen(T v) {
    if constexpr (std::is_integral<T>::value) {
      return static_cast<long long>(v);
    } else {
      return static_cast<const char*>(v ? v : "(null)");
    }
  }
  template <typename... Args>
  static std::string FormatChecked(const char* format, Args... args);

  // Shared, immutable: copying an exception never copies its text.
  struct Data {
    int32_t line;
    std::string sourceFile;
    whMethodId method;
    std::string message;
    int32_t code;
  };
  std::shared_ptr<const Data> data_;
};

// Formats `format` with already widened arguments, cut to 2047 characters.
// Each conversion takes the next argument by its real type: an integer
// placeholder is fed through a "ll" conversion whatever length modifier the
// template wrote, a "%s" given an integer prints the number, an integer
// placeholder given a string prints the string, and a missing argument prints
// "(null)". A template can therefore never read an argument of the wrong type.
std::string whFormatWidened(const char* format, const long long* ints, const char* const* strs,
                            const bool* isInt, size_t count);

template <typename... Args>
std::string whException::FormatChecked(const char* format, Args... args) {
  constexpr size_t n = sizeof...(Args);
  long long ints[n + 1] = {};
  const char* strs[n + 1] = {};
  bool isInt[n + 1] = {};
  size_t i = 0;
  auto put = [&](auto v) {
    if constexpr (std::is_same<decltype(v), long long>::value) {
      ints[i] = v;
      isInt[i] = true;
    } else {
      strs[i] = v;
    }
    ++i;
  };
  (put(args), ...);
  (void)put;
  return whFormatWidened(format, ints, strs, isInt, n);
}
