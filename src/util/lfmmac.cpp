#include "util/lfmmac.h"

#include <cstring>

#include "util/whexceptiontexts.h"

namespace {
constexpr const char* kClass = "lfmMAC";
constexpr const char* kModule = "./src/util/lfmmac.cpp";
}  // namespace

void lfmMAC::Update(const void* data, size_t length) {
  if (finalized_)
    throw whException(kClass, "Update()", kModule, __LINE__, whText::kSequence);
  context_.Update(data, length);
}

void lfmMAC::Update(const char* text) {
  Update(text, text ? std::strlen(text) : 0);
}

void lfmMAC::Final() {
  if (finalized_)
    throw whException(kClass, "Final()", kModule, __LINE__, whText::kSequence);
  context_.Final(digest_);
  finalized_ = true;
}

const char* lfmMAC::HexDigest() {
  static const char kDigits[] = "0123456789ABCDEF";
  if (!finalized_)
    Final();
  if (!hex_[0]) {
    for (size_t i = 0; i < lfmMD5::kDigestSize; ++i) {
      hex_[2 * i] = kDigits[digest_[i] >> 4];
      hex_[2 * i + 1] = kDigits[digest_[i] & 0xF];
    }
    hex_[kHexSize - 1] = '\0';
  }
  return hex_;
}
