# Burn plans end to end: vorn runs a plan on emulated boards on an emulated USB bus.
if(TARGET vorn-emu AND TARGET vorn)
  foreach(c bl1 bl2 expect middle changed checked limit aborted readback)
    add_test(NAME burn_e2e_${c}
             COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/burn_e2e.sh ${c} $<TARGET_FILE:vorn-emu>
                     $<TARGET_FILE:vorn> ${CMAKE_BINARY_DIR}/burn_e2e)
    # vorn-emu's own watchdog ends a stuck run; this one is the last resort.
    set_tests_properties(burn_e2e_${c} PROPERTIES TIMEOUT 180 LABELS e2e)
    if(VORN_SANITIZE)
      set_tests_properties(burn_e2e_${c} PROPERTIES ENVIRONMENT
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
    endif()
  endforeach()
endif()
