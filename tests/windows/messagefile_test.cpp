// The event log's message file (lfmeventmsg.dll), read the way the event log
// reads it: loaded as a data file, each event's text rendered by FormatMessage
// with the event's insertion strings, each category's name without inserts.
// The rendering must be the catalogue's own (lfmMessageCatalogue::Format),
// except that FormatMessage ends lines in "\r\n" where the catalogue has "\n".
// The message compiler's line break after a text's last line is dropped by
// the file itself ("%0"), so no other difference is allowed.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/lfmmessages.h"
#include "tools/kyr_mcprobe.h"

namespace {

// "No work was done": what FormatMessage reports for an empty text (mingw's
// winerror.h lacks the name).
constexpr DWORD kErrorNoWorkDone = 235;

// The build puts the message files beside the test program, as an
// administrator puts lfmeventmsg.dll in <root>\bin beside the filter.
std::string BesideProgram(const char* name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n < MAX_PATH ? n : 0);
  return p.substr(0, p.find_last_of("\\/") + 1) + name;
}

class MessageFile {
 public:
  explicit MessageFile(const char* name)
      : module_(LoadLibraryExA(BesideProgram(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~MessageFile() {
    if (module_)
      FreeLibrary(module_);
  }
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  bool Loaded() const { return module_ != nullptr; }

  // FormatMessage's text of `id`: with `inserts` as an argument array, or
  // with inserts ignored when `inserts` is null. False when the table has no
  // such entry.
  bool Render(DWORD id, const char* const* inserts, std::string* text) const {
    DWORD_PTR args[5] = {};
    for (size_t i = 0; inserts && inserts[i] && i < 5; ++i)
      args[i] = reinterpret_cast<DWORD_PTR>(inserts[i]);
    DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                  (inserts ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    char* buffer = nullptr;
    SetLastError(0);
    DWORD n = FormatMessageA(flags, module_, id, 0, reinterpret_cast<char*>(&buffer), 0,
                             inserts ? reinterpret_cast<va_list*>(args) : nullptr);
    // An entry that renders empty gives 0 and "no work done".
    DWORD error = GetLastError();
    text->assign(buffer ? buffer : "", buffer ? n : 0);
    if (buffer)
      LocalFree(buffer);
    return n != 0 || error == kErrorNoWorkDone;
  }

 private:
  HMODULE module_;
};

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += '\r';
    out += c;
  }
  return out;
}

// Insertion strings that would change if FormatMessage read them as text of
// the message: they are copied as they stand.
// As many as a message takes (five), each with text FormatMessage would read.
const char* const kInserts[] = {"<1 %1 %% %n>", "<2 %2!d! %0>", "<3 %. %t>",
                                "<4 %4!s!>",    "<5 %r %b>",    nullptr};

// Every record renders as the catalogue renders it: each "%s" takes the next
// insertion string, in order, and nothing else in the text is read as a
// FormatMessage sequence.
void ExpectRendersAsCatalogue(const MessageFile& file, const lfmMessage& m) {
  std::string text;
  ASSERT_TRUE(file.Render(m.eventId, kInserts, &text))
      << m.eventId << " " << m.key << ": error " << GetLastError();
  EXPECT_EQ(text, WithCrLf(lfmMessageCatalogue::Format(m, kInserts, m.argCount)))
      << m.eventId << " " << m.key;
}

TEST(EventMessageFile, EveryCatalogueMessageAndCategoryRendersAsTheCatalogue) {
  MessageFile file(KYR_EVENT_MESSAGE_FILE);
  ASSERT_TRUE(file.Loaded()) << BesideProgram(KYR_EVENT_MESSAGE_FILE) << ": " << GetLastError();
  for (uint32_t id = lfmMessageCatalogue::kFirstEventId; id <= lfmMessageCatalogue::kLastEventId;
       ++id)
    ExpectRendersAsCatalogue(file, *lfmMessageCatalogue::Find(id));
  for (uint16_t n = 1; n <= lfmMessageCatalogue::kCategoryCount; ++n) {
    const char* name = lfmMessageCatalogue::Category(n)->name;
    std::string text;
    ASSERT_TRUE(file.Render(n, nullptr, &text)) << "category " << n;
    EXPECT_EQ(text, name);
    ASSERT_TRUE(file.Render(n, kInserts, &text)) << "category " << n;
    EXPECT_EQ(text, name);
  }
  // Identifiers are the events' own (severity and facility 0): nothing lies
  // around the catalogue.
  std::string text;
  for (DWORD id :
       {0ul, 11ul, 999ul, static_cast<unsigned long>(lfmMessageCatalogue::kLastEventId) + 1,
        0x0fff0000ul + 1000})
    EXPECT_FALSE(file.Render(id, kInserts, &text)) << id;
}

// Texts the catalogue does not hold yet, with every sequence the message
// compiler or FormatMessage treat specially, go through the same generator.
TEST(EventMessageFile, TextsWithSpecialSequencesRenderAsTheCatalogue) {
  MessageFile file(KYR_MC_PROBE_FILE);
  ASSERT_TRUE(file.Loaded()) << BesideProgram(KYR_MC_PROBE_FILE) << ": " << GetLastError();
#define KYR_PROBE_RECORD(args, text) \
  {kMessageWarning, args, &MESS_CATEGORY_COOKIE, text, "PROBE", 0},
  std::vector<lfmMessage> probes = {KYR_MC_PROBE_MESSAGES(KYR_PROBE_RECORD)};
#undef KYR_PROBE_RECORD
  for (size_t i = 0; i < probes.size(); ++i) {
    probes[i].eventId = static_cast<uint32_t>(i + 1);
    ExpectRendersAsCatalogue(file, probes[i]);
  }
}

}  // namespace
