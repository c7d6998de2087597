# The usbredir side of the kernel bed's boards, without a virtual machine: a test plays the
# machine's part of the protocol against the board's front end.
if(TARGET vorn_redir)
  add_executable(vorn_redir_tests ${CMAKE_CURRENT_LIST_DIR}/kernel/test_redir_board.cc
                                  ${CMAKE_CURRENT_LIST_DIR}/test_support.cc)
  target_link_libraries(vorn_redir_tests PRIVATE vorn_redir vorn_cli GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vorn_redir_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
endif()
