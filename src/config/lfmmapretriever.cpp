#include "config/lfmmapretriever.h"

#include "config/zrconfig.h"
#include "util/whexception.h"
#include "util/whexceptiontexts.h"

namespace {
const char kModule[] = "./src/config/lfmmapretriever.cpp";
}  // namespace

bool lfmMapRetriever::Get(const zrConfig& config, std::vector<Entry>& out) {
  int32_t count = config.GetInt("logelementcount", 0, "logserver");
  if (count < 0 || count >= kMaxElements) {
    throw whException("lfmMapRetriever", "Get()", kModule, __LINE__, whText::kElementCount,
                      kMaxElements);
  }
  std::vector<Entry> entries;
  entries.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    std::string section = "logelementmap" + std::to_string(i);
    Entry e;
    e.element = config.GetString("logelement", "", section.c_str());
    e.parameter = config.GetString("parameter", "", section.c_str());
    e.required = config.GetBool("required", false, section.c_str());
    entries.push_back(std::move(e));
  }
  out.insert(out.end(), entries.begin(), entries.end());
  return true;
}
