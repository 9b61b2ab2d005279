#pragma once
// The hit site record: the site map's parameters of the hit's KYR ID.
// Created per hit by the filter entry, filled by the hit validation from the
// site map, read by the log record writer and the cookie server. Plain data
// of one worker thread; no lock.
//
// Ownership: a filled record's texts are views into the map half it was
// found in, and the record holds that half (`half`) until it is reset, so
// a swap or reload cannot free them under it. Halves are never changed
// once readers see them.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sitemap/tsservicemodelsettings.h"

class tsSiteParamMap;
class tsSiteParamMapController;

struct tsSiteParams {
  std::string_view kyrId;
  std::string_view tagId;
  int32_t firstWeekDay = 0;
  // 1 short lag when the site's schedule priority is above 0, else 2.
  int32_t latencyClass = kLatencyStandardLag;
  // Further KYR IDs a routed hit is copied to, as real-time lines, in the
  // order of the site map's list.
  std::vector<std::string> realTimeIds;
  // A routed hit goes only to the further KYR IDs, not to the site's own
  // file. Never set while realTimeIds is empty.
  bool decouple = false;
  std::string_view dataCollection;
  std::string_view timeZone;
  std::string_view kyrEnabled;
  std::string_view fullyMigrated;
  std::string_view cookiesEnabled;
  int32_t visitorSessionLength = 30;  // minutes
  // False until a site map lookup filled the record ("listed").
  bool found = false;
  // The half the texts above point into (null when they point at none).
  std::shared_ptr<const tsSiteParamMap> half;

  // Back to a record of no site, letting go of its half and keeping the
  // storage of the further ids (the filter reuses one record per worker
  // thread).
  void Reset();

  // Fills realTimeIds and decouple from the site map's list column: parts
  // separated by ":", "decouple" (exact case) sets the flag, every other
  // non-empty part is a further KYR ID.
  void SetRealTimeIds(std::string_view list);

  // Whether `kyrId` is listed in the site map. A record already filled
  // answers from itself (its KYR ID is non-empty); otherwise this is
  // map.Lookup(kyrId, *this), which fills the record when found.
  bool IsListed(std::string_view kyrId, const tsSiteParamMapController& map);
};
