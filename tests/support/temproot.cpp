#include "tests/support/temproot.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "config/lfmenv.h"
#include "cookie/lfmcookiesettings.h"
#include "diag/lfmdebuglog.h"
#include "diag/lfmeventlog.h"
#include "filter/iiscontenthandler.h"
#include "filter/kyrfilter.h"
#include "hit/lfmcompactpolicy.h"
#include "hit/lfmlogelementmap.h"
#include "logout/lfmheartbeat.h"
#include "logout/lfmlogfilecontroller.h"
#include "logout/lfmlogfilecontrollerpool.h"
#include "logout/lfmlogrecord.h"
#include "logout/lfmlogrotationsettings.h"
#include "logout/lfmlogserversettings.h"
#include "sitemap/lfmsitemapheartbeat.h"
#include "sitemap/tsservicemodelsettings.h"
#include "sitemap/tssiteparammap.h"
#include "util/lfmpathname.h"
#include "util/whexception.h"

namespace fs = std::filesystem;

namespace {

std::string MakeUniqueDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = fs::temp_directory_path() /
                 ("kyrtest-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(p, ec))
      return p.string();
  }
  throw std::runtime_error("cannot create a temporary directory");
}

}  // namespace

void ResetProcessStateForTest() {
  if (lfmHeartBeat::IsStarted())
    lfmHeartBeat::Stop();
  // Controllers write out their files while the settings still hold.
  lfmLogFileControllerPool::ShutDown();
  // The calling thread's pooled objects were built for the old settings.
  ReleaseThreadObjects();
  lfmLogElementMap::ResetForTest();
  lfmCompactPolicy::ResetForTest();
  ResetSiteRootForTest();
  lfmLogFileController::ResetHeaderForTest();
  lfmLogFieldSettings::ResetForTest();
  lfmDebugLog::ResetForTest();
  lfmEventLog::ResetForTest();
  lfmLogServerSettings::ResetForTest();
  lfmCookieSettings::ResetForTest();
  lfmLogRotationSettings::ResetForTest();
  tsServiceModelSettings::ResetForTest();
  tsSiteParamMapController::Instance().ResetForTest();
  lfmSiteMapHeartBeat::SetPeriodForTest(0);
  lfmEnv::ResetForTest();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

std::string ThrownText(const std::function<void()>& f) {
  try {
    f();
  } catch (const whException& e) {
    return std::to_string(e.Code()) + " " + e.SourceClassName() + " " + e.Message();
  }
  return "no exception";
}

time_t UtcTime(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 to the civil date (proleptic Gregorian).
  int y = year - (month <= 2 ? 1 : 0);
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  long long days = static_cast<long long>(era) * 146097 + doe - 719468;
  return static_cast<time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file())
      names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TempDir::TempDir() : path_(MakeUniqueDir()) {}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

TempRoot::TempRoot(const std::string& config) : root_(MakeUniqueDir()) {
  ResetProcessStateForTest();
  fs::create_directories(fs::path(root_) / "cfg");
  fs::create_directories(fs::path(root_) / "log");
  Write("cfg/kyr.cfg", config);
  platform_.SetEnv("ZR_ROOT", root_);
}

TempRoot::~TempRoot() {
  ResetProcessStateForTest();
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string NativePath(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', lfmPathName::kNativeSeparator);
  return p;
}

std::string TempRoot::File(const std::string& relative) const {
  return NativePath(root_ + "/" + relative);
}

std::string TempDir::File(const std::string& relative) const {
  return NativePath(path_ + "/" + relative);
}

void TempRoot::Write(const std::string& relative, const std::string& content) const {
  WriteFileText(File(relative), content);
}

std::string TempRoot::Read(const std::string& relative) const {
  return ReadFileText(File(relative));
}

bool TempRoot::Exists(const std::string& relative) const {
  return fs::exists(File(relative));
}
