// The visitor cookie of a returning visitor: ProcessCookie() with a
// version-2 cookie whose code is checked, beside the same hit with the check
// off, and beside the per-hit set-up both include (request bound and reset,
// pipeline objects reset). And MD5 throughput beside a plain copy of the
// same bytes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/benchroot.h"
#include "config/lfmenv.h"
#include "cookie/lfmcookie.h"
#include "cookie/lfmcookieserver.h"
#include "cookie/lfmcookiesettings.h"
#include "filter/iisrequestdata.h"
#include "filter/kyrfilter.h"
#include "hit/lfmloghelper.h"
#include "hit/lfmpools.h"
#include "sitemap/tssiteparams.h"
#include "tests/support/fakeiis.h"
#include "tests/support/filtertest.h"
#include "util/lfmmac.h"

namespace {

const char kQuery[] = "kyruri=%2Fproducts%2Fshoes%2Findex.html&kyrdat=1083937510123";

void Configure(bool validate) {
  std::ofstream(BenchRoot() + "/cfg/kyr.cfg")
      << FilterConfig("trackfirsttimecookies = false",
                      std::string("[cookieserver]\ncookieversion = 2\nmagiccode = bench-key\n"
                                  "validatecookie = ") +
                          (validate ? "true" : "false") + "\n");
  lfmEnv::ResetForTest();
  lfmCookieSettings::ResetForTest();
}

HTTP_FILTER_SEND_RESPONSE* g_sendResponse = nullptr;

// Binds the thread's request record to `iis` as SEND_RESPONSE would, without
// running the pipeline.
DWORD Capture(HTTP_FILTER_CONTEXT* pfc, DWORD type, void* data) {
  if (type == SF_NOTIFY_SEND_RESPONSE) {
    g_sendResponse = static_cast<HTTP_FILTER_SEND_RESPONSE*>(data);
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  return HttpFilterProc(pfc, type, data);
}

// A returning visitor carrying a cookie this configuration issued.
std::unique_ptr<FakeIIS> ReturningVisitor() {
  lfmCookie issuer;
  issuer.Generate("192.0.2.7");
  auto iis = FakeIIS::Get("/kyr.gif", kQuery);
  iis->Variable("HTTP_COOKIE",
                "_ga=GA1.2.1234567.1083937510; VANTORELL_ID=" + issuer.value + "; theme=dark");
  iis->countReads = false;
  iis->Freeze();
  iis->PreprocHeaders(Capture);
  iis->SendResponse(Capture);
  return iis;
}

void RunHits(benchmark::State& state, bool validate, bool process) {
  BenchRoot();
  Configure(validate);
  auto iis = ReturningVisitor();
  iisRequestData* record = iisRequestDataPool::GetRequestData();
  tsSiteParams site;
  lfmCookie* cookie = nullptr;
  for (auto _ : state) {
    record->Reset();
    record->SetFilterContext(&iis->context);
    record->SetSendResponse(g_sendResponse);
    lfmLogHelper::Initialize(*record);
    if (process)
      lfmCookieServer::ProcessCookie(*record, site);
    benchmark::ClobberMemory();
  }
  cookie = lfmCookiePool::GetCookie();
  if (process && (cookie->isNew || !cookie->valid || !iis->responseHeaders.empty()))
    state.SkipWithError("the returning visitor's cookie was not kept");
  state.SetItemsProcessed(state.iterations());
}

void BM_CookieReturningValidated(benchmark::State& state) {
  RunHits(state, true, true);
}
void BM_CookieReturningNotValidated(benchmark::State& state) {
  RunHits(state, false, true);
}
void BM_CookieHitSetUpOnly(benchmark::State& state) {
  RunHits(state, true, false);
}
BENCHMARK(BM_CookieReturningValidated)->Iterations(1000000);
BENCHMARK(BM_CookieReturningNotValidated)->Iterations(1000000);
BENCHMARK(BM_CookieHitSetUpOnly)->Iterations(1000000);

std::vector<char> Bytes(size_t n) {
  std::vector<char> bytes(n);
  for (size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

void BM_MD5(benchmark::State& state) {
  std::vector<char> in = Bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    lfmMAC mac(std::string_view(in.data(), in.size()));
    benchmark::DoNotOptimize(mac.HexDigest());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MD5)->Arg(45)->Arg(65536);

void BM_Memcpy(benchmark::State& state) {
  std::vector<char> in = Bytes(static_cast<size_t>(state.range(0)));
  std::vector<char> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(45)->Arg(65536);

}  // namespace
