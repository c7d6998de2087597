# Sparse image suites beyond the in-process tests.

# The image tool is run by the tests.
add_dependencies(vorn_tests vsimg)

# A seed corpus of valid and broken sparse images, written by a small generator.
add_executable(sparse_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/sparse_fuzz_seeds.cc)
target_link_libraries(sparse_fuzz_seeds PRIVATE vorn_sparse)
set(SPARSE_SEEDS ${CMAKE_BINARY_DIR}/sparse_fuzz/seeds)
add_test(NAME sparse_fuzz_seeds COMMAND sparse_fuzz_seeds ${SPARSE_SEEDS})
set_tests_properties(sparse_fuzz_seeds PROPERTIES FIXTURES_SETUP sparse_seeds TIMEOUT 60)

# The sparse library under libFuzzer: structure-aware inputs (and the seed images) through the
# probe, the reader, both writers over both sinks, measuring, cutting, the encoder of raw images
# and the oracles, for about a minute. libFuzzer needs clang, so the library's sources are
# compiled here once more with it, apart from the main build. The CRC is left out of the
# coverage instrumentation: its loops over every byte would only slow the run and add no
# feedback worth having.
if(VORN_FUZZ)
  find_program(VORN_CLANGXX NAMES clang++ clang++-16 clang++-15 clang++-14)
  if(NOT VORN_CLANGXX)
    message(WARNING "VORN_FUZZ is on but clang++ was not found: the sparse fuzz target is skipped")
  else()
    file(GLOB sparse_fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sparse/*.cc)
    list(APPEND sparse_fuzz_sources ${CMAKE_SOURCE_DIR}/util/file_io.cc
         ${CMAKE_SOURCE_DIR}/util/platform_posix.cc ${CMAKE_SOURCE_DIR}/util/log.cc
         ${CMAKE_SOURCE_DIR}/util/debug_output.cc ${CMAKE_SOURCE_DIR}/util/progress.cc
         ${CMAKE_SOURCE_DIR}/util/string_printf.cc)
    file(GLOB sparse_fuzz_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sparse/*.h)
    list(APPEND sparse_fuzz_headers ${CMAKE_CURRENT_LIST_DIR}/sparse_fuzz_input.h
         ${CMAKE_CURRENT_LIST_DIR}/sparse_test_util.h)
    set(sparse_fuzzer ${CMAKE_BINARY_DIR}/sparse_fuzz/fuzz_sparse)
    set(sparse_fuzz_ignore ${CMAKE_BINARY_DIR}/sparse_fuzz/coverage-ignore.txt)
    file(WRITE ${sparse_fuzz_ignore} "src:*/sparse/sparse_crc32.cc\n")
    add_custom_command(
      OUTPUT ${sparse_fuzzer}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/sparse_fuzz
      COMMAND ${VORN_CLANGXX} -std=c++17 -O1 -g -fno-omit-frame-pointer
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
              -fsanitize-coverage-ignorelist=${sparse_fuzz_ignore}
              -I${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/fuzz_sparse.cc
              ${sparse_fuzz_sources} -o ${sparse_fuzzer}
      DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_sparse.cc ${sparse_fuzz_sources}
              ${sparse_fuzz_headers}
      COMMENT "Building the sparse fuzz target with clang"
      VERBATIM)
    add_custom_target(fuzz_sparse ALL DEPENDS ${sparse_fuzzer})
    # New inputs go to a scratch corpus; the seeds stay as generated. A small quarantine of freed
    # memory keeps use-after-free detection while sparing the allocator most of its work. The
    # library's own messages about bad inputs (a line for every few inputs) are not kept: the
    # log holds libFuzzer's lines and any report of a sanitizer or an oracle.
    set(work_corpus ${CMAKE_BINARY_DIR}/sparse_fuzz/corpus)
    add_test(NAME sparse_fuzz
             COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16
                     ${sparse_fuzzer} -max_total_time=60 -timeout=10 -rss_limit_mb=1024
                     -malloc_limit_mb=256 -close_fd_mask=2 -print_final_stats=1 ${work_corpus}
                     ${SPARSE_SEEDS})
    add_test(NAME sparse_fuzz_corpus COMMAND ${CMAKE_COMMAND} -E make_directory ${work_corpus})
    set_tests_properties(sparse_fuzz_corpus PROPERTIES FIXTURES_SETUP sparse_seeds)
    set_tests_properties(sparse_fuzz PROPERTIES FIXTURES_REQUIRED sparse_seeds TIMEOUT 150)
  endif()
endif()
