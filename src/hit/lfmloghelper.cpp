#include "hit/lfmloghelper.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "config/lfmenv.h"
#include "config/lfmknownsettings.h"
#include "cookie/lfmcookie.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "hit/lfmcompactpolicy.h"
#include "hit/lfmlogelementmap.h"
#include "hit/lfmparsemap.h"
#include "hit/lfmpools.h"
#include "hit/lfmrequest.h"
#include "hitcount/lfmhitcountcontrollerpool.h"
#include "hitcount/lfmhitcountheartbeat.h"
#include "logout/lfmheartbeat.h"
#include "logout/lfmlogfile.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogfilerepair.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmlogrotationsettings.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "platform/lfmplatform.h"
#include "sitemap/lfmsitemapheartbeat.h"
#include "sitemap/tsservicemodelsettings.h"
#include "sitemap/tssiteoverview.h"
#include "sitemap/tssiteparammap.h"
#include "util/lfmfileinfo.h"
#include "util/lfmpathname.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

const char kClass[] = "lfmLogHelper";

// Whether the start built the log element map (LoadSettings).
std::atomic<bool>& ElementMapBuilt() {
  static std::atomic<bool> built{true};
  return built;
}
const char kModule[] = "./src/hit/lfmloghelper.cpp";

// Appends one "name=value" item to the extra-parameter text.
void AddParam(std::string& extra, std::string_view item) {
  if (!extra.empty())
    extra += '&';
  extra += item;
}

// Reads a page field: decoded, blank counts as absent; a value holding a
// blank or line end is stored encoded first, so no field can split a line.
bool ReadField(lfmParseMap& map, int32_t id, const char** value) {
  size_t length = 0;
  if (!lfmLogElementMap::GetValue(map, id, value, true, false, &length))
    return false;
  if (lfmUtility::HasBlankOrLineEnd(std::string_view(*value, length)))
    lfmLogElementMap::SetValue(map, id, value, true);
  return true;
}

// atol that clamps to the long range instead of overflowing.
long ToLong(const char* text) {
  return std::strtol(text, nullptr, 10);
}

// Whether `t` can be broken down into a four-digit-year calendar time.
bool IsCalendarTime(long long t) {
  if (t < 0 || t > static_cast<long long>(253402300799LL))  // 9999-12-31 23:59:59
    return false;
  std::tm tm{};
  return lfmTimeFuncs::BreakDownUtc(static_cast<time_t>(t), &tm);
}

// A further KYR ID of a site becomes a file name: only a well-formed KYR ID
// may, in the form a request's id is kept in.
bool CheckFurtherId(const std::string& id, std::string* kept) {
  return lfmRequest::MatchKyrId(id, lfmLogServerSettings::KyrIdBackToVersion(), kept) ==
         lfmRequest::kKyrIdOk;
}

}  // namespace

// ---- start-up and shut-down ----

bool lfmLogHelper::LoadSettings() {
  lfmEnv& config = lfmEnv::Instance();  // throws while there is none
  lfmDebugLog& log = lfmDebugLog::Instance();
  log.DebugLevel();  // the audit settings
  lfmLogServerSettings::Get();
  lfmLogRotationSettings::Get();
  lfmLogFieldSettings::Get();
  lfmCookieSettings::Get();
  tsServiceModelSettings::Get();
  for (const lfmKnownSettings::Finding& f : lfmKnownSettings::Check(config)) {
    switch (f.kind) {
      case lfmKnownSettings::Finding::kUnknownSection:
        log.Log(MESS_SETTING_UNKNOWN_SECTION, f.section.c_str());
        break;
      case lfmKnownSettings::Finding::kUnknownKey:
        log.Log(MESS_SETTING_UNKNOWN_KEY, f.key.c_str(), f.section.c_str());
        break;
      case lfmKnownSettings::Finding::kUnreadableValue:
        log.Log(MESS_SETTING_VALUE_UNREADABLE, f.key.c_str(), f.section.c_str(), f.value.c_str(),
                f.wanted.c_str(), f.inForce.c_str());
        break;
      case lfmKnownSettings::Finding::kRepeatedKey:
        log.Log(MESS_SETTING_REPEATED, f.key.c_str(), f.section.c_str(), f.inForce.c_str(),
                f.value.c_str());
        break;
    }
  }
  bool usable = true;
  // An element map that cannot be built fails every hit; the exception is
  // reported here once, at start, and again by the hits.
  static const whMethodId kSite(kClass, "LoadSettings()");
  const bool mapBuilt = lfmExceptionController::RunAtBoundary(
      kSite, "Unknown exception caught in LoadSettings", [] { lfmLogElementMap::Initialize(); });
  ElementMapBuilt().store(mapBuilt, std::memory_order_release);
  if (!mapBuilt)
    usable = false;
  for (const OutputDirectory& d : OutputDirectories()) {
    std::string why;
    if (!lfmFileUtil::CanWriteIn(d.path, &why)) {
      log.Log(MESS_OUTPUT_DIRECTORY_UNWRITABLE, d.path.c_str(), d.setting, why.c_str(),
              "Hits whose files go there cannot be logged.");
      usable = false;
    }
  }
  return usable;
}

