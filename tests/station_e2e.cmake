# The station end to end: vorn station watching emulated boards on an emulated USB bus.
if(TARGET vorn-emu AND TARGET vorn)
  foreach(c count once again table stop)
    add_test(NAME station_e2e_${c}
             COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/station_e2e.sh ${c} $<TARGET_FILE:vorn-emu>
                     $<TARGET_FILE:vorn> ${CMAKE_BINARY_DIR}/station_e2e)
    # vorn-emu's own watchdog ends a stuck run; this one is the last resort.
    set_tests_properties(station_e2e_${c} PROPERTIES TIMEOUT 180 LABELS e2e)
    if(VORN_SANITIZE)
      set_tests_properties(station_e2e_${c} PROPERTIES ENVIRONMENT
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
    endif()
  endforeach()
endif()
