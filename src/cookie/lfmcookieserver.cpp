#include "cookie/lfmcookieserver.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "cookie/lfmcookie.h"
#include "cookie/lfmcookiehelper.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "hit/lfmhitdescription.h"
#include "hit/lfmlogelementmap.h"
#include "hit/lfmloghelper.h"
#include "hit/lfmpools.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "sitemap/tsservicemodelsettings.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmstderr.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

// Bounds of the redirect's header text.
constexpr size_t kRedirectReserve = 8192;
constexpr size_t kRedirectMax = 16384;

bool HostedServiceModel() {
  return lfmLogServerSettings::HostedModel() && tsServiceModelSettings::ServiceModel();
}

// A site-map column holding an integer; `def` when it holds none.
long ColumnNumber(std::string_view column, long def) {
  long v = 0;
  if (lfmUtility::ReadShortDecimal(column, &v))  // a digit or two, as a rule
    return v;
  const std::string text(column);  // a few characters: no allocation
  const char* p = text.c_str();
  char* end = nullptr;
  v = std::strtol(p, &end, 10);
  if (end == p)
    return def;
  while (*end == ' ' || *end == '\t')
    ++end;
  return *end ? def : v;
}

// The session and daily visitor-tracking cookies, and the deletion of the
// legacy one, for a returning visitor whose cookie was accepted.
// `header` is the request's Cookie header, which nothing here changes.
void TrackVisitor(lfmRequestData& request, const tsSiteParams& site, lfmCookie& cookie,
                  std::string_view header) {
  cookie.newSessionVisit = false;
  cookie.newDailyVisit = false;
  unsigned long clientTime = 0;
  if (lfmLogHelper::ReadHitDate(request, &clientTime)) {
    const std::string& session = tsServiceModelSettings::TrackVisitorsSessionCookieName();
    if (!lfmCookieHelper::HasCookie(header, session) &&
        lfmCookieHelper::IssueNamedCookie(request, cookie, session, "1", 0))
      cookie.newSessionVisit = true;
    const std::string& daily = tsServiceModelSettings::TrackVisitorsDailyCookieName();
    if (!lfmCookieHelper::HasCookie(header, daily)) {
      // Midnight of the site's day: the next UTC midnight moved by the
      // site's time zone (hours east of UTC).
      int64_t expiry = lfmTimeFuncs::NextUtcMidnight(static_cast<time_t>(clientTime));
      if (tsServiceModelSettings::SiteMapEnabled() && site.found && !site.timeZone.empty()) {
        long zone = ColumnNumber(site.timeZone, 0);
        if (zone < -48 || zone > 48)
          zone = 0;  // not a time zone; the UTC day is the best guess
        expiry -= static_cast<int64_t>(zone) * 3600;
      }
      // An expiry at or before the epoch would read as "no expiry" or delete
      // the cookie at once: no daily cookie then.
      if (expiry > 1 && lfmCookieHelper::IssueNamedCookie(request, cookie, daily, "1",
                                                          static_cast<time_t>(expiry)))
        cookie.newDailyVisit = true;
    }
  }
  const char* legacy = lfmLogServerSettings::VisitorTrackingParam();
  if (lfmCookieHelper::HasCookie(header, legacy))
    lfmCookieHelper::IssueNamedCookie(request, cookie, legacy, "1", 1);  // deletes it
}

// Appends `text` percent-encoded where it could not stand in a Location
// header or would change the URL's meaning.
void AppendEncoded(std::string& out, const char* text, const char* alsoEncode) {
  for (const char* p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c >= 0x7F || std::strchr(alsoEncode, c))
      lfmUtility::AppendPercentByte(out, c);
    else
      out += static_cast<char>(c);
  }
}

}  // namespace

