#include "config/lfmknownsettings.h"

#include <cstring>

#include "config/zrconfig.h"
#include "util/lfmutility.h"

namespace {

using K = lfmKnownSettings;

// rotationperiod: a period's name or a number of days (1 to 30).
constexpr const char* kPeriods =
    "hourly|daily|weekly|monthly|quarterly|yearly|hours|minutes|none|1..30>daily";

const std::vector<K::Key>& Table() {
  static const std::vector<K::Key>* keys = new std::vector<K::Key>{
      {"logserver", "loggingfilename", K::kText, nullptr},
      {"logserver", "noscriptfilename", K::kText, nullptr},
      {"logserver", "contentfilename", K::kText, nullptr},
      {"logserver", "statsenabled", K::kFlag, "true"},
      {"logserver", "loginvalidhits", K::kFlag, "false"},
      {"logserver", "logtruncatedhits", K::kFlag, "false"},
      {"logserver", "issuep3p", K::kFlag, "false"},
      {"logserver", "p3p", K::kText, nullptr},
      {"logserver", "p3pfrom", K::kText, nullptr},  // its reader reports a bad word
      {"logserver", "hostedmodel", K::kFlag, "false"},
      {"logserver", "loginvalidkyrid", K::kFlag, "false"},
      {"logserver", "usememmappedfile", K::kFlag, "false"},
      {"logserver", "uselazyfileclose", K::kFlag, "false"},
      {"logserver", "maxhandlecount", K::kNumber, nullptr},
      {"logserver", "writebuffersize", K::kNumber, nullptr},
      {"logserver", "heartbeatrate", K::kNumber, nullptr},
      {"logserver", "bufferflushrate", K::kNumber, nullptr},
      {"logserver", "filecheckrate", K::kNumber, nullptr},
      {"logserver", "maxlogstreams", K::kNumber, nullptr},
      {"logserver", "splitlogs", K::kFlag, "false"},
      {"logserver", "replayinprogress", K::kFlag, "false"},
      {"logserver", "cfgbyhit", K::kFlag, "false"},
      {"logserver", "kyridbacktoversion", K::kNumber, nullptr},
      {"logserver", "trackfirsttimecookies", K::kFlag, "true"},
      {"logserver", "enableheaderparams", K::kFlag, "false"},
      {"logserver", "headerparamslist", K::kText, nullptr},
      {"logserver", "trackhitcount", K::kFlag, "false"},
      {"logserver", "hitcountflushrate", K::kNumber, nullptr},
      {"logserver", "hitcountlogfiledir", K::kText, nullptr},
      {"logserver", "hitcountlogfileext", K::kText, nullptr},
      {"logserver", "hitcountlimitbysize", K::kFlag, "false"},
      {"logserver", "hitcountmaxsize", K::kNumber, nullptr},
      {"logserver", "hitcountrotatebyflush", K::kFlag, "false"},
      {"logserver", "hitcountflushesperrotation", K::kNumber, nullptr},
      {"logserver", "logelementcount", K::kNumber, nullptr},
      {K::kElementSection, "logelement", K::kText, nullptr},  // the map's reader checks it
      {K::kElementSection, "parameter", K::kText, nullptr},
      {K::kElementSection, "required", K::kFlag, "false"},
      {"logrotation", "rotationperiod", K::kChoice, kPeriods},
      {"logrotation", "hoursinterval", K::kNumber, nullptr},
      {"logrotation", "minutesinterval", K::kNumber, nullptr},
      {"logrotation", "weekstart", K::kText, nullptr},  // its reader reports a bad day
      {"logrotation", "logfileprefix", K::kText, nullptr},
      {"logrotation", "logfiledir", K::kText, nullptr},
      {"logrotation", "usenumericmonth", K::kFlag, "false"},
      {"logrotation", "gmtrotation", K::kFlag, "false"},
      {"logrotation", "limitbysize", K::kFlag, "false"},
      {"logrotation", "maxlogfilesize", K::kNumber, nullptr},
      {"logfields", "logdate", K::kFlag, "true"},
      {"logfields", "logtime", K::kFlag, "true"},
      {"logfields", "logclientip", K::kFlag, "true"},
      {"logfields", "logusername", K::kFlag, "true"},
      {"logfields", "logserverip", K::kFlag, "true"},
      {"logfields", "logmethod", K::kFlag, "true"},
      {"logfields", "loguristem", K::kFlag, "true"},
      {"logfields", "loguriquery", K::kFlag, "true"},
      {"logfields", "loghttpstatus", K::kFlag, "true"},
      {"logfields", "logbytessent", K::kFlag, "true"},
      {"logfields", "logprotocolversion", K::kFlag, "true"},
      {"logfields", "loguseragent", K::kFlag, "true"},
      {"logfields", "logcookie", K::kFlag, "true"},
      {"logfields", "logreferer", K::kFlag, "true"},
      {"logfields", "logkyrid", K::kFlag, "true"},
      {"servicemodel", "servicemodel", K::kFlag, "false"},
      {"servicemodel", "sitemapenabled", K::kFlag, "false"},
      {"servicemodel", "sitemapreloadsame", K::kFlag, "false"},
      {"servicemodel", "sitemapcheckstatus", K::kFlag, "true"},
      {"servicemodel", "sitemapfullpath", K::kText, nullptr},
      {"servicemodel", "sitemapbackupdir", K::kText, nullptr},
      {"servicemodel", "sitemapreloadrate", K::kNumber, nullptr},
      {"servicemodel", "sitemapsleeptime", K::kNumber, nullptr},
      {"servicemodel", "sitemaplockmodel", K::kNumber, nullptr},
      {"servicemodel", "rotationratestandardlag", K::kNumber, nullptr},
      {"servicemodel", "rotationrateshortlag", K::kNumber, nullptr},
      {"servicemodel", "rotationraterealtime", K::kNumber, nullptr},
      {"servicemodel", "shortlaglogfiledir", K::kText, nullptr},
      {"servicemodel", "realtimelogfiledir", K::kText, nullptr},
      {"servicemodel", "trackvisitors", K::kFlag, "true"},
      {"servicemodel", "trackvisitorssessioncookiename", K::kText, nullptr},
      {"servicemodel", "trackvisitorsdailycookiename", K::kText, nullptr},
      {"auditlog", "type", K::kChoice, "kyr|system|both>kyr"},
      {"auditlog", "debuglevel", K::kNumber, nullptr},
      {"auditlog", "systemdebuglevel", K::kNumber, nullptr},
      {"auditlog", "auditlimitbysize", K::kFlag, "false"},
      {"auditlog", "auditlimitbysizemethod", K::kChoice, "rotate|truncate>rotate"},
      {"auditlog", "auditmaxsize", K::kNumber, nullptr},
      {"auditlog", "audittrimsize", K::kNumber, nullptr},
      {"auditlog", "auditfilename", K::kText, nullptr},
      {"auditlog", "auditfilenameprefix", K::kText, nullptr},
      {"auditlog", "auditfilenameext", K::kText, nullptr},
      {"auditlog", "requestmessagesperminute", K::kNumber, nullptr},
      {"cookieserver", "enabled", K::kFlag, "true"},
      {"cookieserver", "cookiename", K::kText, nullptr},
      {"cookieserver", "path", K::kText, nullptr},
      {"cookieserver", "domain", K::kText, nullptr},
      {"cookieserver", "includepath", K::kFlag, "true"},
      {"cookieserver", "expirationtype", K::kChoice, "seconds|date|session>session"},
      {"cookieserver", "expirationseconds", K::kNumber, nullptr},
      {"cookieserver", "expirationdate", K::kText, nullptr},
      {"cookieserver", "cookieversion", K::kNumber, nullptr},
      {"cookieserver", "magiccode", K::kText, nullptr},
      {"cookieserver", "validatecookie", K::kFlag, "true"},
      {"cookieserver", "validateoldcookie", K::kFlag, "false"},
      {"cookieserver", "reissuebadcookie", K::kFlag, "true"},
      {"cookieserver", "secure", K::kFlag, "false"},
      {"cookieserver", "useoptoutcookie", K::kFlag, "true"},
      {"cookieserver", "optoutcookiename", K::kText, nullptr},
      {"cookieserver", "samesite", K::kText, nullptr},  // its reader reports a bad word
      {"cookieserver", "httponly", K::kFlag, "false"},
  };
  return *keys;
}

bool IsDigits(const std::string& s, size_t from = 0) {
  if (from >= s.size())
    return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9')
      return false;
  }
  return true;
}

