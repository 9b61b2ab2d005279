#include "diag/lfmmessages.h"

#include <cstring>

#define LFM_DEFINE_CATEGORY(number, id, name) const lfmMessageCategory id{name, #id, number};
LFM_MESSAGE_CATEGORIES(LFM_DEFINE_CATEGORY)
#undef LFM_DEFINE_CATEGORY

#define LFM_DEFINE_MESSAGE(eventId, id, key, level, args, category, text) \
  const lfmMessage id{level, args, &category, text, key, eventId};
LFM_MESSAGES(LFM_DEFINE_MESSAGE)
#undef LFM_DEFINE_MESSAGE

namespace {

#define LFM_CATEGORY_ENTRY(number, id, name) &id,
const lfmMessageCategory* const kCategories[] = {LFM_MESSAGE_CATEGORIES(LFM_CATEGORY_ENTRY)};
#undef LFM_CATEGORY_ENTRY

#define LFM_MESSAGE_ENTRY(eventId, id, key, level, args, category, text) &id,
const lfmMessage* const kMessages[] = {LFM_MESSAGES(LFM_MESSAGE_ENTRY)};
#undef LFM_MESSAGE_ENTRY

static_assert(sizeof kCategories / sizeof kCategories[0] == lfmMessageCatalogue::kCategoryCount,
              "one table entry per category");
static_assert(sizeof kMessages / sizeof kMessages[0] ==
                  lfmMessageCatalogue::kLastEventId - lfmMessageCatalogue::kFirstEventId + 1,
              "event identifiers are contiguous");

}  // namespace

const lfmMessage* lfmMessageCatalogue::Find(uint32_t eventId) {
  if (eventId < kFirstEventId || eventId > kLastEventId)
    return nullptr;
  return kMessages[eventId - kFirstEventId];
}

const lfmMessageCategory* lfmMessageCatalogue::Category(uint16_t number) {
  if (number < 1 || number > kCategoryCount)
    return nullptr;
  return kCategories[number - 1];
}

std::string lfmMessageCatalogue::Format(const lfmMessage& m, const char* const* args, size_t count,
                                        size_t max) {
  std::string out;
  size_t next = 0;
  bool ended = false;  // a null argument ends the list
  for (const char* p = m.text; *p && out.size() < max; ++p) {
    if (p[0] != '%') {
      out += *p;
      continue;
    }
    if (p[1] == 's') {
      const char* a = nullptr;
      if (!ended && next < count)
        a = args[next++];
      if (!a)
        ended = true;
      else
        out.append(a, strnlen(a, max - out.size()));
      ++p;
    } else if (p[1] == '%') {
      out += '%';
      ++p;
    } else {
      out += '%';
    }
  }
  if (out.size() > max)
    out.resize(max);
  return out;
}
