# Fails, naming file and line, when code under SOURCE_DIR/src or
# SOURCE_DIR/tests declares a `thread_local` whose type may have a
# destructor.
#
#   cmake -DSOURCE_DIR=<repository> -P check_thread_locals.cmake
#
# mingw-w64's emulated thread-local storage frees a thread's variables
# before the C++ runtime runs their destructors, so on Windows such a
# destructor works on freed memory that another thread may already own.
# Per-thread objects go in an lfmThreadLocal (src/runtime/lfmthreadlocal.h);
# a plain `thread_local` may hold a scalar or a pointer only.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(scalar "bool|char|short|int|long|unsigned|signed|float|double|size_t|u?int[0-9]+_t")
set(qualifiers "((static|const|constexpr|inline)[ \t]+)*")
set(name_end "[A-Za-z_][A-Za-z0-9_]*[ \t]*(=|;|\\{|\\[)")
# thread_local, qualifiers, then a scalar (several words allowed) or a plain
# pointer (a name without template arguments, then the stars), then the
# name, all on one line.
set(scalar_regex "thread_local[ \t]+${qualifiers}(${scalar})([ \t]+(${scalar}))*[ \t]+${name_end}")
set(pointer_regex
    "thread_local[ \t]+${qualifiers}[A-Za-z_][A-Za-z0-9_:]*[ \t]*\\*+[ \t]*(const[ \t]+)?${name_end}")

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp
     ${SOURCE_DIR}/tests/*.h ${SOURCE_DIR}/tests/*.cpp)
list(SORT files)
set(faults 0)
foreach(rel IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${rel} lines REGEX "thread_local")
  if(NOT lines)
    continue()
  endif()
  file(READ ${SOURCE_DIR}/${rel} content)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "(^|[^A-Za-z0-9_])thread_local([ \t]|$)" OR line MATCHES "^[ \t]*(//|\\*)")
      continue()
    endif()
    if(NOT line MATCHES "${scalar_regex}" AND NOT line MATCHES "${pointer_regex}")
      string(FIND "${content}" "${line}\n" pos)
      string(SUBSTRING "${content}" 0 ${pos} before)
      string(REGEX REPLACE "[^\n]" "" newlines "${before}")
      string(LENGTH "${newlines}" number)
      math(EXPR number "${number} + 1")
      message(SEND_ERROR "${rel}:${number}: a thread_local of a type that may have a destructor; "
                         "use lfmThreadLocal")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH files count)
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} thread_local declaration(s) may run a destructor at thread "
                      "exit (${count} files checked)")
endif()
message(STATUS "${count} files keep thread_local to scalars and pointers")
