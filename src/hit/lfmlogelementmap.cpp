#include "hit/lfmlogelementmap.h"

#include <atomic>
#include <cstring>

#include "config/lfmenv.h"
#include "config/lfmmapretriever.h"
#include "diag/lfmdebuglog.h"
#include "hit/lfmhitdescription.h"
#include "hit/lfmparsemap.h"
#include "logout/lfmlogserversettings.h"
#include "runtime/lfmmutex.h"
#include "util/lfmutility.h"
#include "util/whexceptiontexts.h"

namespace {

const char kModule[] = "./src/hit/lfmlogelementmap.cpp";

struct ElementName {
  const char* name;
  int32_t id;
};

constexpr ElementName kElements[] = {
    {"KYR_URI", KYR_URI},
    {"KYR_QUERY", KYR_QUERY},
    {"KYR_REFERRER", KYR_REFERRER},
    {"KYR_METHOD", KYR_METHOD},
    {"KYR_AUTHUSER", KYR_AUTHUSER},
    {"KYR_STATUS", KYR_STATUS},
    {"KYR_SERVERIP", KYR_SERVERIP},
    {"KYR_PROTOCOL", KYR_PROTOCOL},
    {"KYR_BYTES", KYR_BYTES},
    {"KYR_DATE", KYR_DATE},
    {"KYR_CLIENTIP", KYR_CLIENTIP},
    {"KYR_P3P", KYR_P3P},
    {"KYR_CFG", KYR_CFG},
    {"KYR_REDIRECT", KYR_REDIRECT},
    {"KYR_REPLAYDATE", KYR_REPLAYDATE},
};

struct Record {
  bool configured = false;
  bool required = false;
  std::string parameter;
};

struct Map {
  Record records[lfmLogElementMap::kMaxId + 1];
  std::vector<std::string> required;
  std::vector<int32_t> requiredIds;  // the ids of `required`, in order
  std::vector<std::string> all;
};

struct State {
  std::atomic<bool> built{false};
  lfmMutex lock;
  Map map;  // written under `lock` before `built` is published
};

// Never destroyed: request threads may still read it while the process ends.
State& TheState() {
  static State* s = new State();
  return *s;
}

// Builds the map from the configured entries; messages go to `batch`.
Map Build(lfmMessageBatch& batch) {
  std::vector<lfmMapRetriever::Entry> entries;
  lfmMapRetriever::Get(lfmEnv::Instance(), entries);
  bool replay = lfmLogServerSettings::ReplayInProgress();

  std::vector<std::pair<int32_t, lfmMapRetriever::Entry>> kept;
  for (size_t i = 0; i < entries.size(); ++i) {
    const lfmMapRetriever::Entry& e = entries[i];
    if (e.element.empty()) {
      batch.Add(MESS_LOG_ELEMENT_BLANK, {std::to_string(i + 1)});
      continue;
    }
    if (e.parameter.empty()) {
      batch.Add(MESS_LOG_ELEMENT_PARAM, {e.element});
      continue;
    }
    int32_t id = lfmLogElementMap::ElementId(e.element);
    if (id == 0) {
      batch.Add(MESS_LOG_ELEMENT_UNSUPPORTED, {e.element});
      continue;
    }
    if (id == KYR_CLIENTIP && !replay)
      continue;  // the client address comes from the connection
    kept.emplace_back(id, e);
  }

  Map m;
  bool haveUri = false;
  for (auto& [id, e] : kept) {
    Record& r = m.records[id];
    r.configured = true;
    r.parameter = e.parameter;
    r.required = e.required;
    if (id == KYR_URI) {
      haveUri = true;
      if (!r.required) {
        r.required = true;
        batch.Add(MESS_LOG_ELEMENT_KYR_URI_OVERRIDDEN);
      }
    }
    if (r.required) {
      m.required.push_back(e.parameter);
      m.requiredIds.push_back(id);
    }
    m.all.push_back(e.parameter);
  }
  if (!haveUri)
    throw whException("lfmLogElementMap", "Initialize", kModule, __LINE__, whText::kRequiredParam,
                      "KYR_URI");
  return m;
}

const Map& Get() {
  State& s = TheState();
  if (!s.built.load(std::memory_order_acquire))
    lfmLogElementMap::Initialize();
  return s.map;
}

// Blank tests on terminated text (the hit path reads every field so).
bool HasNonBlank(const char* v) {
  for (; *v; ++v)
    if (!lfmUtility::IsBlank(*v))
      return true;
  return false;
}

}  // namespace

int32_t lfmLogElementMap::ElementId(const std::string& element) {
  for (const ElementName& e : kElements)
    if (element == e.name)
      return e.id;
  return 0;
}

