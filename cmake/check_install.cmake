# Runs "cmake --install" of the build in BUILD_DIR with the prefix
# /opt/keltrin into a fresh DESTDIR and checks that exactly the updater and
# the publishing tool land there, each a program that runs: no test program,
# test server or library comes along.
#
#   cmake -DBUILD_DIR=DIR -DDESTDIR=DIR -P cmake/check_install.cmake

file(REMOVE_RECURSE "${DESTDIR}")
set(ENV{DESTDIR} "${DESTDIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /opt/keltrin
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${DESTDIR}"
     "${DESTDIR}/*")
list(SORT installed)
set(expected
    opt/keltrin/bin/norvane_publish
    opt/keltrin/libexec/norvane_update_bin)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed: ${installed}\nexpected: ${expected}")
endif()

# Each installed program answers wrong usage as it does in the build tree.
foreach(check
        "bin/norvane_publish|2|usage: norvane_publish"
        "libexec/norvane_update_bin|255|parameter error!")
  string(REPLACE "|" ";" check "${check}")
  list(GET check 0 program)
  list(GET check 1 expected_status)
  list(GET check 2 expected_text)
  execute_process(COMMAND "${DESTDIR}/opt/keltrin/${program}"
                  RESULT_VARIABLE status ERROR_VARIABLE text
                  OUTPUT_QUIET TIMEOUT 30)
  string(FIND "${text}" "${expected_text}" found)
  if(NOT status EQUAL expected_status OR found EQUAL -1)
    message(FATAL_ERROR "${program}: exit ${status}, \"${text}\"")
  endif()
endforeach()
file(REMOVE_RECURSE "${DESTDIR}")
message(STATUS "installed exactly: ${installed}")
