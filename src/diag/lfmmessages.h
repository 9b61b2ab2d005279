#pragma once
// The catalogue of operator messages. Every condition an operator should see
// is one of these records, raised through lfmDebugLog::Log() with its
// arguments; the record's level decides where it goes (audit file, system
// log), its category and event identifier are what the system log shows.
//
// Records are constant-initialised and immutable; they may be used from any
// thread at any time, static initialisers included.

#include <cstddef>
#include <cstdint>
#include <string>

struct lfmMessageCategory {
  const char* name;  // display name, e.g. "Configuration"
  const char* key;   // MESS_CATEGORY_ name
  uint16_t number;   // 1, 2, 3 ... in creation order
};

struct lfmMessage {
  uint16_t level;     // kMessageError, kMessageWarning, kMessageInformation or kMessageAlways
  uint16_t argCount;  // "%s" placeholders in `text`
  const lfmMessageCategory* category;
  const char* text;  // every placeholder is "%s"
  const char* key;   // MESS_ name; two records share MESS_LOG_ROTATION_HOURS_INTERVAL
  uint32_t eventId;  // 1000, 1001 ... in creation order
};

// Message levels. A destination outputs a message whose level is at most the
// destination's level; kMessageAlways is output wherever a destination is on.
constexpr uint16_t kMessageError = 0;
constexpr uint16_t kMessageWarning = 1;
constexpr uint16_t kMessageInformation = 2;
constexpr uint16_t kMessageAlways = 99;

// X(number, identifier, display name)
#define LFM_MESSAGE_CATEGORIES(X)                    \
  X(1, MESS_CATEGORY_COOKIE, "Cookie")               \
  X(2, MESS_CATEGORY_CONFIGURATION, "Configuration") \
  X(3, MESS_CATEGORY_KYR_ID, "KYR ID")               \
  X(4, MESS_CATEGORY_EXCEPTION, "Exception")         \
  X(5, MESS_CATEGORY_HEARTBEAT, "Heartbeat")         \
  X(6, MESS_CATEGORY_HIT_COUNT, "Hit Count")         \
  X(7, MESS_CATEGORY_BAD_HIT, "Bad Hit")             \
  X(8, MESS_CATEGORY_LOG_FILE, "Log File")           \
  X(9, MESS_CATEGORY_LFMROTATE, "Lfm_rotate")        \
  X(10, MESS_CATEGORY_SERVICE_MODEL, "Service Model")

