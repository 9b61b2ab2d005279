#pragma once
// The object pools of the hit pipeline: one parse map, one visitor cookie
// and one validity record per worker thread (see lfmThreadObjects). Callers
// borrow the pointer for the current call and never delete it; objects are
// released when their thread ends.

class lfmCookie;
class lfmParseMap;
class lfmRequest;

class lfmParseMapPool {
 public:
  // Created with one slot per configured parameter name. Throws 1026 (and
  // the element map's failures).
  static lfmParseMap* GetParseMap();
  // The thread's parse map with no parameter of the previous request left.
  // Throws 1017 when none can be had.
  static lfmParseMap* GetParseMapReset();
  static void Release();
  static int Live();
};

class lfmCookiePool {
 public:
  static lfmCookie* GetCookie();
  static void Release();
  static int Live();
};

class lfmRequestPool {
 public:
  // A new validity record starts valid.
  static lfmRequest* GetRequest();
  static void Release();
  static int Live();
};