std::string lfmLogHelper::LogFault() {
  if (!ElementMapBuilt().load(std::memory_order_acquire))
    return "the log element map cannot be built: no hit can be logged";
  for (const OutputDirectory& d : OutputDirectories()) {
    std::string why;
    if (!lfmFileUtil::CanWriteIn(d.path, &why))
      return "a log directory cannot be written (kyrhost --check names it)";
  }
  return "";
}

std::vector<lfmLogHelper::OutputDirectory> lfmLogHelper::OutputDirectories() {
  const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
  std::vector<OutputDirectory> dirs{{lfmLogRotationSettings::LogFileDir(), "logfiledir"}};
  // Only the site map gives a hit a latency class other than standard lag.
  if (s.hostedModel && tsServiceModelSettings::ServiceModel() &&
      tsServiceModelSettings::SiteMapEnabled()) {
    dirs.push_back({tsServiceModelSettings::ShortLagLogFileDir(), "shortlaglogfiledir"});
    dirs.push_back({tsServiceModelSettings::RealTimeLogFileDir(), "realtimelogfiledir"});
  }
  if (s.trackHitCount) {
    // The hit counter falls back to the root's log directory when its own
    // cannot be made.
    std::string why;
    if (lfmFileUtil::CanWriteIn(s.hitCountLogFileDir, &why)) {
      dirs.push_back({s.hitCountLogFileDir, "hitcountlogfiledir"});
    } else {
      std::string fallback = lfmEnv::GetRoot();
      if (!lfmUtility::EndsWithSeparator(fallback))
        fallback += lfmPathName::kNativeSeparator;
      dirs.push_back({fallback + "log", "hitcountlogfiledir's fallback, the root's log"});
    }
  }
  return dirs;
}

bool lfmLogHelper::Check() {
  bool usable = LoadSettings();
  const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
  if (s.hostedModel && tsServiceModelSettings::ServiceModel() &&
      tsServiceModelSettings::SiteMapEnabled()) {
    const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
    lfmDebugLog& log = lfmDebugLog::Instance();
    // A start copies the site map into its backup directory first, and
    // fails when it cannot.
    std::string why;
    if (!lfmFileUtil::CanWriteIn(v.siteMapBackupDir, &why)) {
      log.Log(MESS_OUTPUT_DIRECTORY_UNWRITABLE, v.siteMapBackupDir.c_str(), "sitemapbackupdir",
              why.c_str(), "The site map cannot be copied there: a start fails.");
      usable = false;
    }
    tsSiteParamMapController::Instance().SetFurtherIdCheck(CheckFurtherId);
    tsSiteOverview& loader = tsSiteOverview::Instance();
    loader.Init(v.siteMapFullPath, v.siteMapBackupDir, v.siteMapCheckStatus, v.siteMapReloadSame,
                v.siteMapSleepTime, v.siteMapLockModel);
    if (loader.Verify(false) != 0) {
      log.Log(MESS_SITEMAP_USING_BACKUP, v.siteMapFullPath.c_str(), v.siteMapBackupDir.c_str());
      if (loader.Verify(true) != 0) {
        log.Log(MESS_SITEMAP_LOAD_FAILURE);
        usable = false;
      }
    }
  }
  return usable;
}

