# The event log message file (lfmeventmsg.dll) generated from the catalogue.
#
# kyr_mcgen (tools/kyr_mcgen.cpp) turns the catalogue of src/diag/lfmmessages.h
# into a message text file; windmc compiles that into a message table, windres
# into a resource object, and the linker into a DLL that holds nothing else (no
# code, no entry point, no C runtime): the event log loads it as a data file to
# render the "KYR" source's events and categories. kyr_mcgen runs on the build
# machine, so it is built with the host's compiler, even in the cross build.
#
# The Windows build makes bin/lfmeventmsg.dll by default. The Linux build only
# offers the target kyr_eventmsg_mc (not built by default), which writes
# eventmsg/lfmeventmsg.mc to look at.

set(KYR_MC_DIR ${CMAKE_BINARY_DIR}/eventmsg)
set(KYR_MCGEN_SOURCES ${CMAKE_SOURCE_DIR}/tools/kyr_mcgen.cpp
                      ${CMAKE_SOURCE_DIR}/src/diag/lfmmessages.cpp)
# The project headers kyr_mcgen includes: an edit of one rebuilds the message
# files.
set(KYR_MCGEN_HEADERS ${CMAKE_SOURCE_DIR}/tools/kyr_mcprobe.h
                      ${CMAKE_SOURCE_DIR}/src/diag/lfmmessages.h)

if(WIN32 AND CMAKE_CROSSCOMPILING)
  find_program(KYR_HOST_CXX NAMES g++ c++ clang++ NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KYR_HOST_CXX)
    message(FATAL_ERROR "the event message file needs a host C++ compiler (g++) to run kyr_mcgen")
  endif()
else()
  set(KYR_HOST_CXX ${CMAKE_CXX_COMPILER})
endif()
set(KYR_MCGEN ${KYR_MC_DIR}/kyr_mcgen${CMAKE_HOST_EXECUTABLE_SUFFIX})

add_custom_command(
  OUTPUT ${KYR_MCGEN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KYR_MC_DIR}
  COMMAND ${KYR_HOST_CXX} -std=c++17 -O1 -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}/src
          -I${CMAKE_SOURCE_DIR} ${KYR_MCGEN_SOURCES} -o ${KYR_MCGEN}
  DEPENDS ${KYR_MCGEN_SOURCES} ${KYR_MCGEN_HEADERS}
  COMMENT "Building kyr_mcgen (host)"
  VERBATIM)

if(NOT WIN32)
  add_custom_command(
    OUTPUT ${KYR_MC_DIR}/lfmeventmsg.mc
    COMMAND ${KYR_MCGEN} ${KYR_MC_DIR}/lfmeventmsg.mc
    DEPENDS ${KYR_MCGEN}
    COMMENT "Generating lfmeventmsg.mc"
    VERBATIM)
  add_custom_target(kyr_eventmsg_mc DEPENDS ${KYR_MC_DIR}/lfmeventmsg.mc)
  return()
endif()

if(NOT CMAKE_MC_COMPILER OR NOT CMAKE_RC_COMPILER)
  message(FATAL_ERROR "the event message file needs windmc and windres "
                      "(CMAKE_MC_COMPILER, CMAKE_RC_COMPILER)")
endif()

# kyr_message_dll(NAME [ALL] MCGEN_ARGS...): target NAME, which makes
# bin/NAME.dll from kyr_mcgen's output. Each file gets a directory of its own:
# windmc names every table MSG00409.bin.
function(kyr_message_dll name)
  set(all)
  set(args ${ARGN})
  if(args AND ARGV1 STREQUAL "ALL")
    set(all ALL)
    list(REMOVE_AT args 0)
  endif()
  set(dir ${KYR_MC_DIR}/${name})
  set(mc ${dir}/${name}.mc)
  set(res ${dir}/${name}.res.o)
  set(dll ${CMAKE_BINARY_DIR}/bin/${name}.dll)
  add_custom_command(
    OUTPUT ${mc}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${KYR_MCGEN} ${args} ${mc}
    DEPENDS ${KYR_MCGEN}
    COMMENT "Generating ${name}.mc"
    VERBATIM)
  # -U: the table holds UTF-16 texts, which FormatMessageA and W both read.
  add_custom_command(
    OUTPUT ${res}
    COMMAND ${CMAKE_MC_COMPILER} -U -h ${dir} -r ${dir} ${mc}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${name}.rc -o ${res}
    DEPENDS ${mc}
    BYPRODUCTS ${dir}/${name}.rc ${dir}/${name}.h ${dir}/MSG00409.bin
    WORKING_DIRECTORY ${dir}
    COMMENT "Compiling the message table of ${name}.dll"
    VERBATIM)
  # -nostdlib and entry point 0: no start-up code, no imports, nothing runs on
  # load.
  add_custom_command(
    OUTPUT ${dll}
    COMMAND ${CMAKE_CXX_COMPILER} -shared -nostdlib -s -Wl,-e,0 -Wl,--subsystem,windows
            -Wl,--no-insert-timestamp ${res} -o ${dll}
    DEPENDS ${res}
    COMMENT "Linking ${name}.dll"
    VERBATIM)
  add_custom_target(${name} ${all} DEPENDS ${dll})
endfunction()

kyr_message_dll(lfmeventmsg ALL)

if(TARGET kyr_windows_tests)
  # The escaping probes, a fixture of the tests only.
  kyr_message_dll(kyr_mcprobe --probe)
  add_dependencies(kyr_windows_tests lfmeventmsg kyr_mcprobe)
  # Both lie beside the test program, as lfmeventmsg.dll lies beside the filter.
  target_compile_definitions(kyr_windows_tests PRIVATE KYR_EVENT_MESSAGE_FILE="lfmeventmsg.dll"
                                                       KYR_MC_PROBE_FILE="kyr_mcprobe.dll")
endif()
