#include "cookie/lfmcookiesettings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/lfmenv.h"
#include "cookie/lfmcookie.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmsettingsonce.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

lfmSettingsOnce& Once() {
  static lfmSettingsOnce* once = new lfmSettingsOnce;
  return *once;
}

lfmCookieSettings::Values& Stored() {
  static lfmCookieSettings::Values* v = new lfmCookieSettings::Values;
  return *v;
}

const char* Flag(bool b) {
  return b ? "true" : "false";
}

// Reads a text that goes into a Set-Cookie header; one that could split or
// extend the header is refused with a warning and `def` is used.
std::string ReadAttribute(const zrConfig& config, const char* key, const char* def,
                          bool (*valid)(std::string_view), lfmMessageBatch& messages) {
  std::string v = config.GetString(key, def, lfmCookieSettings::kSection);
  if (valid(v))
    return v;
  messages.Add(MESS_COOKIE_SETTING_INVALID, {key, v, def});
  return def;
}

}  // namespace

bool lfmCookieSettings::Values::SetExpirationDate(const std::string& text) {
  expirationDate = text;
  expiryAttribute.clear();
  // The date parser ignores fields after the third; here they make the
  // text no date, so that "12/31/2015/junk" is reported, not half taken.
  if (std::count_if(text.begin(), text.end(), [](char c) { return c == '/' || c == '-'; }) > 2)
    return false;
  int month = 0, day = 0, year = 0;
  if (!lfmTimeFuncs::ParseDate(text.c_str(), &month, &day, &year))
    return false;
  // The weekday of the calendar position: 29 February of a common year
  // falls where 1 March does.
  std::tm date{};
  date.tm_year = year - 1900;
  date.tm_mon = month - 1;
  date.tm_mday = day;
  std::tm normal{};
  if (!lfmTimeFuncs::BreakDownUtc(lfmTimeFuncs::ToUtc(date), &normal))
    return false;
  int weekDay = normal.tm_wday;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "expires=%s, %.2d-%s-%.2d %.2d:%.2d:%.2d GMT",
                lfmTimeFuncs::GetDayName(weekDay), day, lfmTimeFuncs::GetMonthName(month), year, 23,
                59, 59);
  expiryAttribute = buffer;
  return true;
}

bool lfmCookieSettings::IsAttributeText(std::string_view text) {
  // Eight bytes at a time, the last word ending with the text: every
  // issued cookie's path is checked.
  const char* p = text.data();
  const size_t n = text.size();
  auto clean = [p](size_t at) {
    uint64_t w;
    std::memcpy(&w, p + at, 8);
    return (lfmUtility::WordBytesBelow(w, 0x20) | lfmUtility::WordBytesEqual(w, ';') |
            lfmUtility::WordBytesEqual(w, 0x7F)) == 0;
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (!clean(i))
        return false;
    return clean(n - 8);
  }
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == ';' || c < 0x20 || c == 0x7F)
      return false;
  }
  return true;
}

bool lfmCookieSettings::IsCookieName(std::string_view text) {
  // Attribute text without blanks, "=" or ",": one pass, as every issued
  // cookie's name is checked.
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == ';' || c <= 0x20 || c == 0x7F || c == '=' || c == ',')
      return false;
  }
  return !text.empty();
}

