#pragma once
// The cookie server: decides once per tag hit what happens to the visitor
// cookie (nothing, keep, issue, re-issue, or the cookie-test redirect), and
// in the hosted service model issues the visitor-tracking cookies. It keeps
// no state between hits and takes no lock: it works on the request's
// worker thread with that thread's pooled cookie and the read-only
// settings.

class lfmRequestData;
struct tsSiteParams;

class lfmCookieServer {
 public:
  // Processes the visitor cookie of a valid tag hit: fills the thread's
  // lfmCookie, adds the Set-Cookie headers, or marks the request for the
  // cookie-test redirect. Never throws: a failure is reported and leaves
  // the cookie marked invalid.
  static void ProcessCookie(lfmRequestData& request, const tsSiteParams& site);

  // For a request marked for the cookie-test redirect: builds the
  // redirect's header text (Location back to the tag with the redirect
  // marker, the new cookie, P3P) in the request record and clears the mark.
  // False when no redirect can be built; the caller then goes on as for a
  // hit without one.
  static bool BuildRedirect(lfmRequestData& request);
};
