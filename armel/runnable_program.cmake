# For tests that start one of the built programs themselves (fork and exec, posix_spawn) instead
# of being started by CTest.
#
#   include(${PROJECT_SOURCE_DIR}/armel/runnable_program.cmake)
#   ondrell_runnable_program(<out-var> <target>)
#
# sets <out-var> to a path the test can execute with the program's own arguments. In a native
# build that is the program itself. In the armel cross-build the kernel cannot execute an ARM
# program (qemu-user, no binfmt_misc registration), but it can execute a shell script even when
# the caller is itself running under qemu-arm: the path is then a small script that starts the
# program under the emulator CTest uses (CMAKE_CROSSCOMPILING_EMULATOR). The script execs, so
# the process the test started is the one running the program and receives its signals.
function(ondrell_runnable_program out target)
  if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${out} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(command "")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND command "'${word}' ")
  endforeach()
  set(script "${CMAKE_BINARY_DIR}/emulated/${target}")
  # One script per program, however many test folders ask for it.
  get_property(made GLOBAL PROPERTY ONDRELL_EMULATED_${target})
  if(made)
    set(${out} "${script}" PARENT_SCOPE)
    return()
  endif()
  set_property(GLOBAL PROPERTY ONDRELL_EMULATED_${target} TRUE)
  file(GENERATE OUTPUT "${script}"
    CONTENT "#!/bin/sh\nexec ${command}'$<TARGET_FILE:${target}>' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
  set(${out} "${script}" PARENT_SCOPE)
endfunction()
