# Why each test runs where it runs: one table for the whole tree. Every test
# (a GoogleTest binary, whose cases all share its labels, or a plain ctest
# test) has a line here; a test without one stops the configure, so a new
# test is placed on purpose. The stages of scripts/test pick by label:
#
#   memory   our code handling outside bytes or memory: the address and
#            undefined-behaviour sanitizer stage (san) runs these
#   threads  threads of ours, or a daemon or simulator we talk to while it
#            runs: the thread sanitizer stage (tsan) runs these
#   module   code that runs on the module: the armhf stage runs these under
#            emulation (its unit tests and the daemon's end-to-end tests)
#   tools    runs the daemon's shell tools: the busybox stage runs these
#   card     uses the SD card as the camera's FAT card; a test without this
#            label gets a plain folder unless TN_CARD says otherwise
#   rounds   long rounds (power cuts, cloud faults, days): full size in the
#            native stage, a small fixed-seed run (TN_ROUNDS=short) elsewhere
#   slow     30 s or more even when short: started first (COST)
#   desk     checks the desk world itself (simulators, demo, docs, install,
#            bench): the native stage only
#   vm       boots the module's image under qemu-system-arm (tests/vm): the
#            vm stage runs these, the native stage leaves them to it
#
# The native stage runs every test. A line is the test's name and its labels
# joined by commas.

set(TN_TEST_LABELS
  # GoogleTest binaries
  camera_tests              memory,threads,module
  camera_e2e_tests          memory,threads,module,card
  cellular_unit_tests       memory,module
  cellular_sim_tests        memory,threads,module
  cellular_field_tests      memory,threads,module
  cellular_week_tests       memory,threads,module,rounds
  cellular_e2e_tests        memory,threads,module,card,slow
  cellular_clock_tests      memory,threads,module
  clock_e2e_tests           card,slow
  cloud_tests               memory,threads,module,card
  tus_e2e_tests             memory,threads,module,card
  config_tests              memory,module,card
  config_powercut_tests     memory,module
  config_e2e_tests          memory,threads,module,card
  core_tests                memory,threads,module,card
  jpeg_tests                memory,module
  modem_unit_tests          memory,module,tools
  modem_sim_tests           memory,threads,module
  modem_e2e_tests           memory,threads,module,tools
  optimizer_tests           memory,threads,module,card
  pictrim_proof_tests       memory,threads,module,card
  pictrim_cut_tests         memory,threads,card,rounds
  requests_tests            memory,threads,module,card,tools
  robust_cloud_tests        memory,threads,module,card,rounds,slow
  robust_daemon_tests       memory,threads,module,card,rounds,slow
  robust_card_tests         memory,threads,card,rounds,slow
  update_tests              memory,module,card,tools
  update_e2e_tests          memory,threads,module,card,tools
  tussrv_tests              desk
  # Plain ctest tests
  cardfs                    desk,card
  fatcard                   desk,card,slow
  linksim_selftest          desk
  ntpsim_selftest           desk
  reused_retry              desk
  tus_edge_harness          desk,slow
  cloudsim_selftest         desk
  cloudview_page            desk
  dspsim                    desk,slow
  demo_field_day            desk,card
  demo_console              desk
  season_week               desk,card,rounds,slow
  docs_cover_code           desk
  install.layout_and_init_script module
  install.real_platform_switch   desk,slow
  install.apt_unreadable_index   desk
  bench_smoke               desk,slow
  # The module in a box (tests/vm): the image first, then each scenario
  vm.image                  vm,slow
  vm.day                    vm
  vm.day_1970               vm
  vm.day_europe_1970        vm
  vm.pictrim                vm
  vm.update                 vm
  vm.cuts                   vm,slow
  # Every fuzz target's corpus replay (fuzz/CMakeLists.txt): <name>_replay
  fuzz_replay               memory,module
)

# The labels of `name` (a test binary or a ctest test) into `var`.
function(tn_test_labels name var)
  list(FIND TN_TEST_LABELS "${name}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "test ${name} has no line in cmake/test-labels.cmake: say which stages run it")
  endif()
  math(EXPR at "${at} + 1")
  list(GET TN_TEST_LABELS ${at} labels)
  string(REPLACE "," ";" labels "${labels}")
  set(${var} "${labels}" PARENT_SCOPE)
endfunction()

# The properties the labels imply besides LABELS, as "NAME value" pairs.
function(tn_label_properties labels var)
  set(props)
  if("slow" IN_LIST labels)
    list(APPEND props COST 1000)
  endif()
  if(NOT "card" IN_LIST labels)
    list(APPEND props ENVIRONMENT "TN_CARD_UNUSED=1")
  endif()
  set(${var} "${props}" PARENT_SCOPE)
endfunction()

# gtest_discover_tests with the binary's labels from the table. Its
# PROPERTIES pass through a command line that flattens lists, so the labels
# are set by a script ctest reads after the discovered tests.
function(tn_discover_tests target)
  tn_test_labels(${target} labels)
  tn_label_properties("${labels}" props)
  cmake_parse_arguments(G "" "" "PROPERTIES" ${ARGN})
  set(found tn_found_${target})
  gtest_discover_tests(${target} ${G_UNPARSED_ARGUMENTS} TEST_LIST ${found}
                       PROPERTIES ${props} ${G_PROPERTIES})
  # tn_tests_<label>: every test program of a label (and what it starts), so
  # a stage builds only what it runs.
  foreach(label ${labels})
    if(NOT TARGET tn_tests_${label})
      add_custom_target(tn_tests_${label})
    endif()
    add_dependencies(tn_tests_${label} ${target})
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(WRITE ${script} "if(${found})\n  set_tests_properties(\${${found}} PROPERTIES LABELS \"${labels}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# Labels (and what they imply) for plain ctest tests; `key` defaults to the
# test's name.
function(tn_label_test test)
  set(key ${test})
  if(ARGC GREATER 1)
    set(key ${ARGV1})
  endif()
  tn_test_labels(${key} labels)
  set_property(TEST ${test} APPEND PROPERTY LABELS ${labels})
  if("slow" IN_LIST labels)
    set_property(TEST ${test} PROPERTY COST 1000)
  endif()
  if(NOT "card" IN_LIST labels)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "TN_CARD_UNUSED=1")
  endif()
endfunction()
