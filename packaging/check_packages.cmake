# Makes the Debian packages of a build with cpack and reads each back with dpkg-deb:
#   - exactly the expected .deb files, named <package>_<version>_<arch>.deb;
#   - control fields: Package, Version, Architecture, Depends;
#   - the files inside, by path (owned by root), and nothing else;
#   - the libraries inside: ELF class and machine of the build's target, the right SONAME, and
#     stripped (no .symtab);
#   - each example settings file is a JSON object with an "appSetting" object, each example
#     site file (site*.json) one with a "lines" array;
#   - the host's documentation beyond copyright and changelog (HOST_DOCS, relative to its
#     /usr/share/doc folder): the Mosquitto bridge example where the host has MQTT, a bridge
#     to the central broker with the site's topics.
#
# Usage: cmake -DCPACK=... -DBUILD_DIR=... -DPACKAGE_DIR=... -DWORK_DIR=... -DDPKG_DEB=...
#              -DREADELF=... -DVERSION=... -DARCH=<debian arch> -DMULTIARCH=<triplet>
#              -DELF_CLASS=ELF32|ELF64 -DMACHINE=<readelf machine> -DCOMPONENTS=plugin[,host]
#              -DHOST_PROGRAMS=<comma list> -DHOST_SCRIPTS=<comma list> -DHOST_DEPENDS=<text>
#              -DEXAMPLES=<comma list> -DHOST_DOCS=<comma list> -P check_packages.cmake

cmake_minimum_required(VERSION 3.25)

set(failures "")
macro(fail text)
  list(APPEND failures "${text}")
endmacro()

