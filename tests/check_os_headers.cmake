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
# File (relative to SOURCE_DIR) and the further headers it may include.
set(isapi_file src/filter/isapi.h)
set(isapi_headers windows.h httpfilt.h)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.hpp
     ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.cc ${SOURCE_DIR}/src/*.inc)
list(FILTER files EXCLUDE REGEX "^src/platform/")
list(SORT files)

set(faults 0)
foreach(rel IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${rel} includes REGEX "^[ \t]*#[ \t]*include")
  if(NOT includes)
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
      # The line number: newlines before the first occurrence of the line.
      string(FIND "${content}" "${line}" pos)
      string(SUBSTRING "${content}" 0 ${pos} before)
      string(REGEX REPLACE "[^\n]" "" newlines "${before}")
      string(LENGTH "${newlines}" number)
      math(EXPR number "${number} + 1")
      message(SEND_ERROR "${rel}:${number}: ${bad}; operating-system services belong "
                         "behind src/platform")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH files count)
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) outside src/platform reach beyond the C++ "
                      "standard library (${count} files checked)")
endif()
message(STATUS "${count} files outside src/platform include only the standard library "
               "and the project")
