#pragma once
// Section "cookieserver": the visitor cookie's name, path, domain, lifetime,
// version and code key, and the checks the cookie server applies. Loaded
// once per process on the first access (the warnings for replaced values and
// the settings report are raised then); read without locking afterwards.
// There is no reload: a changed section takes effect when the filter is
// loaded again.

#include <cstdint>
#include <string>
#include <string_view>

#include "diag/lfmpublishedsettings.h"

class lfmMessageBatch;
class zrConfig;

class lfmCookieSettings {
 public:
  static constexpr const char* kSection = "cookieserver";
  static constexpr const char* kDefaultName = "VANTORELL_ID";
  static constexpr const char* kDefaultMagicCode = "K4P9MRVQ2HXL";
  static constexpr const char* kDefaultExpirationDate = "01-01-2010";
  static constexpr int32_t kDefaultExpirationSeconds = 315360000;  // ten years of 365 days

  // How the issued cookie expires.
  enum ExpirationType : int32_t {
    kExpireOnDate = 0,
    kExpireAfterSeconds = 1,
    kExpireWithSession = 2
  };

  struct Values {
    std::string name = kDefaultName;
    std::string path = "/";
    std::string domain;
    bool enabled = true;
    int32_t expirationType = kExpireAfterSeconds;
    int32_t expirationSeconds = kDefaultExpirationSeconds;
    std::string expirationDate = kDefaultExpirationDate;
    // "expires=Fri, 01-Jan-2010 23:59:59 GMT": the attribute of date-type
    // cookies, built from expirationDate; empty when that does not parse.
    std::string expiryAttribute = "expires=Fri, 01-Jan-2010 23:59:59 GMT";
    int32_t cookieVersion = 1;
    std::string magicCode = kDefaultMagicCode;
    bool validateCookie = true;
    bool validateOldCookie = false;
    bool reissueBadCookie = true;
    bool secure = false;
    bool includePath = true;
    bool useOptOutCookie = true;
    std::string optOutCookieName = "ZRLOPTOUT";
    // "Lax", "Strict", "None" or empty (no SameSite attribute).
    std::string sameSite;
    bool httpOnly = false;
    // Which load produced these values (1, 2, ... per process); lets a
    // cookie object tell whether its copy is current.
    uint32_t generation = 0;

    // Stores the date text and rebuilds expiryAttribute from it. False (the
    // attribute then empty) when the text is not a date: exactly three
    // fields, month, day and year, nothing after them.
    bool SetExpirationDate(const std::string& text);
  };

  static const std::string& Name() { return Get().name; }
  static const std::string& Path() { return Get().path; }
  static const std::string& Domain() { return Get().domain; }
  static bool Enabled() { return Get().enabled; }
  static int32_t ExpirationType() { return Get().expirationType; }
  static int32_t ExpirationSeconds() { return Get().expirationSeconds; }
  static const std::string& ExpirationDate() { return Get().expirationDate; }
  static const std::string& ExpiryAttribute() { return Get().expiryAttribute; }
  static int32_t CookieVersion() { return Get().cookieVersion; }
  static const std::string& MagicCode() { return Get().magicCode; }
  static bool ValidateCookie() { return Get().validateCookie; }
  static bool ValidateOldCookie() { return Get().validateOldCookie; }
  static bool ReissueBadCookie() { return Get().reissueBadCookie; }
  static bool Secure() { return Get().secure; }
  static bool IncludePath() { return Get().includePath; }
  static bool UseOptOutCookie() { return Get().useOptOutCookie; }
  static const std::string& OptOutCookieName() { return Get().optOutCookieName; }
  static const std::string& SameSite() { return Get().sameSite; }
  static bool HttpOnly() { return Get().httpOnly; }

  // All values, loading them first when needed.
  static const Values& Get() {
    const Values* v = published_.Peek();
    return v ? *v : Load();
  }

  // Reads the section from `config`, adding a warning for every value
  // replaced. Does not add the settings report.
  static Values Read(const zrConfig& config, lfmMessageBatch& messages);
  // The text of the settings report (MESS_COOKIE_SETTINGS). The magic code
  // is the signing key and never appears in it: only its length and whether
  // it is the shipped one.
  static std::string Report(const Values& v);

  // Whether `text` may stand inside a Set-Cookie header: no ";" and no
  // control character.
  static bool IsAttributeText(std::string_view text);
  // Whether `text` may be a cookie's name: not empty, an attribute text
  // without blank, "=" or ",".
  static bool IsCookieName(std::string_view text);

  // For tests only: forgets the settings and the last visitor id's time.
  static void ResetForTest();

 private:
  static const Values& Load();
  static inline lfmPublishedSettings<Values> published_;
};
