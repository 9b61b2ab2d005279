#include "hit/lfmhitdescription.h"

#include "diag/lfmdebuglog.h"
#include "hit/lfmrequestdata.h"
#include "logout/lfmlogrecord.h"

void lfmHitDescription::Append(lfmRequestData& request, std::string& text) {
  const char* ip = request.GetSrcClientIP();
  const char* uri = request.GetSrcURIStem();
  const char* cookie = request.GetSrcInCookie();
  text += "\nClient IP: ";
  text += ip ? ip : "";
  text += "\nURI: ";
  text += uri ? uri : "";
  text += "\nCookie: ";
  if (cookie)
    text += lfmLogRecord::RemoveTrackingCookies(cookie);
}

void lfmHitDescription::Report(const lfmMessage& m, lfmRequestData& request, int gate) {
  lfmDebugLog& log = lfmDebugLog::Instance();
  if (!log.IsLogged(gate))
    return;
  std::string text = Of(request);
  log.Log(m, text.c_str());
}

void lfmHitDescription::Report(const lfmMessage& m, lfmRequestData& request) {
  Report(m, request, m.level);
}
