# Checks how ondrell_20.so presents itself to the dynamic linker and to a host process:
#   - the file is ondrell_20.so and its SONAME is exactly that;
#   - it is bound immediately (BIND_NOW or FLAGS_1 NOW), so a host without the framework fails at
#     dlopen and not at the first call;
#   - it names no framework library as a dependency, but does need JsonCpp;
#   - get_providers is exported as a defined function under exactly that unmangled name;
#   - the framework's symbols are taken from the host: referenced, never defined here;
#   - nothing else is exported but the provider classes shared with the host.
#
# Usage: cmake -DLIBRARY=<path> -DREADELF=<readelf> -P check_dynamic_section.cmake

cmake_minimum_required(VERSION 3.25)

if(NOT LIBRARY OR NOT READELF)
  message(FATAL_ERROR "LIBRARY and READELF must be given")
endif()

set(failures "")
macro(fail text)
  list(APPEND failures "${text}")
endmacro()

get_filename_component(file_name "${LIBRARY}" NAME)
if(NOT file_name STREQUAL "ondrell_20.so")
  fail("file name is '${file_name}', expected 'ondrell_20.so'")
endif()

execute_process(COMMAND "${READELF}" -d -W "${LIBRARY}"
  OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d failed: ${err}")
endif()
execute_process(COMMAND "${READELF}" --dyn-syms -W "${LIBRARY}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf --dyn-syms failed: ${err}")
endif()

# --- dynamic section ---------------------------------------------------------------------------
# Brackets and semicolons would disturb CMake's list splitting; the entries never need them.
string(REPLACE ";" "," dynamic "${dynamic}")
string(REPLACE "[" "<" dynamic "${dynamic}")
string(REPLACE "]" ">" dynamic "${dynamic}")
string(REPLACE "\n" ";" dynamic_lines "${dynamic}")

set(sonames "")
set(needed "")
set(bind_now FALSE)
foreach(line IN LISTS dynamic_lines)
  if(line MATCHES "\\(SONAME\\) +Library soname: <([^>]*)>")
    list(APPEND sonames "${CMAKE_MATCH_1}")
  elseif(line MATCHES "\\(NEEDED\\) +Shared library: <([^>]*)>")
    list(APPEND needed "${CMAKE_MATCH_1}")
  elseif(line MATCHES "\\(FLAGS\\) +(.*)$")
    if(" ${CMAKE_MATCH_1} " MATCHES " BIND_NOW ")
      set(bind_now TRUE)
    endif()
  elseif(line MATCHES "\\(FLAGS_1\\) +Flags: (.*)$")
    if(" ${CMAKE_MATCH_1} " MATCHES " NOW ")
      set(bind_now TRUE)
    endif()
  endif()
endforeach()

if(NOT sonames STREQUAL "ondrell_20.so")
  fail("SONAME entries are '${sonames}', expected exactly 'ondrell_20.so'")
endif()
if(NOT bind_now)
  fail("neither FLAGS BIND_NOW nor FLAGS_1 NOW is set")
endif()
set(has_jsoncpp FALSE)
foreach(lib IN LISTS needed)
  if(lib MATCHES "xqr_host")
    fail("NEEDED names the framework library '${lib}'")
  endif()
  if(lib MATCHES "^libjsoncpp\\.so")
    set(has_jsoncpp TRUE)
  endif()
endforeach()
if(NOT has_jsoncpp)
  fail("libjsoncpp is not among NEEDED: '${needed}'")
endif()

# --- dynamic symbols ---------------------------------------------------------------------------
# A line: "  12: 0000000000006879   210 FUNC    GLOBAL DEFAULT   14 get_providers"; an
# undefined symbol has the section index UND and may carry "@VERSION (n)" after its name.
string(REPLACE ";" "," symbols "${symbols}")
string(REPLACE "[" "<" symbols "${symbols}")
string(REPLACE "]" ">" symbols "${symbols}")
string(REPLACE "\n" ";" symbol_lines "${symbols}")

set(defined "")
set(undefined "")
set(entry_lines "")
foreach(line IN LISTS symbol_lines)
  if(NOT line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9a-fx]+ +([A-Z_]+) +([A-Z_]+) +([A-Z_]+) +([A-Z0-9_]+) +([^ ]+)")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(bind "${CMAKE_MATCH_2}")
  set(ndx "${CMAKE_MATCH_4}")
  set(name "${CMAKE_MATCH_5}")
  if(name MATCHES "get_providers")
    list(APPEND entry_lines "${type} ${bind} ${ndx} ${name}")
  endif()
  # A local symbol binds nothing outside the library. The ARM linker keeps the section symbols
  # of .init and .data in the dynamic table (LOCAL SECTION); they are not exports.
  if(bind STREQUAL "LOCAL")
    continue()
  endif()
  if(ndx STREQUAL "UND")
    list(APPEND undefined "${name}")
  elseif(NOT ndx STREQUAL "ABS")
    list(APPEND defined "${name}")
  endif()
endforeach()

# The host looks the entry up by its plain C name; nothing mangled or versioned may stand in.
if(NOT entry_lines MATCHES "^FUNC GLOBAL [0-9]+ get_providers$")
  fail("get_providers is not exported as exactly one defined global function: '${entry_lines}'")
endif()

# Framework symbols the plug-in cannot work without: each must be referenced and left undefined.
set(framework_references
  _ZTI11XQRSPDevice
  _ZN11XQRSPDeviceC2Ev
  _ZN11XQRSPDeviceD2Ev
  _ZN11XQRSPDevice8SendDataEPKhj
  _ZN10XQRVDevice6SendSPEiPKhib
  _ZN10XQRVDevice17SaveDeviceHistoryEPKhi
  _Z9get_ttimeRKN5boost10posix_time5ptimeE)
foreach(sym IN LISTS framework_references)
  if(NOT sym IN_LIST undefined)
    if(sym IN_LIST defined)
      fail("framework symbol ${sym} is defined in the library")
    else()
      fail("framework symbol ${sym} is not referenced")
    endif()
  endif()
endforeach()

# Nothing of the framework's own classes may be defined (exported) by the plug-in.
foreach(sym IN LISTS defined)
  if(sym MATCHES "10XQRVDevice|11XQRSPDevice|13XQRController|11XQRListener|7XQRPort|9get_ttime")
    fail("framework symbol ${sym} is defined in the library")
  endif()
endforeach()

# What the plug-in exports: the entry, and the typeinfo (with its name) of the two provider
# classes, which the host's dynamic_pointer_cast needs to be one object on both sides.
set(shared_typeinfo _ZTI8Provider _ZTS8Provider _ZTI19XQRSPDeviceProvider _ZTS19XQRSPDeviceProvider)
foreach(sym IN LISTS shared_typeinfo)
  if(NOT sym IN_LIST defined)
    fail("the provider typeinfo ${sym} is not exported")
  endif()
endforeach()
foreach(sym IN LISTS defined)
  if(sym STREQUAL "get_providers" OR sym IN_LIST shared_typeinfo)
    continue()
  endif()
  fail("unexpected exported symbol ${sym}")
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "ondrell_20.so:\n  ${text}")
endif()
message(STATUS "ondrell_20.so: SONAME, binding, dependencies and exports as expected")
