# Checks that ondrell_20.so is built for the controller and not merely for "some ARM":
#   - ELF 32-bit little-endian, machine ARM, a shared object;
#   - EABI version 5 with the soft-float calling convention (e_flags), floats passed in core
#     registers (no Tag_ABI_VFP_args), no floating-point unit assumed (no Tag_FP_arch, no NEON),
#     built for ARMv5TE;
#   - no VFP instruction anywhere in its code, and single-precision arithmetic done by the
#     run-time library's software routines (__aeabi_fadd, __aeabi_fmul, __aeabi_fdiv imported);
#   - SONAME ondrell_20.so, bound immediately, get_providers exported as a defined function;
#   - load-time dependencies only JsonCpp and the C/C++ run-time, never the framework library.
# Prints the size of the stripped library, as it would be installed on the controller.
#
# Usage: cmake -DLIBRARY=<path> -DREADELF=<readelf> -DOBJDUMP=<target objdump>
#              -DSTRIP=<target strip> -DWORK_DIR=<scratch folder> -P check_target_library.cmake

cmake_minimum_required(VERSION 3.25)

foreach(var LIBRARY READELF OBJDUMP STRIP WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "${var} must be given")
  endif()
endforeach()

set(failures "")
macro(fail text)
  list(APPEND failures "${text}")
endmacro()

function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
  # Brackets and semicolons would disturb CMake's list handling; none of the checks needs them.
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# --- ELF header ------------------------------------------------------------------------------
run(header "${READELF}" -h -W "${LIBRARY}")
foreach(expected
    "Class: +ELF32\n"
    "Data: +2's complement, little endian\n"
    "Type: +DYN "
    "Machine: +ARM\n")
  if(NOT header MATCHES "${expected}")
    fail("ELF header does not match '${expected}'")
  endif()
endforeach()
if(header MATCHES "\n *Flags: +([^\n]*)\n")
  set(flags "${CMAKE_MATCH_1}")
  if(NOT flags MATCHES "Version5 EABI")
    fail("e_flags '${flags}' do not name EABI version 5")
  endif()
  if(NOT flags MATCHES "soft-float ABI")
    fail("e_flags '${flags}' do not name the soft-float ABI")
  endif()
else()
  fail("no Flags line in the ELF header")
endif()

# --- build attributes --------------------------------------------------------------------------
run(attributes "${READELF}" -A "${LIBRARY}")
if(NOT attributes MATCHES "Tag_CPU_arch: v5TE\n")
  fail("Tag_CPU_arch is not v5TE")
endif()
# Present only when code assumes a floating-point unit or passes floats in its registers.
foreach(tag Tag_FP_arch Tag_ABI_VFP_args Tag_ABI_HardFP_use Tag_Advanced_SIMD_arch)
  if(attributes MATCHES "${tag}:([^\n]*)")
    fail("${tag} present:${CMAKE_MATCH_1}")
  endif()
endforeach()

# --- code --------------------------------------------------------------------------------------
run(code "${OBJDUMP}" -d "${LIBRARY}")
string(REGEX MATCHALL "\t(vldr|vstr|vmov|vadd|vsub|vmul|vdiv|vcvt|vcmp|vmrs|vpush|vpop)[^\n]*"
       vfp "${code}")
list(LENGTH vfp vfp_count)
if(vfp_count GREATER 0)
  list(GET vfp 0 first)
  fail("${vfp_count} VFP instructions in the code, the first: ${first}")
endif()

run(symbols "${READELF}" --dyn-syms -W "${LIBRARY}")
foreach(routine __aeabi_fadd __aeabi_fmul __aeabi_fdiv)
  if(NOT symbols MATCHES " UND ${routine}(@|\n)")
    fail("${routine} is not imported: single-precision arithmetic not done in software")
  endif()
endforeach()
if(NOT symbols MATCHES "FUNC +GLOBAL +DEFAULT +[0-9]+ get_providers\n")
  fail("get_providers is not exported as a defined global function")
endif()

# --- dynamic section ---------------------------------------------------------------------------
run(dynamic "${READELF}" -d -W "${LIBRARY}")
string(REGEX MATCHALL "\\(SONAME\\) +Library soname: <[^>]*>" sonames "${dynamic}")
if(NOT sonames MATCHES "^\\(SONAME\\) +Library soname: <ondrell_20.so>$")
  fail("SONAME entries: '${sonames}', expected exactly ondrell_20.so")
endif()
if(NOT dynamic MATCHES "\\(FLAGS\\) +[^\n]*BIND_NOW")
  fail("FLAGS BIND_NOW is not set")
endif()
string(REGEX MATCHALL "\\(NEEDED\\) +Shared library: <[^>]*>" needed_lines "${dynamic}")
set(needed "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*<([^>]*)>" "\\1" lib "${line}")
  list(APPEND needed "${lib}")
endforeach()
# libgcc_s carries the soft-float routines and the ARM unwinder's personality routines.
# ld-linux.so.3, the dynamic loader that every process already has, provides __tls_get_addr for
# the per-thread local-time cache.
set(allowed libjsoncpp.so.25 libstdc++.so.6 libgcc_s.so.1 libc.so.6 libm.so.6 ld-linux.so.3)
foreach(lib IN LISTS needed)
  if(NOT lib IN_LIST allowed)
    fail("unexpected NEEDED entry ${lib}")
  endif()
endforeach()
foreach(lib libjsoncpp.so.25 libstdc++.so.6 libc.so.6)
  if(NOT lib IN_LIST needed)
    fail("${lib} is not among NEEDED: '${needed}'")
  endif()
endforeach()

# --- size on the controller --------------------------------------------------------------------
file(MAKE_DIRECTORY "${WORK_DIR}")
set(stripped "${WORK_DIR}/ondrell_20.so")
file(COPY_FILE "${LIBRARY}" "${stripped}")
run(ignored "${STRIP}" --strip-all "${stripped}")
file(SIZE "${stripped}" size)
math(EXPR kib_tenths "(${size} * 10 + 512) / 1024")
math(EXPR kib "${kib_tenths} / 10")
math(EXPR tenth "${kib_tenths} % 10")
message(STATUS "armel ondrell_20.so stripped: ${size} bytes (${kib}.${tenth} KiB)")

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "armel ondrell_20.so:\n  ${text}")
endif()
message(STATUS "armel ondrell_20.so: ELF32 ARM, EABI5 soft-float, no VFP, SONAME, binding, "
               "dependencies and entry as expected")
