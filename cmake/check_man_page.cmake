# Checks that the man page describes the kestrix that was built: the version
# on its title line is the one the program prints and the major.minor of the
# project's version, and every command of the program's usage text is
# documented in both spellings.
#
#   cmake -DKESTRIX=path/to/kestrix -DVERSION=x.y.z -DMAN_PAGE=docs/kestrix.1
#         -P check_man_page.cmake
foreach(var KESTRIX VERSION MAN_PAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(READ "${MAN_PAGE}" page)

execute_process(COMMAND "${KESTRIX}" --version
  OUTPUT_VARIABLE version_text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kestrix --version exited with ${rc}")
endif()
if(NOT version_text MATCHES "^kestrix v([0-9.]+) built on ")
  message(FATAL_ERROR "unexpected version text: ${version_text}")
endif()
set(version "${CMAKE_MATCH_1}")
string(REGEX MATCH "\n\\.TH KESTRIX 1 \"[^\"]*\" \"kestrix ([0-9.]+)\"" title "\n${page}")
if(NOT title)
  message(FATAL_ERROR "no title line of the form .TH KESTRIX 1 \"date\" \"kestrix VERSION\"")
endif()
set(page_version "${CMAKE_MATCH_1}")
if(NOT page_version STREQUAL version)
  message(FATAL_ERROR "the man page is for kestrix ${page_version}, the program is ${version}")
endif()
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)(\\.|$)")
  message(FATAL_ERROR "unexpected project version: ${VERSION}")
endif()
if(NOT page_version STREQUAL "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
  message(FATAL_ERROR "the man page is for kestrix ${page_version}, the project is ${VERSION}")
endif()

# The usage text lists one command a line, "-name   what it does".
execute_process(COMMAND "${KESTRIX}" OUTPUT_VARIABLE usage RESULT_VARIABLE rc)
if(NOT rc EQUAL 255)
  message(FATAL_ERROR "kestrix without arguments exited with ${rc}, not 255")
endif()
string(REGEX MATCHALL "\n-[a-z]+ " commands "${usage}")
list(LENGTH commands count)
if(count LESS 7)
  message(FATAL_ERROR "found only ${count} commands in the usage text:\n${usage}")
endif()
set(missing "")
foreach(line IN LISTS commands)
  string(STRIP "${line}" command)
  string(SUBSTRING "${command}" 1 -1 word)
  # Documented as a tagged paragraph: .BR \-word " or " \-\-word
  string(FIND "${page}" ".BR \\-${word} \" or \" \\-\\-${word}" at)
  if(at EQUAL -1)
    list(APPEND missing "${command}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "commands not documented in the man page: ${missing}")
endif()
message(STATUS "man page matches kestrix ${version} (project ${VERSION}) and its ${count} commands")
