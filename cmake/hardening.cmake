# The optimised builds (Release, which the packages are made from, and RelWithDebInfo; the
# fortified functions need optimisation) get the hardening flags that Debian builds its packages
# with: stack protector, fortified functions, format checks, read-only relocations and immediate
# binding. dpkg-buildflags gives them; without it (another system) the build goes on without.
# Sanitizer builds keep their own instrumentation instead.
if(WIN32 OR VORN_SANITIZE)
  return()
endif()
find_program(VORN_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT VORN_DPKG_BUILDFLAGS)
  message(STATUS "dpkg-buildflags not found: built without Debian's hardening flags")
  return()
endif()
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${VORN_DPKG_BUILDFLAGS} --get ${kind}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  # The build type chooses the optimisation and the debugging information.
  list(FILTER flags EXCLUDE REGEX "^(-O.*|-g.*|-ffile-prefix-map=.*)$")
  set(vorn_hardening_${kind} ${flags})
endforeach()
set(vorn_optimised "$<NOT:$<CONFIG:Debug>>")
add_compile_options("$<${vorn_optimised}:${vorn_hardening_CPPFLAGS};${vorn_hardening_CXXFLAGS}>")
add_link_options("$<${vorn_optimised}:${vorn_hardening_LDFLAGS}>")
