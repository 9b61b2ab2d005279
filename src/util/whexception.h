#pragma once
// The system's one exception type. Thrown by value, caught by reference, and
// deliberately not derived from std::exception: catch sites name it.

#include <cstdint>
#include <cstdio>
#include <initializer_list>
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

// One argument of a message template: an integer or a plain string.
struct whFormatArg {
  template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
  whFormatArg(T v) : isInt(true), i(static_cast<long long>(v)) {}  // NOLINT: implicit by design
  whFormatArg(const char* v) : s(v ? v : "(null)") {}              // NOLINT
  bool isInt = false;
  long long i = 0;
  const char* s = nullptr;
};

// Formats `format` with `args`, cut to 2047 characters. Each conversion takes
// the next argument by its real type: an integer placeholder is fed through a
// "ll" conversion whatever length modifier the template wrote, a "%s" given an
// integer prints the number, an integer placeholder given a string prints the
// string, and a missing argument prints "(null)". A template can therefore
// never read an argument of the wrong type.
std::string whFormatArgs(const char* format, std::initializer_list<whFormatArg> args);

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
                    whFormatArgs(tmpl.Format(), {whFormatArg(args)...}).c_str()) {}

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
