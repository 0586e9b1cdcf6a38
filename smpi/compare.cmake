# Holds the simulated cluster against published measurements: runs each row
# of measurements.md on the model as it was measured, with BUILD's
# smpi/measure, and prints a Markdown table of measured against simulated
# microseconds. Fails if a row to check is off by more than 25% (a
# point-to-point latency) or 35% (a collective).
#   cmake -DBUILD=DIR -P compare.cmake
cmake_minimum_required(VERSION 3.20)
set(calls 100) # back to back, as the published loops run them
set(folder ${BUILD}/smpi/published)
file(MAKE_DIRECTORY ${folder})

# VAR: microseconds with up to three decimals, as nanoseconds.
function(nanoseconds var text)
  if(NOT text MATCHES "^([0-9]+)\\.?([0-9]*)$")
    message(FATAL_ERROR "not a number of microseconds: '${text}'")
  endif()
  string(SUBSTRING "${CMAKE_MATCH_2}000" 0 3 fraction)
  math(EXPR ns "${CMAKE_MATCH_1}${fraction}")
  set(${var} ${ns} PARENT_SCOPE)
endfunction()

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/measurements.md lines ENCODING UTF-8 REGEX "^\\| \\[")
set(table "| source | cluster and network | MPI | operation | bytes | nodes | per node \
| measured µs | simulated µs | ratio | note |\n|---|---|---|---|---:|---:|---:|---:|---:|---:|---|\n")
set(failures "")
set(row 0)
foreach(line IN LISTS lines)
  math(EXPR row "${row} + 1")
  string(REGEX REPLACE "^\\| | \\|$" "" line "${line}")
  string(REPLACE ";" "," line "${line}")
  string(REPLACE " | " ";" fields "${line}")
  list(GET fields 0 source)
  list(GET fields 1 cluster)
  list(GET fields 2 mpi)
  list(GET fields 3 operation)
  list(GET fields 4 bytes)
  list(GET fields 5 nodes)
  list(GET fields 6 per_node)
  list(GET fields 7 algorithm)
  list(GET fields 8 measured)
  list(GET fields 9 use)
  list(GET fields 10 note)

  # Ranks fill one node after another, in the platform's order.
  file(STRINGS ${BUILD}/cluster-hosts platform_nodes LIMIT_COUNT ${nodes})
  set(hosts "")
  foreach(node IN LISTS platform_nodes)
    foreach(slot RANGE 1 ${per_node})
      string(APPEND hosts "${node}\n")
    endforeach()
  endforeach()
  file(WRITE ${folder}/row${row}.hosts "${hosts}")
  math(EXPR nproc "${nodes} * ${per_node}")
  set(message_bytes ${bytes})
  if(bytes STREQUAL "—")
    set(message_bytes 1)
  endif()
  set(settings "")
  if(NOT algorithm STREQUAL "—")
    set(settings --cfg=smpi/${algorithm})
  endif()
  execute_process(COMMAND ${BUILD}/smpi/measure ${folder}/row${row}.hosts ${nproc} ${operation}
                          ${message_bytes} ${calls} ${settings}
                  OUTPUT_VARIABLE simulated ERROR_VARIABLE errors RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "row ${row}, ${source} ${operation}: the simulation failed (${status}):\n"
                        "${errors}")
  endif()

  nanoseconds(measured_ns ${measured})
  nanoseconds(simulated_ns ${simulated})
  math(EXPR percent "(200 * ${simulated_ns} + ${measured_ns}) / (2 * ${measured_ns})")
  math(EXPR whole "${percent} / 100")
  math(EXPR hundredths "${percent} % 100")
  string(LENGTH "${hundredths}" digits)
  if(digits EQUAL 1)
    set(hundredths 0${hundredths})
  endif()
  set(tolerance 35)
  if(operation STREQUAL "latency")
    set(tolerance 25)
  endif()
  math(EXPR above "100 + ${tolerance}")
  math(EXPR below "100 - ${tolerance}")
  if(use STREQUAL "check" AND (percent GREATER above OR percent LESS below))
    list(APPEND failures "row ${row}, ${source} ${operation} on ${nodes} x ${per_node}: "
                         "${simulated} us against ${measured} us")
  endif()
  set(remark "")
  if(use STREQUAL "fit")
    set(remark "calibrated on this row")
  elseif(use STREQUAL "offload")
    set(remark "offloaded: ")
  elseif(use STREQUAL "off")
    set(remark "off: ")
  endif()
  if(NOT note STREQUAL "")
    if(remark MATCHES "[a-z]$")
      string(APPEND remark "; ")
    endif()
    string(APPEND remark "${note}")
  endif()
  string(APPEND table "| ${source} | ${cluster} | ${mpi} | ${operation} | ${bytes} | ${nodes} "
                      "| ${per_node} | ${measured} | ${simulated} | ${whole}.${hundredths} "
                      "| ${remark} |\n")
endforeach()

file(WRITE ${folder}/table.md "${table}")
execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${folder}/table.md)
if(failures)
  list(JOIN failures "\n" failures)
  message(FATAL_ERROR "rows off by more than their tolerance:\n${failures}")
endif()
