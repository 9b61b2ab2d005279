#include "tests/soak/soaksites.h"

#include <algorithm>
#include <cstdio>

#include "tests/support/filtertest.h"

namespace soak {

namespace {

constexpr int kCore = 32;
constexpr int kTransient = 6;
constexpr int kTransientListed = 3;
constexpr int kUnlisted = 3;

// A current-format KYR ID from a group letter and a number.
std::string Id(char group, int n) {
  char body[23];
  std::snprintf(body, sizeof body, "soak%c%017d", group, n);
  return CurrentKyrId(body);
}

// Every fifth site takes no cookies.
bool TakesCookies(int n) {
  return n % 5 != 4;
}

}  // namespace

Sites MakeSites() {
  Sites s;
  for (int i = 0; i < kCore; ++i) {
    s.core.push_back(Id('c', i));
    if (TakesCookies(i))
      s.cookied.push_back(s.core.back());
  }
  for (int i = 0; i < kTransient; ++i)
    s.transient.push_back(Id('t', i));
  for (int i = 0; i < kUnlisted; ++i)
    s.unlisted.push_back(Id('u', i));
  // A listed site's KYR ID with its check code changed, and one with a
  // body character changed under the listed site's code.
  for (int i = 0; i < 3; ++i) {
    std::string id = s.core[i];
    id.back() = id.back() == '0' ? '1' : '0';
    s.forged.push_back(id);
    std::string other = s.core[i];
    other[4] = other[4] == 'x' ? 'y' : 'x';
    s.forged.push_back(other);
  }
  return s;
}

std::vector<std::string> TransientListed(const Sites& sites, int generation) {
  std::vector<std::string> listed;
  for (int i = 0; i < kTransientListed; ++i)
    listed.push_back(sites.transient[static_cast<size_t>(generation + i) % sites.transient.size()]);
  return listed;
}

std::string SiteMapText(const Sites& sites, int generation) {
  // kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,timezone. Three
  // sites in four are short lag, each with a file of its own, so that there
  // are more files than handles; no real-time copies, so that each accepted hit is one line.
  std::vector<std::string> lines;
  auto add = [&](const std::string& id, int n) {
    lines.push_back(id + ",g" + std::to_string(generation) + "," + (n % 4 == 0 ? "0" : "1") +
                    ",null," + (TakesCookies(n) ? "1" : "0") + ",0");
  };
  for (size_t i = 0; i < sites.core.size(); ++i)
    add(sites.core[i], static_cast<int>(i));
  for (const std::string& id : TransientListed(sites, generation))
    add(id, static_cast<int>(std::find(sites.transient.begin(), sites.transient.end(), id) -
                             sites.transient.begin()));
  return SiteMapFile("soak", lines);
}

}  // namespace soak