void lfmLogHelper::StartUp(bool startHeartbeat) {
  LoadSettings();
  const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
  int32_t limit = (s.hostedModel && s.splitLogs) ? s.maxHandleCount : 1;
  std::string header = lfmLogRecord::BuildLogHeader();
  lfmLogFileControllerPool::Initialize(limit, header.c_str());
  bool heartbeat = false;
  bool hitCounting = false;
  bool siteMapHeartbeat = false;
  try {
    // Before any hit opens a file: a file an earlier run left unfinished is
    // cut back to its last whole line, so that new lines never follow
    // padding or a torn line.
    const std::string& prefix = lfmLogRotationSettings::LogFilePrefix();
    lfmLogFileRepair::RepairDirectory(lfmLogRotationSettings::LogFileDir(), ".log",
                                      [&prefix](const std::string& name) {
                                        return lfmLogFileRepair::IsLogFileName(name, prefix);
                                      });
    if (startHeartbeat) {
      lfmHeartBeat::Start();
      heartbeat = true;
    }
    if (s.trackHitCount) {
      lfmHitCountControllerPool::Initialize();
      hitCounting = true;
      lfmHitCountHeartBeat::Start();
      // A run that ended without finishing its hit-count file leaves it busy.
      const std::string& ext = s.hitCountLogFileExt;
      RecoverTemporaryFiles(lfmHitCountControllerPool::Directory(), ext + "busy", ext);
    }
    if (s.hostedModel && tsServiceModelSettings::ServiceModel()) {
      if (tsServiceModelSettings::SiteMapEnabled()) {
        if (SiteMapLoad() != 0)
          throw whException(kClass, "StartUp()", kModule, __LINE__, 1000,
                            "Failed to load the SiteMap file.");
        lfmSiteMapHeartBeat::Start();
        siteMapHeartbeat = true;
      }
      const char* busy = tsServiceModelSettings::BusyExtension();
      RecoverTemporaryFiles(lfmLogRotationSettings::LogFileDir(), busy, "log");
      RecoverTemporaryFiles(tsServiceModelSettings::ShortLagLogFileDir(), busy, "log");
      RecoverTemporaryFiles(tsServiceModelSettings::RealTimeLogFileDir(), busy, "log");
    }
  } catch (...) {
    // Leave nothing running behind a failed start.
    if (siteMapHeartbeat)
      lfmSiteMapHeartBeat::Stop();
    if (hitCounting) {
      lfmHitCountHeartBeat::Stop();
      lfmHitCountControllerPool::ShutDown();
    }
    if (heartbeat)
      lfmHeartBeat::Stop();
    lfmLogFileControllerPool::ShutDown();
    throw;
  }
}

void lfmLogHelper::ShutDown(bool stopHeartbeat) {
  // The reload thread runs the module's code: it must end before anything
  // it uses is torn down, and before the module can be unloaded.
  if (lfmSiteMapHeartBeat::IsStarted())
    lfmSiteMapHeartBeat::Stop();
  if (stopHeartbeat || lfmHeartBeat::IsStarted())
    lfmHeartBeat::Stop();
  lfmLogFileControllerPool::ShutDown();
  // The last interval's counts are written by the pool's shut-down, after
  // the heartbeat can no longer flush beside it.
  if (lfmHitCountHeartBeat::IsStarted())
    lfmHitCountHeartBeat::Stop();
  if (lfmHitCountControllerPool::IsInitialized())
    lfmHitCountControllerPool::ShutDown();
}

int lfmLogHelper::SiteMapLoad() {
  const tsServiceModelSettings::Values& v = tsServiceModelSettings::Get();
  tsSiteParamMapController::Instance().SetFurtherIdCheck(CheckFurtherId);
  tsSiteOverview& loader = tsSiteOverview::Instance();
  loader.Init(v.siteMapFullPath, v.siteMapBackupDir, v.siteMapCheckStatus, v.siteMapReloadSame,
              v.siteMapSleepTime, v.siteMapLockModel);
  lfmPlatform* platform = lfmPlatform::Current();
  lfmDebugLog& log = lfmDebugLog::Instance();
  uint64_t started = platform->TickCountMs();
  int32_t rc = loader.Load(true, nullptr);
  uint64_t elapsed = platform->TickCountMs() - started;
  log.LogFormat(3, "SiteMapLoad(1) time (sec): %4.4f\n", static_cast<double>(elapsed) * 0.001);
  if (rc != 0) {
    log.Log(MESS_SITEMAP_USING_BACKUP, v.siteMapFullPath.c_str(), v.siteMapBackupDir.c_str());
    rc = loader.LoadBackup();
    if (rc != 0)
      log.Log(MESS_SITEMAP_LOAD_FAILURE);
  }
  return rc;
}

