#pragma once
// The fixture of tests that drive the filter through its exported entry
// points with the fake IIS, and the columns of its default log line.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "filter/kyrfilter.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"
#include "tests/support/temproot.h"
#include "util/lfmclock.h"

// A test that drives the filter through its exported entry points with the
// fake IIS, on a fresh root per Start().
class FilterTest : public ::testing::Test {
 protected:
  ~FilterTest() override {
    if (started_)
      TerminateFilter(0);
    lfmClock::ReleaseForTest();
  }

  void Start(const std::string& logserver = "", const std::string& more = "") {
    NewRoot(FilterConfig(logserver, more));
    HTTP_FILTER_VERSION v{};
    ASSERT_EQ(GetFilterVersion(&v), TRUE);
    started_ = true;
  }
  // Ends the filter (every line written) and returns the log's data lines.
  std::vector<std::string> Stop() {
    TerminateFilter(0);
    started_ = false;
    return DataLines(ReadAll(root_->File("weblog")));
  }
  void NewRoot(const std::string& config) {
    root_.reset();  // one root at a time: each owns the process settings
    root_ = std::make_unique<TempRoot>(config);
  }
  std::string Audit() { return root_->Exists("log/kyr.audit") ? root_->Read("log/kyr.audit") : ""; }

  // A tag hit for the page `uri`, with `more` query parameters.
  static std::unique_ptr<FakeIIS> Tag(const std::string& more,
                                      const std::string& url = "/kyr.gif") {
    return FakeIIS::Get(url, "kyruri=/page.htm" + (more.empty() ? "" : "&" + more));
  }

  std::unique_ptr<TempRoot> root_;
  bool started_ = false;
};

// Columns of the default line outside the hosted model.
enum Column {
  kDate,
  kTime,
  kClient,
  kUser,
  kServer,
  kMethod,
  kStem,
  kQuery,
  kStatus,
  kBytes,
  kProtocol,
  kAgent,
  kCookie,
  kReferrer,
  kColumns
};
