// Feeds arbitrary bytes to the text parsers that see request input: query and
// cookie splitting, percent decoding, blank tests, date parsing, path parsing,
// the fixed-buffer string builder, rotation period names and message filling.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "diag/lfmmessages.h"
#include "logout/lfmlogrotationsettings.h"
#include "util/lfmpathname.h"
#include "util/lfmquickstring.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"
#include "util/whexception.h"

namespace {
class Sink : public lfmParamTarget {
 public:
  bool Offer(std::string_view name, std::string_view value) override {
    if (name.size() > lfmUtility::kMaxPartLength || value.size() > lfmUtility::kMaxPartLength)
      __builtin_trap();
    return (name.size() + value.size()) % 2 == 0;
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const char outer = static_cast<char>(data[0]);
  const char inner = static_cast<char>(data[1]);
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const char* c = text.c_str();  // cut at the first NUL, as C text is

  Sink sink;
  lfmString leftover;
  try {
    lfmUtility::ParseString(c, &sink, &leftover, outer, inner);
    lfmUtility::ParseString(c, &sink, &leftover, '&', '=');
  } catch (const whException&) {
  }

  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  size_t n = lfmUtility::PercentDecode(buf.data());
  if (n > text.size())
    __builtin_trap();
  lfmUtility::HasContent(text);
  lfmUtility::HasBlankOrLineEnd(text);
  lfmUtility::ReplaceBlanks(buf.data(), '+');
  try {
    lfmUtility::TailMatch(c, -1, c, -1);
  } catch (const whException&) {
  }
  lfmUtility::HasExtension(c, ".gif");

  int m, d, y;
  lfmTimeFuncs::ParseDate(c, &m, &d, &y);
  lfmTimeFuncs::GetDayNumber(c);

  // Setting texts and message arguments come from the configuration file and
  // from requests; neither may be read as a format.
  int32_t days = 0;
  lfmLogRotationSettings::ParsePeriod(text, &days);
  if (days < 1 || days > 30)
    __builtin_trap();
  const char* args[] = {c, c, c};
  if (lfmMessageCatalogue::Format(MESS_WRITE_BUFFER_SETTING, args, 3).size() >
      lfmMessageCatalogue::kMaxText)
    __builtin_trap();

  lfmPathName path(std::string(c, std::strlen(c) > 300 ? 300 : std::strlen(c)));
  path.FileNameWithExtension();
  path.DirectoryAndFile();
  path.Recompose();

  char small[17];
  lfmQuickString q(small, sizeof small);
  try {
    q.Append(c);
    q.AppendFormat("%s", c);
    q.Erase(static_cast<int32_t>(outer), static_cast<int32_t>(inner));
    q.RemoveLast(static_cast<uint8_t>(outer));
  } catch (const whException&) {
  }
  if (std::strlen(q.c_str()) != q.Length() || q.Length() >= sizeof small)
    __builtin_trap();
  return 0;
}
