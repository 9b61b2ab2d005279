#include "hit/lfmhitdescription.h"

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
