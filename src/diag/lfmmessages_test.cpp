#include "diag/lfmmessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

size_t Placeholders(const char* text) {
  size_t n = 0;
  for (const char* p = std::strstr(text, "%s"); p; p = std::strstr(p + 2, "%s"))
    ++n;
  return n;
}

TEST(MessageCatalogue, EveryRecordIsConsistent) {
  std::set<std::string> keys;
  for (uint32_t id = lfmMessageCatalogue::kFirstEventId; id <= lfmMessageCatalogue::kLastEventId;
       ++id) {
    const lfmMessage* m = lfmMessageCatalogue::Find(id);
    ASSERT_NE(m, nullptr) << id;
    EXPECT_EQ(m->eventId, id);
    EXPECT_EQ(Placeholders(m->text), m->argCount) << m->key;
    EXPECT_LE(m->level, kMessageInformation) << m->key;
    ASSERT_NE(m->category, nullptr);
    EXPECT_EQ(lfmMessageCatalogue::Category(m->category->number), m->category);
    EXPECT_EQ(std::strncmp(m->key, "MESS_", 5), 0);
    keys.insert(m->key);
  }
  // 87 records, one key shared by the hours and minutes interval messages.
  EXPECT_EQ(keys.size(), 86u);
  EXPECT_EQ(lfmMessageCatalogue::Find(999), nullptr);
  EXPECT_EQ(lfmMessageCatalogue::Find(1078), &MESS_SITEMAP_INVALID_REALTIME_ID);
  EXPECT_EQ(lfmMessageCatalogue::Find(1081), &MESS_LOG_FILE_REPAIRED);
  EXPECT_EQ(lfmMessageCatalogue::Find(1086), &MESS_SETTING_REPEATED);
  EXPECT_EQ(lfmMessageCatalogue::Find(1087), nullptr);
}

TEST(MessageCatalogue, CategoriesAreNumberedInOrder) {
  EXPECT_STREQ(lfmMessageCatalogue::Category(1)->name, "Cookie");
  EXPECT_STREQ(lfmMessageCatalogue::Category(10)->name, "Service Model");
  EXPECT_EQ(lfmMessageCatalogue::Category(11), nullptr);
  EXPECT_STREQ(MESS_LOG_ROTATION_MINUTES_INTERVAL.key, "MESS_LOG_ROTATION_HOURS_INTERVAL");
}

TEST(MessageCatalogue, FormatNeverReadsArgumentsAsFormats) {
  const char* hostile[] = {"%s%n%x", "b"};
  EXPECT_EQ(lfmMessageCatalogue::Format(MESS_MAX_HANDLE_COUNT_TOO_BIG, hostile, 2),
            "The Maximum Handle Count setting (%s%n%x) is too large.  It has been set to b.");
  // A null ends the list: later placeholders stay empty even when more follow.
  const char* gap[] = {"a", nullptr, "c"};
  EXPECT_EQ(lfmMessageCatalogue::Format(MESS_WRITE_BUFFER_SETTING, gap, 3),
            "The Write Buffer Size setting (a) is invalid.  Must be 0 or greater than or equal "
            "to .  It has been set to .");
  std::string big(20000, 'x');
  const char* one[] = {big.c_str()};
  EXPECT_EQ(lfmMessageCatalogue::Format(MESS_ERROR_EXCEPTION, one, 1).size(),
            lfmMessageCatalogue::kMaxText);
}

}  // namespace
