// Hot-path text routines: splitting a tag query, decoding values and building
// a line in a fixed buffer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "util/lfmquickstring.h"
#include "util/lfmutility.h"

namespace {

const char kQuery[] =
    "kyrid=AB12CD34&uri=%2Fproducts%2Fshoes%2Findex.html&ref=http%3A%2F%2Fwww.example.com%2F"
    "search%3Fq%3Dshoes&status=200&bytes=5120&cfg=7&title=Shoes%20and%20more&lang=en-US&"
    "screen=1920x1080&tz=-60&js=1&ZR.hdr.ua=Mozilla%2F5.0";

class CountingSink : public lfmParamTarget {
 public:
  bool Offer(std::string_view name, std::string_view value) override {
    bytes += name.size() + value.size();
    return name.size() < 6;
  }
  size_t bytes = 0;
};

void BM_ParseQuery(benchmark::State& state) {
  CountingSink sink;
  char leftBuf[4096];
  for (auto _ : state) {
    lfmQuickString left(leftBuf, sizeof leftBuf);
    lfmUtility::ParseString(kQuery, &sink, &left, '&', '=');
    benchmark::DoNotOptimize(left.Length());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (sizeof kQuery - 1));
}
BENCHMARK(BM_ParseQuery);

void BM_PercentDecode(benchmark::State& state) {
  char buf[sizeof kQuery];
  for (auto _ : state) {
    std::memcpy(buf, kQuery, sizeof kQuery);
    benchmark::DoNotOptimize(lfmUtility::PercentDecode(buf));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (sizeof kQuery - 1));
}
BENCHMARK(BM_PercentDecode);

void BM_BuildLine(benchmark::State& state) {
  char line[8192];
  for (auto _ : state) {
    lfmQuickString s(line, sizeof line);
    s.Append("2026-12-06 09:24:52 ");
    s.Append("192.0.2.10 ");
    s.Append("GET ");
    s.Append("/products/shoes/index.html ");
    s.Append(kQuery);
    s.Append(' ');
    s.AppendNumber(200);
    s.Append("\r\n");
    benchmark::DoNotOptimize(s.Length());
  }
}
BENCHMARK(BM_BuildLine);

}  // namespace
