# Burning and reading partitions end to end: vorn against an emulated board with a storage
# medium on an emulated USB bus.
if(TARGET vorn-emu AND TARGET vorn AND TARGET vsimg)
  foreach(c normal sparse orders stream slices vanish fail huge)
    add_test(NAME media_e2e_${c}
             COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/media_e2e.sh ${c} $<TARGET_FILE:vorn-emu>
                     $<TARGET_FILE:vorn> $<TARGET_FILE:vsimg> ${CMAKE_BINARY_DIR}/media_e2e)
    # vorn-emu's own watchdog ends a stuck run; this one is the last resort.
    set_tests_properties(media_e2e_${c} PROPERTIES TIMEOUT 150 LABELS e2e)
    if(VORN_SANITIZE)
      # The sanitized vorn runs under umockdev's preload library.
      set_tests_properties(media_e2e_${c} PROPERTIES ENVIRONMENT
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
    endif()
  endforeach()
endif()
