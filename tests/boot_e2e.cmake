# The boot-loader stages end to end: vorn against emulated boards on an emulated USB bus.
if(TARGET vorn-emu AND TARGET vorn)
  foreach(c p5 p6 never-back no-serial right-board lost-events)
    add_test(NAME boot_e2e_${c}
             COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/boot_e2e.sh ${c} $<TARGET_FILE:vorn-emu>
                     $<TARGET_FILE:vorn> ${CMAKE_BINARY_DIR}/boot_e2e)
    # vorn-emu's own watchdog ends a stuck run; this one is the last resort.
    set_tests_properties(boot_e2e_${c} PROPERTIES TIMEOUT 90 LABELS e2e)
    if(VORN_SANITIZE)
      # The sanitized vorn runs under umockdev's preload library.
      set_tests_properties(boot_e2e_${c} PROPERTIES ENVIRONMENT
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
    endif()
  endforeach()
endif()
