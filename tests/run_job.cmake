# Runs one midquad job and checks what its user sees.
#   cmake -P run_job.cmake NPROC TIMEOUT COMMAND...
# NPROC: the job's process count; standard output must be exactly the one
#        result line with that count, and the exit status 0.
# write-fails: standard output goes to /dev/full; the job must fail and say
#        why in one line on standard error.
set(command "")
foreach(i RANGE 5 ${CMAKE_ARGC})
  if(i LESS CMAKE_ARGC)
    list(APPEND command "${CMAKE_ARGV${i}}")
  endif()
endforeach()
set(nproc "${CMAKE_ARGV3}")
set(timeout "${CMAKE_ARGV4}")

if(nproc STREQUAL "write-fails")
  execute_process(COMMAND ${command} TIMEOUT ${timeout} OUTPUT_FILE /dev/full
                  ERROR_VARIABLE err RESULT_VARIABLE status)
  if(status STREQUAL "0")
    message(FATAL_ERROR "exit status 0 although the result was lost; stderr:\n${err}")
  endif()
  if(NOT err MATCHES "^midquad: cannot write the result: [^\n]+\n$")
    message(FATAL_ERROR "expected one line of explanation on stderr, got:\n${err}")
  endif()
  return()
endif()

execute_process(COMMAND ${command} TIMEOUT ${timeout}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(CMAKE_HOST_WIN32)
  string(REPLACE "\r\n" "\n" out "${out}") # text-mode standard output
endif()
set(d "[0-9]")
set(line "^N= 100, Nproc=${nproc}, z = 0\\.785400, Time=${d}+\\.${d}${d}${d}${d}${d}${d} \n$")
if(NOT status STREQUAL "0" OR NOT out MATCHES "${line}")
  message(FATAL_ERROR "command: ${command}\nexit status: ${status}\n"
                      "stdout:\n${out}\nstderr:\n${err}")
endif()
message(STATUS "${out}")
