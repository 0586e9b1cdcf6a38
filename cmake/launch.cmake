# How a job of the MPI found is started, in one place: the tests compose their
# jobs with launch_command(), and the quick start and the benchmark run the
# same command as BUILD/launch. Included once, after find_package(MPI).
#   mpi_name      mpich, openmpi or smpi, after the launcher; empty for another
#   launch_command(VAR NPROC PROGRAM)   VAR: PROGRAM as a job of NPROC processes
execute_process(COMMAND "${MPIEXEC_EXECUTABLE}" --version TIMEOUT 20
                OUTPUT_VARIABLE launcher_version ERROR_QUIET)
set(launch_environment "")
set(launch_preflags "")
# The shell words with which BUILD/launch ends a job at MPIEXEC_TIMEOUT
# seconds, for a launcher that does not do it itself.
set(launch_limit "")
set(mpi_name "")
if(launcher_version MATCHES "Open MPI|OpenRTE")
  set(mpi_name openmpi)
  # The tests start more processes than cores, and may run as root: Open MPI
  # refuses both unless told (4 and 5 take the same options).
  set(launch_preflags --oversubscribe --allow-run-as-root)
  # Open MPI 5.0 warns "Unable to find reachable pairing between local and
  # remote interfaces" for every pair of processes on a host with an IPv6
  # address beside its IPv4 one, although the data arrive. Its TCP
  # reachability check is at fault; the weighted one is not. Only the
  # environment takes this setting.
  if(launcher_version MATCHES "\\(Open MPI\\) ([5-9]|[1-9][0-9])\\.")
    set(launch_environment env OMPI_MCA_reachable=weighted)
  endif()
elseif(launcher_version MATCHES "HYDRA build details")
  set(mpi_name mpich)
elseif(launcher_version MATCHES "SimGrid")
  # SimGrid's SMPI: every process of the job is simulated in one process on
  # the cluster of smpi/cluster.xml, and MPI_Wtime tells simulated time.
  set(mpi_name smpi)
  # Rank r runs on node r mod 1024, the nodes in order, as smpirun deals the
  # hosts of its host file out round-robin: up to 1024 processes, each has a
  # node of its own.
  set(hosts "")
  foreach(node RANGE 1023)
    string(APPEND hosts "node${node}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/cluster-hosts "${hosts}")
  set(launch_preflags
      -platform ${PROJECT_SOURCE_DIR}/smpi/cluster.xml -hostfile ${PROJECT_BINARY_DIR}/cluster-hosts
      # What Open MPI's tuned collectives choose for one double at a
      # power-of-two count (from 8 processes on for the reduction): a
      # binomial-tree reduction and a recursive-doubling barrier.
      --cfg=smpi/reduce:binomial --cfg=smpi/barrier:ompi_recursivedoubling
      # The kernel's 0.1 us of arithmetic would be timed on this machine and
      # scaled; left out, Time is the network's alone, the same everywhere.
      --cfg=smpi/simulate-computation:no
      # The program has no global variables to give each process a copy of.
      -no-privatize
      # One guard page per process exceeds the kernel's 65530 memory
      # mappings past about 32000 processes.
      --cfg=contexts/guard-size:0
      # The simulator's own notes, such as each setting above, stay unsaid.
      --log=root.thres:warning)
  # smpirun has no time limit, and SIGTERM ends it with its simulator.
  set(launch_limit [[timeout --kill-after=10 "${MPIEXEC_TIMEOUT:-0}"]])
endif()
# A user's own launcher options come last, so that they win.
list(APPEND launch_preflags ${MPIEXEC_PREFLAGS})

# The launcher's own words, for the tests and for BUILD/launch.
function(launcher_words var nproc program)
  set(${var} ${launch_environment} "${MPIEXEC_EXECUTABLE}" ${MPIEXEC_NUMPROC_FLAG} ${nproc}
      ${launch_preflags} ${program} ${MPIEXEC_POSTFLAGS} PARENT_SCOPE)
endfunction()
function(launch_command var nproc program)
  if(launch_limit)
    set(${var} ${PROJECT_BINARY_DIR}/launch ${nproc} ${program} PARENT_SCOPE)
  else()
    launcher_words(words ${nproc} ${program})
    set(${var} ${words} PARENT_SCOPE)
  endif()
endfunction()

# The same command for scripts: BUILD/launch NPROC PROGRAM [ARGUMENTS...]
launcher_words(words [[$nproc]] [[$program]])
set(command "exec")
if(launch_limit)
  string(APPEND command " ${launch_limit}")
endif()
foreach(word IN LISTS words)
  if(word MATCHES [[^\$(nproc|program)$]])
    string(APPEND command " \"${word}\"")
  else()
    string(REPLACE "'" [['\'']] word "${word}")
    string(APPEND command " '${word}'")
  endif()
endforeach()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/launch CONTENT "#!/bin/sh
# Starts PROGRAM as a job of NPROC processes, as midquad's tests do.
# Written by CMake from what it found of the MPI.
[ $# -ge 2 ] || { echo \"usage: $0 NPROC PROGRAM [ARGUMENTS...]\" >&2; exit 2; }
nproc=$1 program=$2
shift 2
${command} \"$@\"
" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
