#pragma once
// Text operations of the visitor cookies: finding a cookie in a Cookie
// header, removing one from the logged header, the opt-out cookie, the
// cookie code, and the Set-Cookie values the cookie server hands to the
// response. Stateless; reads the cookie settings.

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

class lfmCookie;
class lfmRequestData;

class lfmCookieHelper {
 public:
  static constexpr size_t kCodeLength = 32;  // hexadecimal digits of a cookie code
  // Longest orig path or KYR ID a per-site cookie path takes.
  static constexpr size_t kMaxSitePath = 510;
  // Longest logged Cookie header left after a cookie was removed.
  static constexpr size_t kMaxLeftover = 4096;

  // The cookie `name` in `header`: a whole cookie name, at the start of the
  // header or after ";" and optional blanks, followed by "=". `*piece`
  // (when given) is "name=value" up to the next ";" or the end.
  // A null `header` holds no cookie. The view overloads serve callers that
  // look for several cookies in one header and measure it once.
  static bool FindCookie(const char* header, std::string_view name, std::string_view* piece) {
    return header && FindCookie(std::string_view(header), name, piece);
  }
  static bool FindCookie(std::string_view header, std::string_view name, std::string_view* piece);
  static bool HasCookie(const char* header, std::string_view name) {
    return FindCookie(header, name, nullptr);
  }
  static bool HasCookie(std::string_view header, std::string_view name) {
    return FindCookie(header, name, nullptr);
  }
  // The text after the first "=" of `piece`; false when there is no "=" or
  // nothing follows it.
  static bool PopulateValue(std::string_view piece, std::string_view* value);
  // Whether the opt-out cookie is present and its value starts with "yes"
  // (any letter case). Throws whException 1000 for an empty header.
  static bool GetOptOutCookie(std::string_view header);
  // Removes the cookie `name` from the request's incoming Cookie header
  // (which is what the log records): every other segment is kept as it
  // stands; an empty rest becomes "-".
  static void RemoveCookie(const std::string& name, lfmRequestData& request, char outer = ';',
                           char inner = '=');

  // The code of `value`: MD5 of the value followed by the magic code, as 32
  // upper-case hexadecimal digits and a terminator.
  static void Sign(std::string_view value, char code[kCodeLength + 1]);

  // The per-site path of the hosted service model: "/" and the request's
  // orig path, else (also when the orig path could not stand in a header)
  // "/" and its KYR ID.
  static void SetSitePath(lfmRequestData& request, lfmCookie& cookie);
  // Generates a new value and formats its Set-Cookie text into the
  // request's outgoing cookie; hands it to the response when
  // `setOutCookie`. False (nothing issued) when the value could not stand
  // in a header.
  static bool IssueCookie(lfmRequestData& request, lfmCookie& cookie, bool setOutCookie);
  // Adds a further Set-Cookie value `name`=`value` with the visitor
  // cookie's attributes; `expiry` 0 means none (a session cookie). False
  // when nothing was issued (a name or value unfit for a header, an expiry
  // that cannot be written).
  static bool IssueNamedCookie(lfmRequestData& request, const lfmCookie& cookie,
                               const std::string& name, const char* value, time_t expiry);
  // Appends "; domain=", "; secure", "; path=" as the cookie has them, then
  // the SameSite and HttpOnly attributes of the settings.
  static void AppendAttributes(const lfmCookie& cookie, std::string& text);
  // Appends "expires=Ddd, dd-Mmm-yyyy hh:mm:ss GMT" for `t` in UTC; false
  // (nothing appended) when `t` cannot be broken down.
  static bool AppendExpires(time_t t, std::string& text);
};
