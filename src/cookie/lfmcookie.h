#pragma once
// One visitor cookie, recycled per worker thread through the cookie pool:
// the state the hit pipeline reads after the cookie server has run.
// Belongs to one thread; no lock.

#include <string>

class lfmCookie {
 public:
  lfmCookie() { Reset(); }
  virtual ~lfmCookie() = default;
  lfmCookie(const lfmCookie&) = delete;
  lfmCookie& operator=(const lfmCookie&) = delete;

  // Forgets the previous hit's cookie.
  virtual void Reset() {
    value.clear();
    valid = true;
    isNew = false;
    newSessionVisit = false;
    newDailyVisit = false;
  }

  std::string value;   // the visitor cookie value
  bool valid = true;   // false when the hit's cookie failed validation
  bool isNew = false;  // no usable cookie came with the hit; one is issued
  bool newSessionVisit = false;
  bool newDailyVisit = false;
  // Set once the object took this request's cookie settings; cleared at
  // the start of every request.
  bool configured = false;
};
