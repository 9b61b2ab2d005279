#pragma once
// The description of a hit that hit-related operator messages carry: the
// client address, the URI and the Cookie header without the tracking
// cookies. Building it reads the request; callers check
// lfmDebugLog::IsLogged() first so that rejected hits cost nothing when the
// message would not be output.

#include <string>

class lfmRequestData;

class lfmHitDescription {
 public:
  // Appends "\nClient IP: <ip>\nURI: <stem>\nCookie: <cookie>" to `text`.
  // Absent values read as empty. Never throws a whException for a bound
  // record.
  static void Append(lfmRequestData& request, std::string& text);
  static std::string Of(lfmRequestData& request) {
    std::string text;
    Append(request, text);
    return text;
  }
};
