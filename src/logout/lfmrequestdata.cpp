#include "logout/lfmrequestdata.h"

#include "util/whexceptiontexts.h"

namespace {
const char kModule[] = "./src/logout/lfmrequestdata.cpp";
}

void lfmRequestData::CheckValidity() const {
  if (!loaded_)
    throw whException("lfmRequestData", "CheckValidity()", kModule, __LINE__,
                      whText::kAdapterNotLoaded);
}

void lfmRequestData::ThrowNullString(const char* className, const char* methodName) {
  throw whException(className, methodName, kModule, __LINE__, whText::kIncorrectUsage,
                    "Invalid null string.");
}
