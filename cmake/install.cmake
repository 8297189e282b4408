# Installation and packaging: the kestrix tool, the diskimage library with its
# public headers, a CMake package (find_package(diskimage CONFIG) gives
# diskimage::diskimage), a pkg-config file, the man page, and, for a build of
# kestrix itself, a .deb through CPack (`cpack -G DEB` in the build directory).
# Every version here is the project's.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(DISKIMAGE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  # An installed kestrix that loads the shared library finds it beside it,
  # wherever the prefix ends up.
  file(RELATIVE_PATH _kestrix_bin_to_lib
    "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(kestrix PROPERTIES INSTALL_RPATH "$ORIGIN/${_kestrix_bin_to_lib}")
endif()

# Only the tool and the library; the report helper library, the sample maker,
# the tests, fuzzers and benchmarks stay in the build tree.
install(TARGETS kestrix
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS diskimage EXPORT diskimageTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Only the public headers; diskimage/internal.h stays with the sources.
install(FILES
  ${PROJECT_SOURCE_DIR}/diskimage/diskimage.h
  ${PROJECT_BINARY_DIR}/include/diskimage/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/diskimage)

# The library is written in C++, so a program linked as C needs the C++
# runtime as well: always when the library is static, and only for static
# linking when it is shared (whose own dependencies bring it in). The CMake
# package has it from the target (see the top CMakeLists.txt).
list(TRANSFORM DISKIMAGE_CXX_RUNTIME_LIBS PREPEND "-l" OUTPUT_VARIABLE _diskimage_runtime_flags)
list(JOIN _diskimage_runtime_flags " " _diskimage_runtime_flags)

# The CMake package.
set(DISKIMAGE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/diskimage)
install(EXPORT diskimageTargets
  NAMESPACE diskimage::
  DESTINATION ${DISKIMAGE_CMAKE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/diskimageConfig.cmake.in
  ${PROJECT_BINARY_DIR}/diskimageConfig.cmake
  INSTALL_DESTINATION ${DISKIMAGE_CMAKE_DIR})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/diskimageConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/diskimageConfig.cmake
  ${PROJECT_BINARY_DIR}/diskimageConfigVersion.cmake
  DESTINATION ${DISKIMAGE_CMAKE_DIR})

# The pkg-config file, with paths relative to itself, so that one file serves
# any prefix: a staging directory, /usr/local, or /usr inside the .deb.
if(DISKIMAGE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(DISKIMAGE_PC_LIBS "-L\${libdir} -ldiskimage")
  set(DISKIMAGE_PC_LIBS_PRIVATE "Libs.private: ${_diskimage_runtime_flags}")
else()
  set(DISKIMAGE_PC_LIBS "-L\${libdir} -ldiskimage ${_diskimage_runtime_flags}")
  set(DISKIMAGE_PC_LIBS_PRIVATE "")
endif()
set(DISKIMAGE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(DISKIMAGE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(DISKIMAGE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(DISKIMAGE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _pc_to_prefix "/prefix/${DISKIMAGE_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(DISKIMAGE_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
  set(DISKIMAGE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(DISKIMAGE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/diskimage.pc.in
  ${PROJECT_BINARY_DIR}/diskimage.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/diskimage.pc DESTINATION ${DISKIMAGE_PC_DIR})

# The man page, and the licence, the notices of the code the program carries
# (zlib's and libcrypto's) and the README as the package's documents.
install(FILES ${PROJECT_SOURCE_DIR}/docs/kestrix.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/NOTICE
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package, only for a build of kestrix itself: CPack's settings are
# global, and a parent project packages in its own way.
if(NOT KESTRIX_MASTER_PROJECT)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VENDOR "the kestrix authors")
# major.minor, as the tool and the man page name it.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspect Commodore D64, D71 and D81 disk images")
set(CPACK_PACKAGE_DESCRIPTION
  "kestrix lists the directory of a Commodore 1541, 1571 or 1581 disk image, \
reads every file along its block chain and reports bad blocks, broken links \
and cyclic chains, and prints the block availability map beside the error map. \
The package also holds the diskimage library, its C header, a CMake package \
and a pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the kestrix authors" CACHE STRING
  "Maintainer field of the .deb")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The package's dependencies are what its programs load. A static kestrix
# carries zlib and libcrypto, whose licences ask for no source to go with it
# (so no Built-Using either), and loads nothing; a dynamic one loads them.
# The library uses neither, so the pkg-config file and the CMake package
# name neither.
find_program(KESTRIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(KESTRIX_DPKG_SHLIBDEPS)
if(KESTRIX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(NOT KESTRIX_LINKED_STATIC)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", zlib1g, libssl3")
  endif()
endif()
include(CPack)
