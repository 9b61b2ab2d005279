// The per-minute limit of per-request messages: which messages it covers,
// the count per message id and minute, the summary, and racing raises.

#include "diag/lfmmessagelimiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr time_t kT = 1083937510;

TEST(MessageLimiter, CoversRequestMessagesOnly) {
  const struct {
    const lfmMessage* m;
    bool limited;
  } cases[] = {
      {&MESS_COOKIE_BAD, true},
      {&MESS_COOKIE_REISSUED, true},
      {&MESS_KYR_ID_TAMPERED, true},
      {&MESS_INVALID_URI_STEM, true},
      {&MESS_SITEMAP_INVALID_KYR_ID, true},
      {&MESS_LOG_ELEMENT_TRUNCATED, true},
      {&MESS_CP_ID_PARAM_INVALID, true},
      {&MESS_MAX_HANDLE_COUNT_TOO_BIG, false},
      {&MESS_COOKIE_SETTINGS, false},
      {&MESS_LOG_DIR_CREATE_FAILURE, false},
      {&MESS_HEARTBEAT_BAD_SHUTDOWN, false},
      {&MESS_ERROR_EXCEPTION, false},
      {&MESS_REQUEST_MESSAGES_SUPPRESSED, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(lfmMessageLimiter::IsLimited(*c.m), c.limited) << c.m->key;
}

TEST(MessageLimiter, CountsEachMessageWithinItsMinuteAndSumsUpTheRest) {
  lfmMessageLimiter limiter(3);
  std::string summary;
  int admitted = 0;
  for (int i = 0; i < 5; ++i)
    admitted += limiter.Admit(MESS_COOKIE_BAD, kT + i, &summary);
  EXPECT_EQ(admitted, 3);
  EXPECT_TRUE(limiter.Admit(MESS_INVALID_URI_STEM, kT + 10, &summary)) << "its own count";
  EXPECT_EQ(limiter.Close(kT + 59, false), "");
  EXPECT_FALSE(limiter.Admit(MESS_COOKIE_BAD, kT + 59, &summary));
  EXPECT_EQ(summary, "");

  // The first raise after the minute closes it: its summary comes first.
  EXPECT_TRUE(limiter.Admit(MESS_COOKIE_BAD, kT + 60, &summary));
  EXPECT_EQ(summary, "\nMESS_COOKIE_BAD (1000): 3");
  // A minute with nothing dropped has no summary; a clock set back closes.
  EXPECT_EQ(limiter.Close(kT + 200, false), "");
  EXPECT_TRUE(limiter.Admit(MESS_KYR_ID_START, kT + 300, &summary));
  for (int i = 0; i < 3; ++i)
    limiter.Admit(MESS_KYR_ID_START, kT + 300, &summary);
  limiter.Admit(MESS_URL_TOO_LONG, kT + 300, &summary);
  EXPECT_EQ(limiter.Close(kT + 299, false), "\nMESS_KYR_ID_START (1014): 1");
  // Forced (shut-down), in event id order.
  for (int i = 0; i < 5; ++i) {
    limiter.Admit(MESS_URL_TOO_LONG, kT + 400, &summary);
    limiter.Admit(MESS_COOKIE_BAD, kT + 400, &summary);
  }
  EXPECT_EQ(limiter.Close(kT + 400, true),
            "\nMESS_COOKIE_BAD (1000): 2\nMESS_URL_TOO_LONG (1034): 2");
  EXPECT_EQ(limiter.Close(kT + 400, true), "");

  limiter.SetLimit(0);
  for (int i = 0; i < 100; ++i)
    EXPECT_TRUE(limiter.Admit(MESS_COOKIE_BAD, kT + 500, &summary));
  EXPECT_EQ(limiter.Close(kT + 500, true), "");
}

TEST(MessageLimiter, RacingRaisesAdmitExactlyTheLimit) {
  lfmMessageLimiter limiter(10);
  const int kThreads = 4;
  const int kRaises = 5000;
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::string summary;
      for (int i = 0; i < kRaises; ++i)
        admitted += limiter.Admit(MESS_COOKIE_BAD, kT, &summary);
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(admitted.load(), 10);
  EXPECT_EQ(limiter.Close(kT + 60, false), "\nMESS_COOKIE_BAD (1000): 19990");
}

}  // namespace
