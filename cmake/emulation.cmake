# Running this build's own programs from tests.
#
# tn_program_path(<target> <var>) sets <var> to the path a test should start
# the program <target> with. On a native build that is the program itself.
# On a cross build (CMAKE_CROSSCOMPILING_EMULATOR set) it is a small launcher
# script that runs the program under the emulator, because the kernel here
# cannot execute the target's binaries directly (no binfmt handler). The
# launcher execs, so its pid is the program's pid and signals reach it.
#
# TN_EMULATED is 1 on such builds, for CMake code that has to know.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(TN_EMULATED 1)
else()
  set(TN_EMULATED 0)
endif()

function(tn_program_path target var)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(launcher "${CMAKE_BINARY_DIR}/emulated/${target}")
  get_property(done GLOBAL PROPERTY TN_LAUNCHER_${target})
  if(NOT done)
    set(words "")
    foreach(w ${CMAKE_CROSSCOMPILING_EMULATOR})
      string(APPEND words "'${w}' ")
    endforeach()
    file(GENERATE OUTPUT "${launcher}"
      CONTENT "#!/bin/sh\nexec ${words}'$<TARGET_FILE:${target}>' \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set_property(GLOBAL PROPERTY TN_LAUNCHER_${target} 1)
  endif()
  set(${var} "${launcher}" PARENT_SCOPE)
endfunction()

# On a cross build, a launcher for every program of the build, so scripts
# (the demo, a desk session) can start any of them from build/emulated/.
function(tn_launchers_for_all_programs)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  set(dirs ${CMAKE_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t ${targets})
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "EXECUTABLE")
        tn_program_path(${t} unused)
      endif()
    endforeach()
  endwhile()
endfunction()
