# Installs 70-vorn.rules into the folder that the install prefix calls for (see usb/CMakeLists.txt).
# Runs at install time: CMAKE_INSTALL_PREFIX is the prefix of this install, not of the configure.
set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
set(read_by_udev TRUE)
if(vorn_udev_rules_dir)
  set(dir "${vorn_udev_rules_dir}")
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${prefix}/${dir}")
  endif()
elseif(prefix STREQUAL "/usr")
  set(dir "/usr/lib/udev/rules.d")
elseif(prefix STREQUAL "/usr/local")
  set(dir "/etc/udev/rules.d")
else()
  set(dir "${prefix}/lib/udev/rules.d")
  set(read_by_udev FALSE)
endif()
file(INSTALL DESTINATION "${dir}" TYPE FILE FILES "${vorn_udev_rules_file}")
if(NOT read_by_udev AND NOT DEFINED ENV{DESTDIR})
  message(STATUS "udev does not read rules from ${dir}. For USB access without root, as root:\n"
                 "     cp ${dir}/70-vorn.rules /etc/udev/rules.d/ && "
                 "udevadm control --reload && udevadm trigger")
endif()
