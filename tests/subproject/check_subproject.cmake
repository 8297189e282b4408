# Configures, builds, runs and installs the parent project beside this file,
# which adds kestrix with add_subdirectory(), without GoogleTest. kestrix must
# build its library there and nothing of its tests or examples, register no
# tests, leave the parent's build type alone and install nothing.
#
#   cmake -DKESTRIX_SOURCE=dir -DVERSION=x.y.z -DGENERATOR=gen -DC_COMPILER=cc
#         -DCXX_COMPILER=c++ -DWORK=scratch-dir -P check_subproject.cmake
foreach(var KESTRIX_SOURCE VERSION GENERATOR C_COMPILER CXX_COMPILER WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(build "${WORK}/build")
file(REMOVE_RECURSE "${WORK}")
# A build type from the environment would land in the parent's cache.
unset(ENV{CMAKE_BUILD_TYPE})
run("configure" ${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${build}" -G "${GENERATOR}"
  "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DKESTRIX_SOURCE=${KESTRIX_SOURCE}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
run("build" ${CMAKE_COMMAND} --build "${build}" --parallel 2)

# The program sees the version of the project, in every form.
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" parts "${VERSION}")
math(EXPR vernum "(${CMAKE_MATCH_1} << 16) | (${CMAKE_MATCH_2} << 8) | ${CMAKE_MATCH_3}")
file(GLOB app "${build}/app" "${build}/app.exe" "${build}/*/app")
run("app" ${app} WORKING_DIRECTORY "${WORK}")
if(NOT out STREQUAL "${VERSION} ${VERSION} ${vernum}\nprg, 664 blocks free\n")
  message(FATAL_ERROR "app printed:\n${out}")
endif()

file(GLOB_RECURSE built RELATIVE "${build}" "${build}/*_test*"
  "${build}/kestrix_make_samples*" "${build}/kestrix_first_program*")
if(built OR EXISTS "${build}/kestrix/tests")
  message(FATAL_ERROR "kestrix built its tests or examples in a parent project: ${built}")
endif()
run("ctest -N" ${CMAKE_CTEST_COMMAND} --test-dir "${build}" -N)
if(NOT out MATCHES "Total Tests: 1\n")
  message(FATAL_ERROR "the parent should have its one test only:\n${out}")
endif()

file(STRINGS "${build}/CMakeCache.txt" build_type REGEX "^CMAKE_BUILD_TYPE:")
if(build_type AND NOT build_type MATCHES "=$")
  message(FATAL_ERROR "kestrix set the parent's build type: ${build_type}")
endif()

run("install" ${CMAKE_COMMAND} --install "${build}" --prefix "${WORK}/prefix")
file(GLOB_RECURSE installed RELATIVE "${WORK}/prefix" "${WORK}/prefix/*")
if(NOT installed MATCHES "^bin/app(\\.exe)?$")
  message(FATAL_ERROR "installing the parent installed more than its program: ${installed}")
endif()
message(STATUS "kestrix builds as a subproject and keeps to itself")
