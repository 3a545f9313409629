# SPDX-License-Identifier: MIT
# The Debian package of the program and its manual page, made by CPack from
# the install rules: `cmake --build BUILD --target package`.
set(CPACK_PACKAGE_NAME platterfell)
set(CPACK_PACKAGE_VENDOR "platterfell maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "destructive write and read-back test of a whole disk")
set(CPACK_PACKAGE_DESCRIPTION "platterfell overwrites a block device stripe by stripe with several threads,
reads every block back right after writing it, and reports each block that
does not match by its byte offset. It destroys all data on the device.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "platterfell maintainers <maintainers@users.noreply.c-seed-f1713fdd.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Compressed manual page, copyright and changelog, as Debian policy asks.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-docs.cmake)
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(STATUS "CMake ${CMAKE_VERSION} is too old to give the Debian package its documents (3.19)")
endif()
include(CPack)
