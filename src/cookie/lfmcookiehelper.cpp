#include "cookie/lfmcookiehelper.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "cookie/lfmcookie.h"
#include "cookie/lfmcookiesettings.h"
#include "hit/lfmloghelper.h"
#include "logout/lfmrequestdata.h"
#include "runtime/lfmthreadlocal.h"
#include "util/lfmclock.h"
#include "util/lfmmac.h"
#include "util/lfmquickstring.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"
#include "util/whexceptiontexts.h"

namespace {

// Takes only the pair named `name`, exact case.
class NamedPair : public lfmParamTarget {
 public:
  explicit NamedPair(std::string_view name) : name_(name) {}
  bool Offer(std::string_view name, std::string_view) override { return name == name_; }

 private:
  std::string_view name_;
};

// A cookie value may not hold what ends it or a header.
bool IsCookieValue(std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == ';' || c == ',' || c == '"' || c == '\\')
      return false;
  }
  return true;
}

// Scratch text of the cookie being formatted; one per thread, kept, so
// that its storage is reused from hit to hit.
std::string& Scratch(std::optional<std::string>& fallback) {
  static lfmThreadLocal<std::string> texts;
  std::string& text = texts.Get(fallback);
  text.clear();
  return text;
}

}  // namespace

bool lfmCookieHelper::FindCookie(std::string_view h, std::string_view name,
                                 std::string_view* piece) {
  if (name.empty())
    return false;
  for (size_t at = h.find(name); at != std::string_view::npos; at = h.find(name, at + 1)) {
    size_t after = at + name.size();
    if (after >= h.size() || h[after] != '=')
      continue;
    size_t before = at;
    while (before > 0 && lfmUtility::IsBlank(h[before - 1]))
      --before;
    if (before > 0 && h[before - 1] != ';')
      continue;  // inside another cookie's name or value
    if (piece)
      *piece = h.substr(at, std::min(h.find(';', after), h.size()) - at);
    return true;
  }
  return false;
}

bool lfmCookieHelper::PopulateValue(std::string_view piece, std::string_view* value) {
  size_t eq = piece.find('=');
  if (eq == std::string_view::npos || eq + 1 >= piece.size())
    return false;
  *value = piece.substr(eq + 1);
  return true;
}

bool lfmCookieHelper::GetOptOutCookie(std::string_view header) {
  if (header.empty())
    throw whException("lfmCookieHelper", "GetOptOutCookie()", "./src/cookie/lfmcookiehelper.cpp",
                      __LINE__, whText::kFreeText, "Attempted to parse empty cookie string.");
  std::string_view piece, value;
  if (!FindCookie(header, lfmCookieSettings::OptOutCookieName(), &piece))
    return false;
  return PopulateValue(piece, &value) && lfmUtility::StartsWithNoCase(value, "yes");
}

void lfmCookieHelper::RemoveCookie(const std::string& name, lfmRequestData& request, char outer,
                                   char inner) {
  const char* header = request.GetSrcInCookie();
  if (!header || !*header) {
    request.SetSrcInCookie("-");
    return;
  }
  NamedPair target(name);
  lfmString leftover;
  lfmUtility::ParseString(header, &target, &leftover, outer, inner);
  std::string rest(leftover.c_str(), leftover.Length());
  if (rest.size() > kMaxLeftover)
    rest.resize(kMaxLeftover);
  request.SetSrcInCookie(rest.empty() ? "-" : rest.c_str());
}

void lfmCookieHelper::Sign(std::string_view value, char code[kCodeLength + 1]) {
  lfmMAC mac(value);
  mac.Update(lfmCookieSettings::MagicCode());
  std::memcpy(code, mac.HexDigest(), kCodeLength + 1);
}

void lfmCookieHelper::SetSitePath(lfmRequestData& request, lfmCookie& cookie) {
  // The path is "/" and the site's part, which must be attribute text; it
  // is checked in place and written into the cookie's own string, whose
  // storage the pooled cookie keeps from hit to hit.
  auto fits = [](std::string_view& site) {
    site = site.substr(0, kMaxSitePath);
    return lfmCookieSettings::IsAttributeText(site);
  };
  const char* orig = request.GetSrcOrigPath();
  const char* id = request.GetSrcKYRId();
  std::string_view site = orig ? orig : "";
  if (site.empty() || !fits(site)) {
    site = id ? id : "";
    if (!fits(site))
      return;
  }
  cookie.path.assign(1, '/');
  cookie.path.append(site.data(), site.size());
}