// X(event id, identifier, key, level, argument count, category, text), in
// ascending event id. The identifier equals the key except for 1041, whose
// key is MESS_LOG_ROTATION_HOURS_INTERVAL like 1040's.
// clang-format off
#define LFM_MESSAGES(X) \
  X(1000, MESS_COOKIE_BAD, "MESS_COOKIE_BAD", kMessageWarning, 1, MESS_CATEGORY_COOKIE, \
    "The following hit contains an invalid cookie: %s") \
  X(1001, MESS_COOKIE_EXP_LESS_THAN_ZERO, "MESS_COOKIE_EXP_LESS_THAN_ZERO", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Cookie Expiration Less Than Zero -- Defaulting to Ten Years") \
  X(1002, MESS_COOKIE_EXP_LESS_THAN_HOUR, "MESS_COOKIE_EXP_LESS_THAN_HOUR", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Cookie Expiration Less Than One Hour") \
  X(1003, MESS_COOKIE_EXP_INVALID, "MESS_COOKIE_EXP_INVALID", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid Cookie Expiration Date -- Using Default Expiration Date: %s") \
  X(1004, MESS_COOKIE_VERSION_INVALID, "MESS_COOKIE_VERSION_INVALID", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid Cookie Version -- Defaulting to CookieVersion=1") \
  X(1005, MESS_COOKIE_MAGIC_CODE, "MESS_COOKIE_MAGIC_CODE", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Using default magic code: %s") \
  X(1006, MESS_COOKIE_SETTINGS, "MESS_COOKIE_SETTINGS", kMessageInformation, 1, MESS_CATEGORY_CONFIGURATION, \
    "The following cookie setting values have been loaded. %s") \
  X(1007, MESS_COOKIE_PATH_BAD, "MESS_COOKIE_PATH_BAD", kMessageWarning, 1, MESS_CATEGORY_COOKIE, \
    "No cookie issued, cookie path does not match URL in the following hit: %s") \
  X(1008, MESS_COOKIE_CONNECTION_NOT_SECURE, "MESS_COOKIE_CONNECTION_NOT_SECURE", kMessageWarning, 1, MESS_CATEGORY_COOKIE, \
    "No cookie issued, connection not secure: %s") \
  X(1009, MESS_COOKIE_REISSUED, "MESS_COOKIE_REISSUED", kMessageWarning, 1, MESS_CATEGORY_COOKIE, \
    "New cookie was issued to replace invalid cookie.\nCookie: %s") \
  X(1010, MESS_COUNT_METER_TIME_RESET, "MESS_COUNT_METER_TIME_RESET", kMessageWarning, 1, MESS_CATEGORY_HIT_COUNT, \
    "The meter time was skewed.  It has been reset. %s") \
  X(1011, MESS_CP_ID_PARAM_INVALID, "MESS_CP_ID_PARAM_INVALID", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "The Compact Policy identifier is invalid.  Contains illegal characters: %s") \
  X(1012, MESS_CP_ID_TOO_MANY_CHARS, "MESS_CP_ID_TOO_MANY_CHARS", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "The Compact Policy identifier is invalid.  Too many characters: %s") \
  X(1013, MESS_KYR_ID_INCORRECT_SIZE, "MESS_KYR_ID_INCORRECT_SIZE", kMessageWarning, 1, MESS_CATEGORY_KYR_ID, \
    "The KYR Id is invalid.  Incorrect size. %s") \
  X(1014, MESS_KYR_ID_START, "MESS_KYR_ID_START", kMessageWarning, 1, MESS_CATEGORY_KYR_ID, \
    "The KYR Id is invalid.  Must start with KYR. %s") \
  X(1015, MESS_KYR_ID_NUMBERS, "MESS_KYR_ID_NUMBERS", kMessageWarning, 1, MESS_CATEGORY_KYR_ID, \
    "The KYR Id is invalid.  Base portion must be alphanumeric. %s") \
  X(1016, MESS_KYR_ID_SEPARATOR, "MESS_KYR_ID_SEPARATOR", kMessageWarning, 1, MESS_CATEGORY_KYR_ID, \
    "The KYR Id is invalid.  Missing the appropriate separator. %s") \
  X(1017, MESS_KYR_ID_TAMPERED, "MESS_KYR_ID_TAMPERED", kMessageWarning, 1, MESS_CATEGORY_KYR_ID, \
    "The KYR Id is invalid.  Tampered KYR Id. %s") \
  X(1018, MESS_DEBUG_EXCEPTION, "MESS_DEBUG_EXCEPTION", kMessageInformation, 1, MESS_CATEGORY_EXCEPTION, \
    "%s") \
  X(1019, MESS_WARN_EXCEPTION, "MESS_WARN_EXCEPTION", kMessageWarning, 1, MESS_CATEGORY_EXCEPTION, \
    "%s") \
  X(1020, MESS_ERROR_EXCEPTION, "MESS_ERROR_EXCEPTION", kMessageError, 1, MESS_CATEGORY_EXCEPTION, \
    "%s") \
  X(1021, MESS_HEARTBEAT_RESTART, "MESS_HEARTBEAT_RESTART", kMessageWarning, 0, MESS_CATEGORY_HEARTBEAT, \
    "Attempted to restart the HeartBeat") \
  X(1022, MESS_HEARTBEAT_BAD_SHUTDOWN, "MESS_HEARTBEAT_BAD_SHUTDOWN", kMessageWarning, 0, MESS_CATEGORY_HEARTBEAT, \
    "The heart beat thread was not gracefully shutdown.") \
  X(1023, MESS_HIT_COUNT_HOST_NAME, "MESS_HIT_COUNT_HOST_NAME", kMessageWarning, 1, MESS_CATEGORY_HIT_COUNT, \
    "Unable to obtain hostname for hit count log file, defaulting to: %s") \
  X(1024, MESS_HIT_COUNT_HEARBEAT_RESTART, "MESS_HIT_COUNT_HEARBEAT_RESTART", kMessageWarning, 0, MESS_CATEGORY_HIT_COUNT, \
    "Attempted to restart the HitCountHeartBeat") \
  X(1025, MESS_HIT_COUNT_HEARBEAT_BAD_SHUTDOWN, "MESS_HIT_COUNT_HEARBEAT_BAD_SHUTDOWN", kMessageWarning, 0, MESS_CATEGORY_HIT_COUNT, \
    "The hit count heart beat thread was not gracefully shutdown.") \
  X(1026, MESS_LOG_ELEMENT_BLANK, "MESS_LOG_ELEMENT_BLANK", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "An invalid log element was found in the configuration file\n(logelement value blank or missing) Discarding logelement (%s)") \
  X(1027, MESS_LOG_ELEMENT_PARAM, "MESS_LOG_ELEMENT_PARAM", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "An invalid log element was found in the configuration file\n(parameter value blank or missing) Discarding logelement (%s)") \
  X(1028, MESS_LOG_ELEMENT_UNSUPPORTED, "MESS_LOG_ELEMENT_UNSUPPORTED", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "An invalid log element was found in the configuration file\nThe following logelement is not supported. %s") \
  X(1029, MESS_LOG_ELEMENT_KYR_URI_OVERRIDDEN, "MESS_LOG_ELEMENT_KYR_URI_OVERRIDDEN", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "KYR_URI is a required parameter.  Overriding the value in the configuration file") \
  X(1030, MESS_LOG_ELEMENT_TRUNCATED, "MESS_LOG_ELEMENT_TRUNCATED", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The following log element was truncated because it exceeded the max internal buffer size.\nsz%s: %s") \
  X(1031, MESS_LOG_HIT_MISSING_PARAM, "MESS_LOG_HIT_MISSING_PARAM", kMessageWarning, 1, MESS_CATEGORY_BAD_HIT, \
    "The following hit was discarded due to the absence of following hit parameter: %s") \
  X(1032, MESS_INVALID_URI_STEM, "MESS_INVALID_URI_STEM", kMessageWarning, 1, MESS_CATEGORY_BAD_HIT, \
    "The following invalid hit was discarded due to an invalid uri-stem: %s") \
  X(1033, MESS_INVALID_KYR_ID, "MESS_INVALID_KYR_ID", kMessageWarning, 1, MESS_CATEGORY_BAD_HIT, \
    "The following invalid hit was discarded due to an invalid KYR ID: %s") \
  X(1034, MESS_URL_TOO_LONG, "MESS_URL_TOO_LONG", kMessageWarning, 1, MESS_CATEGORY_BAD_HIT, \
    "The following hit was discarded due to URL exceeding browser length limit: %s") \
  X(1035, MESS_LOG_DIR_CREATED, "MESS_LOG_DIR_CREATED", kMessageWarning, 1, MESS_CATEGORY_LOG_FILE, \
    "Created log file directory %s") \
  X(1036, MESS_LOG_DIR_CREATE_FAILURE, "MESS_LOG_DIR_CREATE_FAILURE", kMessageError, 1, MESS_CATEGORY_LOG_FILE, \
    "Failed to create log file directory %s") \
  X(1037, MESS_LOG_USING_ALTERNATE, "MESS_LOG_USING_ALTERNATE", kMessageWarning, 2, MESS_CATEGORY_LOG_FILE, \
    "Failed to open log file %s\nUsing alternate log file directory %s") \
  X(1038, MESS_LOG_FILE_NO_FLUSH, "MESS_LOG_FILE_NO_FLUSH", kMessageWarning, 1, MESS_CATEGORY_LOG_FILE, \
    "The following log file controller failed to flush its buffer (FlushBuffer()) due to an unexpected controller state: %s") \
  X(1039, MESS_LOG_FILE_UNRELEASED_HANDLE, "MESS_LOG_FILE_UNRELEASED_HANDLE", kMessageInformation, 0, MESS_CATEGORY_LOG_FILE, \
    "Attempted to release a handle.  No handle was released before the file handle queue emptied.") \
  X(1040, MESS_LOG_ROTATION_HOURS_INTERVAL, "MESS_LOG_ROTATION_HOURS_INTERVAL", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid Hours Interval -- Defaulting to hoursinterval= %s") \
  X(1041, MESS_LOG_ROTATION_MINUTES_INTERVAL, "MESS_LOG_ROTATION_HOURS_INTERVAL", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid Minutes Interval -- Defaulting to minutesinterval= %s") \
  X(1042, MESS_LOG_ROTATION_MAX_UNDER_ZERO, "MESS_LOG_ROTATION_MAX_UNDER_ZERO", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The maximum log file size setting (%s) is less than zero.  It has been set to %s.") \
  X(1043, MESS_LOG_ROTATION_WEEK_START, "MESS_LOG_ROTATION_WEEK_START", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Log Rotation Week Start setting (%s) is invalid.  It has been set to %s.") \
  X(1044, MESS_INVALID_P3P_ORIGIN, "MESS_INVALID_P3P_ORIGIN", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid P3P compact policy origin -- Defaulting to p3pfrom= %s") \
  X(1045, MESS_MAX_HANDLE_COUNT_TOO_BIG, "MESS_MAX_HANDLE_COUNT_TOO_BIG", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Maximum Handle Count setting (%s) is too large.  It has been set to %s.") \
  X(1046, MESS_MAX_HANDLE_COUNT_TOO_SMALL, "MESS_MAX_HANDLE_COUNT_TOO_SMALL", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Maximum Handle Count setting (%s) is too small.  It has been set to %s.") \
  X(1047, MESS_WRITE_BUFFER_SETTING, "MESS_WRITE_BUFFER_SETTING", kMessageWarning, 3, MESS_CATEGORY_CONFIGURATION, \
    "The Write Buffer Size setting (%s) is invalid.  Must be 0 or greater than or equal to %s.  It has been set to %s.") \
  X(1048, MESS_INVALID_HEART_BEAT_SETTING, "MESS_INVALID_HEART_BEAT_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Heart Beat Rate setting (%s) is invalid.  It has been set to %s.") \
  X(1049, MESS_LOG_SERVER_SETTINGS, "MESS_LOG_SERVER_SETTINGS", kMessageInformation, 1, MESS_CATEGORY_CONFIGURATION, \
    "The following log server setting values have been loaded: %s") \
  X(1050, MESS_INVALID_FLUSH_RATE_SETTING, "MESS_INVALID_FLUSH_RATE_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Buffer Flush Rate setting (%s) is invalid.  It has been set to %s.") \
  X(1051, MESS_INVALID_FILE_CHECK_SETTING, "MESS_INVALID_FILE_CHECK_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The File Check Rate setting (%s) is invalid.  It has been set to %s.") \
  X(1052, MESS_INVALID_HIT_COUNT_FLUSH_SETTING, "MESS_INVALID_HIT_COUNT_FLUSH_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Hit Count Flush Rate setting (%s) is invalid.  It has been set to %s.") \
  X(1053, MESS_HIT_COUNT_FLUSHES_PER_ROTATION_SETTING, "MESS_HIT_COUNT_FLUSHES_PER_ROTATION_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Hit Count Flushes Per Rotation setting (%s) is invalid.  It has been set to %s.") \
  X(1054, MESS_HIT_COUNT_ROTATION_MAX_UNDER_ZERO, "MESS_HIT_COUNT_ROTATION_MAX_UNDER_ZERO", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The maximum Hit Count Log File size setting (%s) is less than zero.  It has been set to %s.") \
  X(1055, MESS_INVALID_KRYID_BACK_TO_VERSION_SETTING, "MESS_INVALID_KRYID_BACK_TO_VERSION_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The KYRID Back To setting (%s) is invalid.  It has been set to %s.") \
  X(1056, MESS_REPLAY_DATE_RANGE, "MESS_REPLAY_DATE_RANGE", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "Invalid date range specified in configuration file.") \
  X(1057, MESS_REPLAY_TOO_MANY_PATHS, "MESS_REPLAY_TOO_MANY_PATHS", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "Too many log file paths date ranges configuration file.  Maximum 50.") \
  X(1058, MESS_REPLAY_NO_DATE_RANGES, "MESS_REPLAY_NO_DATE_RANGES", kMessageWarning, 0, MESS_CATEGORY_CONFIGURATION, \
    "No valid date ranges found.") \
  X(1059, MESS_LFMROTATE_USAGE, "MESS_LFMROTATE_USAGE", kMessageWarning, 1, MESS_CATEGORY_LFMROTATE, \
    "WARNING: Extra parameters ignored in the 'TransferLog' directive -- %s") \
  X(1060, MESS_LFMROTATE_PATH_TOO_LONG, "MESS_LFMROTATE_PATH_TOO_LONG", kMessageWarning, 1, MESS_CATEGORY_LFMROTATE, \
    "WARNING:  Server log path too long -- Defaulting to %s \n") \
  X(1061, MESS_LFMROTATE_READ_FAILURE, "MESS_LFMROTATE_READ_FAILURE", kMessageError, 0, MESS_CATEGORY_LFMROTATE, \
    "ERROR:  Read Failure -- Reading Piped Logs\n") \
  X(1062, MESS_INVALID_SITEMAP_RELOAD_RATE_SETTING, "MESS_INVALID_SITEMAP_RELOAD_RATE_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The sitemap reload rate setting (%s) is invalid.  It has been set to %s.") \
  X(1063, MESS_INVALID_SLEEP_TIME_RATE_SETTING, "MESS_INVALID_SLEEP_TIME_RATE_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The sitemap sleep time setting (%s) is invalid.  It has been set to %s.") \
  X(1064, MESS_SITEMAP_HEARBEAT_RESTART, "MESS_SITEMAP_HEARBEAT_RESTART", kMessageWarning, 0, MESS_CATEGORY_SERVICE_MODEL, \
    "Attempted to restart the SiteMapHeartBeat") \
  X(1065, MESS_SITEMAP_HEARBEAT_BAD_SHUTDOWN, "MESS_SITEMAP_HEARBEAT_BAD_SHUTDOWN", kMessageWarning, 0, MESS_CATEGORY_SERVICE_MODEL, \
    "The sitemap heart beat thread was not gracefully shutdown.") \
  X(1066, MESS_SITEMAP_USING_BACKUP, "MESS_SITEMAP_USING_BACKUP", kMessageWarning, 2, MESS_CATEGORY_SERVICE_MODEL, \
    "Failed to load sitemap file: %s\nUsing backup from directory: %s") \
  X(1067, MESS_SITEMAP_LOAD_FAILURE, "MESS_SITEMAP_LOAD_FAILURE", kMessageError, 0, MESS_CATEGORY_SERVICE_MODEL, \
    "Failed to load backup sitemap file.") \
  X(1068, MESS_SITEMAP_INVALID_KYR_ID, "MESS_SITEMAP_INVALID_KYR_ID", kMessageWarning, 1, MESS_CATEGORY_BAD_HIT, \
    "The following invalid hit was discarded due to KYR ID not found in sitemap file: %s") \
  X(1069, MESS_INVALID_ROTATION_RATE_STANDARD_LAG_SETTING, "MESS_INVALID_ROTATION_RATE_STANDARD_LAG_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The standard lag rotation rate setting (%s) is invalid.  It has been set to %s.") \
  X(1070, MESS_INVALID_ROTATION_RATE_SHORT_LAG_SETTING, "MESS_INVALID_ROTATION_RATE_SHORT_LAG_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The short lag rotation rate setting (%s) is invalid.  It has been set to %s.") \
  X(1071, MESS_INVALID_ROTATION_RATE_REALTIME_SETTING, "MESS_INVALID_ROTATION_RATE_REALTIME_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The realtime rotation rate setting (%s) is invalid.  It has been set to %s.") \
  X(1072, MESS_INVALID_ROTATION_RATE_OTHER_LAG_SETTING, "MESS_INVALID_ROTATION_RATE_OTHER_LAG_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The other lag rotation rate setting (%s) is invalid.  It has been set to %s.") \
  X(1073, MESS_LOG_FILE_RENAME_FAILURE, "MESS_LOG_FILE_RENAME_FAILURE", kMessageError, 2, MESS_CATEGORY_SERVICE_MODEL, \
    "Unable to rename temporary logfile %s to %s.") \
  X(1074, MESS_AUDIT_FILE_RENAME_FAILURE, "MESS_AUDIT_FILE_RENAME_FAILURE", kMessageError, 2, MESS_CATEGORY_SERVICE_MODEL, \
    "Unable to rename audit log %s to %s.") \
  X(1075, MESS_COOKIE_SETTING_INVALID, "MESS_COOKIE_SETTING_INVALID", kMessageWarning, 3, MESS_CATEGORY_CONFIGURATION, \
    "WARNING: Invalid Cookie Setting %s (%s) -- Using: %s") \
  X(1076, MESS_LOG_FILE_HANDLE_OVER_BUDGET, "MESS_LOG_FILE_HANDLE_OVER_BUDGET", kMessageWarning, 1, MESS_CATEGORY_LOG_FILE, \
    "Every log file holding a handle was busy.  A handle was granted beyond the maximum handle count (%s).") \
  X(1077, MESS_REQUEST_MESSAGES_SUPPRESSED, "MESS_REQUEST_MESSAGES_SUPPRESSED", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "Messages raised per request beyond %s a minute each were suppressed (requestmessagesperminute):%s") \
  X(1078, MESS_SITEMAP_INVALID_REALTIME_ID, "MESS_SITEMAP_INVALID_REALTIME_ID", kMessageWarning, 2, MESS_CATEGORY_SERVICE_MODEL, \
    "The site map lists an invalid further KYR ID for site %s, which was skipped: %s") \
  X(1079, MESS_LOG_STREAMS_REFUSED, "MESS_LOG_STREAMS_REFUSED", kMessageWarning, 2, MESS_CATEGORY_LOG_FILE, \
    "%s hits for new log streams were refused: the number of log streams reached maxlogstreams (%s).") \
  X(1080, MESS_INVALID_MAX_LOG_STREAMS_SETTING, "MESS_INVALID_MAX_LOG_STREAMS_SETTING", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The Max Log Streams setting (%s) is invalid.  It has been set to %s.") \
  X(1081, MESS_LOG_FILE_REPAIRED, "MESS_LOG_FILE_REPAIRED", kMessageWarning, 3, MESS_CATEGORY_LOG_FILE, \
    "The log file %s was left unfinished by a run that did not end cleanly.  Cut from its end: %s bytes of padding and an incomplete last line of %s bytes.") \
  X(1082, MESS_SETTING_UNKNOWN_SECTION, "MESS_SETTING_UNKNOWN_SECTION", kMessageWarning, 1, MESS_CATEGORY_CONFIGURATION, \
    "The configuration file has a section [%s] that the collector does not read: its settings have no effect.  Check the section's name.") \
  X(1083, MESS_SETTING_UNKNOWN_KEY, "MESS_SETTING_UNKNOWN_KEY", kMessageWarning, 2, MESS_CATEGORY_CONFIGURATION, \
    "The configuration file sets %s in section [%s], a setting the collector does not read: it has no effect.  Check its spelling.") \
  X(1084, MESS_SETTING_VALUE_UNREADABLE, "MESS_SETTING_VALUE_UNREADABLE", kMessageWarning, 5, MESS_CATEGORY_CONFIGURATION, \
    "The setting %s in section [%s] has the value (%s), which is not %s.  It reads as: %s") \
  X(1085, MESS_OUTPUT_DIRECTORY_UNWRITABLE, "MESS_OUTPUT_DIRECTORY_UNWRITABLE", kMessageError, 4, MESS_CATEGORY_CONFIGURATION, \
    "The directory %s (%s) cannot be written: %s.  %s") \
  X(1086, MESS_SETTING_REPEATED, "MESS_SETTING_REPEATED", kMessageWarning, 4, MESS_CATEGORY_CONFIGURATION, \
    "The configuration file sets %s in section [%s] more than once: the first value (%s) is used, the later one (%s) is not.")
// clang-format on

#define LFM_DECLARE_CATEGORY(number, id, name) extern const lfmMessageCategory id;
LFM_MESSAGE_CATEGORIES(LFM_DECLARE_CATEGORY)
#undef LFM_DECLARE_CATEGORY

#define LFM_DECLARE_MESSAGE(eventId, id, key, level, args, category, text) \
  extern const lfmMessage id;
LFM_MESSAGES(LFM_DECLARE_MESSAGE)
#undef LFM_DECLARE_MESSAGE

class lfmMessageCatalogue {
 public:
  static constexpr uint16_t kCategoryCount = 10;
  static constexpr uint32_t kFirstEventId = 1000;
  static constexpr uint32_t kLastEventId = 1086;

  // The record of an event identifier; null outside 1000..1086.
  static const lfmMessage* Find(uint32_t eventId);
  // The category of a number 1..10; null otherwise.
  static const lfmMessageCategory* Category(uint16_t number);

  // Fills the message's text, each "%s" taking the next argument. Arguments
  // are never read as formats; a placeholder without an argument (a null
  // ends the list) stays empty; "%%" gives "%". The result is cut to `max`
  // characters.
  static std::string Format(const lfmMessage& m, const char* const* args, size_t count,
                            size_t max = kMaxText);
  static constexpr size_t kMaxText = 8191;
};
