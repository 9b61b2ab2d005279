# Fails, naming file and line, when code under SOURCE_DIR/src names a source
# file ("./src/...") that does not exist in the tree. Those paths stand in
# the "Source File" line of exception reports, where someone looking for the
# fault will open them.
#
#   cmake -DSOURCE_DIR=<repository> -P check_source_paths.cmake
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp)
list(FILTER files EXCLUDE REGEX "_test\\.cpp$")
list(SORT files)
set(faults 0)
set(named 0)
foreach(rel IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${rel} lines REGEX "\"\\./src/[^\"]*\"")
  foreach(line IN LISTS lines)
    string(REGEX MATCHALL "\"\\./src/[^\"]*\"" paths "${line}")
    foreach(quoted IN LISTS paths)
      string(REGEX REPLACE "^\"\\./(.*)\"$" "\\1" path "${quoted}")
      math(EXPR named "${named} + 1")
      if(NOT EXISTS ${SOURCE_DIR}/${path})
        message(SEND_ERROR "${rel}: names ./${path}, which is not in the tree")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(named EQUAL 0)
  message(FATAL_ERROR "no source path found under ${SOURCE_DIR}/src: the check is broken")
endif()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} source path(s) name no file of the tree")
endif()
