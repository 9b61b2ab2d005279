#include "hit/lfmrequest.h"

#include <algorithm>
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

bool IsDigit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}
bool IsAlnum(char c) {
  return IsDigit(c) || static_cast<unsigned char>((c | 0x20) - 'a') < 26;
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
  return std::string(KyrIdPart(stem ? std::string_view(stem) : std::string_view()));
}

std::string_view lfmRequest::KyrIdPart(std::string_view stem) {
  if (stem.empty())
    return "-";
  size_t from = 0;
  while (from < stem.size() && stem[from] == '/')
    ++from;
  std::string_view rest = stem.substr(from, kMaxKyrIdLength);
  const void* slash = std::memchr(rest.data(), '/', rest.size());
  return slash ? rest.substr(0, static_cast<size_t>(static_cast<const char*>(slash) - rest.data()))
               : rest;
}

namespace {

// The check code of `body` (see CheckCode) into code[0..3].
void ComputeCheckCode(const char* body, size_t n, char last, char code[4]) {
  // Characters count as signed 8-bit values; sums of at most 25 of them
  // cannot overflow. Callers check the body's characters first, so every
  // sum is positive and each code character stays printable.
  const size_t weighted = std::min(n, n == 25 ? size_t{9} : size_t{3});
  const size_t tailFrom = std::min(n, n == 25 ? size_t{8} : size_t{3});
  long head = 0, tail = 0, w = 0;
  for (size_t i = 0; i < tailFrom; ++i)
    head += static_cast<signed char>(body[i]);
  for (size_t i = tailFrom; i < n; ++i)
    tail += static_cast<signed char>(body[i]);
  for (size_t i = n - weighted; i < n; ++i)
    w += static_cast<signed char>(body[i]) * static_cast<long>(i - (n - weighted) + 1);
  const long s = head + tail;
  code[0] = static_cast<char>('9' - (tail % 9));
  code[1] = static_cast<char>(last - (w % 25));
  code[2] = static_cast<char>('9' - (s % 9));
  code[3] = static_cast<char>(last - (s % 25));
}

// CheckKyrId, leaving the id as checked (case-folded for the current
// format) in id[0..raw.size()) when the size fits.
int32_t CheckKyrIdInto(std::string_view raw, int32_t format, char id[30]) {
  using R = lfmRequest;
  const bool current = format == R::kCurrentFormat;
  const size_t length = format == R::kFirstFormat ? 14 : 30;
  const size_t bodyEnd = format == R::kFirstFormat ? 9 : 25;
  if (raw.size() != length)
    return R::kKyrIdSize;
  if (current)
    for (size_t i = 0; i < length; ++i)
      id[i] = lfmUtility::FoldCase(raw[i]);
  else
    std::memcpy(id, raw.data(), length);
  if (std::memcmp(id, current ? "kyr" : "KYR", 3) != 0)
    return R::kKyrIdStart;
  for (size_t i = 3; i < bodyEnd; ++i)
    if (format == R::kFirstFormat ? !IsDigit(id[i]) : !IsAlnum(id[i]))
      return R::kKyrIdBody;
  if (id[bodyEnd] != '_')
    return R::kKyrIdSeparator;
  char code[4];
  ComputeCheckCode(id, bodyEnd, current ? 'z' : 'Z', code);
  if (std::memcmp(code, id + bodyEnd + 1, 4) != 0)
    return R::kKyrIdTampered;
  return R::kKyrIdOk;
}

}  // namespace

std::string lfmRequest::CheckCode(const char* body, size_t n, char last) {
  char code[4];
  ComputeCheckCode(body, n, last, code);
  return std::string(code, 4);
}

int32_t lfmRequest::CheckKyrId(std::string_view raw, int32_t format) {
  char id[30];
  return CheckKyrIdInto(raw, format, id);
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
  char checked[30];
  for (int32_t i = 0; i < count; ++i) {
    error = CheckKyrIdInto(id, formats[i], checked);
    if (error == kKyrIdOk) {
      if (stored)
        stored->assign(checked, id.size());
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
      std::string_view id =
          KyrIdPart(stem ? std::string_view(stem, static_cast<size_t>(stemLength)) : "");
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
