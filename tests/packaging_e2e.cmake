# The manual pages, the bash completion, the install rules and the Debian packages, checked as a
# user meets them (packaging_e2e.sh says what each case covers).
# lintian judges release packages: those of a build under the sanitizers, which leaves out the
# hardening flags, are not checked by it.
set(packaging_cases man completion install deb)
if(NOT VORN_SANITIZE)
  list(APPEND packaging_cases lintian)
endif()
foreach(c ${packaging_cases})
  add_test(NAME packaging_${c}
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/packaging_e2e.sh ${c} ${CMAKE_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/packaging_e2e)
  set_tests_properties(packaging_${c} PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()
# Installs and packaging write their manifest into the build folder: one at a time.
set_tests_properties(packaging_install packaging_deb PROPERTIES RESOURCE_LOCK vorn_install)
if(TEST packaging_lintian)
  set_tests_properties(packaging_lintian PROPERTIES RESOURCE_LOCK vorn_install)
endif()
if(VORN_SANITIZE)
  set_tests_properties(packaging_deb packaging_completion PROPERTIES ENVIRONMENT
                       "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
endif()
