// Feeds arbitrary bytes as the body of section "cookieserver" through the
// configuration reader and the cookie settings' Read, and the first line of
// the input straight to the expiry date parser. Whatever the section holds,
// the values read must be safe to put into a Set-Cookie header: a cookie
// name, path, domain and opt-out name that cannot split or extend it, a
// known version and SameSite, a lifetime that is not negative and, for
// date-type cookies, an "expires=" attribute of the one fixed shape. The
// settings report and the batch of warnings are built and raised.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/zrconfig.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "fuzz/fuzzroot.h"
#include "util/lfmtimefuncs.h"

namespace {

const std::string& ScratchDir() {
  return ScratchRoot("kyrfuzz-cookiesettings");
}

bool IsDigits(const std::string& s, size_t from, size_t n) {
  for (size_t i = from; i < from + n; ++i)
    if (i >= s.size() || s[i] < '0' || s[i] > '9')
      return false;
  return true;
}

// "expires=Fri, 01-Jan-2010 23:59:59 GMT": a known day and month name, a
// two-digit day and a four-digit year; the date the text gave.
void CheckExpiry(const std::string& attribute, const std::string& date) {
  static const size_t kLength = std::strlen("expires=Fri, 01-Jan-2010 23:59:59 GMT");
  if (attribute.size() != kLength || attribute.compare(0, 8, "expires=") != 0 ||
      attribute.compare(11, 2, ", ") != 0 || attribute.compare(24, 13, " 23:59:59 GMT") != 0 ||
      !IsDigits(attribute, 13, 2) || attribute[15] != '-' || attribute[19] != '-' ||
      !IsDigits(attribute, 20, 4) || !lfmCookieSettings::IsAttributeText(attribute))
    __builtin_trap();
  bool day = false, month = false;
  for (int d = 0; d < 7; ++d)
    day = day || attribute.compare(8, 3, lfmTimeFuncs::GetDayName(d)) == 0;
  int m = 0, dd = 0, y = 0;
  if (!lfmTimeFuncs::ParseDate(date.c_str(), &m, &dd, &y))
    __builtin_trap();  // an attribute from no date
  month = attribute.compare(16, 3, lfmTimeFuncs::GetMonthName(m)) == 0;
  if (!day || !month || std::atoi(attribute.c_str() + 13) != dd ||
      std::atoi(attribute.c_str() + 20) != y)
    __builtin_trap();
}

void CheckValues(const lfmCookieSettings::Values& v) {
  if (!lfmCookieSettings::IsCookieName(v.name) ||
      !lfmCookieSettings::IsCookieName(v.optOutCookieName) ||
      !lfmCookieSettings::IsAttributeText(v.path) || !lfmCookieSettings::IsAttributeText(v.domain))
    __builtin_trap();  // a header splitter let through
  if (v.cookieVersion != 1 && v.cookieVersion != 2)
    __builtin_trap();
  if (!v.sameSite.empty() && v.sameSite != "Lax" && v.sameSite != "Strict" && v.sameSite != "None")
    __builtin_trap();
  switch (v.expirationType) {
    case lfmCookieSettings::kExpireAfterSeconds:
      if (v.expirationSeconds < 0)
        __builtin_trap();
      break;
    case lfmCookieSettings::kExpireOnDate:
      CheckExpiry(v.expiryAttribute, v.expirationDate);
      break;
    case lfmCookieSettings::kExpireWithSession:
      break;
    default:
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // The date parser on its own: whatever it accepts yields a whole
  // attribute; what it refuses leaves none.
  lfmCookieSettings::Values direct;
  const std::string firstLine = input.substr(0, input.find('\n'));
  if (direct.SetExpirationDate(firstLine))
    CheckExpiry(direct.expiryAttribute, firstLine);
  else if (!direct.expiryAttribute.empty())
    __builtin_trap();

  const std::string path = ScratchDir() + "/cookie.cfg";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fputs("[cookieserver]\n", f);
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  zrConfig config;
  if (!config.Load(path.c_str(), zrConfig::kReadOnly))
    return 0;
  lfmMessageBatch messages;
  const lfmCookieSettings::Values v = lfmCookieSettings::Read(config, messages);
  CheckValues(v);
  messages.Add(MESS_COOKIE_SETTINGS, {lfmCookieSettings::Report(v)});
  messages.Raise();
  return 0;
}
