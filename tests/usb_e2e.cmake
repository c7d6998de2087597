# End-to-end cases: the real vorn binary against boards emulated on a umockdev USB bus by
# vorn-emu. They live in the one test binary, which therefore needs both programs built (a build
# without the emulator leaves them out).
if(NOT TARGET vorn-emu)
  return()
endif()
add_dependencies(vorn_tests vorn vorn-emu)
target_compile_definitions(vorn_tests PRIVATE VORN_EXE="$<TARGET_FILE:vorn>"
                           VORN_EMU_EXE="$<TARGET_FILE:vorn-emu>")
