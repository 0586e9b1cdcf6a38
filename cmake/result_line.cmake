# The one check of the program's result line, for the tests, CI and the
# benchmark. Standard output must be exactly that line, newline included.
#   include():  result_line_time(VAR OUTPUT NPROC [FLOOR])
#               VAR: Time in microseconds, or empty if OUTPUT is not the line
#   cmake -DNPROC=N [-DFLOOR=ON] -DFILE=F -P result_line.cmake
#               prints Time in microseconds; fails, quoting F, if F is not
#               the line
# FLOOR: the benchmark's floor program, whose kernel computes nothing, so
# that its sum is zero.
function(result_line_time var output nproc)
  set(z "0\\.785400")
  if(ARGV3)
    set(z "0\\.000000")
  endif()
  set(${var} "" PARENT_SCOPE)
  if(output MATCHES "^N= 100, Nproc=${nproc}, z = ${z}, Time=([0-9]+)\\.([0-9][0-9][0-9][0-9][0-9][0-9]) \n$")
    math(EXPR time_us "${CMAKE_MATCH_1} * 1000000 + ${CMAKE_MATCH_2}")
    set(${var} ${time_us} PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  file(READ "${FILE}" output)
  result_line_time(time_us "${output}" "${NPROC}" "${FLOOR}")
  if(time_us STREQUAL "")
    message(FATAL_ERROR "not the result line of ${NPROC} processes: '${output}'")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo ${time_us})
endif()
