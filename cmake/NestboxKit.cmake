# The installed kit: nestbox-pack, the launcher library (both installed by
# their own directories into the export set nestboxTargets), the CMake
# package, the manual page and the README; and its Debian package.
#
# Every path in the installed package is relative to the package's own
# place, so an installation works wherever it is moved.

include(CMakePackageConfigHelpers)

install(EXPORT nestboxTargets
  NAMESPACE nestbox::
  DESTINATION ${NESTBOX_INSTALL_CMAKE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/nestboxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/nestboxConfig.cmake
  INSTALL_DESTINATION ${NESTBOX_INSTALL_CMAKE_DIR}
  NO_SET_AND_CHECK_MACRO)
# Before 1.0 a minor version may change what deliverables need.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/cmake/nestboxConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/cmake/nestboxConfig.cmake
    ${PROJECT_BINARY_DIR}/cmake/nestboxConfigVersion.cmake
    ${CMAKE_CURRENT_LIST_DIR}/NestboxDeliverable.cmake
  DESTINATION ${NESTBOX_INSTALL_CMAKE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/doc/nestbox-pack.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `cpack -G DEB` (or `cpack --preset deb`) after a build: the kit under /usr,
# for apt on build machines.
if(PROJECT_IS_TOP_LEVEL)
  set(NESTBOX_PACKAGE_MAINTAINER "nestbox developers <nestbox@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
  set(CPACK_PACKAGE_NAME nestbox)
  set(CPACK_PACKAGE_VENDOR nestbox)
  set(CPACK_PACKAGE_CONTACT "${NESTBOX_PACKAGE_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "build kit for self-extracting launchers of Linux applications")
  set(CPACK_PACKAGE_DESCRIPTION
"nestbox-pack turns an application directory (an entry executable and the
shared libraries it needs) into one executable that carries the directory and,
when run, unpacks it into a private per-user working directory and runs the
entry executable. The kit holds the tool, the launcher library it links with,
a CMake package (find_package(nestbox)) and the manual page.")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # nestbox-pack links deliverables with the C++ compiler driver, and the
  # launcher library needs a static C++ runtime at least as new as the one
  # it was compiled against.
  set(compiler_dependency g++)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    string(REGEX MATCH "^[0-9]+" compiler_major "${CMAKE_CXX_COMPILER_VERSION}")
    set(compiler_dependency "g++ (>= 4:${compiler_major})")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), ${compiler_dependency}")
  set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/")
  include(CPack)
endif()
