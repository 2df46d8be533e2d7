# Builds one target of the build tree and judges the result; run by the class-table checks.
#
#   cmake -DBUILD_DIR=<build tree> -DTARGET=<target> [-DDIAGNOSTIC=<regex>] -P expect_build.cmake
#
# Without DIAGNOSTIC the target must compile. With it, the compile must fail with exactly one
# error, and the compiler's output must match DIAGNOSTIC: the check is about that fault, not about
# whatever else might break a translation unit.
set(ENV{LC_ALL} C)  # the compiler's own English texts
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)

if(NOT DEFINED DIAGNOSTIC)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET} should compile but does not:\n${output}")
  endif()
  message(STATUS "${TARGET} compiles")
  return()
endif()

if(result EQUAL 0)
  message(FATAL_ERROR "${TARGET} compiles, but must not: expected a diagnostic matching\n"
                      "  ${DIAGNOSTIC}\n${output}")
endif()
string(REGEX MATCHALL "error: " errors "${output}")
list(LENGTH errors error_count)
if(NOT error_count EQUAL 1 OR NOT output MATCHES "${DIAGNOSTIC}")
  message(FATAL_ERROR "${TARGET} fails to compile, but not with exactly one error matching\n"
                      "  ${DIAGNOSTIC}\n${output}")
endif()
string(REGEX MATCHALL "[^\n]*(error|note): [^\n]*" diagnostics "${output}")
list(JOIN diagnostics "\n" diagnostics)
message(STATUS "${TARGET} is refused as intended:\n${diagnostics}")
