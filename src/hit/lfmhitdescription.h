#pragma once
// The description of a hit that hit-related operator messages carry: the
// client address, the URI and the Cookie header without the tracking
// cookies. Each value is written as one safe text (escaped and bounded,
// lfmUtility::AppendForMessage), so that a request can neither start a line
// of the audit file nor make one entry grow without bound. Building it reads
// the request; Report() asks lfmDebugLog::Admit() first, so that rejected
// hits cost nothing when the message would not be output or is over its
// per-minute limit.

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
  // message of level `gate` is output anywhere and the per-request limit
  // admits it (the description is only built then). A gate above m's level
  // also raises it at that lesser importance (information at most), so that
  // it reaches only the destinations that take such messages. Never throws
  // a whException for a bound record.
  static void Report(const lfmMessage& m, lfmRequestData& request, int gate);
  static void Report(const lfmMessage& m, lfmRequestData& request);  // gate: m's level
};
