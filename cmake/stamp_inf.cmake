# Writes the shipped INF from its template, with DriverVer set to today's date in UTC and the
# project's version. Run at every build (package/CMakeLists.txt): inf2cat refuses a DriverVer
# dated after the day it runs, so the date is the build's own, in UTC, never a fixed one.
#   cmake -DINPUT=<template> -DOUTPUT=<inf> -DVERSION=<a.b.c.d> -P stamp_inf.cmake
string(TIMESTAMP VP_DRIVER_DATE "%m/%d/%Y" UTC)
set(VP_DRIVER_VERSION ${VERSION})
if(NOT VP_DRIVER_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "DriverVer needs a four-part version, not '${VP_DRIVER_VERSION}'")
endif()
configure_file(${INPUT} ${OUTPUT} @ONLY NEWLINE_STYLE CRLF)
file(STRINGS ${OUTPUT} _unstamped REGEX "@[A-Z_]+@")
if(_unstamped)
  message(FATAL_ERROR "${OUTPUT}: placeholders left: ${_unstamped}")
endif()
