#pragma once
// One visitor cookie: the value the hit brought or was given, and the
// cookie settings it is issued with. Recycled per worker thread through the
// cookie pool; every hit starts with Reset(), and the settings are copied
// again (Configure) whenever the pipeline cleared `configured`. Belongs to
// one thread; no lock.

#include <cstdint>
#include <string>
#include <string_view>

class lfmRequestData;

class lfmCookie {
 public:
  // Copies the cookie settings (loading them on first use).
  lfmCookie();
  virtual ~lfmCookie() = default;
  lfmCookie(const lfmCookie&) = delete;
  lfmCookie& operator=(const lfmCookie&) = delete;

  // The state of a hit without a cookie: no value, a cookie to be issued,
  // nothing wrong with it, no tracking cookie issued yet.
  virtual void Reset();
  // Reads this cookie's value from the whole Cookie header: when the
  // header holds a cookie of this name, isNew becomes false and the value
  // is taken (PopulateValue). Throws whException 1000 for an empty header.
  virtual void Populate(std::string_view cookieHeader);
  // Checks the value's code (and the old forms when "validateoldcookie" is
  // on); stores and returns the verdict. An invalid value raises
  // MESS_COOKIE_BAD with the hit's description.
  virtual bool Validate(lfmRequestData& request);
  // Replaces the value with a new visitor id for `clientIp`: the address,
  // "-", the current time as a file time (low half "." high half; see
  // NextIdStamp), and for version 2 "::" and the id's code.
  virtual void Generate(const char* clientIp);

  // The file time of the next visitor id: the clock's, to the millisecond,
  // unless that is not later than the last id's; then one tick (100 ns)
  // after the last. So every id the process issues is distinct and their
  // times strictly increase. Thread-safe, lock-free.
  static uint64_t NextIdStamp();
  // For tests only: forgets the last id's time.
  static void ResetIdStampForTest();

  // `piece` is "name=value": value becomes everything after the first "="
  // when at least one character follows it; otherwise value is unchanged.
  void PopulateValue(std::string_view piece);
  // Copies the cookie settings into the fields below (only what differs
  // from the last copy) and sets `configured`.
  void Configure();

  // The checks Validate() combines; exposed for their tests.
  static bool HasValidCode(std::string_view value);
  static bool IsOldFormA(std::string_view value);
  static bool IsOldFormB(std::string_view value);

  std::string value;
  std::string name;
  std::string path;
  std::string domain;
  std::string expirationDate;  // the expiry attribute text of date-type cookies
  int32_t expirationType = 1;
  int32_t expirationSeconds = 0;
  int32_t cookieVersion = 1;
  bool valid = true;
  bool isNew = true;
  bool secure = false;
  bool includePath = true;
  bool newSessionVisit = false;
  bool newDailyVisit = false;
  // Set once the object took the cookie settings for this request; cleared
  // by the pipeline at the start of every request.
  bool configured = false;

 private:
  uint32_t settingsGeneration_ = 0;  // of the settings last copied
};
