#include "util/whexception.h"

#include <cstring>

whException::whException(const char* className, const char* methodName, const char* sourceFile,
                         int32_t line, int32_t code, const char* text) {
  std::string message = text ? text : "";
  if (message.size() > kExceptionTextMax)
    message.resize(kExceptionTextMax);
  data_ = std::make_shared<const Data>(
      Data{line, sourceFile ? sourceFile : "", whMethodId(className, methodName), message, code});
}

namespace {

bool IsFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLength(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}
bool IsIntConversion(char c) {
  return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o' || c == 'c';
}

}  // namespace

std::string whFormatArgs(const char* format, std::initializer_list<whFormatArg> args) {
  std::string out;
  if (!format)
    return out;
  const whFormatArg* next = args.begin();
  const char* p = format;
  while (*p && out.size() < kExceptionTextMax) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    // Flags, width and precision are kept; '*' is not supported and printed as is.
    std::string conversion = "%";
    while (IsFlag(*p))
      conversion += *p++;
    while (IsDigit(*p))
      conversion += *p++;
    if (*p == '.') {
      conversion += *p++;
      while (IsDigit(*p))
        conversion += *p++;
    }
    while (IsLength(*p))
      ++p;
    char conv = *p;
    if (conv == '\0') {  // a lone '%' at the end
      out.append(start);
      break;
    }
    ++p;
    if (conv != 's' && !IsIntConversion(conv)) {  // unknown conversion: print it verbatim
      out.append(start, p);
      continue;
    }
    char buf[kExceptionTextMax + 1];
    if (next == args.end()) {
      std::snprintf(buf, sizeof buf, (conversion + "s").c_str(), "(null)");
    } else if (!next->isInt) {
      std::snprintf(buf, sizeof buf, (conversion + "s").c_str(), next++->s);
    } else if (conv == 'c') {
      std::snprintf(buf, sizeof buf, (conversion + "c").c_str(), static_cast<int>(next++->i));
    } else {
      std::snprintf(buf, sizeof buf, (conversion + "ll" + (conv == 's' ? 'd' : conv)).c_str(),
                    next++->i);
    }
    out += buf;
  }
  if (out.size() > kExceptionTextMax)
    out.resize(kExceptionTextMax);
  return out;
}
