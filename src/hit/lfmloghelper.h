#pragma once
// The hit pipeline's stages and the system's start-up and shut-down. For
// every response the filter runs, on the request's worker thread and with
// that thread's pooled objects: Initialize, ValidateRequest, the cookie
// server, PrepareHit, then the log line (or the cookie-test redirect) and
// PerformFixup. Stages take no lock; shared structures lock internally.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class lfmParseMap;
class lfmRequestData;
struct tsSiteParams;

class lfmLogHelper {
 public:
  // Expires header of no-script tag responses.
  static constexpr const char* kExpiredDate = "Tue, 1 Jan 1980 01:01:01 GMT";
  // Masks of the KYR_CFG flags.
  static constexpr uint32_t kCfgNoCookies = 0x1;     // no cookie processing at all
  static constexpr uint32_t kCfgNoCookieTest = 0x2;  // no cookie-test redirect or parameters
  // No expiry on the issued cookie, no visitor tracking.
  static constexpr uint32_t kCfgNoVisitorTracking = 0x4;
  static constexpr uint32_t kCfgNoExpiry = 0x4;

  // Prepares the log header and the controller pool, starts the flush
  // heartbeat (when `startHeartbeat`), and in the hosted service model
  // loads the site map and finishes log files an earlier run left busy.
  // Throws whException; a failed start first stops what it started.
  static void StartUp(bool startHeartbeat);
  // Stops the flush heartbeat (when `stopHeartbeat`) and flushes and closes
  // every log file. Never throws a whException.
  static void ShutDown(bool stopHeartbeat);

  // Resets the thread's validity record, cookie and parse map. A
  // whException is reported (lfmLogHelper / Initialize(lfmRequestData&))
  // and thrown on.
  static void Initialize(lfmRequestData& request);
  // The thread's validity record checks the request (PostReadValidate).
  // Reported and thrown on likewise.
  static void ValidateRequest(lfmRequestData& request, tsSiteParams& site, bool report);
  // Parses the query, adds the cookie-test, visitor-tracking and header
  // parameters, strips a port from the server address, checks required
  // parameters and copies the page fields into `request`. True when the
  // hit is to be logged.
  static bool PrepareHit(lfmRequestData& request);
  // Adds the Expires header of a no-script hit and the P3P header. With
  // `out`, the P3P value goes there instead of into a header. Reported
  // (lfmLogHelper / PerformFixup(lfmRequestData&)) and thrown on.
  static void PerformFixup(lfmRequestData& request, std::string* out = nullptr);

  // Whether the hit's KYR_CFG flags (hexadecimal) hold a bit of `mask`;
  // always false unless "cfgbyhit" is on. Reads the parse map, or the query
  // as received while the map is not filled.
  static bool HasCfgFlag(lfmRequestData& request, uint32_t mask);
  // Whether the query as received carries the KYR_REDIRECT parameter.
  static bool HasRedirectParam(lfmRequestData& request);
  // The hit time the page sent ("kyrdat", 4 to 13 digits of milliseconds),
  // in seconds; false when absent or malformed.
  static bool ReadHitDate(lfmRequestData& request, unsigned long* seconds);

  // Reads every settings section and builds the log element map now, so
  // that their reports and warnings come at start rather than at the first
  // hit that needs them; warns about each setting the collector does not
  // read or cannot read (lfmKnownSettings) and each output directory it
  // cannot write. False when hits could not be logged as configured (no
  // element map, an output directory that cannot be written); a start goes
  // on regardless, as a directory may become writable. Throws what loading
  // the configuration throws.
  static bool LoadSettings();
  // The directories log and hit-count files go to, each with the setting
  // that names it: the log directory; in the hosted service model with a
  // site map the short lag and real time directories; when hits are
  // counted the hit-count directory, or the root's log directory that the
  // counter falls back to when its own cannot be made. Loads the settings.
  struct OutputDirectory {
    std::string path;
    const char* setting;
  };
  static std::vector<OutputDirectory> OutputDirectories();
  // Why no hit can be logged now, as one line for anyone to read (it names
  // no path): the start could not build the log element map, or an output
  // directory cannot be written. Empty when hits can be logged. Thread-safe
  // once the start has loaded the settings.
  static std::string LogFault();
  // The configuration check: what StartUp reads and examines, and nothing it
  // writes (no log, busy, backup or audit file): LoadSettings, then, in the
  // hosted service model with a site map, the site map file (or, as a start
  // would fall back, its newest backup) read and verified. True when a
  // start would log hits. Throws what loading the configuration throws.
  static bool Check();

  // Loads the site map; 0 when loaded.
  static int SiteMapLoad();

  // Finishes the files of `directory` that carry `tempExtension`: empty
  // ones are deleted, the others renamed to `finalExtension`; a failed
  // rename raises MESS_LOG_FILE_RENAME_FAILURE. Returns the number renamed.
  static int RecoverTemporaryFiles(const std::string& directory, const std::string& tempExtension,
                                   const std::string& finalExtension);

  // The value of parameter `name` in `query`, matched only at a parameter
  // boundary (start or after "&") and followed by "="; null when absent.
  // `*length` receives the value's length (up to the next "&").
  static const char* FindQueryParam(const char* query, const char* name, size_t* length);
  // The server address without its port: "host:port" -> "host",
  // "[v6]:port" -> "v6"; a bare IPv6 address stays whole. A part of
  // `address`.
  static std::string_view StripPort(std::string_view address);
  // Percent-encodes what may not stand in a header parameter's value:
  // blank as "+", the separators " % & , ; = and every control character.
  static void EncodeHeaderValue(const char* value, std::string& out);
  // True when a P3P part may go into a response header (no control
  // character, no double quote).
  static bool IsSafeHeaderText(const std::string& text);
};
