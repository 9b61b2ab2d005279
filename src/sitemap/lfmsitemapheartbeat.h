#pragma once
// lfmSiteMapHeartBeat: the background thread that reloads the site map every
// "sitemapreloadrate" minutes, one full period after it starts (start-up has
// just loaded the map). A failed reload keeps the map in force; the loader
// has logged why.
//
// Stop() first raises the `stopping` flag that the running load polls
// between batches of lines, so a stop during the reload of a large file
// returns after the loader's next batch. Like the flush heartbeat, the
// thread holds its wake mutex except while it waits, and Stop() never
// blocks on that mutex: a load hung in file I/O cannot hang the shutdown.

#include <cstdint>

class lfmSiteMapHeartBeat {
 public:
  // Starts the thread; a second Start while it runs only raises
  // MESS_SITEMAP_HEARBEAT_RESTART. Never throws.
  static void Start();
  // Cancels a load in progress, wakes and joins the thread. A thread that
  // has not ended within the reload period (held to kMaxStopWaitMs) is
  // abandoned with MESS_SITEMAP_HEARBEAT_BAD_SHUTDOWN. Never throws.
  static void Stop();
  static bool IsStarted();
  // Whether a load running now should give up (Stop() was called).
  static bool Stopping();
  // Reloads finished by the thread since the process started; for tests.
  static int64_t Reloads();

  // Longest wait of Stop() for the thread: a shutdown must not hang for a
  // reload period of up to a day.
  static constexpr uint32_t kMaxStopWaitMs = 30000;

  // For tests only: the reload period in milliseconds instead of the
  // setting (0 restores the setting). Takes effect at the next Start().
  static void SetPeriodForTest(uint32_t periodMs);
};
