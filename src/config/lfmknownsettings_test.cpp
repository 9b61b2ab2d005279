#include "config/lfmknownsettings.h"

#include <gtest/gtest.h>

#include "config/zrconfig.h"
#include "tests/support/temproot.h"

namespace {

// One finding as a line: "kind [section] key = value -> wanted / in force".
std::string Describe(const lfmKnownSettings::Finding& f) {
  static const char* const kKinds[] = {"section", "key", "value", "repeat"};
  std::string s = std::string(kKinds[f.kind]) + " [" + f.section + "]";
  if (!f.key.empty())
    s += " " + f.key + " = " + f.value;
  if (f.kind == lfmKnownSettings::Finding::kUnreadableValue)
    s += " -> " + f.wanted + " / " + f.inForce;
  if (f.kind == lfmKnownSettings::Finding::kRepeatedKey)
    s += " / " + f.inForce;
  return s;
}

std::vector<std::string> CheckText(const std::string& text) {
  TempDir dir;
  std::string path = dir.File("kyr.cfg");
  WriteFileText(path, text);
  zrConfig config;
  EXPECT_TRUE(config.Load(path.c_str(), zrConfig::kReadOnly));
  std::vector<std::string> out;
  for (const lfmKnownSettings::Finding& f : lfmKnownSettings::Check(config))
    out.push_back(Describe(f));
  return out;
}

TEST(KnownSettings, NamesUnknownSectionsAndKeysAndValuesOfTheWrongForm) {
  // Letter case never matters; an empty value means the default and is
  // fine; a section the collector does not read is named once; findings
  // come section by section (a section given again continues its first
  // place), and the repeats a first occurrence hides come last.
  std::vector<std::string> found = CheckText(
      "stray = 1\n"
      "[LogServer]\nHeartBeatRate = 60\nheartbeatrate2 = 5\nsplitlogs = TRUE\n"
      "uselazyfileclose = 0\nusememmappedfile = ture\nbufferflushrate = 60s\n"
      "maxhandlecount = -5\nwritebuffersize =\nlogelementcount = 13\n"
      "[logrotation]\nrotatoinperiod = hourly\nrotationperiod = hourlly\n"
      "[logrotation]\nweekstart = someday\nlogfileprefix = any text\n"
      "[logelementmap12]\nlogelement = KYR_URI\nrequired = yes\n"
      "[logelementmapx]\nlogelement = KYR_URI\nparameter = p\n"
      "[logelementmap13]\nlogelement = KYR_URI\n[logelementmap05]\nlogelement = KYR_URI\n"
      "[cookieserver]\nhttponly = yes\nexpirationtype = secnods\nsamesite = lax\n"
      "[auditlog]\ntype = Both\nauditlimitbysizemethod = trim\n"
      "[cookieserver]\nHttpOnly = true\nsamesite = strict\nnosuchkey = 1\nnosuchkey = 2\n");
  std::vector<std::string> expected = {
      "section [defaults]",
      "key [LogServer] heartbeatrate2 = 5",
      "value [LogServer] usememmappedfile = ture -> true, false, 1 or 0 / false",
      "value [LogServer] bufferflushrate = 60s -> a whole number / 60",
      "key [logrotation] rotatoinperiod = hourly",
      "value [logrotation] rotationperiod = hourlly -> one of hourly, daily, weekly, monthly, "
      "quarterly, yearly, hours, minutes, none or 1..30 / daily",
      "value [logelementmap12] required = yes -> true, false, 1 or 0 / false",
      "section [logelementmapx]",
      "section [logelementmap13]",
      "section [logelementmap05]",
      "value [cookieserver] httponly = yes -> true, false, 1 or 0 / false",
      "value [cookieserver] expirationtype = secnods -> one of seconds, date or session / session",
      "key [cookieserver] nosuchkey = 1",
      "value [auditlog] auditlimitbysizemethod = trim -> one of rotate or truncate / rotate",
      "repeat [cookieserver] HttpOnly = true / yes",
      "repeat [cookieserver] samesite = strict / lax",
  };
  EXPECT_EQ(found, expected);
}

TEST(KnownSettings, ARotationPeriodOfDaysIsAWholeNumberFromOneToThirty) {
  const struct {
    const char* value;
    bool readable;
  } cases[] = {{"1", true},   {"30", true},  {"007", true},  {"0", false},
               {"31", false}, {"7d", false}, {"None", true}, {"-1", false}};
  for (const auto& c : cases) {
    std::vector<std::string> found =
        CheckText(std::string("[logrotation]\nrotationperiod = ") + c.value + "\n");
    EXPECT_EQ(found.empty(), c.readable) << c.value;
  }
}

TEST(KnownSettings, EveryTableEntryIsFoundUnderItsOwnSectionOnly) {
  for (const lfmKnownSettings::Key& k : lfmKnownSettings::Keys()) {
    std::string section = k.section;
    if (section == lfmKnownSettings::kElementSection)
      section += "0";
    EXPECT_EQ(lfmKnownSettings::Find(section, k.key), &k) << section << " " << k.key;
    EXPECT_EQ(lfmKnownSettings::Find("logsever", k.key), nullptr) << k.key;
  }
}

}  // namespace
