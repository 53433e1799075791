# Renders the golden scenarios through the native module with the host's floating-point
# rounding mode set to each non-default mode, and fails unless every frame matches the
# frames drawn under the default mode: a host may leave any rounding mode set when it calls
# the module, and the module must draw the same picture regardless.
#
# Variables: NATIVE (native_frames), COMPARE (compare_frames), WORK (a scratch directory).
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(mode nearest down up zero)
  execute_process(COMMAND ${NATIVE} --rounding ${mode} ${WORK}/${mode}.txt
                  RESULT_VARIABLE rc ERROR_VARIABLE stderr TIMEOUT 600)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "native_frames --rounding ${mode} failed (${rc}):\n${stderr}")
  endif()
endforeach()
set(failed "")
foreach(mode down up zero)
  execute_process(COMMAND ${COMPARE} ${WORK}/${mode}.txt ${WORK}/nearest.txt
                  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE errors)
  if(NOT rc STREQUAL "0")
    message("host rounding ${mode} (A) against the default (B):\n${report}${errors}")
    list(APPEND failed ${mode})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "the module draws different frames when the host rounds: ${failed}")
endif()
