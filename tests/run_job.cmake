# Runs one midquad job and checks what its user sees.
#   cmake -P run_job.cmake EXPECT LIMIT COMMAND...
# The job gets LIMIT seconds, through MPIEXEC_TIMEOUT, which MPICH's and
# Open MPI's launchers (and the launch script, for SMPI's) honour by ending
# every process of the job. A job that reaches the limit fails, even if the
# launcher then exits 0.
# EXPECT is one of
#   NPROC        standard output is exactly the one result line with that
#                process count, and the exit status 0;
#   write-fails  standard output goes to /dev/full; the job must fail and say
#                why in one line on standard error;
#   hangs        the job never ends by itself: its launcher must end it.
set(command "")
foreach(i RANGE 5 ${CMAKE_ARGC})
  if(i LESS CMAKE_ARGC)
    list(APPEND command "${CMAKE_ARGV${i}}")
  endif()
endforeach()
set(expect "${CMAKE_ARGV3}")
set(limit "${CMAKE_ARGV4}")

set(ENV{MPIEXEC_TIMEOUT} ${limit})
set(output OUTPUT_VARIABLE out)
if(expect STREQUAL "write-fails")
  set(output OUTPUT_FILE /dev/full)
endif()
math(EXPR backstop "${limit} + 20")
string(TIMESTAMP start "%s")
execute_process(COMMAND ${command} TIMEOUT ${backstop} ${output}
                ERROR_VARIABLE err RESULT_VARIABLE status)
string(TIMESTAMP end "%s")
math(EXPR elapsed "${end} - ${start}")
set(report "command: ${command}\nexit status: ${status} after ${elapsed} s\n"
           "stdout:\n${out}\nstderr:\n${err}")

if(status MATCHES "timeout")
  message(FATAL_ERROR "the launcher did not end the job at MPIEXEC_TIMEOUT=${limit}; "
                      "its processes may be left\n${report}")
endif()
if(expect STREQUAL "hangs")
  if(elapsed LESS limit)
    message(FATAL_ERROR "expected a job ended by its launcher at ${limit} s\n${report}")
  endif()
  return()
endif()
if(NOT elapsed LESS limit)
  message(FATAL_ERROR "the job ran into its limit of ${limit} s\n${report}")
endif()

if(expect STREQUAL "write-fails")
  if(status STREQUAL "0")
    message(FATAL_ERROR "exit status 0 although the result was lost\n${report}")
  endif()
  if(NOT err MATCHES "^midquad: cannot write the result: [^\n]+\n$")
    message(FATAL_ERROR "expected one line of explanation on stderr\n${report}")
  endif()
  return()
endif()

if(CMAKE_HOST_WIN32)
  string(REPLACE "\r\n" "\n" out "${out}") # text-mode standard output
endif()
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/result_line.cmake)
result_line_time(time_us "${out}" ${expect})
if(NOT status STREQUAL "0" OR time_us STREQUAL "")
  message(FATAL_ERROR "${report}")
endif()
message(STATUS "${out}")
