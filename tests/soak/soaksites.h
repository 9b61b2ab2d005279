#pragma once
// The sites of the soak run and the site maps an operator would drop on
// the server: a core of sites listed in every map (more than the handle
// budget), transient sites that come and go from one map to the next,
// well-formed KYR IDs no map lists, and forged ones.

#include <string>
#include <vector>

namespace soak {

struct Sites {
  std::vector<std::string> core;       // in every map
  std::vector<std::string> cookied;    // the core sites that take cookies
  std::vector<std::string> transient;  // three of them in each map, in turn
  std::vector<std::string> unlisted;   // in no map
  std::vector<std::string> forged;     // a wrong check code
};

Sites MakeSites();

// The transient sites site map `generation` lists.
std::vector<std::string> TransientListed(const Sites& sites, int generation);

// Site map `generation` (0: the one kyrhost starts with), with its line
// count and checksum. Each generation differs from the one before, so a
// reload always swaps a new map in.
std::string SiteMapText(const Sites& sites, int generation);

}  // namespace soak