namespace {

// Writes `v` as "%.2lld" does; returns the end.
char* PutAtLeastTwo(char* p, long long v) {
  return p + lfmUtility::FormatDecimal(p, v, 2);
}

char* PutText(char* p, const char* text) {
  while (*text)
    *p++ = *text++;
  return p;
}

}  // namespace

// Formatted by hand: every issued cookie carries one, and snprintf's
// format parsing was most of the cost of issuing.
bool lfmCookieHelper::AppendExpires(time_t t, std::string& text) {
  std::tm tm{};
  if (!lfmTimeFuncs::BreakDownUtc(t, &tm))
    return false;
  // "expires=Thu, 01-Jan-1970 00:00:00 GMT", the year possibly longer.
  char buffer[80];
  char* p = PutText(buffer, "expires=");
  p = PutText(p, lfmTimeFuncs::GetDayName(tm.tm_wday));
  p = PutText(p, ", ");
  p = PutAtLeastTwo(p, tm.tm_mday);
  *p++ = '-';
  p = PutText(p, lfmTimeFuncs::GetMonthName(tm.tm_mon + 1));
  *p++ = '-';
  p = PutAtLeastTwo(p, tm.tm_year + 1900LL);
  *p++ = ' ';
  p = PutAtLeastTwo(p, tm.tm_hour);
  *p++ = ':';
  p = PutAtLeastTwo(p, tm.tm_min);
  *p++ = ':';
  p = PutAtLeastTwo(p, tm.tm_sec);
  p = PutText(p, " GMT");
  text.append(buffer, static_cast<size_t>(p - buffer));
  return true;
}

void lfmCookieHelper::AppendAttributes(const lfmCookie& cookie, std::string& text) {
  const lfmCookieSettings::Values& s = lfmCookieSettings::Get();
  if (!cookie.domain.empty()) {
    text += "; domain=";
    text += cookie.domain;
  }
  // Browsers refuse SameSite=None on a cookie that is not secure.
  if (cookie.secure || s.sameSite == "None")
    text += "; secure";
  if (cookie.includePath) {
    text += "; path=";
    text += cookie.path;
  }
  if (!s.sameSite.empty()) {
    text += "; SameSite=";
    text += s.sameSite;
  }
  if (s.httpOnly)
    text += "; HttpOnly";
}

bool lfmCookieHelper::IssueCookie(lfmRequestData& request, lfmCookie& cookie, bool setOutCookie) {
  cookie.Generate(request.GetSrcClientIP());
  if (!IsCookieValue(cookie.value))
    return false;
  std::optional<std::string> fallback;
  std::string& text = Scratch(fallback);
  text += cookie.name;
  text += '=';
  text += cookie.value;
  int32_t type = cookie.expirationType;
  if (lfmLogHelper::HasCfgFlag(request, lfmLogHelper::kCfgNoExpiry))
    type = lfmCookieSettings::kExpireWithSession;
  if (type == lfmCookieSettings::kExpireOnDate) {
    if (!cookie.expirationDate.empty()) {
      text += "; ";
      text += cookie.expirationDate;
    }
  } else if (type == lfmCookieSettings::kExpireAfterSeconds) {
    time_t t = request.GetSrcDate() + cookie.expirationSeconds;
    size_t mark = text.size();
    text += "; ";
    if (!AppendExpires(t, text)) {
      text.resize(mark + 2);
      if (!AppendExpires(lfmClock::Now() + cookie.expirationSeconds, text))
        text.resize(mark);  // no date to write: the cookie lasts for the session
    }
  }
  AppendAttributes(cookie, text);
  char* out = request.ReserveSrcOutCookie(text.size());
  std::memcpy(out, text.data(), text.size());
  if (setOutCookie)
    request.SetSrcOutCookie(out);
  return true;
}

bool lfmCookieHelper::IssueNamedCookie(lfmRequestData& request, const lfmCookie& cookie,
                                       const std::string& name, const char* value, time_t expiry) {
  if (!lfmCookieSettings::IsCookieName(name) || !value || !IsCookieValue(value))
    return false;
  std::optional<std::string> fallback;
  std::string& text = Scratch(fallback);
  text += name;
  text += '=';
  text += value;
  if (expiry != 0) {
    text += "; ";
    if (!AppendExpires(expiry, text))
      return false;
  }
  AppendAttributes(cookie, text);
  request.SetSrcOutCookie(text.c_str());
  return true;
}
