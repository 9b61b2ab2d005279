#include "cookie/lfmcookie.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cookie/lfmcookiehelper.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "hit/lfmhitdescription.h"
#include "util/lfmclock.h"
#include "util/whexceptiontexts.h"

namespace {

constexpr const char* kSeparator = "::";

// Digits and dots only, not empty, with exactly `dots` dots.
bool IsDottedNumber(std::string_view text, int dots) {
  if (text.empty())
    return false;
  int seen = 0;
  for (char c : text) {
    if (c == '.')
      ++seen;
    else if (c < '0' || c > '9')
      return false;
  }
  return seen == dots;
}

// The file time of the last visitor id this process issued. Never
// destroyed: request threads may issue ids while the process ends.
std::atomic<uint64_t>& LastIdStamp() {
  static std::atomic<uint64_t>* last = new std::atomic<uint64_t>(0);
  return *last;
}

}  // namespace

uint64_t lfmCookie::NextIdStamp() {
  // Millisecond resolution, like the system clock read as a file time. Two
  // ids of one millisecond (or of a clock set back) take the next free
  // value instead, within the sub-millisecond digits while they last.
  uint64_t stamp = lfmClock::NowFileTime();
  stamp -= stamp % 10000;
  std::atomic<uint64_t>& last = LastIdStamp();
  uint64_t prior = last.load(std::memory_order_relaxed);
  uint64_t next;
  do {
    next = stamp > prior ? stamp : prior + 1;
  } while (!last.compare_exchange_weak(prior, next, std::memory_order_relaxed));
  return next;
}

void lfmCookie::ResetIdStampForTest() {
  LastIdStamp().store(0, std::memory_order_relaxed);
}

lfmCookie::lfmCookie() {
  value.reserve(8);
  Configure();
}

void lfmCookie::Configure() {
  const lfmCookieSettings::Values& s = lfmCookieSettings::Get();
  if (settingsGeneration_ != s.generation) {
    name = s.name;
    path = s.path;
    domain = s.domain;
    expirationDate = s.expiryAttribute;
    expirationType = s.expirationType;
    expirationSeconds = s.expirationSeconds;
    cookieVersion = s.cookieVersion;
    secure = s.secure;
    includePath = s.includePath;
    settingsGeneration_ = s.generation;
  } else if (path != s.path) {
    path = s.path;  // a per-site path of an earlier hit
  }
  newSessionVisit = false;
  newDailyVisit = false;
  configured = true;
}

void lfmCookie::Reset() {
  value.clear();
  isNew = true;
  valid = true;
  newSessionVisit = false;
  newDailyVisit = false;
}

void lfmCookie::Populate(std::string_view cookieHeader) {
  if (cookieHeader.empty())
    throw whException("lfmCookie", "Populate()", "./src/cookie/lfmcookie.cpp", __LINE__,
                      whText::kFreeText, "Attempted to parse empty cookie string.");
  std::string_view piece;
  if (lfmCookieHelper::FindCookie(cookieHeader, name, &piece)) {
    isNew = false;
    PopulateValue(piece);
  }
}

void lfmCookie::PopulateValue(std::string_view piece) {
  std::string_view v;
  if (lfmCookieHelper::PopulateValue(piece, &v))
    value.assign(v.data(), v.size());
}

bool lfmCookie::HasValidCode(std::string_view value) {
  // The code follows the last "::": an IPv6 client's id holds "::" itself.
  size_t at = value.rfind(kSeparator);
  if (at == std::string_view::npos)
    return false;
  std::string_view code = value.substr(at + 2);
  if (code.size() != lfmCookieHelper::kCodeLength)
    return false;  // an empty or cut code never matches
  char expected[lfmCookieHelper::kCodeLength + 1];
  lfmCookieHelper::Sign(value.substr(0, at), expected);
  return std::memcmp(expected, code.data(), code.size()) == 0;
}

bool lfmCookie::IsOldFormA(std::string_view value) {
  if (value.find(kSeparator) != std::string_view::npos)
    return false;
  size_t dash = value.find('-');
  if (dash == std::string_view::npos)
    return false;
  return IsDottedNumber(value.substr(0, dash), 3) && IsDottedNumber(value.substr(dash + 1), 1);
}

bool lfmCookie::IsOldFormB(std::string_view value) {
  size_t sep = value.find(kSeparator);
  size_t dash = value.find('-');
  if (sep == std::string_view::npos || dash == std::string_view::npos || dash > sep)
    return false;
  return IsDottedNumber(value.substr(0, dash), 3) &&
         IsDottedNumber(value.substr(dash + 1, sep - dash - 1), 1) &&
         value.size() - sep - 2 == lfmCookieHelper::kCodeLength;
}

bool lfmCookie::Validate(lfmRequestData& request) {
  valid = HasValidCode(value);
  if (!valid && lfmCookieSettings::ValidateOldCookie())
    valid = IsOldFormA(value) || IsOldFormB(value);
  if (!valid)
    lfmHitDescription::Report(MESS_COOKIE_BAD, request);
  return valid;
}

void lfmCookie::Generate(const char* clientIp) {
  const uint64_t stamp = NextIdStamp();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%" PRIu32 ".%" PRIu32, static_cast<uint32_t>(stamp),
                static_cast<uint32_t>(stamp >> 32));
  value.assign(clientIp ? clientIp : "");
  value += suffix;
  if (cookieVersion > 1) {
    char code[lfmCookieHelper::kCodeLength + 1];
    lfmCookieHelper::Sign(value, code);
    value += kSeparator;
    value.append(code, lfmCookieHelper::kCodeLength);
  }
}
