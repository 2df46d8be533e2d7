# The service in the host package: the unit systemd-analyze accepts (in a scratch root holding
# the package and the system's targets and slices), the site it runs a conffile that names the
# packaged settings, and the maintainer scripts that make the system user in dialout.
#
# Usage: cmake -DPACKAGE_DIR=... -DROOT=... -DDPKG_DEB=... -DSYSTEMD_ANALYZE=... -DSYSTEM_UNITS=...
#              -P service_package.cmake

cmake_minimum_required(VERSION 3.25)

set(failures "")
macro(fail text)
  list(APPEND failures "${text}")
endmacro()

file(GLOB deb "${PACKAGE_DIR}/xqr-battery-host_*.deb")
file(REMOVE_RECURSE "${ROOT}")
file(MAKE_DIRECTORY "${ROOT}/control")
execute_process(COMMAND "${DPKG_DEB}" -x "${deb}" "${ROOT}" RESULT_VARIABLE rc1)
execute_process(COMMAND "${DPKG_DEB}" -e "${deb}" "${ROOT}/control" RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${deb}")
endif()

# Maintainer scripts and conffiles.
file(READ "${ROOT}/control/conffiles" conffiles)
if(NOT conffiles STREQUAL "/etc/battery-host/site.json\n")
  fail("conffiles: '${conffiles}', expected only /etc/battery-host/site.json")
endif()
file(READ "${ROOT}/control/postinst" postinst)
foreach(want "mkdir -p /var/lib/battery-host" "adduser --system --group --home /var/lib/battery-host"
        "chown battery-host:battery-host /var/lib/battery-host" "adduser battery-host dialout"
        "daemon-reload")
  string(FIND "${postinst}" "${want}" at)
  if(at LESS 0)
    fail("postinst does not run '${want}'")
  endif()
endforeach()
foreach(script postinst prerm postrm)
  execute_process(COMMAND sh -n "${ROOT}/control/${script}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    fail("${script} is not a valid shell script: ${err}")
  endif()
  file(READ "${ROOT}/control/${script}" text)
  if(NOT text MATCHES "^#!/bin/sh\n" OR NOT text MATCHES "\nset -e\n")
    fail("${script}: not '#!/bin/sh' with 'set -e'")
  endif()
endforeach()

# The site: the simulator, with the packaged settings.
file(READ "${ROOT}/etc/battery-host/site.json" site)
string(JSON port GET "${site}" lines 0 port)
string(JSON settings GET "${site}" lines 0 devices 0 settings)
if(NOT port STREQUAL "sim" OR NOT EXISTS "${ROOT}${settings}")
  fail("site.json: port '${port}' (want sim), settings '${settings}' not in the package")
endif()

# The unit: what the service needs of systemd, then systemd's own verdict.
set(unit "${ROOT}/lib/systemd/system/battery-host.service")
file(READ "${unit}" text)
foreach(want "Type=notify" "WatchdogSec=" "Restart=on-failure" "User=battery-host"
        "SupplementaryGroups=dialout" "StateDirectory=battery-host" "NoNewPrivileges=yes"
        "ProtectSystem=strict" "PrivateTmp=yes"
        "ExecStart=/usr/bin/battery-host --site /etc/battery-host/site.json")
  string(FIND "${text}" "\n${want}" at)
  if(at LESS 0)
    fail("battery-host.service has no '${want}'")
  endif()
endforeach()
file(GLOB system_units "${SYSTEM_UNITS}/*.target" "${SYSTEM_UNITS}/*.slice")
foreach(u IN LISTS system_units)
  # Names with escapes (system-systemd\x2dcryptsetup.slice) are of no concern to the unit.
  if(NOT IS_SYMLINK "${u}" AND NOT u MATCHES "[\\]")
    file(COPY "${u}" DESTINATION "${ROOT}/lib/systemd/system")
  endif()
endforeach()
execute_process(COMMAND "${SYSTEMD_ANALYZE}" verify "--root=${ROOT}"
                        /lib/systemd/system/battery-host.service
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  fail("systemd-analyze verify: exit ${rc}\n${out}${err}")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "service in the host package:\n  ${text}")
endif()
message(STATUS "battery-host.service verified; conffile, site and maintainer scripts as expected")
