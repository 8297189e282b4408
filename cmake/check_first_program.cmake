# Checks the README's first program: the README holds examples/first_program.c
# word for word, and the built program, run in an empty directory, prints what
# the README shows and writes an image that kestrix lists as the README shows.
#
#   cmake -DPROGRAM=first_program -DKESTRIX=kestrix -DSOURCE=examples/first_program.c
#         -DREADME=README.md -DWORK=scratch-dir -P check_first_program.cmake
foreach(var PROGRAM KESTRIX SOURCE README WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(READ "${SOURCE}" source)
file(READ "${README}" readme)
string(FIND "${readme}" "```c\n${source}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${SOURCE} as it is")
endif()

# What the README shows as the program's output and the listing, indented by
# four spaces there.
set(expected_output "wrote 17 of 17 bytes, status 00,ok,00,00\n")
set(expected_listing "0 \"first disk      \" 01 2a\n1      \"hello\"             prg \n663 blocks free\n")
foreach(text IN ITEMS "${expected_output}" "${expected_listing}")
  string(REGEX REPLACE "([^\n]*\n)" "    \\1" shown "${text}")
  string(FIND "${readme}" "${shown}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show:\n${shown}")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${PROGRAM}" WORKING_DIRECTORY "${WORK}"
  OUTPUT_VARIABLE output RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT output STREQUAL expected_output)
  message(FATAL_ERROR "first_program exited with ${rc} and printed:\n${output}")
endif()
execute_process(COMMAND "${KESTRIX}" hello.d64 -dir WORKING_DIRECTORY "${WORK}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT listing STREQUAL expected_listing)
  message(FATAL_ERROR "kestrix hello.d64 -dir exited with ${rc} and printed:\n${listing}")
endif()
message(STATUS "first_program makes the image the README shows")
