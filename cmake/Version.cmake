# The product's version is kept in one place, the VERSION file at the top of the repository
# (MAJOR.MINOR.PATCH). Everything else reads it from what is generated here:
#   quibrix_version.h    for C, C++ and resource scripts of every target (the DLL's version
#                        resource, the command-line tool's --version)
#   quibrix_version.nsh  for the installer script (scripts/package)
file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION QUIBRIX_VERSION LIMIT_COUNT 1)
string(STRIP "${QUIBRIX_VERSION}" QUIBRIX_VERSION)
if(NOT QUIBRIX_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold MAJOR.MINOR.PATCH, not '${QUIBRIX_VERSION}'")
endif()
set(QUIBRIX_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QUIBRIX_VERSION_MINOR ${CMAKE_MATCH_2})
set(QUIBRIX_VERSION_PATCH ${CMAKE_MATCH_3})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)

set(QUIBRIX_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
# An include guard rather than #pragma once: resource compilers read this file too.
file(CONFIGURE OUTPUT ${QUIBRIX_GENERATED_DIR}/quibrix_version.h CONTENT [[
// Generated from the VERSION file at the top of the repository: change the version there.
#ifndef QUIBRIX_VERSION_H
#define QUIBRIX_VERSION_H

#define QUIBRIX_VERSION_MAJOR @QUIBRIX_VERSION_MAJOR@
#define QUIBRIX_VERSION_MINOR @QUIBRIX_VERSION_MINOR@
#define QUIBRIX_VERSION_PATCH @QUIBRIX_VERSION_PATCH@
#define QUIBRIX_VERSION_STRING "@QUIBRIX_VERSION@"
#define QUIBRIX_VERSION_WSTRING L"@QUIBRIX_VERSION@"

#endif
]] @ONLY)
file(CONFIGURE OUTPUT ${QUIBRIX_GENERATED_DIR}/quibrix_version.nsh CONTENT [[
; Generated from the VERSION file at the top of the repository: change the version there.
!define QUIBRIX_VERSION "@QUIBRIX_VERSION@"
!define QUIBRIX_VERSION_MAJOR @QUIBRIX_VERSION_MAJOR@
!define QUIBRIX_VERSION_MINOR @QUIBRIX_VERSION_MINOR@
!define QUIBRIX_VERSION_PATCH @QUIBRIX_VERSION_PATCH@
]] @ONLY)

# Every target of the tree sees the header, resource scripts included.
include_directories(${QUIBRIX_GENERATED_DIR})
