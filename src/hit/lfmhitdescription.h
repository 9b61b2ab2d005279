#pragma once
// The description of a hit that hit-related operator messages carry: the
// client address, the URI and the Cookie header without the tracking
// cookies. Building it reads the request; callers check
// lfmDebugLog::IsLogged() first so that rejected hits cost nothing when the
// message would not be output.

#include <string>

class lfmRequestData;
struct lfmMessage;

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
  // Raises `m` with the description of `request` as its argument, when a
  // message of level `gate` is output anywhere (the description is only
  // built then). Never throws a whException for a bound record.
  static void Report(const lfmMessage& m, lfmRequestData& request, int gate);
  static void Report(const lfmMessage& m, lfmRequestData& request);  // gate: m's level
};
