#include "logout/lfmlogserversettings.h"

#include "config/lfmenv.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmsettingsonce.h"
#include "platform/lfmplatform.h"
#include "util/lfmutility.h"

namespace {

constexpr size_t kMaxHostName = 259;

lfmSettingsOnce& Once() {
  static lfmSettingsOnce* once = new lfmSettingsOnce;
  return *once;
}

lfmLogServerSettings::Values& Stored() {
  static lfmLogServerSettings::Values* v = new lfmLogServerSettings::Values;
  return *v;
}

// Reads a number; out of range it is replaced by `def` and `message` raised
// with the key and the replacement as text (and `middle` before it, when
// given).
void ReadNumber(const zrConfig& config, const char* key, int32_t def, bool (*valid)(int32_t),
                const lfmMessage& message, int32_t* out, lfmMessageBatch& messages,
                const char* middle = nullptr) {
  int32_t v = config.GetInt(key, def, lfmLogServerSettings::kSection);
  if (!valid(v)) {
    v = def;
    std::vector<std::string> args{key};
    if (middle)
      args.emplace_back(middle);
    args.push_back(std::to_string(def));
    messages.Add(message, std::move(args));
  }
  *out = v;
}

bool AtLeastOne(int32_t v) {
  return v >= 1;
}

// "maxlogstreams": read as text, because a value that is no number would
// read as 0, which lifts the bound. Digits only (up to nine), else the
// default with its message.
int32_t ReadStreamBound(const zrConfig& config, lfmMessageBatch& messages) {
  const int32_t def = 2000;
  std::string text = config.GetString("maxlogstreams", "2000", lfmLogServerSettings::kSection);
  size_t b = text.find_first_not_of(" \t");
  size_t e = text.find_last_not_of(" \t");
  text = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    messages.Add(MESS_INVALID_MAX_LOG_STREAMS_SETTING, {"maxlogstreams", std::to_string(def)});
    return def;
  }
  return static_cast<int32_t>(std::stol(text));
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos)
      comma = text.size();
    std::string item = text.substr(start, comma - start);
    size_t b = item.find_first_not_of(" \t");
    size_t e = item.find_last_not_of(" \t");
    if (b != std::string::npos)
      items.push_back(item.substr(b, e - b + 1));
    start = comma + 1;
  }
  return items;
}

const char* Flag(bool b) {
  return b ? "true" : "false";
}

}  // namespace

