#include "logout/lfmlogrecord.h"

#include <cstring>
#include <optional>

#include "config/lfmenv.h"
#include "diag/lfmexceptioncontroller.h"
#include "diag/lfmsettingsonce.h"
#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogserversettings.h"
#include "logout/lfmrequestdata.h"
#include "platform/lfmplatform.h"
#include "runtime/lfmthreadlocal.h"
#include "sitemap/tssiteparams.h"
#include "util/lfmclock.h"
#include "util/lfmtimefuncs.h"
#include "util/lfmutility.h"

namespace {

lfmSettingsOnce& Once() {
  static lfmSettingsOnce* once = new lfmSettingsOnce;
  return *once;
}

lfmLogFieldSettings::Values& Stored() {
  static lfmLogFieldSettings::Values* v = new lfmLogFieldSettings::Values;
  return *v;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Collects a line in a stack buffer and hands it to the target string in
// large pieces: formatting a hit appends some thirty short pieces.
class LineOut {
 public:
  explicit LineOut(std::string& line) : line_(line) {}
  ~LineOut() { Flush(); }
  LineOut(const LineOut&) = delete;
  LineOut& operator=(const LineOut&) = delete;

  void Put(char c) {
    if (n_ == kSize)
      Flush();
    buf_[n_++] = c;
  }
  void Put(const char* p, size_t k) {
    if (k > kSize - n_) {
      Flush();
      if (k > kSize) {
        line_.append(p, k);
        return;
      }
    }
    std::memcpy(buf_ + n_, p, k);
    n_ += k;
  }
  void Flush() {
    line_.append(buf_, n_);
    n_ = 0;
  }
  // Room for `k` bytes that the caller fills and then commits, in the stack
  // buffer or, for a piece longer than it, at the end of the target.
  char* Room(size_t k) {
    if (k <= kSize - n_)
      return buf_ + n_;
    Flush();
    if (k <= kSize)
      return buf_;
    size_t at = line_.size();
    line_.resize(at + k);
    long_ = true;
    return &line_[at];
  }
  void Commit(size_t k) {
    if (long_)
      long_ = false;  // already in the target
    else
      n_ += k;
  }

 private:
  static constexpr size_t kSize = 2048;
  std::string& line_;
  char buf_[kSize];
  size_t n_ = 0;
  bool long_ = false;  // the last Room was in the target
};

// Characters that end a run of field text: NUL, blanks, control characters.
struct FieldStops {
  bool stop[256];
  constexpr FieldStops() : stop() {
    for (int c = 0; c <= 0x20; ++c)
      stop[c] = true;
    stop[0x7F] = true;
  }
};
constexpr FieldStops kFieldStops;

// `w` with every byte below 0x21 or equal to 0x7F replaced by "+". Exact
// per byte: no carry crosses from one byte into the next.
inline uint64_t PlusForStops(uint64_t w) {
  constexpr uint64_t kOnes = lfmUtility::kWordOnes;
  constexpr uint64_t kHigh = lfmUtility::kWordHighs;
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  // Per byte, with its top bit clear: its low seven bits plus 0x5F stay
  // below 0x80 exactly when it is below 0x21, and plus 1 reach 0x80
  // exactly when it is 0x7F.
  uint64_t low = w & kLow7;
  uint64_t stops = ~w & kHigh & (~(low + kOnes * 0x5F) | (low + kOnes));
  uint64_t bytes = (stops >> 7) * 0xFF;
  return w ^ ((w ^ (kOnes * '+')) & bytes);
}

// Sixteen bytes at once, by the compiler's vector extension (SSE2 on
// x86-64); comparisons give 0xFF in the bytes that meet them.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// `v` with every byte below 0x21 or equal to 0x7F replaced by "+".
inline Bytes16 PlusForStops(Bytes16 v) {
  Bytes16 stops = reinterpret_cast<Bytes16>((v < 0x21) | (v == 0x7F));
  return (v & ~stops) | (static_cast<unsigned char>('+') & stops);
}

// Copies the `n` bytes at `from` to `to` as field text.
void CopyField(char* to, const char* from, size_t n) {
  if (n >= 16) {
    // Whole vectors, then the last sixteen bytes again (overlapping the
    // bytes already written with the same result).
    Bytes16 v;
    for (size_t i = 0; i + 16 <= n; i += 16) {
      std::memcpy(&v, from + i, 16);
      v = PlusForStops(v);
      std::memcpy(to + i, &v, 16);
    }
    std::memcpy(&v, from + n - 16, 16);
    v = PlusForStops(v);
    std::memcpy(to + n - 16, &v, 16);
    return;
  }
  if (n < 8) {
    if (n < 4) {
      for (size_t i = 0; i < n; ++i)
        to[i] = kFieldStops.stop[static_cast<unsigned char>(from[i])] ? '+' : from[i];
      return;
    }
    // Two four-byte words, overlapping when n < 8.
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    head = static_cast<uint32_t>(PlusForStops(head));
    tail = static_cast<uint32_t>(PlusForStops(tail));
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
    return;
  }
  // Eight to fifteen bytes: two words, overlapping when n < 16.
  uint64_t w;
  std::memcpy(&w, from, 8);
  w = PlusForStops(w);
  std::memcpy(to, &w, 8);
  std::memcpy(&w, from + n - 8, 8);
  w = PlusForStops(w);
  std::memcpy(to + n - 8, &w, 8);
}

// Appends `value` as one field: "-" when null, empty or all blanks; every
// blank or control character as "+". The hit path formats every line
// through here: a field is copied a word at a time, with its stops
// replaced in the word.
void AppendField(LineOut& line, const char* value) {
  const char* p = value;
  if (p)
    while (IsBlank(*p))
      ++p;
  if (!p || !*p) {
    line.Put('-');
    return;
  }
  size_t n = static_cast<size_t>(p - value) + std::strlen(p);
  CopyField(line.Room(n), value, n);
  line.Commit(n);
}

void AppendDecimal(LineOut& line, long long v, int digits = 1) {
  char text[24];
  line.Put(text, lfmUtility::FormatDecimal(text, v, digits));
}

std::tm Utc(time_t t) {
  std::tm tm{};
  if (!lfmTimeFuncs::BreakDownUtc(t, &tm))
    tm = std::tm{};
  return tm;
}

// Writes `v` (0..99) as two digits at `p`.
void PutTwo(char* p, int v) {
  p[0] = static_cast<char>('0' + (v / 10) % 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// The date as "yyyy-mm-dd" at `out` (room for 27 characters; a year outside
// 1000..9999 is written in full); returns the length.
size_t FormatDate(char* out, const std::tm& tm) {
  long long year = tm.tm_year + 1900LL;
  size_t n;
  if (year < 1000 || year > 9999) {
    n = lfmUtility::FormatDecimal(out, year, 2);
  } else {
    PutTwo(out, static_cast<int>(year / 100));
    PutTwo(out + 2, static_cast<int>(year % 100));
    n = 4;
  }
  out[n] = '-';
  PutTwo(out + n + 1, tm.tm_mon + 1);
  out[n + 3] = '-';
  PutTwo(out + n + 4, tm.tm_mday);
  return n + 6;
}

// The time as "hh:mm:ss" at `out` (8 characters).
void FormatTime(char* out, const std::tm& tm) {
  PutTwo(out, tm.tm_hour);
  out[2] = ':';
  PutTwo(out + 3, tm.tm_min);
  out[5] = ':';
  PutTwo(out + 6, tm.tm_sec);
}

void AppendDate(LineOut& line, const std::tm& tm) {
  char text[32];
  line.Put(text, FormatDate(text, tm));
}

void AppendTime(LineOut& line, const std::tm& tm) {
  char text[8];
  FormatTime(text, tm);
  line.Put(text, sizeof text);
}

// The date and time texts of the second a thread formatted last: a busy
// thread writes many lines within one second.
struct Stamp {
  bool valid = false;
  time_t t = 0;
  size_t dateLength = 0;
  char date[32] = {};
  char time[8] = {};

  void Set(time_t when) {
    if (valid && t == when)
      return;
    std::tm tm = Utc(when);
    dateLength = FormatDate(date, tm);
    FormatTime(time, tm);
    t = when;
    valid = true;
  }
};

// Removes from `cookie` every pair whose name (blanks around it dropped) is
// one of the `count` non-empty `names` (whole name, exact case), in one
// pass. A pair that is not the last goes with its ";" and the blanks after
// it, keeping the blanks that separated it from the pair before; the last
// pair goes with the ";" and blanks before it. The result is the same
// whatever the order of the pairs removed.
void RemoveCookies(std::string& cookie, const std::string_view* names, size_t count) {
  size_t start = 0;  // just after the ";" that ends the pair before
  while (start <= cookie.size()) {
    const char* text = cookie.data();
    size_t size = cookie.size();
    const void* semicolon = std::memchr(text + start, ';', size - start);
    size_t end = semicolon ? static_cast<size_t>(static_cast<const char*>(semicolon) - text) : size;
    size_t nameStart = start;
    while (nameStart < end && IsBlank(text[nameStart]))
      ++nameStart;
    const void* eq = std::memchr(text + nameStart, '=', end - nameStart);
    size_t nameEnd = eq ? static_cast<size_t>(static_cast<const char*>(eq) - text) : end;
    while (nameEnd > nameStart && IsBlank(text[nameEnd - 1]))
      --nameEnd;
    const size_t length = nameEnd - nameStart;
    bool drop = false;
    for (size_t i = 0; i < count && !drop && length > 0; ++i)
      drop =
          names[i].size() == length && std::memcmp(text + nameStart, names[i].data(), length) == 0;
    if (!drop) {
      start = end + 1;
      continue;
    }
    if (end < size) {
      size_t next = end + 1;
      while (next < size && IsBlank(text[next]))
        ++next;
      // The next pair now follows the blanks this one had: it starts at
      // the same `start`.
      cookie.erase(nameStart, next - nameStart);
      continue;
    }
    size_t from = start;
    if (from > 0) {
      --from;  // the ';'
      while (from > 0 && IsBlank(text[from - 1]))
        --from;
    }
    cookie.erase(from);
    return;
  }
}

// Whether any tracking cookie name occurs in `cookie` at all; most Cookie
// headers hold none, and need no copy.
bool MayHoldTrackingCookie(const char* cookie) {
  const char* base = lfmLogServerSettings::VisitorTrackingParam();
  if (!std::strstr(cookie, base)) {
    // Names that begin with the base name cannot occur without it.
    const std::string& session = tsServiceModelSettings::TrackVisitorsSessionCookieName();
    const std::string& daily = tsServiceModelSettings::TrackVisitorsDailyCookieName();
    auto beginsWithBase = [base](const std::string& name) {
      size_t i = 0;
      while (base[i] && name[i] == base[i])  // name[size()] is its terminator
        ++i;
      return base[i] == '\0';
    };
    auto absent = [cookie, &beginsWithBase](const std::string& name) {
      return name.empty() || beginsWithBase(name) || !std::strstr(cookie, name.c_str());
    };
    return !absent(session) || !absent(daily);
  }
  return true;
}

// The columns in the order of the "#Fields:" line and of the data line.
// Each column has its own case in FormatLine: every hit formats all of
// them, and a call site per getter is cheaper than one through a pointer.
enum class ColumnKind {
  kDate,
  kTime,
  kClientIp,
  kUserName,
  kServerIp,
  kMethod,
  kUriStem,
  kUriQuery,
  kStatus,
  kBytes,
  kProtocol,
  kUserAgent,
  kCookie,
  kReferer,
  kKyrId
};
struct Column {
  const char* name;
  bool lfmLogFieldSettings::Values::*on;
  ColumnKind kind;
};
using FieldValues = lfmLogFieldSettings::Values;
const Column kColumns[] = {
    {"date", &FieldValues::date, ColumnKind::kDate},
    {"time", &FieldValues::time, ColumnKind::kTime},
    {"c-ip", &FieldValues::clientIp, ColumnKind::kClientIp},
    {"cs-username", &FieldValues::userName, ColumnKind::kUserName},
    {"cs-host", &FieldValues::serverIp, ColumnKind::kServerIp},
    {"cs-method", &FieldValues::method, ColumnKind::kMethod},
    {"cs-uri-stem", &FieldValues::uriStem, ColumnKind::kUriStem},
    {"cs-uri-query", &FieldValues::uriQuery, ColumnKind::kUriQuery},
    {"sc-status", &FieldValues::httpStatus, ColumnKind::kStatus},
    {"sc-bytes", &FieldValues::bytesSent, ColumnKind::kBytes},
    {"cs-version", &FieldValues::protocolVersion, ColumnKind::kProtocol},
    {"cs(User-Agent)", &FieldValues::userAgent, ColumnKind::kUserAgent},
    {"cs(Cookie)", &FieldValues::cookie, ColumnKind::kCookie},
    {"cs(Referer)", &FieldValues::referer, ColumnKind::kReferer},
    {"kyr-id", &FieldValues::kyrId, ColumnKind::kKyrId},
};

// "kyr-id" is a column of the hosted model only.
bool Enabled(const Column& c, const FieldValues& f) {
  return f.*(c.on) && (c.kind != ColumnKind::kKyrId || lfmLogServerSettings::HostedModel());
}

}  // namespace

lfmLogFieldSettings::Values lfmLogFieldSettings::Read(const zrConfig& config) {
  Values v;
  struct Key {
    const char* name;
    bool Values::*field;
  };
  static const Key kKeys[] = {
      {"logdate", &Values::date},
      {"logtime", &Values::time},
      {"logclientip", &Values::clientIp},
      {"logusername", &Values::userName},
      {"logserverip", &Values::serverIp},
      {"logmethod", &Values::method},
      {"loguristem", &Values::uriStem},
      {"loguriquery", &Values::uriQuery},
      {"loghttpstatus", &Values::httpStatus},
      {"logBytessent", &Values::bytesSent},
      {"logprotocolversion", &Values::protocolVersion},
      {"loguseragent", &Values::userAgent},
      {"logcookie", &Values::cookie},
      {"logreferer", &Values::referer},
      {"logkyrid", &Values::kyrId},
  };
  for (const Key& k : kKeys)
    v.*(k.field) = config.GetBool(k.name, true, kSection);
  return v;
}

const lfmLogFieldSettings::Values& lfmLogFieldSettings::Load() {
  Once().Ensure([](lfmMessageBatch&) { Stored() = Read(lfmEnv::Instance()); });
  published_.Publish(&Stored());
  return Stored();
}

void lfmLogFieldSettings::ResetForTest() {
  published_.Publish(nullptr);
  Once().ResetForTest();
  Stored() = Values();
}

std::string lfmLogRecord::BuildLogHeader() {
  std::string h = "#Software: Vantorell Tallyspring Data Collector ";
  h += "V7.0";
  h += "\r\n#Version: 1.0\r\n#Date: ";
  std::tm tm = Utc(lfmClock::Now());
  {
    LineOut out(h);
    AppendDate(out, tm);
    out.Put(' ');
    AppendTime(out, tm);
  }
  h += "\r\n#Fields:";
  const lfmLogFieldSettings::Values& f = lfmLogFieldSettings::Get();
  for (const Column& c : kColumns) {
    if (Enabled(c, f)) {
      h += ' ';
      h += c.name;
    }
  }
  h += " \r\n";
  return h;
}

namespace {

// `cookie` without the tracking cookies, into `result` (whose storage the
// caller may keep from hit to hit).
void RemoveTrackingCookiesInto(const char* cookie, std::string& result) {
  result.assign(cookie);
  std::string_view names[3];
  size_t count = 0;
  for (std::string_view name :
       {std::string_view(lfmLogServerSettings::VisitorTrackingParam()),
        std::string_view(tsServiceModelSettings::TrackVisitorsSessionCookieName()),
        std::string_view(tsServiceModelSettings::TrackVisitorsDailyCookieName())})
    if (!name.empty())
      names[count++] = name;
  RemoveCookies(result, names, count);
}

}  // namespace

std::string lfmLogRecord::RemoveTrackingCookies(const std::string& cookie) {
  std::string result;
  RemoveTrackingCookiesInto(cookie.c_str(), result);
  return result;
}

void lfmLogRecord::FormatLine(std::string& target, time_t t, lfmRequestData& request,
                              bool lineEnd) {
  LineOut line(target);
  const lfmLogFieldSettings::Values& f = lfmLogFieldSettings::Get();
  static lfmThreadLocal<Stamp> stamps;
  std::optional<Stamp> fallback;
  Stamp& stamp = stamps.Get(fallback);
  stamp.Set(t);
  bool first = true;
  for (const Column& c : kColumns) {
    if (!Enabled(c, f))
      continue;
    if (!first)
      line.Put(' ');
    first = false;
    switch (c.kind) {
      case ColumnKind::kDate:
        line.Put(stamp.date, stamp.dateLength);
        break;
      case ColumnKind::kTime:
        line.Put(stamp.time, sizeof stamp.time);
        break;
      case ColumnKind::kClientIp:
        AppendField(line, request.GetSrcClientIP());
        break;
      case ColumnKind::kUserName:
        AppendField(line, request.GetSrcUserName());
        break;
      case ColumnKind::kServerIp:
        AppendField(line, request.GetSrcServerIP());
        break;
      case ColumnKind::kMethod:
        AppendField(line, request.GetSrcMethod());
        break;
      case ColumnKind::kUriStem:
        AppendField(line, request.GetSrcURIStem());
        break;
      case ColumnKind::kUriQuery:
        AppendField(line, request.GetSrcURIQuery());
        break;
      case ColumnKind::kProtocol:
        AppendField(line, request.GetSrcProtocol());
        break;
      case ColumnKind::kUserAgent:
        AppendField(line, request.GetSrcUserAgent());
        break;
      case ColumnKind::kReferer:
        AppendField(line, request.GetSrcReferrer());
        break;
      case ColumnKind::kStatus:
        AppendDecimal(line, request.GetSrcStatus());
        break;
      case ColumnKind::kBytes: {
        uint32_t bytes = request.GetSrcBytes();
        if (bytes == 0)
          line.Put('-');
        else
          AppendDecimal(line, bytes);
        break;
      }
      case ColumnKind::kCookie: {
        const char* cookie = request.GetSrcLogCookie();
        if (!cookie || std::strcmp(cookie, "-") == 0)
          line.Put('-');
        else if (!MayHoldTrackingCookie(cookie))
          AppendField(line, cookie);
        else {
          // A visitor within a visit sends the tracking cookies back on
          // every hit: the thread's scratch text keeps its storage.
          static lfmThreadLocal<std::string> scratch;
          std::optional<std::string> fallback;
          std::string& text = scratch.Get(fallback);
          RemoveTrackingCookiesInto(cookie, text);
          AppendField(line, text.c_str());
        }
        break;
      }
      case ColumnKind::kKyrId:
        // No KYR ID set: the column reads "-".
        AppendField(line, request.HasSrcKYRId() ? request.GetSrcKYRId() : nullptr);
        break;
    }
  }
  if (lineEnd)
    line.Put("\r\n", 2);
}

void lfmLogRecord::BuildFileKey(lfmRequestData& request, std::string& key,
                                const tsSiteParams& site) {
  lfmLogStream stream;  // a local: see lfmLogStream on per-thread copies
  lfmLogStream::ForHit(request, site, stream);
  key = stream.fileKey;
}

bool lfmLogRecord::WriteLogRecord(lfmRequestData& request, const tsSiteParams& site,
                                  time_t* hitTime, lfmLogStream* written) {
  try {
    bool replay = lfmLogServerSettings::ReplayInProgress();
    time_t t = replay ? request.GetSrcDate() : lfmClock::Now();
    // The thread's own line buffer, kept between hits; it grows as needed,
    // so a long line is written whole.
    static lfmThreadLocal<std::string> lines;
    std::optional<std::string> fallback;
    std::string& line = lines.Get(fallback);
    line.clear();
    line.reserve(8092);
    FormatLine(line, t, request, true);
    const time_t lineTime = t;

    // Locals, not per-thread copies: see lfmLogStream.
    lfmLogStream stream;
    lfmLogStream copyStream;
    lfmLogStream::ForHit(request, site, stream);
    // A key past the bound of log streams gets no controller, no file and
    // no counter; the response is answered all the same.
    if (!lfmLogStream::Admit(stream))
      return false;
    const int32_t latency = stream.latencyClass;
    lfmLogFileControllerPool::Writing writing;
    lfmLogFileController* controller = lfmLogFileControllerPool::GetLogFileController(stream);

    if (!(stream.routed && site.decouple))
      controller->Write(t, line.data(), line.size(), t, latency);
    if (stream.routed) {
      for (const std::string& id : site.realTimeIds) {
        lfmLogStream::ForKey(id, kLatencyRealTime, copyStream);
        lfmLogFileController* copy = lfmLogFileControllerPool::GetLogFileController(copyStream);
        if (!replay) {
          time_t now = lfmClock::Now();
          if (now > t) {
            t = now;
            line.clear();
            FormatLine(line, t, request, true);
          }
        }
        copy->Write(t, line.data(), line.size(), 0, kLatencyRealTime);
      }
    }
    // The time of the site's own line; copies may carry a later one.
    if (hitTime)
      *hitTime = lineTime;
    if (written)
      *written = std::move(stream);
    return true;
  } catch (const whException& e) {
    lfmExceptionController::ReportAndRethrow(e, whMethodId("lfmLogRecord", "WriteLogRecord"));
  }
}
