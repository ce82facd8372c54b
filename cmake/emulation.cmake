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
# A compile definition that names a program as $<TARGET_FILE:prog> (a test
# that starts it) is pointed at the launcher too, so a test written without
# tn_program_path still runs under emulation instead of failing to exec.
function(tn_launchers_for_all_programs)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  set(dirs ${CMAKE_SOURCE_DIR})
  set(all "")
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND all ${targets})
  endwhile()
  foreach(t ${all})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      tn_program_path(${t} unused)
    endif()
  endforeach()
  foreach(t ${all})
    get_target_property(type ${t} TYPE)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY|MODULE_LIBRARY)$")
      continue()
    endif()
    get_target_property(defs ${t} COMPILE_DEFINITIONS)
    if(NOT defs OR NOT defs MATCHES "TARGET_FILE:")
      continue()
    endif()
    set(out "")
    foreach(d IN LISTS defs)
      while(d MATCHES "\\$<TARGET_FILE:([A-Za-z0-9_.+-]+)>")
        set(prog ${CMAKE_MATCH_1})
        get_target_property(ptype ${prog} TYPE)
        if(NOT ptype STREQUAL "EXECUTABLE")
          break()
        endif()
        string(REPLACE "$<TARGET_FILE:${prog}>" "${CMAKE_BINARY_DIR}/emulated/${prog}" d "${d}")
      endwhile()
      list(APPEND out "${d}")
    endforeach()
    set_property(TARGET ${t} PROPERTY COMPILE_DEFINITIONS "${out}")
  endforeach()
endfunction()

# tn_sysroot_program_path(<name> <var>): on a cross build whose sysroot holds
# usr/bin/<name> (Debian's armhf build of a tool the module runs, jpegoptim
# say), <var> is set to a launcher that runs that program under the emulator,
# for a test that hands the tool to a program of ours: the shell our program
# reaches through system() is the host's and cannot exec it directly. A path
# of the sysroot itself would not do: under "qemu-arm -L <sysroot>" a program
# of the build that opens /usr/bin/<name> gets the sysroot's copy. <var> is
# left alone elsewhere.
function(tn_sysroot_program_path name var)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_SYSROOT
     OR NOT EXISTS "${CMAKE_SYSROOT}/usr/bin/${name}")
    return()
  endif()
  set(words "")
  foreach(w ${CMAKE_CROSSCOMPILING_EMULATOR})
    string(APPEND words "'${w}' ")
  endforeach()
  set(launcher "${CMAKE_BINARY_DIR}/emulated/sysroot/${name}")
  file(GENERATE OUTPUT "${launcher}"
    CONTENT "#!/bin/sh\nexec ${words}'${CMAKE_SYSROOT}/usr/bin/${name}' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(${var} "${launcher}" PARENT_SCOPE)
endfunction()
