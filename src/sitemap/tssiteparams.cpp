#include "sitemap/tssiteparams.h"

#include "sitemap/tssiteparammap.h"

void tsSiteParams::Reset() {
  kyrId = {};
  tagId = {};
  firstWeekDay = 0;
  latencyClass = kLatencyStandardLag;
  realTimeIds.clear();
  decouple = false;
  dataCollection = {};
  timeZone = {};
  kyrEnabled = {};
  fullyMigrated = {};
  cookiesEnabled = {};
  visitorSessionLength = 30;
  found = false;
  half.reset();
}

void tsSiteParams::SetRealTimeIds(std::string_view list) {
  realTimeIds.clear();
  decouple = false;
  size_t start = 0;
  while (start <= list.size()) {
    size_t colon = list.find(':', start);
    if (colon == std::string::npos)
      colon = list.size();
    std::string_view part = list.substr(start, colon - start);
    if (part == "decouple")
      decouple = true;
    else if (!part.empty())
      realTimeIds.emplace_back(part);
    start = colon + 1;
  }
  if (realTimeIds.empty())
    decouple = false;
}

bool tsSiteParams::IsListed(std::string_view id, const tsSiteParamMapController& map) {
  if (found)
    return !kyrId.empty();
  return map.Lookup(id, *this);
}