// "logelementmap" followed by decimal digits.
bool IsElementSection(const std::string& section) {
  size_t n = std::strlen(K::kElementSection);
  return section.size() > n && lfmUtility::EqualsNoCase(section.substr(0, n), K::kElementSection) &&
         IsDigits(section, n);
}

bool SectionMatches(const char* tableSection, const std::string& section) {
  if (std::strcmp(tableSection, K::kElementSection) == 0)
    return IsElementSection(section);
  return lfmUtility::EqualsNoCase(section, tableSection);
}

// Whether `value` reads as intended; otherwise fills what it should be and
// what is used instead.
bool Readable(const K::Key& k, const std::string& value, std::string* wanted,
              std::string* inForce) {
  switch (k.form) {
    case K::kText:
      return true;
    case K::kFlag:
      if (lfmUtility::EqualsNoCase(value, "true") || lfmUtility::EqualsNoCase(value, "false") ||
          value == "1" || value == "0")
        return true;
      *wanted = "true, false, 1 or 0";
      *inForce = k.detail;
      return false;
    case K::kNumber:
      if (IsDigits(value, value[0] == '-' || value[0] == '+' ? 1 : 0))
        return true;
      *wanted = "a whole number";
      *inForce = std::to_string(zrConfig::ToInt(value.c_str()));
      return false;
    case K::kChoice: {
      std::string detail = k.detail;
      size_t arrow = detail.find('>');
      std::string words = detail.substr(0, arrow);
      size_t start = 0;
      while (start <= words.size()) {
        size_t bar = words.find('|', start);
        std::string word = words.substr(start, bar == std::string::npos ? bar : bar - start);
        if (word == "1..30") {
          // As the rotation reads it: up to nine digits, worth 1 to 30.
          if (IsDigits(value) && value.size() <= 9 && std::stoi(value) >= 1 &&
              std::stoi(value) <= 30)
            return true;
        } else if (lfmUtility::EqualsNoCase(value, word)) {
          return true;
        }
        if (bar == std::string::npos)
          break;
        start = bar + 1;
      }
      std::string list;
      for (char c : words)
        list += c == '|' ? std::string(", ") : std::string(1, c);
      size_t last = list.rfind(", ");
      if (last != std::string::npos)
        list.replace(last, 2, " or ");
      *wanted = "one of " + list;
      *inForce = detail.substr(arrow + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

const std::vector<lfmKnownSettings::Key>& lfmKnownSettings::Keys() {
  return Table();
}

const lfmKnownSettings::Key* lfmKnownSettings::Find(const std::string& section,
                                                    const std::string& key) {
  for (const Key& k : Table()) {
    if (lfmUtility::EqualsNoCase(key, k.key) && SectionMatches(k.section, section))
      return &k;
  }
  return nullptr;
}

bool lfmKnownSettings::IsKnownSection(const std::string& section) {
  for (const Key& k : Table()) {
    if (SectionMatches(k.section, section))
      return true;
  }
  return false;
}

std::vector<lfmKnownSettings::Finding> lfmKnownSettings::Check(const zrConfig& config) {
  std::vector<Finding> findings;
  // Only the element sections 0 to logelementcount - 1, written without
  // leading zeros, are read.
  const int32_t elements = config.GetInt("logelementcount", 0, "logserver");
  auto isRead = [elements](const std::string& section) {
    if (!IsElementSection(section))
      return IsKnownSection(section);
    std::string index = section.substr(std::strlen(kElementSection));
    return (index.size() == 1 || index[0] != '0') && index.size() <= 2 &&
           std::stoi(index) < elements;
  };
  std::string reported;  // the last unknown section named, so it is named once
  for (const zrConfig::Setting& s : config.AllSettings()) {
    if (!isRead(s.section)) {
      if (!lfmUtility::EqualsNoCase(s.section, reported)) {
        findings.push_back({Finding::kUnknownSection, s.section, "", "", "", ""});
        reported = s.section;
      }
      continue;
    }
    const Key* k = Find(s.section, s.key);
    if (!k) {
      findings.push_back({Finding::kUnknownKey, s.section, s.key, s.value, "", ""});
      continue;
    }
    std::string wanted;
    std::string inForce;
    if (!s.value.empty() && !Readable(*k, s.value, &wanted, &inForce))
      findings.push_back({Finding::kUnreadableValue, s.section, s.key, s.value, wanted, inForce});
  }
  for (const zrConfig::Setting& r : config.IgnoredRepeats()) {
    if (!Find(r.section, r.key))
      continue;  // an unknown key is named once, above
    std::string first = config.GetString(r.key.c_str(), "", r.section.c_str());
    findings.push_back({Finding::kRepeatedKey, r.section, r.key, r.value, "", first});
  }
  return findings;
}
