#include "cookie/lfmcookieserver.h"

// Visitor cookies are not issued yet: every hit keeps the cookie state of a
// returning visitor without a value, and no request is marked for the
// cookie-test redirect, so BuildRedirect is never reached.

void lfmCookieServer::ProcessCookie(lfmRequestData&, const tsSiteParams&) {}

bool lfmCookieServer::BuildRedirect(lfmRequestData&, const tsSiteParams&) {
  return false;
}
