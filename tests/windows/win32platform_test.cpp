// The Win32 side of the platform layer, checked against the system itself
// (under Wine in CI): what a Windows port typically gets wrong is text-mode
// translation, rename semantics, view alignment and the end of a mapped file,
// and where the registry keeps things.

#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "config/lfmenv.h"
#include "hit/lfmpools.h"
#include "platform/lfmplatform.h"
#include "tests/support/temproot.h"
#include "util/whexception.h"

namespace {

lfmPlatform* Os() {
  return lfmPlatform::Default();
}

void WriteAll(const std::string& path, int flags, const std::string& data) {
  int err = 0;
  lfmFileHandle h = Os()->Open(path, flags, kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle) << err;
  EXPECT_EQ(Os()->Write(h, data.data(), data.size(), &err), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(Os()->Close(h, &err));
}

TEST(Win32Platform, FilesAndStreamsKeepTheirBytesWhateverTheMode) {
  TempDir dir;
  // Without the untranslated flag the runtime would write "\r\r\n".
  WriteAll(dir.File("plain.log"), kOpenWriteOnly | kOpenCreate | kOpenTruncate, "a\r\nb\n");
  EXPECT_EQ(ReadFileText(dir.File("plain.log")), "a\r\nb\n");
  WriteAll(dir.File("plain.log"), kOpenWriteOnly | kOpenAppend, "c\x1A");
  EXPECT_EQ(ReadFileText(dir.File("plain.log")), "a\r\nb\nc\x1A");

  int err = 0;
  std::FILE* f = Os()->OpenStream(dir.File("stream.txt"), "a+", &err);
  ASSERT_NE(f, nullptr) << err;
  std::fputs("line\n", f);
  std::fclose(f);
  f = Os()->OpenStream(dir.File("stream.txt"), "r", &err);
  ASSERT_NE(f, nullptr) << err;
  char buf[16] = {};
  EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 5u);
  std::fclose(f);
  EXPECT_EQ(std::string(buf), "line\n");
}

// Two writers appending to one file (two worker processes while IIS
// recycles a pool) keep every record, as O_APPEND does on POSIX.
TEST(Win32Platform, AppendsFromTwoDescriptorsAreAllKept) {
  TempDir dir;
  const std::string path = dir.File("shared.log");
  constexpr int kRecords = 20000;
  auto writer = [&](char c) {
    int err = 0;
    lfmFileHandle h =
        Os()->Open(path, kOpenWriteOnly | kOpenAppend | kOpenCreate, kOpenPermission, &err);
    std::string record(15, c);
    record += '\n';
    for (int i = 0; i < kRecords; ++i)
      Os()->Write(h, record.data(), record.size(), &err);
    Os()->Close(h, &err);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  EXPECT_EQ(ReadFileText(path).size(), 2u * kRecords * 16u);
}

TEST(Win32Platform, RenameReplacesOnlyWhenAskedAndPathsTakeEitherSeparator) {
  TempDir dir;
  WriteFileText(dir.File("from.log"), "new");
  WriteFileText(dir.File("to.log"), "old");
  EXPECT_EQ(Os()->Rename(dir.Path() + "/from.log", dir.Path() + "\\to.log", false), EEXIST);
  EXPECT_EQ(ReadFileText(dir.File("to.log")), "old");
  EXPECT_EQ(ReadFileText(dir.File("from.log")), "new");
  EXPECT_EQ(Os()->Rename(dir.File("from.log"), dir.File("to.log"), true), 0);
  EXPECT_EQ(ReadFileText(dir.File("to.log")), "new");
  EXPECT_EQ(Os()->Rename(dir.File("from.log"), dir.File("other.log"), false), ENOENT);
}

TEST(Win32Platform, MappedFileIsReservedWrittenThroughAViewAndCutToItsData) {
  TempDir dir;
  const uint32_t g = Os()->AllocationGranularity();
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(g, info.dwAllocationGranularity);
  EXPECT_EQ(g, 65536u);

  int err = 0;
  lfmFileHandle h =
      Os()->Open(dir.File("mapped.log"), kOpenReadWrite | kOpenCreate | kOpenUntranslated,
                 kOpenPermission, &err);
  ASSERT_NE(h, kInvalidFileHandle);
  ASSERT_TRUE(Os()->Allocate(h, 2ull * g, &err)) << err;
  EXPECT_EQ(Os()->Size(h, &err), 2 * static_cast<int64_t>(g));
  // A view starts on the granularity and lies within the file.
  EXPECT_EQ(Os()->MapView(h, g / 2, g, &err), nullptr);
  EXPECT_EQ(Os()->MapView(h, g, 2ull * g, &err), nullptr);
  void* view = Os()->MapView(h, g, g, &err);
  ASSERT_NE(view, nullptr) << err;
  std::memcpy(view, "hello", 5);
  EXPECT_TRUE(Os()->FlushView(view, g, true, &err));
  EXPECT_TRUE(Os()->UnmapView(view, g, &err));
  // The reservation shrinks to the data; the descriptor's position stays.
  EXPECT_EQ(Os()->Seek(h, 7, 0, &err), 7);
  ASSERT_TRUE(Os()->Truncate(h, g + 5ull, &err)) << err;
  EXPECT_EQ(Os()->Seek(h, 0, 1, &err), 7);
  EXPECT_TRUE(Os()->Close(h, &err));
  std::string text = ReadFileText(dir.File("mapped.log"));
  ASSERT_EQ(text.size(), g + 5u);
  EXPECT_EQ(text.substr(g), "hello");
}

TEST(Win32Platform, DirectoriesAreListedWithTheirAttributes) {
  TempDir dir;
  ASSERT_EQ(Os()->MakeDirectory(dir.File("sub")), 0);
  EXPECT_EQ(Os()->MakeDirectory(dir.File("sub")), EEXIST);
  WriteFileText(dir.File("ro.log"), "12345");
  ASSERT_EQ(Os()->SetWritable(dir.File("ro.log"), false), 0);
  std::vector<lfmDirEntry> entries;
  ASSERT_TRUE(Os()->ListDirectory(dir.Path() + "/", &entries));
  ASSERT_EQ(entries.size(), 2u);
  for (const lfmDirEntry& e : entries) {
    if (e.name == "sub") {
      EXPECT_EQ(e.attributes, kAttrDirectory);
    } else {
      EXPECT_EQ(e.name, "ro.log");
      EXPECT_EQ(e.attributes, kAttrReadOnly);
      EXPECT_EQ(e.size, 5u);
    }
  }
  lfmFileStatus st;
  ASSERT_TRUE(Os()->Stat(dir.File("sub/"), &st));  // a trailing separator is accepted
  EXPECT_TRUE(st.mode & kModeDirectory);
  ASSERT_TRUE(Os()->Stat(dir.File("ro.log"), &st));
  EXPECT_EQ(st.mode & (kModeOwnerWrite | kModeRegular), kModeRegular);
  EXPECT_FALSE(Os()->Access(dir.File("ro.log"), kAccessWrite));
  EXPECT_EQ(Os()->SetWritable(dir.File("ro.log"), true), 0);
  EXPECT_EQ(Os()->Remove(dir.File("ro.log")), 0);
  EXPECT_FALSE(Os()->ListDirectory(dir.File("missing"), &entries));
}

// The system's view of the environment is empty; named values come from the
// real registry.
class RegistryOnly : public lfmPlatformWrapper {
 public:
  bool GetEnvironment(const std::string& name, std::string* value) override {
    if (name == "ZR_ROOT" && !environmentRoot.empty()) {
      *value = environmentRoot;
      return true;
    }
    return false;
  }
  std::string environmentRoot;
};

constexpr char kInstallKey[] = "SOFTWARE\\Vantorell Corporation\\Tallyserver";

// The tests below write the installation key: on a machine where the
// collector is installed they leave it alone.
bool InstallationKeyInUse() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

void SetInstallationValue(const char* name, DWORD type, const std::string& text) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

TEST(Win32Platform, TheRootComesFromTheInstallationKeyUnlessTheEnvironmentHasIt) {
  if (InstallationKeyInUse())
    GTEST_SKIP() << "the collector's registry key exists on this machine";
  std::string value;
  EXPECT_FALSE(Os()->GetNamedValue("ZR_ROOT", &value));
  const char root[] = "D:\\collector";
  SetInstallationValue("ZR_ROOT", REG_SZ, root);
  EXPECT_TRUE(Os()->GetNamedValue("ZR_ROOT", &value));
  EXPECT_EQ(value, root);
  EXPECT_FALSE(Os()->GetNamedValue("ZR_DEBUG_LEVEL", &value));
  // A value longer than the system's limit is cut like an environment value;
  // an expandable one is expanded.
  SetInstallationValue("ZR_CFGFILE", REG_SZ, std::string(5000, 'c'));
  EXPECT_TRUE(Os()->GetNamedValue("ZR_CFGFILE", &value));
  EXPECT_EQ(value, std::string(4095, 'c'));
  SetEnvironmentVariableA("KYR_TEST_DRIVE", "F:");
  SetInstallationValue("ZR_DEBUG_LEVEL", REG_EXPAND_SZ, "%KYR_TEST_DRIVE%\\x");
  EXPECT_TRUE(Os()->GetNamedValue("ZR_DEBUG_LEVEL", &value));
  EXPECT_EQ(value, "F:\\x");

  RegistryOnly platform;
  lfmPlatform::Install(&platform);
  lfmEnv::ResetForTest();
  std::string fromRegistry = lfmEnv::GetRoot();
  lfmEnv::ResetForTest();
  platform.environmentRoot = "E:\\elsewhere";
  std::string fromEnvironment = lfmEnv::GetRoot();
  lfmEnv::ResetForTest();
  lfmPlatform::Install(nullptr);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kInstallKey);
  EXPECT_EQ(fromRegistry, root);
  EXPECT_EQ(fromEnvironment, "E:\\elsewhere");
}

std::string ReadRegistryText(HKEY key, const char* name, DWORD* type) {
  char buf[1024] = {};
  DWORD size = sizeof buf - 2;
  if (RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size) !=
      ERROR_SUCCESS)
    return "<absent>";
  return std::string(buf, size);
}

