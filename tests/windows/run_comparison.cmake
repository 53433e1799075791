# Renders every golden scenario through the 32-bit Windows module under Wine (svp_host.exe)
# and through the native module (native_frames), and fails unless every frame is identical.
# On a difference it reports, for the first differing frame of each scenario, how many pixels
# differ and by how much: the Windows host writes those frames raw as it finds them (it gets
# the native hashes with --expect), so Wine runs only once.
#
# The Windows host runs the module with the rounding mode ROUNDING set (see
# check_rounding.cmake), the native side with the default, so one Wine run checks both that the
# platforms agree and that the Windows module ignores the host's rounding mode.
#
# Variables: RUNNER (run_in_wine_root.sh), ROOT (the i386 root with Wine, made by
# scripts/install-windows-deps.sh), HOST (svp_host.exe), SVP, NATIVE (native_frames), COMPARE
# (compare_frames), WORK (a scratch directory), PREFIX (the Wine prefix), ROUNDING.
cmake_minimum_required(VERSION 3.25)
foreach(var RUNNER ROOT HOST SVP NATIVE COMPARE WORK PREFIX ROUNDING)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${ROOT}/usr/lib/wine/wine")
  message(FATAL_ERROR "no Wine in ${ROOT}: run scripts/install-windows-deps.sh")
endif()
foreach(file SVP HOST)
  if(NOT EXISTS "${${file}}")
    message(FATAL_ERROR "${${file}} does not exist: build the Windows preset first (make svp)")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK} ${PREFIX})
file(MAKE_DIRECTORY ${WORK}/raw-windows ${WORK}/raw-native)

# Wine sees the host file system as drive Z:.
function(windows_path out path)
  string(REPLACE "/" "\\" path "${path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

function(elapsed_since out start)
  string(TIMESTAMP now "%s" UTC)
  math(EXPR seconds "${now} - ${start}")
  set(${out} ${seconds} PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${NATIVE} ${WORK}/native.txt
                RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr TIMEOUT 600)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "native_frames failed (${rc}):\n${stdout}${stderr}")
endif()

windows_path(svp_w "${SVP}")
windows_path(out_w "${WORK}/windows.txt")
windows_path(raw_w "${WORK}/raw-windows")
windows_path(expect_w "${WORK}/native.txt")
# Wine's output goes to a file, never to a pipe: a background process Wine starts inherits the
# standard streams and may outlive the program, and execute_process reads a pipe until every
# writer has closed it. Where Wine runs under qemu-i386 the emulator now and then crashes in
# Wine's start-up ("qemu: uncaught target signal"); a run that never got the test host going
# is repeated once. A run in which the test host reports a fault fails at once.
foreach(attempt 1 2)
  file(REMOVE ${WORK}/windows.txt)
  string(TIMESTAMP start "%s" UTC)
  execute_process(COMMAND ${RUNNER} ${ROOT} ${PREFIX} -- ${HOST} --raw ${raw_w} --frames differing
                          --expect ${expect_w} --rounding ${ROUNDING} ${svp_w} ${out_w}
                  RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/svp_host.log ERROR_FILE ${WORK}/svp_host.log
                  TIMEOUT 1200)
  elapsed_since(seconds ${start})
  message(STATUS "svp_host under Wine (host rounding ${ROUNDING}): ${seconds} s")
  file(READ ${WORK}/svp_host.log output)
  if(rc STREQUAL "0" OR output MATCHES "svp_host: started")
    break()
  endif()
  message(STATUS "Wine did not run svp_host (${rc}); trying once more:\n${output}")
endforeach()
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "svp_host under Wine failed (${rc}):\n${output}")
endif()
if(NOT EXISTS "${WORK}/windows.txt")
  message(FATAL_ERROR "svp_host under Wine wrote no frame list:\n${output}")
endif()

execute_process(COMMAND ${COMPARE} --spec-out ${WORK}/first-differences.txt
                        ${WORK}/windows.txt ${WORK}/native.txt
                RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE errors)
message("${report}${errors}")
if(rc STREQUAL "0")
  return()
endif()
if(NOT rc STREQUAL "1")
  message(FATAL_ERROR "the frame lists cannot be compared")
endif()

# The native side of the first differing frames, then the pixel counts.
file(READ ${WORK}/first-differences.txt frames)
execute_process(COMMAND ${NATIVE} --raw ${WORK}/raw-native --frames ${frames}
                        ${WORK}/native-again.txt
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE stderr TIMEOUT 600)
execute_process(COMMAND ${COMPARE} --raw-a ${WORK}/raw-windows --raw-b ${WORK}/raw-native
                        ${WORK}/windows.txt ${WORK}/native.txt
                OUTPUT_VARIABLE report ERROR_VARIABLE errors)
message(FATAL_ERROR "the Windows module, with the host rounding ${ROUNDING}, draws different "
                    "frames from the native one (A = Windows, B = native):\n"
                    "${report}${errors}${stderr}")
