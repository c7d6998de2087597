# Smoke runs of the Windows programs under the cross build's emulator (wine): vorn.exe's usage
# text and status, "devices" on a machine without boards, an unknown command, vsimg.exe's usage,
# and a binary file (a program, with every kind of byte in it) through vsimg.exe to a sparse
# image and back. Run as a script (cmake -P), this file carries out one run and checks it.
if(CMAKE_SCRIPT_MODE_FILE AND STEP STREQUAL "roundtrip")
  file(REMOVE ${WORK}.bin ${WORK}.sparse ${WORK}.raw)
  # A raw image must be whole 32-bit words long: four copies of the program always are.
  execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${INPUT} ${INPUT} ${INPUT} ${INPUT}
                  OUTPUT_FILE ${WORK}.bin RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot make ${WORK}.bin")
  endif()
  foreach(words "tosparse;${WORK}.bin;${WORK}.sparse" "toraw;${WORK}.sparse;${WORK}.raw")
    execute_process(COMMAND ${EMULATOR} ${EXE} ${words} RESULT_VARIABLE status ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "vsimg ${words}: status ${status}\n${err}")
    endif()
  endforeach()
  file(SHA256 ${WORK}.bin in)
  file(SHA256 ${WORK}.raw out)
  if(NOT in STREQUAL out)
    message(FATAL_ERROR "${WORK}.raw differs from ${WORK}.bin")
  endif()
  return()
endif()
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${EMULATOR} ${EXE} ${ARGS} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL EXPECT_STATUS)
    message(FATAL_ERROR "status ${status}, expected ${EXPECT_STATUS}\nout: ${out}\nerr: ${err}")
  endif()
  if(NOT out MATCHES "${EXPECT_OUT}")
    message(FATAL_ERROR "standard output does not match '${EXPECT_OUT}':\n${out}")
  endif()
  if(NOT err MATCHES "${EXPECT_ERR}")
    message(FATAL_ERROR "standard error does not match '${EXPECT_ERR}':\n${err}")
  endif()
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

# name, program target, expected status, standard output and standard error (regular
# expressions), then the program's words.
function(vorn_smoke name target status out err)
  add_test(NAME WindowsSmoke.${name}
           COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                   "-DEXE=$<TARGET_FILE:${target}>" "-DARGS=${ARGN}" "-DEXPECT_STATUS=${status}"
                   "-DEXPECT_OUT=${out}" "-DEXPECT_ERR=${err}" -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  set_tests_properties(WindowsSmoke.${name} PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED wine_server)
endfunction()

vorn_smoke(UsageWithoutWords vorn 1 "^$" "\nusage: vorn \\[ -s <specific para> \\] <command> <command para>\r?\n")
vorn_smoke(UsageOnHelp vorn 1 "^$" "usage: vorn .*  devices +List all connected vxn devices" -h)
# Wine's WinUSB knows no boards: the list is empty and the run succeeds.
vorn_smoke(DevicesWithoutBoards vorn 0 "^$" "^$" devices)
# An exit status keeps its low 8 bits outside Windows: -818 reads 206.
vorn_smoke(UnknownCommand vorn 206 "^$" "MSG\\[VXN\\]Quenrix USB VXN tool: .*ERR\\[VXN\\]cmd \"bogus\" not in supported list" bogus)
vorn_smoke(VsimgUsage vsimg 2 "^$" "^usage: vsimg <command> <arguments>")
add_test(NAME WindowsSmoke.VsimgRoundTripOfABinaryFile
         COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" "-DEXE=$<TARGET_FILE:vsimg>"
                 "-DINPUT=$<TARGET_FILE:vsimg>" "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/smoke-vsimg" -DSTEP=roundtrip
                 -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(WindowsSmoke.VsimgRoundTripOfABinaryFile PROPERTIES TIMEOUT 120
                     FIXTURES_REQUIRED wine_server)