lfmLogServerSettings::Values lfmLogServerSettings::Read(const zrConfig& config,
                                                        lfmMessageBatch& messages) {
  Values v;
  const char* s = kSection;
  v.loggingFileName = config.GetString("loggingfilename", "/kyr.gif", s);
  v.noScriptFileName = config.GetString("noscriptfilename", "/njs.gif", s);
  v.contentFileName = config.GetString("contentfilename", "/zr_kyr.gif", s);
  v.statsEnabled = config.GetBool("statsenabled", true, s);
  v.logInvalidHits = config.GetBool("loginvalidhits", false, s);
  v.logTruncatedHits = config.GetBool("logtruncatedhits", false, s);
  v.issueP3P = config.GetBool("issuep3p", false, s);
  v.p3p = config.GetString("p3p", "INVALID", s);
  v.hostedModel = config.GetBool("hostedmodel", false, s);
  v.logInvalidKyrId = config.GetBool("loginvalidkyrid", false, s);
  v.useMemMappedFile = config.GetBool("usememmappedfile", false, s);
  v.useLazyFileClose = config.GetBool("uselazyfileclose", false, s);

  v.maxHandleCount = config.GetInt("maxhandlecount", 2000, s);
  if (v.maxHandleCount > 2000) {
    v.maxHandleCount = 2000;
    messages.Add(MESS_MAX_HANDLE_COUNT_TOO_BIG, {"maxhandlecount", "2000"});
  } else if (v.maxHandleCount < 1) {
    v.maxHandleCount = 2000;
    messages.Add(MESS_MAX_HANDLE_COUNT_TOO_SMALL, {"maxhandlecount", "2000"});
  }
  ReadNumber(
      config, "writebuffersize", 65536, [](int32_t n) { return n == 0 || n >= 2048; },
      MESS_WRITE_BUFFER_SETTING, &v.writeBufferSize, messages, "2048");
  ReadNumber(config, "heartbeatrate", 60, AtLeastOne, MESS_INVALID_HEART_BEAT_SETTING,
             &v.heartBeatRate, messages);
  ReadNumber(config, "bufferflushrate", 60, AtLeastOne, MESS_INVALID_FLUSH_RATE_SETTING,
             &v.bufferFlushRate, messages);
  ReadNumber(config, "filecheckrate", 900, AtLeastOne, MESS_INVALID_FILE_CHECK_SETTING,
             &v.fileCheckRate, messages);
  v.maxLogStreams = ReadStreamBound(config, messages);

  v.trackHitCount = config.GetBool("trackhitcount", false, s);
  if (v.trackHitCount) {
    ReadNumber(
        config, "hitcountflushrate", 20,
        [](int32_t n) {
          for (int32_t ok : {2, 3, 5, 6, 10, 12, 20, 30}) {
            if (n == ok)
              return true;
          }
          return false;
        },
        MESS_INVALID_HIT_COUNT_FLUSH_SETTING, &v.hitCountFlushRate, messages);
    v.hitCountLogFileDir =
        lfmEnv::ExpandDirectory(config.GetString("hitcountlogfiledir", "%zr_root%\\log\\", s));
    v.hitCountLogFileExt = config.GetString("hitcountlogfileext", ".hclf", s);
    if (!v.hitCountLogFileExt.empty() && v.hitCountLogFileExt[0] == '.')
      v.hitCountLogFileExt.erase(0, 1);
    v.hitCountLimitBySize = config.GetBool("hitcountlimitbysize", false, s);
    if (v.hitCountLimitBySize) {
      ReadNumber(
          config, "hitcountmaxsize", 1, [](int32_t n) { return n >= 0; },
          MESS_HIT_COUNT_ROTATION_MAX_UNDER_ZERO, &v.hitCountMaxSize, messages);
      v.hitCountSizeBytes = static_cast<int64_t>(v.hitCountMaxSize) * kHitCountSizeUnit;
    }
    v.hitCountRotateByFlush = config.GetBool("hitcountrotatebyflush", false, s);
    if (v.hitCountRotateByFlush) {
      ReadNumber(
          config, "hitcountflushesperrotation", 3, [](int32_t n) { return n >= 0 && n <= 60; },
          MESS_HIT_COUNT_FLUSHES_PER_ROTATION_SETTING, &v.hitCountFlushesPerRotation, messages);
    }
  }

  v.splitLogs = config.GetBool("splitlogs", false, s);
  v.replayInProgress = config.GetBool("replayinprogress", false, s);
  std::string from = config.GetString("p3pfrom", "global", s);
  if (lfmUtility::EqualsNoCase(from, "global")) {
    v.p3pFrom = kP3PGlobal;
  } else if (lfmUtility::EqualsNoCase(from, "hit")) {
    v.p3pFrom = kP3PHit;
  } else if (lfmUtility::EqualsNoCase(from, "hitorglobal")) {
    v.p3pFrom = kP3PHitOrGlobal;
  } else {
    v.p3pFrom = kP3PGlobal;
    messages.Add(MESS_INVALID_P3P_ORIGIN, {"global"});
  }
  v.cfgByHit = config.GetBool("cfgbyhit", false, s);

  std::string host = lfmPlatform::Current()->HostName();
  if (host.empty() || host.size() > kMaxHostName) {
    messages.Add(MESS_HIT_COUNT_HOST_NAME, {v.hostName});
  } else {
    host = host.substr(0, host.find('.'));
    for (char& c : host)
      c = lfmUtility::FoldCase(c);
    v.hostName = host;
  }

  ReadNumber(
      config, "kyridbacktoversion", 1, [](int32_t n) { return n >= 1 && n <= 3; },
      MESS_INVALID_KRYID_BACK_TO_VERSION_SETTING, &v.kyrIdBackToVersion, messages);
  v.trackFirstTimeCookies = config.GetBool("trackfirsttimecookies", true, s);
  v.enableHeaderParams = config.GetBool("enableheaderparams", false, s);
  if (v.enableHeaderParams)
    v.headerParams = SplitList(config.GetString("headerparamslist", "Accept,Host", s));
  return v;
}

std::string lfmLogServerSettings::Report(const Values& v) {
  std::string r;
  auto line = [&r](const char* key, const std::string& value) {
    r += '\n';
    r += key;
    r += '=';
    r += value;
  };
  line("loginvalidhits", Flag(v.logInvalidHits));
  line("loggingfilename", v.loggingFileName);
  line("noscriptfilename", v.noScriptFileName);
  line("contentfilename", v.contentFileName);
  line("issuep3p", Flag(v.issueP3P));
  line("p3p", v.p3p);
  line("hostedmodel", Flag(v.hostedModel));
  line("maxhandlecount", std::to_string(v.maxHandleCount));
  line("writebuffersize", std::to_string(v.writeBufferSize));
  line("heartbeatrate", std::to_string(v.heartBeatRate));
  line("bufferflushrate", std::to_string(v.bufferFlushRate));
  line("filecheckrate", std::to_string(v.fileCheckRate));
  line("splitlogs", Flag(v.splitLogs));
  return r;
}

const lfmLogServerSettings::Values& lfmLogServerSettings::Load() {
  Once().Ensure([](lfmMessageBatch& messages) {
    Stored() = Read(lfmEnv::Instance(), messages);
    messages.Add(MESS_LOG_SERVER_SETTINGS, {Report(Stored())});
  });
  published_.Publish(&Stored());
  return Stored();
}

void lfmLogServerSettings::ResetForTest() {
  published_.Publish(nullptr);
  Once().ResetForTest();
  Stored() = Values();
}
