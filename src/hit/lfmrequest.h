#pragma once
// The thread's validity record of the current request, and the checks that
// decide it: is this a tag request, is it complete, is its KYR ID well
// formed (and listed), does it carry every required parameter. Pooled per
// worker thread; no lock.

#include <cstdint>
#include <string>
#include <string_view>

class lfmParseMap;
class lfmRequestData;
struct tsSiteParams;

class lfmRequest {
 public:
  // Longest KYR ID taken from a URI stem.
  static constexpr size_t kMaxKyrIdLength = 30;

  // KYR ID formats, newest first, and the check results of CheckKyrId.
  enum KyrIdFormat : int32_t { kCurrentFormat = 3, kSecondFormat = 2, kFirstFormat = 1 };
  enum KyrIdError : int32_t {
    kKyrIdOk = 0,
    kKyrIdSize = 1,
    kKyrIdStart = 2,
    kKyrIdBody = 3,
    kKyrIdSeparator = 4,
    kKyrIdTampered = 5,
    kKyrIdNoFormat = 6,  // the accepted-formats setting accepts none
  };

  lfmRequest() { Reset(); }
  virtual ~lfmRequest() = default;
  lfmRequest(const lfmRequest&) = delete;
  lfmRequest& operator=(const lfmRequest&) = delete;

  virtual void Reset() { valid = true; }

  // Recognises the tag file, rejects truncated hits and, in the hosted
  // model, checks the KYR ID of the stem and stores it in `request`.
  // Rejections raise their message when `report` is set and the message
  // is logged. Returns the verdict, also kept in `valid`. A whException is
  // reported (lfmRequest / PostReadValidate()) and thrown on.
  virtual bool PostReadValidate(lfmRequestData& request, tsSiteParams& site, bool report);

  // True when `map` holds every required parameter; otherwise the first
  // missing one is reported. A whException is reported and thrown on.
  virtual bool PostParseValidate(lfmRequestData& request, lfmParseMap& map);

  // Takes the KYR ID from `stem`: leading "/" skipped, up to the next "/"
  // or 30 characters; "-" for an empty stem.
  static std::string ExtractKyrId(const char* stem);
  // The same as a part of `stem` (a literal "-" for an empty stem).
  static std::string_view KyrIdPart(std::string_view stem);
  // Checks `id` against one format; a current-format id is checked in lower
  // case. Returns a KyrIdError.
  static int32_t CheckKyrId(std::string_view id, int32_t format);
  // The four check characters of the first `n` characters of `body`;
  // `last` is 'z' or 'Z'. `n` is 25 or 9.
  static std::string CheckCode(const char* body, size_t n, char last);
  // Checks `id` by the formats `backToVersion` accepts (as below) without
  // raising a message: kKyrIdOk with `*stored` set, or the last format's
  // KyrIdError (kKyrIdNoFormat for a setting that accepts none).
  static int32_t MatchKyrId(std::string_view id, int32_t backToVersion, std::string* stored);
  // Checks `id` by the formats `backToVersion` accepts (3: current only,
  // 2: also the second, 1: all three). On success `*stored` receives the
  // id as it is kept (lower case for the current format). On failure the
  // last format's error raises its message (not gated by `report`).
  static bool ValidateKyrId(std::string_view id, int32_t backToVersion, std::string* stored);

  bool valid = true;

 private:
  // The hit's KYR ID as kept; its storage is reused from hit to hit.
  std::string storedId_;
};