lfmCookieSettings::Values lfmCookieSettings::Read(const zrConfig& config,
                                                  lfmMessageBatch& messages) {
  Values v;
  const char* s = kSection;
  v.name = ReadAttribute(config, "cookiename", kDefaultName, IsCookieName, messages);
  v.path = ReadAttribute(config, "path", "/", IsAttributeText, messages);
  v.domain = ReadAttribute(config, "domain", "", IsAttributeText, messages);
  v.enabled = config.GetBool("enabled", true, s);

  std::string type = config.GetString("expirationtype", "seconds", s);
  if (lfmUtility::EqualsNoCase(type, "seconds")) {
    v.expirationType = kExpireAfterSeconds;
    int32_t seconds = config.GetInt("expirationseconds", kDefaultExpirationSeconds, s);
    if (seconds < 0) {
      messages.Add(MESS_COOKIE_EXP_LESS_THAN_ZERO);
      seconds = kDefaultExpirationSeconds;
    } else if (seconds < 3600) {
      messages.Add(MESS_COOKIE_EXP_LESS_THAN_HOUR);
    }
    v.expirationSeconds = seconds;
  } else if (lfmUtility::EqualsNoCase(type, "date")) {
    v.expirationType = kExpireOnDate;
    if (!v.SetExpirationDate(config.GetString("expirationdate", kDefaultExpirationDate, s))) {
      messages.Add(MESS_COOKIE_EXP_INVALID, {kDefaultExpirationDate});
      v.SetExpirationDate(kDefaultExpirationDate);
    }
  } else {
    v.expirationType = kExpireWithSession;
  }

  v.cookieVersion = config.GetInt("cookieversion", 1, s);
  if (v.cookieVersion != 1 && v.cookieVersion != 2) {
    messages.Add(MESS_COOKIE_VERSION_INVALID);
    v.cookieVersion = 1;
  }
  v.magicCode = config.GetString("magiccode", kDefaultMagicCode, s);
  if (v.magicCode == kDefaultMagicCode)
    messages.Add(MESS_COOKIE_MAGIC_CODE, {kDefaultMagicCode});

  v.validateCookie = config.GetBool("validatecookie", true, s);
  v.validateOldCookie = config.GetBool("validateoldcookie", false, s);
  v.reissueBadCookie = config.GetBool("reissuebadcookie", true, s);
  v.secure = config.GetBool("secure", false, s);
  v.includePath = config.GetBool("includepath", true, s);
  v.useOptOutCookie = config.GetBool("useoptoutcookie", true, s);
  v.optOutCookieName =
      ReadAttribute(config, "optoutcookiename", "ZRLOPTOUT", IsCookieName, messages);

  std::string sameSite = config.GetString("samesite", "", s);
  v.sameSite.clear();
  for (const char* known : {"Lax", "Strict", "None"}) {
    if (lfmUtility::EqualsNoCase(sameSite, known))
      v.sameSite = known;
  }
  if (v.sameSite.empty() && !sameSite.empty())
    messages.Add(MESS_COOKIE_SETTING_INVALID, {"samesite", sameSite, ""});
  v.httpOnly = config.GetBool("httponly", false, s);
  return v;
}

std::string lfmCookieSettings::Report(const Values& v) {
  std::string r;
  r += "\ncookiename: " + v.name;
  r += "\ncookieversion: " + std::to_string(v.cookieVersion);
  r += "\nsecure: ";
  r += Flag(v.secure);
  r += "\nexpirationtype: ";
  if (v.expirationType == kExpireAfterSeconds)
    r += "seconds\nexpirationseconds: " + std::to_string(v.expirationSeconds);
  else
    r += "date\nexpirationdate: " + v.expirationDate;
  r += "\nenabled: ";
  r += Flag(v.enabled);
  r += "\npath: " + v.path;
  r += "\nmagiccode: " + std::to_string(v.magicCode.size()) + " characters";
  if (v.magicCode == kDefaultMagicCode)
    r += ", the shipped default";
  r += "\nvalidatecookie: ";
  r += Flag(v.validateCookie);
  r += "\nreissuebadcookie: ";
  r += Flag(v.reissueBadCookie);
  r += "\nsamesite: " + v.sameSite;
  r += "\nhttponly: ";
  r += Flag(v.httpOnly);
  return r;
}

const lfmCookieSettings::Values& lfmCookieSettings::Load() {
  Once().Ensure([](lfmMessageBatch& messages) {
    static uint32_t loads = 0;  // written only under the load's lock
    Stored() = Read(lfmEnv::Instance(), messages);
    Stored().generation = ++loads;
    messages.Add(MESS_COOKIE_SETTINGS, {Report(Stored())});
  });
  published_.Publish(&Stored());
  return Stored();
}

void lfmCookieSettings::ResetForTest() {
  published_.Publish(nullptr);
  Once().ResetForTest();
  Stored() = Values();
  // A test's clock may lie before the last test's: ids begin afresh.
  lfmCookie::ResetIdStampForTest();
}
