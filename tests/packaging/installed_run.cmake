# Both Debian packages unpacked into a scratch root, as dpkg would install them, and the installed
# battery-host run with no options: it must find the plug-in where the plug-in package puts it
# and its default settings where the host package puts them, and complete its rounds against
# the simulator. Then the same with the installed example settings broken: the refusal must name
# the installed file, which shows that it is the one read (not the source tree's).
#
# Usage: cmake -DPACKAGE_DIR=... -DROOT=... -DDPKG_DEB=... -DROUNDS=N
#              -P installed_run.cmake

cmake_minimum_required(VERSION 3.25)

file(GLOB debs "${PACKAGE_DIR}/ondrell20-plugin_*.deb" "${PACKAGE_DIR}/xqr-battery-host_*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "expected the plug-in and the host package in ${PACKAGE_DIR}, found: ${debs}")
endif()
file(REMOVE_RECURSE "${ROOT}")
file(MAKE_DIRECTORY "${ROOT}")
foreach(deb IN LISTS debs)
  execute_process(COMMAND "${DPKG_DEB}" -x "${deb}" "${ROOT}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -x ${deb} failed")
  endif()
endforeach()

# The program finds its framework library through its RUNPATH, relative to itself.
set(host "${ROOT}/usr/bin/battery-host")
execute_process(COMMAND "${host}" --rounds ${ROUNDS} --plain
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc EQUAL 0 OR NOT out MATCHES "string 1: round ${ROUNDS}, 0 abandoned")
  message(FATAL_ERROR "installed battery-host with no options: exit ${rc}\n${out}\n${err}")
endif()

set(settings "${ROOT}/usr/share/xqr-battery-host/examples/settings.example.json")
file(WRITE "${settings}" "{")
execute_process(COMMAND "${host}" --rounds 1 --plain
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc EQUAL 2 OR NOT err MATCHES "invalid settings ${settings}: ")
  message(FATAL_ERROR "with the installed settings broken, expected exit 2 naming ${settings}; "
                      "got exit ${rc}\n${err}")
endif()
message(STATUS "installed battery-host: ${ROUNDS} rounds with the packages' plug-in and settings")
