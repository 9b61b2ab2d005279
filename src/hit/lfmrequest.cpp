#include "hit/lfmrequest.h"

#include <cstring>

#include "diag/lfmdebuglog.h"
#include "diag/lfmexceptioncontroller.h"
#include "hit/lfmhitdescription.h"
#include "hit/lfmlogelementmap.h"
#include "hit/lfmloghelper.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "sitemap/tsservicemodelsettings.h"
#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmutility.h"

namespace {

const char kTruncationMarker[] = "&ZR.tu=1";
constexpr size_t kTruncationMarkerLength = sizeof(kTruncationMarker) - 1;

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Raises `m` with the hit description when `gate` is logged.
void ReportHit(const lfmMessage& m, lfmRequestData& request, int gate = kMessageWarning) {
  lfmHitDescription::Report(m, request, gate);
}

// Whether the query carries the parameter the tag's page URI comes in
// (KYR_URI), which marks a request meant as a hit. Asked for every page the
// site serves, so it never fails one: an element map that cannot be built
// is reported by the tag requests that need it.
bool CarriesTagUri(lfmRequestData& request) {
  if (!lfmDebugLog::Instance().IsLogged(kMessageWarning))
    return false;  // the answer would change nothing
  try {
    const char* name = lfmLogElementMap::ParameterName(KYR_URI);
    return lfmLogHelper::FindQueryParam(request.GetSrcURIQuery(), name, nullptr) != nullptr;
  } catch (const whException&) {
    return false;
  }
}

}  // namespace

std::string lfmRequest::ExtractKyrId(const char* stem) {
  return std::string(KyrIdPart(stem));
}

std::string_view lfmRequest::KyrIdPart(const char* stem) {
  if (!stem || !*stem)
    return "-";
  const char* p = stem;
  while (*p == '/')
    ++p;
  const char* end = p;
  while (*end && *end != '/' && static_cast<size_t>(end - p) < kMaxKyrIdLength)
    ++end;
  return std::string_view(p, static_cast<size_t>(end - p));
}

std::string lfmRequest::CheckCode(const char* body, size_t n, char last) {
  // Characters count as signed 8-bit values; sums of at most 25 of them
  // cannot overflow. Callers check the body's characters first, so every
  // sum is positive and each code character stays printable.
  size_t weighted = n == 25 ? 9 : 3;
  size_t tailFrom = n == 25 ? 8 : 3;
  long s = 0, w = 0, t = 0;
  for (size_t i = 0; i < n; ++i) {
    long c = static_cast<signed char>(body[i]);
    s += c;
    if (i >= n - weighted)
      w += c * static_cast<long>(i - (n - weighted) + 1);
    if (i >= tailFrom)
      t += c;
  }
  std::string code(4, ' ');
  code[0] = static_cast<char>('9' - (t % 9));
  code[1] = static_cast<char>(last - (w % 25));
  code[2] = static_cast<char>('9' - (s % 9));
  code[3] = static_cast<char>(last - (s % 25));
  return code;
}

int32_t lfmRequest::CheckKyrId(std::string_view raw, int32_t format) {
  size_t length = format == kFirstFormat ? 14 : 30;
  size_t bodyEnd = format == kFirstFormat ? 9 : 25;
  if (raw.size() != length)
    return kKyrIdSize;
  // The current format is read case-folded: a copy on the stack, as every
  // hosted hit checks its id here.
  char id[30];
  for (size_t i = 0; i < length; ++i)
    id[i] = format == kCurrentFormat ? lfmUtility::FoldCase(raw[i]) : raw[i];
  if (std::memcmp(id, format == kCurrentFormat ? "kyr" : "KYR", 3) != 0)
    return kKyrIdStart;
  for (size_t i = 3; i < bodyEnd; ++i)
    if (format == kFirstFormat ? !IsDigit(id[i]) : !IsAlnum(id[i]))
      return kKyrIdBody;
  if (id[bodyEnd] != '_')
    return kKyrIdSeparator;
  char last = format == kCurrentFormat ? 'z' : 'Z';
  if (CheckCode(id, bodyEnd, last).compare(0, 4, id + bodyEnd + 1, 4) != 0)
    return kKyrIdTampered;
  return kKyrIdOk;
}

