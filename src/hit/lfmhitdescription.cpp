#include "hit/lfmhitdescription.h"

#include "diag/lfmdebuglog.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmrequestdata.h"
#include "util/lfmutility.h"

void lfmHitDescription::Append(lfmRequestData& request, std::string& text) {
  const char* ip = request.GetSrcClientIP();
  const char* uri = request.GetSrcURIStem();
  const char* cookie = request.GetSrcInCookie();
  text += "\nClient IP: ";
  lfmUtility::AppendForMessage(text, ip ? ip : "");
  text += "\nURI: ";
  lfmUtility::AppendForMessage(text, uri ? uri : "");
  text += "\nCookie: ";
  if (cookie)
    lfmUtility::AppendForMessage(text, lfmLogRecord::RemoveTrackingCookies(cookie));
}

void lfmHitDescription::Report(const lfmMessage& m, lfmRequestData& request, int gate) {
  lfmDebugLog& log = lfmDebugLog::Instance();
  if (!log.Admit(m, gate))
    return;
  int level = m.level;
  if (gate > level)
    level = gate < kMessageInformation ? gate : kMessageInformation;
  std::string text = Of(request);
  log.LogAdmitted(m, level, text.c_str());
}

void lfmHitDescription::Report(const lfmMessage& m, lfmRequestData& request) {
  Report(m, request, m.level);
}