void lfmLogElementMap::Initialize() {
  State& s = TheState();
  if (s.built.load(std::memory_order_acquire))
    return;
  lfmMessageBatch batch;
  try {
    lfmScopedGuard guard(s.lock);
    if (s.built.load(std::memory_order_relaxed))
      return;
    s.map = Build(batch);
    s.built.store(true, std::memory_order_release);
  } catch (...) {
    // The entries that were discarded are still worth telling, once per try.
    batch.Raise();
    throw;
  }
  batch.Raise();
}

const char* lfmLogElementMap::ParameterName(int32_t id) {
  const Map& m = Get();
  if (id < 1 || id > kMaxId || !m.records[id].configured)
    return nullptr;
  return m.records[id].parameter.c_str();
}

bool lfmLogElementMap::IsRequired(int32_t id) {
  const Map& m = Get();
  return id >= 1 && id <= kMaxId && m.records[id].configured && m.records[id].required;
}

bool lfmLogElementMap::GetValue(lfmParseMap& map, int32_t id, const char** value, bool decode,
                                bool allowBlank, size_t* length) {
  const Map& m = Get();
  if (id < 1 || id > kMaxId || !m.records[id].configured)
    return false;
  int32_t slot = map.SlotOf(id, m.records[id].parameter.c_str());
  if (!map.IsSet(slot))
    return false;
  const char* v = decode ? map.DecodeAt(slot) : map.ValueAt(slot);
  if (!allowBlank) {
    bool content = decode ? HasNonBlank(v) : lfmUtility::HasContent(v);
    if (!content)
      return false;
  }
  if (value)
    *value = v;
  if (length)
    *length = map.LengthAt(slot);
  return true;
}

std::string lfmLogElementMap::Encode(const char* value) {
  std::string out;
  for (const char* p = value; *p; ++p) {
    char c = *p;
    if (c == '\n' && p > value && p[-1] == '\r')
      continue;  // the CR before it already gave "%20"
    bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    size_t need = blank ? 3 : 1;
    if (out.size() + need > kEncodeMax)
      break;
    if (blank)
      out += "%20";
    else
      out += c;
  }
  return out;
}

bool lfmLogElementMap::SetValue(lfmParseMap& map, int32_t id, const char** value, bool encode) {
  if (!value || !*value)
    throw whException("lfmLogElementMap", "SetValue()", kModule, __LINE__, whText::kInvalidUsage,
                      "Invalid character buffer parameter.");
  const Map& m = Get();
  if (id < 1 || id > kMaxId || !m.records[id].configured)
    return false;
  int32_t slot = map.SlotOf(id, m.records[id].parameter.c_str());
  if (slot < 0)
    return false;
  if (!encode) {
    map.SetDecodedAt(slot, *value);
    return true;
  }
  std::string encoded = Encode(*value);
  map.SetDecodedAt(slot, encoded);
  *value = map.ValueAt(slot);
  return true;
}

bool lfmLogElementMap::CheckRequired(lfmRequestData& request, lfmParseMap& map) {
  const Map& m = Get();
  for (size_t i = 0; i < m.required.size(); ++i) {
    int32_t id = m.requiredIds[i];
    const std::string& name = m.required[i];
    // A name that a later entry for the same element replaced is looked up
    // by name; the element's own name through its cached slot.
    bool present = name == m.records[id].parameter ? map.IsSet(map.SlotOf(id, name.c_str()))
                                                   : map.Contains(name);
    if (present)
      continue;
    lfmDebugLog& log = lfmDebugLog::Instance();
    if (log.Admit(MESS_LOG_HIT_MISSING_PARAM, MESS_LOG_HIT_MISSING_PARAM.level)) {
      std::string text = lfmUtility::ForMessage(name);
      lfmHitDescription::Append(request, text);
      log.LogAdmitted(MESS_LOG_HIT_MISSING_PARAM, MESS_LOG_HIT_MISSING_PARAM.level, text.c_str());
    }
    return false;
  }
  return true;
}

bool lfmLogElementMap::IsPresent(lfmParseMap& map, int32_t id) {
  const Map& m = Get();
  if (id < 1 || id > kMaxId || !m.records[id].configured)
    return false;
  return map.IsSet(map.SlotOf(id, m.records[id].parameter.c_str()));
}

const std::vector<std::string>& lfmLogElementMap::ParameterNames() {
  return Get().all;
}

const std::vector<std::string>& lfmLogElementMap::RequiredNames() {
  return Get().required;
}

void lfmLogElementMap::ResetForTest() {
  State& s = TheState();
  lfmScopedGuard guard(s.lock);
  s.built.store(false, std::memory_order_release);
  s.map = Map();
}
