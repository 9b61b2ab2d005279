# Fails, naming file and line, when code under SOURCE_DIR/src outside
# src/platform includes anything but the C++ standard library and the
# project's own headers: the platform layer is the only place that may see
# the operating system.
#
#   cmake -DSOURCE_DIR=<repository> -P check_os_headers.cmake
#
# Angle-bracket includes must name a C++17 standard library header (the
# <cname> forms; <name.h> is refused, so no POSIX or Windows header passes
# for a C one). Unit tests may include GoogleTest, and src/filter/isapi.h the
# IIS filter interface it wraps. A quoted include must name a file of the
# project (beside the including file, under src/ or under the repository).
#
# The C library headers of POSIX and Windows also declare calls of their own
# (gmtime_r, strcasecmp, ...), which compile on one system only; the code of
# the module (not its unit tests) must not call those either.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(standard_headers
    algorithm any array atomic bitset cassert ccomplex cctype cerrno cfenv cfloat charconv
    chrono cinttypes ciso646 climits clocale cmath codecvt complex condition_variable
    csetjmp csignal cstdalign cstdarg cstdbool cstddef cstdint cstdio cstdlib cstring
    ctgmath ctime cuchar cwchar cwctype deque exception execution filesystem forward_list
    fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator
    limits list locale map memory memory_resource mutex new numeric optional ostream queue
    random ratio regex scoped_allocator set shared_mutex sstream stack stdexcept streambuf
    string string_view strstream system_error thread tuple type_traits typeindex typeinfo
    unordered_map unordered_set utility valarray variant vector)
set(test_headers gtest/gtest.h gmock/gmock.h)
set(system_calls
    gmtime_r localtime_r gmtime_s localtime_s strcasecmp strncasecmp strtok_r strtok_s
    _stricmp _strnicmp _snprintf fileno fdopen popen pclose)
string(REPLACE ";" "|" system_call_pattern "${system_calls}")
set(system_call_regex "(^|[^A-Za-z0-9_.>])(${system_call_pattern})[ \t]*\\(")
# File (relative to SOURCE_DIR) and the further headers it may include.
set(isapi_file src/filter/isapi.h)
set(isapi_headers windows.h httpfilt.h)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.hpp
     ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.cc ${SOURCE_DIR}/src/*.inc)
list(FILTER files EXCLUDE REGEX "^src/platform/")
list(SORT files)

# Reports `what` at the first line of `content` that holds `text`.
macro(report rel content text what)
  string(FIND "${content}" "${text}" pos)
  string(SUBSTRING "${content}" 0 ${pos} before)
  string(REGEX REPLACE "[^\n]" "" newlines "${before}")
  string(LENGTH "${newlines}" number)
  math(EXPR number "${number} + 1")
  message(SEND_ERROR "${rel}:${number}: ${what}; operating-system services belong "
                     "behind src/platform")
  math(EXPR faults "${faults} + 1")
endmacro()

set(faults 0)
foreach(rel IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${rel} includes REGEX "^[ \t]*#[ \t]*include")
  set(calls "")
  if(NOT rel MATCHES "_test\\.(cpp|cc)$")
    file(STRINGS ${SOURCE_DIR}/${rel} calls REGEX "${system_call_regex}")
    list(FILTER calls EXCLUDE REGEX "^[ \t]*(//|\\*)")  # comments
  endif()
  if(NOT includes AND NOT calls)
    continue()
  endif()
  set(allowed ${standard_headers})
  if(rel MATCHES "_test\\.(cpp|cc)$")
    list(APPEND allowed ${test_headers})
  endif()
  if(rel STREQUAL isapi_file)
    list(APPEND allowed ${isapi_headers})
  endif()
  get_filename_component(dir ${SOURCE_DIR}/${rel} DIRECTORY)
  file(READ ${SOURCE_DIR}/${rel} content)
  foreach(line IN LISTS includes)
    set(bad "")
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]*)>")
      set(header "${CMAKE_MATCH_1}")
      list(FIND allowed "${header}" at)
      if(at EQUAL -1)
        set(bad "<${header}> is not a C++ standard library header")
      endif()
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      set(header "${CMAKE_MATCH_1}")
      if(NOT EXISTS ${dir}/${header} AND NOT EXISTS ${SOURCE_DIR}/src/${header}
         AND NOT EXISTS ${SOURCE_DIR}/${header})
        set(bad "\"${header}\" is not a file of the project")
      endif()
    else()
      set(bad "an include that names no header plainly")
    endif()
    if(bad)
      report("${rel}" "${content}" "${line}" "${bad}")
    endif()
  endforeach()
  foreach(line IN LISTS calls)
    if(NOT line MATCHES "${system_call_regex}")
      continue()  # the rest of a line split at a semicolon
    endif()
    string(REGEX MATCH "${system_call_regex}" call "${line}")
    string(REGEX REPLACE "${system_call_regex}" "\\2" call "${call}")
    report("${rel}" "${content}" "${line}" "${call}() is not a C++ standard library call")
  endforeach()
endforeach()

list(LENGTH files count)
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) or call(s) outside src/platform reach beyond "
                      "the C++ standard library (${count} files checked)")
endif()
message(STATUS "${count} files outside src/platform use only the standard library and the "
               "project")