int lfmLogHelper::RecoverTemporaryFiles(const std::string& directory,
                                        const std::string& tempExtension,
                                        const std::string& finalExtension) {
  int renamed = 0;
  lfmLogFileRepair::ForEachFile(
      directory, "." + tempExtension, [&](const std::string& from, const std::string&) {
        // A busy file that a live process is still writing is left to it;
        // one that cannot be read or cut is finished as it is.
        lfmLogFileRepair::Result repaired = lfmLogFileRepair::Repair(from, true);
        if (repaired.state == lfmLogFileRepair::kInUse)
          return;
        if (repaired.state == lfmLogFileRepair::kExamined && repaired.size == 0) {
          lfmPlatform::Current()->Remove(from);
          return;
        }
        // A finished file of the same name (the run before finished one,
        // then began it again) is never replaced: the next free "(n)" name
        // is taken.
        if (lfmLogFile::FinishBusyFile(from, finalExtension))
          ++renamed;
      });
  return renamed;
}

// ---- per-request stages ----

void lfmLogHelper::Initialize(lfmRequestData& request) {
  lfmRequest* r = nullptr;
  try {
    request.CheckValidity();
    r = lfmRequestPool::GetRequest();
    r->Reset();
    lfmCookie* cookie = lfmCookiePool::GetCookie();
    cookie->Reset();
    cookie->configured = false;
    lfmParseMapPool::GetParseMapReset();
  } catch (const whException& e) {
    if (r)
      r->valid = false;
    lfmExceptionController::ReportAndRethrow(e, whMethodId(kClass, "Initialize(lfmRequestData&)"));
  }
}

void lfmLogHelper::ValidateRequest(lfmRequestData& request, tsSiteParams& site, bool report) {
  lfmRequest* r = nullptr;
  try {
    r = lfmRequestPool::GetRequest();
    r->PostReadValidate(request, site, report);
  } catch (const whException& e) {
    if (r)
      r->valid = false;
    lfmExceptionController::ReportAndRethrow(e, whMethodId(kClass, "Initialize(lfmRequestData&)"));
  }
}

