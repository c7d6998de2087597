# Writes OUT, a source file naming the revision the tools are built from, at every build, and
# touches it only when the revision changed so that nothing rebuilds needlessly.
#   cmake -DSOURCE_DIR=... -DOUT=... -DVERSION=... [-DREVISION=...] -P source_revision.cmake
if(NOT REVISION)
  find_package(Git QUIET)
  if(GIT_FOUND)
    # A build by another user than the owner of the checkout is still told the revision.
    execute_process(
      COMMAND ${GIT_EXECUTABLE} -c safe.directory=${SOURCE_DIR} -C ${SOURCE_DIR}
              describe --always --dirty --abbrev=12
      OUTPUT_VARIABLE REVISION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
      RESULT_VARIABLE git_status)
    if(NOT git_status EQUAL 0)
      set(REVISION "")
    endif()
  endif()
endif()
if(NOT REVISION)
  set(REVISION "unknown")
endif()
set(text "// Written by the build (cmake/source_revision.cmake).\n")
string(APPEND text "#include \"util/version.h\"\n")
string(APPEND text "const char vorn_project_version[] = \"${VERSION}\";\n")
string(APPEND text "const char vorn_source_revision[] = \"${REVISION}\";\n")
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
