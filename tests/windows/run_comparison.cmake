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
# Variables: WINE, HOST (svp_host.exe), SVP, NATIVE (native_frames), COMPARE (compare_frames),
# WORK (a scratch directory), PREFIX (the Wine prefix, created on first use), ROUNDING.
#
# Where the kernel cannot run 32-bit programs, scripts/install-windows-deps.sh has Wine's
# 32-bit loader run by qemu-i386; QEMU_RESERVED_VA gives it the whole 4 GiB address space Wine
# expects. Wine's start-up is then slow: creating the prefix takes many minutes, each run a few.
cmake_minimum_required(VERSION 3.25)
foreach(var WINE HOST SVP NATIVE COMPARE WORK PREFIX ROUNDING)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT WINE OR NOT EXISTS "${WINE}")
  message(FATAL_ERROR "wine not found: run scripts/install-windows-deps.sh")
endif()
foreach(file SVP HOST)
  if(NOT EXISTS "${${file}}")
    message(FATAL_ERROR "${${file}} does not exist: build the Windows preset first (make svp)")
  endif()
endforeach()
get_filename_component(wine_dir "${WINE}" DIRECTORY)
set(wineserver "${wine_dir}/wineserver")

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/raw-windows ${WORK}/raw-native)

set(wine_env ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
    WINEPREFIX=${PREFIX} WINEARCH=win32 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe="
    QEMU_RESERVED_VA=0xffff0000)

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

# Wine's output goes to files, never to pipes: the background processes a Wine program starts
# (the desktop, the device services) inherit its standard streams and may outlive it, and
# execute_process reads a pipe until every writer has closed it, which would hold each step
# until its timeout.

# Stops every process of the prefix, so that none outlives the test.
function(stop_wine)
  execute_process(COMMAND ${wine_env} ${wineserver} -k TIMEOUT 120 RESULT_VARIABLE ignored
                  OUTPUT_QUIET ERROR_QUIET)
endfunction()

execute_process(COMMAND ${NATIVE} ${WORK}/native.txt
                RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr TIMEOUT 600)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "native_frames failed (${rc}):\n${stdout}${stderr}")
endif()

# Boots a Wine session (creating the prefix the first time) and keeps it for the test host,
# which thus starts at once; see start_wine_session.sh. The background services (the desktop,
# the device services) never end on their own without a display; stop_wine ends them.
set(ready_mark ${PREFIX}/nimbrelle-prefix-ready)
if(NOT EXISTS ${ready_mark})
  file(REMOVE_RECURSE ${PREFIX})
endif()
function(start_wine_session)
  string(TIMESTAMP start "%s" UTC)
  execute_process(COMMAND ${wine_env} ${CMAKE_CURRENT_LIST_DIR}/start_wine_session.sh ${WINE}
                          ${WORK}/wine-session.log
                  RESULT_VARIABLE rc TIMEOUT 5400)
  elapsed_since(seconds ${start})
  if(NOT rc STREQUAL "0")
    stop_wine()
    file(READ ${WORK}/wine-session.log output)
    message(FATAL_ERROR "Wine cannot start (after ${seconds} s); run scripts/install-windows-deps.sh\n"
                        "${output}")
  endif()
  file(WRITE ${ready_mark} "")
  message(STATUS "Wine booted (prefix ${PREFIX}) in ${seconds} s")
endfunction()

windows_path(svp_w "${SVP}")
windows_path(out_w "${WORK}/windows.txt")
windows_path(raw_w "${WORK}/raw-windows")
windows_path(expect_w "${WORK}/native.txt")
# When Wine never got the test host running, or the emulator itself crashed (rather than the
# host reporting a fault), the run is repeated in a new session, up to three times in all.
foreach(attempt 1 2 3)
  start_wine_session()
  file(REMOVE ${WORK}/windows.txt)
  string(TIMESTAMP start "%s" UTC)
  execute_process(COMMAND ${wine_env} ${WINE} ${HOST} --raw ${raw_w} --frames differing
                          --expect ${expect_w} --rounding ${ROUNDING} ${svp_w} ${out_w}
                  RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/svp_host.log ERROR_FILE ${WORK}/svp_host.log
                  TIMEOUT 2400)
  elapsed_since(seconds ${start})
  stop_wine()
  message(STATUS "svp_host under Wine (host rounding ${ROUNDING}): ${seconds} s")
  file(READ ${WORK}/svp_host.log output)
  if(rc STREQUAL "0" OR (output MATCHES "svp_host: started" AND
                          NOT output MATCHES "qemu: uncaught target signal"))
    break()
  endif()
  message(STATUS "Wine did not run svp_host to its end (${rc}); starting a new session:\n${output}")
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
