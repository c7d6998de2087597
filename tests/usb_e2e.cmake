# End-to-end cases: the real vorn binary against boards emulated on a umockdev USB bus by
# vorn-emu, in a binary of their own with the label "e2e" (ctest -L e2e, or -LE e2e for the rest).
if(TARGET vorn-emu AND TARGET vorn)
  # The libusb cases only make sense inside the emulator: a binary that no test lists, started
  # there by UsbEndToEnd.TheLibusbLayerOnAnEmulatedBoard.
  add_executable(vorn_libusb_inside ${CMAKE_CURRENT_SOURCE_DIR}/test_usb_libusb.cc)
  target_link_libraries(vorn_libusb_inside PRIVATE vorn_cli GTest::gtest GTest::gtest_main)
  target_compile_definitions(vorn_libusb_inside PRIVATE VORN_EXE="$<TARGET_FILE:vorn>")

  add_executable(vorn_e2e_tests ${CMAKE_CURRENT_SOURCE_DIR}/test_usb_e2e.cc ${CMAKE_CURRENT_SOURCE_DIR}/test_support.cc)
  target_link_libraries(vorn_e2e_tests PRIVATE vorn_cli vorn_board GTest::gtest GTest::gtest_main)
  add_dependencies(vorn_e2e_tests vorn vorn-emu vorn_libusb_inside)
  target_compile_definitions(vorn_e2e_tests PRIVATE VORN_EXE="$<TARGET_FILE:vorn>"
                             VORN_EMU_EXE="$<TARGET_FILE:vorn-emu>"
                             VORN_LIBUSB_INSIDE_EXE="$<TARGET_FILE:vorn_libusb_inside>")
  # Each case has its own watchdogs; this limit is the last resort, for the longest case (eight
  # boards restarting for 50 rounds) on a machine that is busy with other work too.
  gtest_discover_tests(vorn_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 960 LABELS e2e
                       FIXTURES_REQUIRED vorn_scratch)
endif()
