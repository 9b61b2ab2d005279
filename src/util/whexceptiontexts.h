#pragma once
// The message templates of the system's exceptions, one per code (1010 has
// two wordings). Throw sites name the template they need.

#include "util/whexception.h"

namespace whText {
inline constexpr whExceptionText kFreeText{1000, "%s"};
inline constexpr whExceptionText kIncorrectUsage{1010, "Incorrect usage: %s"};
inline constexpr whExceptionText kInvalidUsage{1010, "Invalid usage: %s"};
inline constexpr whExceptionText kConfigLoad{1011,
                                             "Failed to load the required configuration file: %s"};
inline constexpr whExceptionText kEnvNotSet{1012, "The environment variable (%s) is not set."};
inline constexpr whExceptionText kAdapterNotLoaded{
    1013, "Internal error. The adapter request structure must be loaded prior to use."};
inline constexpr whExceptionText kCreateObject{1017, "Failed to create object (%s)."};
inline constexpr whExceptionText kSequence{1018, "Invalid sequence of operations."};
inline constexpr whExceptionText kExtendString{1025,
                                               "Insufficient buffer to extend the string (%s)"};
inline constexpr whExceptionText kPoolObject{
    1026, "Failed to retrieve the following object type from the pool: %s"};
inline constexpr whExceptionText kRequiredParam{1027,
                                                "Failed to retrieve a required paramater: %s"};
inline constexpr whExceptionText kElementCount{
    1028, "In the configuration file, the logelementcount must be (>= 0) and (< %d)."};
inline constexpr whExceptionText kOpenFile{1029, "Failed to open the following file: %s"};
inline constexpr whExceptionText kWriteFile{1030, "A write to file (%s handle: %d) failed. %s"};
inline constexpr whExceptionText kSeekFile{1031, "An lseek to file (%s handle: %d) failed."};
}  // namespace whText