TEST(Win32Platform, EventSourceIsRegisteredOnceUnderTheApplicationLog) {
  const std::string source = "KYRTEST";
  const std::string file = "C:\\collector\\bin\\lfmeventmsg.dll";
  ASSERT_TRUE(Os()->SystemLogRegister(source, file, 10));
  ASSERT_TRUE(Os()->SystemLogRegister(source, file, 10));  // a second time adds nothing

  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\KYRTEST", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(ReadRegistryText(key, "EventMessageFile", &type), file + '\0');
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(ReadRegistryText(key, "CategoryMessageFile", &type), file + '\0');
  DWORD number = 0, size = sizeof number;
  EXPECT_EQ(RegQueryValueExA(key, "CategoryCount", nullptr, &type, reinterpret_cast<BYTE*>(&number),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 10u);
  EXPECT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                             reinterpret_cast<BYTE*>(&number), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 7u);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application", 0, KEY_READ,
                          &key),
            ERROR_SUCCESS);
  std::string sources = ReadRegistryText(key, "Sources", &type);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  std::string entry = '\0' + source + '\0';
  size_t first = ('\0' + sources).find(entry);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(('\0' + sources).find(entry, first + 1), std::string::npos);

  lfmSystemEvent event;
  event.level = lfmSysLogLevel::kWarning;
  event.category = 2;
  event.eventId = 1045;
  event.strings = {"maxhandlecount", "2000"};
  EXPECT_TRUE(Os()->SystemLogReport(source, event));
}

