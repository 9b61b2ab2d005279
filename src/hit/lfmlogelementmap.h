#pragma once
// The log element map: which query parameter of a tag request carries each
// log element (the page's URI, query, referrer, ...) and which parameters a
// hit must have. Built once per process from the configuration on first
// use; read-only afterwards, so readers take no lock. A build that fails
// (no KYR_URI entry) leaves the map unbuilt and the next use tries again.

#include <cstdint>
#include <string>
#include <vector>

class lfmParseMap;
class lfmRequestData;

enum lfmLogElementId : int32_t {
  KYR_URI = 1,
  KYR_QUERY = 2,
  KYR_REFERRER = 3,
  KYR_METHOD = 4,
  KYR_AUTHUSER = 5,
  KYR_STATUS = 6,
  KYR_SERVERIP = 7,
  KYR_PROTOCOL = 8,
  KYR_BYTES = 9,
  KYR_DATE = 10,
  KYR_CLIENTIP = 11,
  KYR_P3P = 12,
  KYR_CFG = 13,
  KYR_REDIRECT = 14,
  KYR_REPLAYDATE = 15,
};

class lfmLogElementMap {
 public:
  static constexpr int32_t kMaxId = KYR_REPLAYDATE;
  // Longest value SetValue stores when encoding.
  static constexpr size_t kEncodeMax = 4095;

  // Id of an element name (exact case), 0 when unsupported.
  static int32_t ElementId(const std::string& element);

  // Builds the map when needed. Throws code 1027 without a KYR_URI entry
  // (and 1011/1012 while the configuration cannot be had).
  static void Initialize();

  // The parameter name carrying element `id`; null when not configured.
  static const char* ParameterName(int32_t id);
  static bool IsRequired(int32_t id);

  // Looks `id` up in `map`. False when not configured or absent, and, unless
  // `allowBlank`, when the value holds nothing but blanks (a value read
  // undecoded counts "%20" and "%09" as blanks). With `decode` the stored
  // value is percent-decoded in place, once per request however often it
  // is read. On true `*value` points at the stored text and `*length`, when
  // asked for, holds its length.
  static bool GetValue(lfmParseMap& map, int32_t id, const char** value, bool decode,
                       bool allowBlank, size_t* length = nullptr);

  // Stores `*value` under the parameter of `id` (nothing when `id` is not
  // configured; true when stored). With `encode` blanks, tabs and line ends
  // first become "%20" (a CR LF pair one "%20"), the result is cut to 4095
  // characters, and `*value` is pointed at the stored text. The stored
  // value is final: it is not decoded again. Throws 1010 for a null
  // pointer or text.
  static bool SetValue(lfmParseMap& map, int32_t id, const char** value, bool encode);

  // The encoding SetValue applies.
  static std::string Encode(const char* value);

  // Walks the required parameters in order; at the first one `map` lacks,
  // raises MESS_LOG_HIT_MISSING_PARAM (name and hit description, escaped)
  // when logged and admitted by the per-request limit, and returns false.
  static bool CheckRequired(lfmRequestData& request, lfmParseMap& map);
  // Whether `map` holds the parameter of element `id` (blank or not).
  static bool IsPresent(lfmParseMap& map, int32_t id);

  // Every configured parameter name, in configuration order.
  static const std::vector<std::string>& ParameterNames();
  static const std::vector<std::string>& RequiredNames();

  // For tests only.
  static void ResetForTest();
};
