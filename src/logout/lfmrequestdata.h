#pragma once
// The request record: the one interface through which every stage reads the
// request as the web server delivered it and writes what will be logged,
// the cookies and the response headers. The IIS adapter is its only
// production implementation; tests drive the stages through fakes.
//
// Conventions every implementation keeps:
// - text getters return null when the text is not available (the log line
//   writes "-" for some of them);
// - setters given a null text throw whException 1010 "Incorrect usage:
//   Invalid null string." (ThrowNullString);
// - texts longer than their field are cut and reported, never overrun;
// - callers call CheckValidity() before using a record.
// A record belongs to one worker thread and needs no lock.

#include <cstddef>
#include <cstdint>
#include <ctime>

class lfmRequestData {
 public:
  lfmRequestData() = default;
  virtual ~lfmRequestData() = default;
  lfmRequestData(const lfmRequestData&) = delete;
  lfmRequestData& operator=(const lfmRequestData&) = delete;

  // Throws whException 1013 while the record is not bound to a request.
  void CheckValidity() const;
  bool IsLoaded() const { return loaded_; }

  // ---- what the request delivered, or what a stage set for logging ----
  virtual const char* GetSrcRequestText() = 0;
  virtual const char* GetSrcURIStem() = 0;      // set value, else the server's URL
  virtual const char* GetSrcOrigURIStem() = 0;  // the server's URL as received
  virtual const char* GetSrcURIQuery() = 0;     // set value, else the server's query
  virtual const char* GetSrcOrigURIQuery() = 0;
  virtual const char* GetSrcMethod() = 0;
  // Hit time, seconds since 1970: the set value, else "now" taken on the
  // first call and kept.
  virtual time_t GetSrcDate() = 0;
  virtual const char* GetSrcUserName() = 0;
  virtual const char* GetSrcInCookie() = 0;
  // The Cookie header as the log line carries it; an adapter whose header
  // can outgrow the logged field returns a cut copy here.
  virtual const char* GetSrcLogCookie() { return GetSrcInCookie(); }
  virtual const char* GetSrcOutCookie() = 0;
  virtual const char* GetSrcReferrer() = 0;
  virtual const char* GetSrcClientIP() = 0;
  virtual const char* GetSrcProtocol() = 0;
  virtual const char* GetSrcServerIP() = 0;
  virtual const char* GetSrcUserAgent() = 0;
  virtual long GetSrcStatus() = 0;
  virtual bool IsSrcSecure() = 0;
  virtual uint32_t GetSrcBytes() = 0;
  virtual const char* GetSrcRequestLine() = 0;
  // Throws whException 1000 "Attempted to retrieve uninitialized data."
  // while no KYR ID was set.
  virtual const char* GetSrcKYRId() = 0;
  // Whether a KYR ID was set, so that GetSrcKYRId() would not throw. Readers
  // for which an absent KYR ID is ordinary (the log line, the file key) ask
  // this first: a hit without one costs no exception.
  virtual bool HasSrcKYRId() const = 0;
  virtual const char* GetSrcOrigPath() = 0;

  // ---- setters (a null text throws "Invalid null string.") ----
  // Sets method, URI stem and query (the query fixed up with `added`
  // parameters) and the request text.
  virtual void SetSrcRequest(const char* method, const char* uri, const char* query,
                             const char* added) = 0;
  virtual void SetSrcURIStem(const char* text) = 0;
  virtual void SetSrcURIQuery(const char* text) = 0;
  virtual void SetSrcMethod(const char* text) = 0;
  virtual void SetSrcDate(time_t seconds) = 0;
  virtual void SetSrcUserName(const char* text) = 0;
  virtual void SetSrcInCookie(const char* text) = 0;
  // Adds a "Set-Cookie:" response header with `value`.
  virtual void SetSrcOutCookie(const char* value) = 0;
  virtual void SetSrcReferrer(const char* text) = 0;
  virtual void SetSrcClientIP(const char* text) = 0;
  virtual void SetSrcProtocol(const char* text) = 0;
  virtual void SetSrcServerIP(const char* text) = 0;
  virtual void SetSrcExpires(const char* text) = 0;
  virtual void SetSrcStatus(long status) = 0;
  virtual void SetSrcBytes(uint32_t bytes) = 0;
  virtual void AddSrcOutHeader(const char* name, const char* value) = 0;
  virtual void SetSrcOutHeader(const char* name, const char* value) = 0;
  virtual void SetSrcKYRId(const char* text) = 0;
  virtual void SetSrcOrigPath(const char* text) = 0;
  // Reads a response header into `buffer` (`*size` in: capacity, out: length
  // needed or written). False when absent or the buffer is too small.
  virtual bool GetSrcOutHeader(const char* name, char* buffer, uint32_t* size) = 0;
  virtual bool GetSrcInHeader(const char* name, char* buffer, uint32_t* size) = 0;

  // ---- reserved texts filled in place by later stages ----
  // Each returns a writable buffer of at least `capacity` + 1 bytes that
  // stays valid until the next reserve or Reset of the same text.
  virtual char* ReserveSrcOutCookie(size_t capacity) = 0;
  virtual char* ReserveSrcRedirectHeader(size_t capacity) = 0;
  virtual char* GetSrcRedirectHeader() = 0;
  virtual size_t GetSrcRedirectHeaderCapacity() = 0;
  virtual char* ReserveSrcHeaderParams(size_t capacity) = 0;
  virtual char* GetSrcHeaderParams() = 0;
  virtual size_t GetSrcHeaderParamsCapacity() = 0;

  // ---- per-request flags ----
  virtual void SetRedirectPending(bool pending) = 0;
  virtual bool IsRedirectPending() = 0;
  virtual void SetExpireResponse(bool expire) = 0;
  virtual bool IsExpireResponse() = 0;

  // Clears the record for a new request; the record stays unbound until an
  // implementation binds it again.
  virtual void Reset() = 0;

 protected:
  void SetLoaded(bool loaded) { loaded_ = loaded; }
  // Throws whException 1010 "Incorrect usage: Invalid null string." naming
  // `className` and `methodName`.
  [[noreturn]] static void ThrowNullString(const char* className, const char* methodName);

 private:
  bool loaded_ = false;
};