int32_t lfmRequest::MatchKyrId(std::string_view id, int32_t backToVersion, std::string* stored) {
  int32_t formats[3];
  int32_t count = 0;
  switch (backToVersion) {
    case 3:
      formats[count++] = kCurrentFormat;
      break;
    case 2:
      formats[count++] = kCurrentFormat;
      formats[count++] = kSecondFormat;
      break;
    case 1:
      formats[count++] = kCurrentFormat;
      formats[count++] = kSecondFormat;
      formats[count++] = kFirstFormat;
      break;
    default:
      return kKyrIdNoFormat;
  }
  int32_t error = kKyrIdOk;
  for (int32_t i = 0; i < count; ++i) {
    error = CheckKyrId(id, formats[i]);
    if (error == kKyrIdOk) {
      if (stored) {
        stored->assign(id.data(), id.size());
        if (formats[i] == kCurrentFormat)
          for (char& c : *stored)
            c = lfmUtility::FoldCase(c);
      }
      return kKyrIdOk;
    }
  }
  return error;
}

bool lfmRequest::ValidateKyrId(std::string_view id, int32_t backToVersion, std::string* stored) {
  int32_t error = MatchKyrId(id, backToVersion, stored);
  if (error == kKyrIdOk)
    return true;
  if (error == kKyrIdNoFormat)
    return false;
  static const lfmMessage* const kMessages[] = {nullptr,
                                                &MESS_KYR_ID_INCORRECT_SIZE,
                                                &MESS_KYR_ID_START,
                                                &MESS_KYR_ID_NUMBERS,
                                                &MESS_KYR_ID_SEPARATOR,
                                                &MESS_KYR_ID_TAMPERED};
  lfmDebugLog::Instance().LogValues(*kMessages[error], {id});
  return false;
}

bool lfmRequest::PostReadValidate(lfmRequestData& request, tsSiteParams& site, bool report) {
  try {
    request.CheckValidity();
    bool ok = true;
    bool truncated = false;
    const lfmLogServerSettings::Values& s = lfmLogServerSettings::Get();
    const char* stem = request.GetSrcURIStem();
    const int32_t stemLength = stem ? static_cast<int32_t>(std::strlen(stem)) : -1;
    auto endsWith = [stem, stemLength](const std::string& name) {
      return lfmUtility::TailMatch(name.c_str(), static_cast<int32_t>(name.size()), stem,
                                   stemLength);
    };
    bool tag = endsWith(s.loggingFileName);
    if (!tag && endsWith(s.noScriptFileName)) {
      tag = true;
      request.SetExpireResponse(true);
    }
    if (tag && !s.logTruncatedHits) {
      const char* query = request.GetSrcURIQuery();
      size_t n = query ? std::strlen(query) : 0;
      if (n > kTruncationMarkerLength &&
          std::memcmp(query + n - kTruncationMarkerLength, kTruncationMarker,
                      kTruncationMarkerLength) == 0)
        truncated = true;
    }
    if (truncated) {
      if (report)
        ReportHit(MESS_URL_TOO_LONG, request);
      valid = false;
      return false;
    }
    if (!tag) {
      // Every page, style sheet and icon of the site passes through here.
      // Only a request that carries the tag's URI parameter was meant as a
      // hit; any other is plainly no tag request, worth an information
      // message at most.
      if (report) {
        ReportHit(MESS_INVALID_URI_STEM, request,
                  CarriesTagUri(request) ? kMessageWarning : kMessageInformation);
      }
      valid = false;
      return false;
    }
    if (s.hostedModel) {
      std::string_view id = KyrIdPart(stem);
      std::string& stored = storedId_;
      if (!ValidateKyrId(id, s.kyrIdBackToVersion, &stored)) {
        if (report)
          ReportHit(MESS_INVALID_KYR_ID, request);
        ok = false;
      } else if (tsServiceModelSettings::ServiceModel() &&
                 tsServiceModelSettings::SiteMapEnabled()) {
        if (site.IsListed(stored, tsSiteParamMapController::Instance())) {
          request.SetSrcKYRId(stored.c_str());
        } else {
          if (report)
            lfmHitDescription::Report(MESS_SITEMAP_INVALID_KYR_ID, request);
          ok = false;
        }
      } else {
        request.SetSrcKYRId(stored.c_str());
      }
    }
    if (!ok)
      valid = false;
    return ok;
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e, whMethodId("lfmRequest", "PostReadValidate()"));
  }
}

bool lfmRequest::PostParseValidate(lfmRequestData& request, lfmParseMap& map) {
  try {
    return lfmLogElementMap::CheckRequired(request, map);
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e, whMethodId("lfmRequest", "PostParseValidate()"));
  }
}
