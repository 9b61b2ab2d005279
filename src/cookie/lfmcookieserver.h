#pragma once
// The cookie server: reads, validates and issues the visitor cookie of a
// tag hit and builds the cookie-test redirect. Runs on the request's worker
// thread with the thread's pooled objects.

class lfmRequestData;
struct tsSiteParams;

class lfmCookieServer {
 public:
  // Processes the visitor cookie of a valid tag hit: fills the thread's
  // lfmCookie and may mark the request for the cookie-test redirect.
  static void ProcessCookie(lfmRequestData& request, const tsSiteParams& site);

  // For a request marked for the cookie-test redirect: builds the
  // redirect's header text in the request record and returns true when the
  // redirect is to be sent.
  static bool BuildRedirect(lfmRequestData& request, const tsSiteParams& site);
};