bool lfmLogHelper::PrepareHit(lfmRequestData& request) {
  request.CheckValidity();
  lfmRequest* r = lfmRequestPool::GetRequest();
  if (!r->valid)
    return false;
  const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
  lfmCookie* cookie = lfmCookiePool::GetCookie();
  if (!cookie->valid && !s.logInvalidHits)
    return false;

  lfmParseMap& map = *lfmParseMapPool::GetParseMap();
  const char* raw = request.GetSrcURIQuery();
  if (raw && *raw)
    map.ParseQuery(raw);

  std::string extra;
  if (s.trackFirstTimeCookies && !HasCfgFlag(request, kCfgNoCookieTest)) {
    if (lfmLogElementMap::IsPresent(map, KYR_REDIRECT)) {
      if (!cookie->isNew && !cookie->value.empty()) {
        std::string item = "ZR.co_d=" + lfmLogElementMap::Encode(cookie->value.c_str());
        AddParam(extra, item);
        request.SetSrcInCookie("-");
        AddParam(extra, "ZR.co=Yes");
      } else {
        AddParam(extra, "ZR.co=No");
      }
    } else if (!cookie->isNew) {
      AddParam(extra, "ZR.co=Yes");
    }
  }
  if (s.hostedModel && tsServiceModelSettings::ServiceModel() &&
      tsServiceModelSettings::TrackVisitors() && !HasCfgFlag(request, kCfgNoVisitorTracking) &&
      !cookie->isNew) {
    if (cookie->newSessionVisit)
      AddParam(extra, "ZR.vt_s=1");
    if (cookie->newDailyVisit)
      AddParam(extra, "ZR.vt_d=1");
  }
  if (s.enableHeaderParams) {
    const char* params = request.GetSrcHeaderParams();
    if (params && *params)
      AddParam(extra, params);
  }

  const char* server = nullptr;
  size_t serverLength = 0;
  if (lfmLogElementMap::GetValue(map, KYR_SERVERIP, &server, true, true, &serverLength) &&
      std::memchr(server, ':', serverLength)) {
    // The address without its port is a part of the stored value: the
    // value is narrowed to it where it stands.
    std::string_view whole(server, serverLength);
    std::string_view host = StripPort(whole);
    if (host.size() != whole.size())
      map.NarrowAt(map.SlotOf(KYR_SERVERIP, lfmLogElementMap::ParameterName(KYR_SERVERIP)),
                   static_cast<size_t>(host.data() - server), host.size());
  }

  if (!r->PostParseValidate(request, map))
    return false;

  const char* method = "GET";
  const char* uri = "/";
  const char* query = "";
  const char* text = nullptr;
  ReadField(map, KYR_METHOD, &method);
  ReadField(map, KYR_URI, &uri);
  ReadField(map, KYR_QUERY, &query);
  request.SetSrcProtocol(ReadField(map, KYR_PROTOCOL, &text) ? text : "-");
  request.SetSrcRequest(method, uri, query, extra.c_str());
  request.SetSrcReferrer(ReadField(map, KYR_REFERRER, &text) ? text : "-");
  request.SetSrcUserName(ReadField(map, KYR_AUTHUSER, &text) ? text : "-");
  request.SetSrcServerIP(ReadField(map, KYR_SERVERIP, &text) ? text : "-");

  long status = 200;
  if (lfmLogElementMap::GetValue(map, KYR_STATUS, &text, true, false)) {
    long v = ToLong(text);
    if (v > 0)
      status = v;
  }
  request.SetSrcStatus(status);
  if (lfmLogElementMap::GetValue(map, KYR_BYTES, &text, true, false)) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v < 0)
      v = 0;
    if (v > static_cast<long long>(UINT32_MAX))
      v = UINT32_MAX;
    request.SetSrcBytes(static_cast<uint32_t>(v));
  }
  if (s.replayInProgress) {
    if (ReadField(map, KYR_CLIENTIP, &text))
      request.SetSrcClientIP(text);
    if (lfmLogElementMap::GetValue(map, KYR_REPLAYDATE, &text, true, false)) {
      long long t = std::strtoll(text, nullptr, 10);
      if (IsCalendarTime(t))
        request.SetSrcDate(static_cast<time_t>(t));
    }
  }
  return true;
}

void lfmLogHelper::PerformFixup(lfmRequestData& request, std::string* out) {
  try {
    request.CheckValidity();
    if (request.IsExpireResponse())
      request.SetSrcExpires(kExpiredDate);
    const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
    if (!s.issueP3P)
      return;
    const char* p3p = nullptr;
    if ((s.p3pFrom & lfmLogServerSettings::kP3PHit) &&
        lfmLogElementMap::GetValue(*lfmParseMapPool::GetParseMap(), KYR_P3P, &p3p, true, false)) {
      std::string whole = p3p;
      size_t comma = whole.find(',');
      std::string id = whole.substr(0, comma);
      std::string ref = comma == std::string::npos ? std::string() : whole.substr(comma + 1);
      // Parts that could split or rewrite a header are dropped, and reported.
      if (!IsSafeHeaderText(id))
        lfmCompactPolicy::RejectUnsafe(&id);
      if (!IsSafeHeaderText(ref))
        lfmCompactPolicy::RejectUnsafe(&ref);
      std::string expansion;
      if (!id.empty() && !lfmCompactPolicy::Resolve(id, &expansion))
        expansion.clear();
      std::string value;
      if (!expansion.empty())
        value = "CP=\"" + expansion + "\"";
      if (!ref.empty()) {
        if (!value.empty())
          value += ',';
        value += "policyref=\"" + ref + "\"";
      }
      if (!value.empty()) {
        if (out)
          *out = value;
        else
          request.SetSrcOutHeader("P3P", value.c_str());
      }
    } else if (s.p3pFrom & lfmLogServerSettings::kP3PGlobal) {
      if (out)
        *out = s.p3p;
      else
        request.SetSrcOutHeader("P3P", s.p3p.c_str());
    }
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e,
                                             whMethodId(kClass, "PerformFixup(lfmRequestData&)"));
  }
}