void lfmCookieServer::ProcessCookie(lfmRequestData& request, const tsSiteParams& site) {
  lfmCookie* cookie = nullptr;
  try {
    const lfmCookieSettings::Values& settings = lfmCookieSettings::Get();
    if (!settings.enabled || lfmLogHelper::HasCfgFlag(request, lfmLogHelper::kCfgNoCookies))
      return;
    bool hosted = HostedServiceModel();
    if (hosted && tsServiceModelSettings::SiteMapEnabled() && site.found &&
        ColumnNumber(site.cookiesEnabled, 0) != 1)
      return;
    if (settings.secure && !request.IsSrcSecure()) {
      lfmHitDescription::Report(MESS_COOKIE_CONNECTION_NOT_SECURE, request);
      return;
    }
    // Measured once: the opt-out, the visitor and the tracking cookies are
    // all looked for in it. It views the request's text, which only
    // RemoveCookie below replaces; the hit is new after that and the view
    // is not read again.
    const char* inCookie = request.GetSrcInCookie();
    const std::string_view header = inCookie ? std::string_view(inCookie) : std::string_view();
    if (settings.useOptOutCookie && !header.empty() && lfmCookieHelper::GetOptOutCookie(header))
      return;  // opted out: nothing is read, issued or logged as issued
    if (!hosted) {
      const char* stem = request.GetSrcURIStem();
      if (!lfmUtility::StartsWithNoCase(stem ? stem : "", settings.path)) {
        lfmHitDescription::Report(MESS_COOKIE_PATH_BAD, request);
        return;
      }
    }

    cookie = lfmCookiePool::GetCookie();
    if (!cookie->configured)
      cookie->Configure();
    cookie->Reset();
    if (!header.empty())
      cookie->Populate(header);

    // Cookie test: a new visitor is first sent back to the tag with the
    // redirect marker, which tells a browser that keeps cookies from one
    // that does not.
    const char* marker = lfmLogElementMap::ParameterName(KYR_REDIRECT);
    if (cookie->isNew && marker && *marker && lfmLogServerSettings::TrackFirstTimeCookies() &&
        !lfmLogHelper::HasCfgFlag(request, lfmLogHelper::kCfgNoCookieTest)) {
      size_t length = 0;
      if (!lfmLogHelper::FindQueryParam(request.GetSrcOrigURIQuery(), marker, &length) ||
          length == 0) {
        request.SetRedirectPending(true);
        return;
      }
    }

    bool reissue = false;
    if (!cookie->isNew && settings.validateCookie && settings.cookieVersion > 1 &&
        !cookie->Validate(request)) {
      if (!settings.reissueBadCookie) {
        cookie->valid = false;
        return;  // the hit keeps its invalid cookie
      }
      lfmCookieHelper::RemoveCookie(cookie->name, request);
      cookie->Reset();
      cookie->isNew = true;
      reissue = true;
      cookie->valid = false;
    }

    if (cookie->isNew) {
      if (hosted)
        lfmCookieHelper::SetSitePath(request, *cookie);
      if (lfmCookieHelper::IssueCookie(request, *cookie, true) && reissue) {
        const char* issued = request.GetSrcOutCookie();
        lfmDebugLog::Instance().LogValues(MESS_COOKIE_REISSUED, {issued ? issued : ""});
      }
      return;
    }

    if (hosted && tsServiceModelSettings::TrackVisitors() &&
        !lfmLogHelper::HasCfgFlag(request, lfmLogHelper::kCfgNoVisitorTracking)) {
      lfmCookieHelper::SetSitePath(request, *cookie);
      TrackVisitor(request, site, *cookie, header);
    }
  } catch (const whException& e) {
    lfmExceptionController::ProcessException(e, whMethodId("lfmCookieServer", "ProcessCookie()"));
    if (cookie)
      cookie->valid = false;
  } catch (...) {
    lfmStdErr::WriteLine("Unknown exception caught in lfmCookieServer::ProcessCookie()");
    if (cookie)
      cookie->valid = false;
  }
}

bool lfmCookieServer::BuildRedirect(lfmRequestData& request) {
  const char* stem = request.GetSrcOrigURIStem();
  const char* query = request.GetSrcOrigURIQuery();
  const char* marker = lfmLogElementMap::ParameterName(KYR_REDIRECT);
  if (!query)
    query = "";
  if (!stem || std::strlen(stem) <= 2 || !marker || !*marker)
    return false;
  size_t limit = std::strlen(stem) + std::strlen(query) + kRedirectReserve;
  if (limit > kRedirectMax)
    limit = kRedirectMax;

  std::string text;
  text.reserve(limit);
  text += "Location: /";
  // Back to the tag's own path: leading separators collapse to one, so the
  // Location can never name another host ("//host/...").
  while (lfmUtility::IsSeparator(*stem))
    ++stem;
  AppendEncoded(text, stem, "%?#");
  text += '?';
  AppendEncoded(text, marker, "%&=#");
  text += "=1";
  if (*query != '&')
    text += '&';
  AppendEncoded(text, query, "#");
  text += "\r\nContent-Length: 0\r\n";

  lfmCookie* cookie = lfmCookiePool::GetCookie();
  if (!cookie)
    return false;
  if (!cookie->configured)
    cookie->Configure();
  if (HostedServiceModel())
    lfmCookieHelper::SetSitePath(request, *cookie);
  if (lfmCookieHelper::IssueCookie(request, *cookie, false)) {
    const char* issued = request.GetSrcOutCookie();
    if (issued && *issued) {
      text += "Set-Cookie: ";
      text += issued;
      text += "\r\n";
    }
  }
  request.SetRedirectPending(false);
  std::string p3p;
  lfmLogHelper::PerformFixup(request, &p3p);
  if (!p3p.empty()) {
    text += "P3P: ";
    text += p3p;
    text += "\r\n";
  }
  text += "\r\n";
  if (text.size() > limit)
    return false;  // a cut header block would be a broken redirect
  char* out = request.ReserveSrcRedirectHeader(text.size());
  std::memcpy(out, text.data(), text.size());
  return true;
}