// Registering keeps every other source of the log's list as it was, an
// empty entry inside the list and a name outside the code page included.
TEST(Win32Platform, RegistrationKeepsEveryOtherSource) {
  const char* logKey = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, logKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  std::vector<BYTE> saved(65536);
  DWORD savedType = 0, savedSize = static_cast<DWORD>(saved.size());
  bool hadList = RegQueryValueExW(key, L"Sources", nullptr, &savedType, saved.data(), &savedSize) ==
                 ERROR_SUCCESS;
  const wchar_t odd[] = L"Alpha\0\0B\u0113ta\0";  // the literal adds the final NUL
  ASSERT_EQ(RegSetValueExW(key, L"Sources", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(odd),
                           sizeof odd),
            ERROR_SUCCESS);
  EXPECT_TRUE(Os()->SystemLogRegister("KYRODD", "C:\\x\\lfmeventmsg.dll", 10));
  EXPECT_TRUE(Os()->SystemLogRegister("KYRODD", "C:\\x\\lfmeventmsg.dll", 10));
  wchar_t list[64] = {};
  DWORD type = 0, size = sizeof list - sizeof(wchar_t);
  EXPECT_EQ(RegQueryValueExW(key, L"Sources", nullptr, &type, reinterpret_cast<BYTE*>(list), &size),
            ERROR_SUCCESS);
  if (hadList)
    RegSetValueExW(key, L"Sources", 0, savedType, saved.data(), savedSize);
  RegCloseKey(key);
  const wchar_t expected[] = L"Alpha\0\0B\u0113ta\0KYRODD\0";
  EXPECT_EQ(std::wstring(list, size / sizeof(wchar_t)),
            std::wstring(expected, sizeof expected / sizeof(wchar_t)));
}

// A native thread (as IIS's are) that ends gives its pooled objects back
// through the module's thread-detach callback and leaves no handle behind.
DWORD WINAPI UsePools(LPVOID) {
  lfmRequestPool::GetRequest();
  lfmCookiePool::GetCookie();
  return 0;
}

void RunNativeThread() {
  HANDLE t = CreateThread(nullptr, 0, UsePools, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
}

TEST(Win32Threads, AnEndingThreadReleasesItsObjectsAndLeavesNoHandle) {
  TempRoot root;
  RunNativeThread();  // one-time set-up of the first thread
  int live = lfmRequestPool::Live();
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  for (int i = 0; i < 50; ++i)
    RunNativeThread();
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(lfmRequestPool::Live(), live);
  EXPECT_EQ(lfmCookiePool::Live(), live);
  EXPECT_LT(after, before + 10);
}

TEST(Win32Platform, ClockHostAndErrorsComeFromTheSystem) {
  int64_t micros = Os()->WallClockMicros();
  int64_t seconds = static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(std::llabs(micros / 1000000 - seconds), 2);
  uint64_t t0 = Os()->TickCountMs();
  EXPECT_GE(Os()->TickCountMs(), t0);
  EXPECT_FALSE(Os()->HostName().empty());
  EXPECT_NE(Os()->ErrorText(ENOENT).find("No such file"), std::string::npos);
  std::tm tm{};
  ASSERT_TRUE(Os()->GmTime(86400 * 365, &tm));
  EXPECT_EQ(tm.tm_year, 71);
}

}  // namespace