// ---- readers of the tag's own parameters ----

const char* lfmLogHelper::FindQueryParam(const char* query, const char* name, size_t* length) {
  if (!query || !name || !*name)
    return nullptr;
  const std::string_view key(name);
  const size_t n = key.size();
  // Tag parameter names mostly share their length and first letters: the
  // name's last letter, just before the "=", tells most of them apart.
  const char last = lfmUtility::FoldCase(key.back());
  for (const char* p = query; *p;) {
    const char* end = std::strchr(p, '&');
    size_t segment = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (segment > n && p[n] == '=' && lfmUtility::FoldCase(p[n - 1]) == last &&
        lfmUtility::EqualsNoCase(std::string_view(p, n), key)) {
      if (length)
        *length = segment - n - 1;
      return p + n + 1;
    }
    if (!end)
      break;
    p = end + 1;
  }
  return nullptr;
}

bool lfmLogHelper::HasCfgFlag(lfmRequestData& request, uint32_t mask) {
  if (!lfmLogServerSettings::CfgByHit())
    return false;
  const char* name = lfmLogElementMap::ParameterName(KYR_CFG);
  if (!name || !*name)
    return false;
  std::string text;
  const char* value = nullptr;
  lfmParseMap* map = lfmParseMapPool::GetParseMap();
  if (lfmLogElementMap::GetValue(*map, KYR_CFG, &value, true, true)) {
    text = value;
  } else {
    size_t length = 0;
    const char* found = FindQueryParam(request.GetSrcOrigURIQuery(), name, &length);
    if (!found)
      return false;
    text.assign(found, length);
  }
  return (std::strtoul(text.c_str(), nullptr, 16) & mask) != 0;
}

bool lfmLogHelper::HasRedirectParam(lfmRequestData& request) {
  const char* name = lfmLogElementMap::ParameterName(KYR_REDIRECT);
  return FindQueryParam(request.GetSrcOrigURIQuery(), name, nullptr) != nullptr;
}

bool lfmLogHelper::ReadHitDate(lfmRequestData& request, unsigned long* seconds) {
  size_t length = 0;
  const char* value = FindQueryParam(request.GetSrcOrigURIQuery(), "kyrdat", &length);
  if (!value || length < 4 || length > 13)
    return false;
  for (size_t i = 0; i < length; ++i)
    if (value[i] < '0' || value[i] > '9')
      return false;
  // At most ten digits of seconds (milliseconds dropped): no overflow of
  // the 64-bit sum; narrowed as strtoul would on this platform.
  unsigned long long sum = 0;
  for (size_t i = 0; i + 3 < length; ++i)
    sum = sum * 10 + static_cast<unsigned>(value[i] - '0');
  *seconds = sum > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(sum);
  return true;
}

// ---- text helpers ----

std::string_view lfmLogHelper::StripPort(std::string_view address) {
  if (!address.empty() && address[0] == '[') {
    size_t close = address.find(']');
    if (close != std::string_view::npos && close + 1 < address.size() && address[close + 1] == ':')
      return address.substr(1, close - 1);
    return address;
  }
  size_t colon = address.find(':');
  if (colon == std::string_view::npos || address.find(':', colon + 1) != std::string_view::npos)
    return address;  // no port, or a bare IPv6 address
  return address.substr(0, colon);
}

void lfmLogHelper::EncodeHeaderValue(const char* value, std::string& out) {
  for (const char* p = value; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == ' ') {
      out += '+';
    } else if (c == '"' || c == '%' || c == '&' || c == ',' || c == ';' || c == '=' || c < 0x20 ||
               c == 0x7F) {
      lfmUtility::AppendPercentByte(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
}

bool lfmLogHelper::IsSafeHeaderText(const std::string& text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '"')
      return false;
  }
  return true;
}