function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${text}\n${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" components "${COMPONENTS}")
string(REPLACE "," ";" host_programs "${HOST_PROGRAMS}")
string(REPLACE "," ";" examples "${EXAMPLES}")
string(REPLACE "," ";" host_docs "${HOST_DOCS}")

file(REMOVE_RECURSE "${PACKAGE_DIR}" "${WORK_DIR}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake"
  WORKING_DIRECTORY "${BUILD_DIR}" OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()

set(libdir "usr/lib/${MULTIARCH}")
# Per package: name, the files it must hold (and only those), the shared libraries among them
# with their SONAME.
set(plugin_name ondrell20-plugin)
set(plugin_files "./${libdir}/xqr/plugins/ondrell_20.so"
    "./usr/share/doc/ondrell20-plugin/copyright" "./usr/share/doc/ondrell20-plugin/changelog.gz")
set(plugin_libraries "${libdir}/xqr/plugins/ondrell_20.so=ondrell_20.so")
set(host_name xqr-battery-host)
set(examples_dir "usr/share/xqr-battery-host/examples")
set(host_files "./${libdir}/xqr-battery-host/libxqr_host.so"
    "./lib/systemd/system/battery-host.service" "./etc/battery-host/site.json"
    "./usr/share/doc/xqr-battery-host/copyright" "./usr/share/doc/xqr-battery-host/changelog.gz"
    "./usr/share/lintian/overrides/xqr-battery-host")
foreach(example IN LISTS examples)
  list(APPEND host_files "./${examples_dir}/${example}")
endforeach()
foreach(doc IN LISTS host_docs)
  list(APPEND host_files "./usr/share/doc/xqr-battery-host/${doc}")
endforeach()
foreach(program IN LISTS host_programs)
  list(APPEND host_files "./usr/bin/${program}")
endforeach()
string(REPLACE "," ";" host_scripts "${HOST_SCRIPTS}")
foreach(script IN LISTS host_scripts)
  list(APPEND host_files "./usr/bin/${script}")
endforeach()
set(host_libraries "${libdir}/xqr-battery-host/libxqr_host.so=libxqr_host.so")
set(depends "libc6, libgcc-s1, libjsoncpp25, libstdc++6")

set(expected_debs "")
foreach(component IN LISTS components)
  list(APPEND expected_debs "${${component}_name}_${VERSION}_${ARCH}.deb")
endforeach()
file(GLOB made RELATIVE "${PACKAGE_DIR}" "${PACKAGE_DIR}/*.deb")
list(SORT made)
list(SORT expected_debs)
if(NOT made STREQUAL expected_debs)
  fail("packages made: '${made}', expected '${expected_debs}'")
endif()

foreach(component IN LISTS components)
  set(name "${${component}_name}")
  set(deb "${PACKAGE_DIR}/${name}_${VERSION}_${ARCH}.deb")
  if(NOT EXISTS "${deb}")
    continue()
  endif()

  # Control fields.
  foreach(field Package Version Architecture Depends)
    run(value "${DPKG_DEB}" --field "${deb}" ${field})
    string(STRIP "${value}" value)
    set(want_Package "${name}")
    set(want_Version "${VERSION}")
    set(want_Architecture "${ARCH}")
    set(want_Depends "${depends}")
    if(component STREQUAL "host")
      set(want_Depends "${HOST_DEPENDS}")
    endif()
    if(NOT value STREQUAL want_${field})
      fail("${name}: ${field} is '${value}', expected '${want_${field}}'")
    endif()
  endforeach()
  run(info "${DPKG_DEB}" --info "${deb}")
  if(NOT info MATCHES "\n Description: [^\n]+\n")
    fail("${name}: no Description in --info")
  endif()

  # Files by path; a line: "-rwxr-xr-x root/root 75132 2026-12-08 15:10 ./usr/lib/...".
  run(contents "${DPKG_DEB}" --contents "${deb}")
  string(REPLACE "\n" ";" lines "${contents}")
  set(files "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([-dl])[rwxs-]+ +([^ ]+) +[0-9]+ +[0-9-]+ +[0-9:]+ +(.*)$")
      if(NOT CMAKE_MATCH_2 STREQUAL "root/root")
        fail("${name}: ${CMAKE_MATCH_3} is owned by ${CMAKE_MATCH_2}")
      endif()
      if(NOT CMAKE_MATCH_1 STREQUAL "d")
        list(APPEND files "${CMAKE_MATCH_3}")
      endif()
    elseif(NOT line STREQUAL "")
      fail("${name}: unreadable --contents line '${line}'")
    endif()
  endforeach()
  set(want_files ${${component}_files})
  list(SORT files)
  list(SORT want_files)
  if(NOT files STREQUAL want_files)
    fail("${name}: files '${files}', expected '${want_files}'")
  endif()

  # The libraries inside, unpacked.
  set(unpacked "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${unpacked}")
  run(ignored "${DPKG_DEB}" -x "${deb}" "${unpacked}")
  foreach(entry IN LISTS ${component}_libraries)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 path)
    list(GET entry 1 soname)
    set(file "${unpacked}/${path}")
    if(NOT EXISTS "${file}")
      continue()  # already reported with the file list
    endif()
    run(header "${READELF}" -h "${file}")
    if(NOT header MATCHES "Class: +${ELF_CLASS}\n")
      fail("${name}: ${path} is not ${ELF_CLASS}")
    endif()
    if(NOT header MATCHES "Machine: +${MACHINE}\n")
      fail("${name}: ${path} is not for machine ${MACHINE}")
    endif()
    run(dynamic "${READELF}" -d "${file}")
    if(NOT dynamic MATCHES "Library soname: \\[${soname}\\]")
      fail("${name}: ${path} has not the SONAME ${soname}")
    endif()
    run(sections "${READELF}" -S -W "${file}")
    if(sections MATCHES " \\.symtab ")
      fail("${name}: ${path} is not stripped")
    endif()
  endforeach()
  foreach(program IN LISTS host_programs)
    if(component STREQUAL "host" AND EXISTS "${unpacked}/usr/bin/${program}")
      run(header "${READELF}" -h "${unpacked}/usr/bin/${program}")
      if(NOT header MATCHES "Machine: +${MACHINE}\n")
        fail("${name}: usr/bin/${program} is not for machine ${MACHINE}")
      endif()
    endif()
  endforeach()
  foreach(example IN LISTS examples)
    set(example_file "${unpacked}/${examples_dir}/${example}")
    if(component STREQUAL "host" AND EXISTS "${example_file}")
      file(READ "${example_file}" json)
      if(example MATCHES "^site")
        # A site file: its lines, each with its devices.
        string(JSON lines_type ERROR_VARIABLE json_error TYPE "${json}" lines)
        if(NOT lines_type STREQUAL "ARRAY")
          fail("${name}: ${example} has no \"lines\" array: ${json_error}")
        endif()
      else()
        string(JSON app_type ERROR_VARIABLE json_error TYPE "${json}" appSetting)
        if(NOT app_type STREQUAL "OBJECT")
          fail("${name}: ${example} has no \"appSetting\" object: ${json_error}")
        endif()
      endif()
    endif()
  endforeach()
  foreach(doc IN LISTS host_docs)
    set(doc_file "${unpacked}/usr/share/doc/xqr-battery-host/${doc}")
    if(component STREQUAL "host" AND doc MATCHES "mosquitto-bridge.conf$" AND EXISTS "${doc_file}")
      # A bridge section, and the site's topics among those it forwards.
      file(STRINGS "${doc_file}" bridge REGEX "^(connection|topic) ")
      if(NOT bridge MATCHES "^connection [^;]+;(.*;)?topic battery-host/[^ ]+/# out")
        fail("${name}: ${doc} has no bridge connection forwarding the site's topics")
      endif()
    endif()
  endforeach()
  message(STATUS "${name}_${VERSION}_${ARCH}.deb: ${files}")
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Debian packages:\n  ${text}")
endif()
