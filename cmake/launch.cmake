# How a job of the MPI found is started, in one place: the tests compose their
# jobs with launch_command(), and the quick start and the benchmark run the
# same command as BUILD/launch. Included once, after find_package(MPI).
#   mpi_name      mpich or openmpi, after the launcher; empty for another MPI
#   launch_command(VAR NPROC PROGRAM)   VAR: PROGRAM as a job of NPROC processes
execute_process(COMMAND "${MPIEXEC_EXECUTABLE}" --version TIMEOUT 20
                OUTPUT_VARIABLE launcher_version ERROR_QUIET)
set(launch_environment "")
set(launch_preflags ${MPIEXEC_PREFLAGS})
set(mpi_name "")
if(launcher_version MATCHES "Open MPI|OpenRTE")
  set(mpi_name openmpi)
  # The tests start more processes than cores, and may run as root: Open MPI
  # refuses both unless told (4 and 5 take the same options).
  list(APPEND launch_preflags --oversubscribe --allow-run-as-root)
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
endif()

function(launch_command var nproc program)
  set(${var} ${launch_environment} "${MPIEXEC_EXECUTABLE}" ${MPIEXEC_NUMPROC_FLAG} ${nproc}
      ${launch_preflags} ${program} ${MPIEXEC_POSTFLAGS} PARENT_SCOPE)
endfunction()

# The same command for scripts: BUILD/launch NPROC PROGRAM [ARGUMENTS...]
launch_command(words [[$nproc]] [[$program]])
set(command "exec")
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
