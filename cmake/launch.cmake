# How a job of the MPI found is started, in one place: the tests compose their
# jobs with launch_command(), and the quick start and the benchmark run the
# same command as BUILD/launch. Included once, after find_package(MPI).
#   mpi_name      mpich, openmpi or smpi, after the launcher; empty for another
#   launch_command(VAR NPROC PROGRAM)   VAR: PROGRAM as a job of NPROC processes
#   launcher_words(), write_launcher()  the same, for scripts of other folders
#   smpi_model    for smpi: the simulated cluster's settings, without the
#                 program's collectives and host file
execute_process(COMMAND "${MPIEXEC_EXECUTABLE}" --version TIMEOUT 20
                OUTPUT_VARIABLE launcher_version ERROR_QUIET)
set(launch_environment "")
set(launch_preflags "")
# The shell words with which BUILD/launch ends a job at MPIEXEC_TIMEOUT
# seconds, for a launcher that does not do it itself.
set(launch_limit "")
# Shell lines that every launcher script runs before the job, after its own.
set(launch_setup "")
set(mpi_name "")
# A simulated torus's nodes, as numbers, in the order jobs take them: boxes
# that double along each axis in turn (2x1x1, 2x2x1, 2x2x2, 4x2x2, ...),
# passing over an axis that cannot double, then the nodes outside the
# largest box, in the torus's own order. So a job of 2^k nodes has a box of
# its own, as on a torus machine, and each half of its ranks half the box.
function(torus_order dims var)
  string(REPLACE "," ";" dims "${dims}")
  set(box 1 1 1)
  set(strides 1)
  set(stride 1)
  foreach(axis 0 1)
    list(GET dims ${axis} length)
    math(EXPR stride "${stride} * ${length}")
    list(APPEND strides ${stride})
  endforeach()
  set(order 0)
  set(axis 0)
  set(full 0) # axes in a row that cannot double
  while(full LESS 3)
    list(GET box ${axis} side)
    list(GET dims ${axis} length)
    math(EXPR twice "${side} * 2")
    math(EXPR next "(${axis} + 1) % 3")
    if(twice GREATER length)
      math(EXPR full "${full} + 1")
      set(axis ${next})
      continue()
    endif()
    set(full 0)
    list(GET strides ${axis} stride)
    math(EXPR shift "${stride} * ${side}")
    set(more "")
    foreach(node IN LISTS order)
      math(EXPR node "${node} + ${shift}")
      list(APPEND more ${node})
    endforeach()
    list(APPEND order ${more})
    list(REMOVE_AT box ${axis})
    list(INSERT box ${axis} ${twice})
    set(axis ${next})
  endwhile()
  list(GET dims 0 dx)
  list(GET dims 1 dy)
  list(GET dims 2 dz)
  list(GET box 0 bx)
  list(GET box 1 by)
  list(GET box 2 bz)
  math(EXPR last_x "${dx} - 1")
  math(EXPR last_y "${dy} - 1")
  math(EXPR last_z "${dz} - 1")
  foreach(z RANGE ${last_z})
    set(plane "") # appended a plane at a time: a long list is copied at each
    foreach(y RANGE ${last_y})
      set(from 0)
      if(z LESS bz AND y LESS by)
        set(from ${bx})
      endif()
      if(from LESS dx)
        foreach(x RANGE ${from} ${last_x})
          math(EXPR node "${x} + ${dx} * (${y} + ${dy} * ${z})")
          list(APPEND plane ${node})
        endforeach()
      endif()
    endforeach()
    list(APPEND order ${plane})
  endforeach()
  set(${var} ${order} PARENT_SCOPE)
endfunction()

if(launcher_version MATCHES "Open MPI|OpenRTE")
  set(mpi_name openmpi)
  # The tests start more processes than cores, and may run as root: Open MPI
  # refuses both unless told (4 and 5 take the same options).
  set(launch_preflags --oversubscribe --allow-run-as-root)
  # Open MPI 5's TCP reachability check warns falsely on a host with an IPv6
  # address beside its IPv4 one (doc/troubleshooting.md); the weighted check
  # does not. Only the environment takes this setting.
  if(launcher_version MATCHES "\\(Open MPI\\) ([5-9]|[1-9][0-9])\\.")
    set(launch_environment env OMPI_MCA_reachable=weighted)
  endif()
elseif(launcher_version MATCHES "HYDRA build details")
  set(mpi_name mpich)
elseif(launcher_version MATCHES "SimGrid")
  # SimGrid's SMPI: every process of the job is simulated in one process on
  # a cluster, and MPI_Wtime tells simulated time.
  set(mpi_name smpi)
  # The simulated clusters: the default one, smpi/cluster.xml, and the models
  # of machines in smpi/machines, each named after its file. BUILD/clusters
  # lists them, a line each: name, nodes, cores a node, platform, network;
  # BUILD/nodes/NAME a cluster's nodes, in order, one a line. The host files
  # of former platforms go with them.
  file(REMOVE_RECURSE ${PROJECT_BINARY_DIR}/hosts ${PROJECT_BINARY_DIR}/nodes)
  file(GLOB machines CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/smpi/machines/*.xml)
  set(cluster_table "")
  set(cluster_names "")
  foreach(platform IN ITEMS ${PROJECT_SOURCE_DIR}/smpi/cluster.xml ${machines})
    get_filename_component(name ${platform} NAME_WE)
    if(name STREQUAL "cluster")
      set(name default)
    endif()
    file(STRINGS ${platform} lines REGEX "<cluster |<prop id=\"network\"")
    set(node_list "")
    set(network "")
    foreach(line IN LISTS lines)
      if(line MATCHES [[<prop id="network" value="([^"]*)"]])
        set(network ${CMAKE_MATCH_1})
        continue()
      endif()
      string(REGEX MATCH [[prefix="([^"]*)" suffix="([^"]*)" radical="([^"]*)"]] _ "${line}")
      set(prefix "${CMAKE_MATCH_1}")
      set(suffix "${CMAKE_MATCH_2}")
      string(REPLACE "," ";" ranges "${CMAKE_MATCH_3}")
      if(line MATCHES [[topology="TORUS" topo_parameters="([0-9]+,[0-9]+,[0-9]+)"]])
        # A torus numbers its nodes from 0; jobs take them in boxes.
        torus_order(${CMAKE_MATCH_1} numbers)
        list(TRANSFORM numbers PREPEND "${prefix}")
        list(TRANSFORM numbers APPEND "${suffix}")
        list(APPEND node_list ${numbers})
      else()
        foreach(range IN LISTS ranges)
          string(REPLACE "-" ";" ends "${range}")
          list(GET ends 0 first)
          list(GET ends -1 last)
          foreach(node RANGE ${first} ${last})
            list(APPEND node_list "${prefix}${node}${suffix}")
          endforeach()
        endforeach()
      endif()
      string(REGEX MATCH [[ core="([0-9]+)"]] _ "${line}")
      set(cores ${CMAKE_MATCH_1})
    endforeach()
    list(LENGTH node_list nodes)
    if(nodes EQUAL 0 OR NOT cores OR NOT network)
      message(FATAL_ERROR "${platform}: no <cluster> with a prefix, suffix, radical and "
                          "cores, or no <prop id=\"network\">")
    endif()
    list(JOIN node_list "\n" node_list)
    file(WRITE ${PROJECT_BINARY_DIR}/nodes/${name} "${node_list}\n")
    string(APPEND cluster_table "${name}\t${nodes}\t${cores}\t${platform}\t${network}\n")
    list(APPEND cluster_names ${name})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${platform})
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/clusters "${cluster_table}")
  list(JOIN cluster_names ", " cluster_names_text)
  # Every script that starts a simulated job runs it on the cluster that
  # CLUSTER names, and places its ranks as launchers do by default: they
  # fill a node's cores before the next node. PPN=K puts K on each node
  # instead. The host file of each placement is written once, into
  # BUILD/hosts/CLUSTER, one line a rank.
  set(launch_setup [=[
cluster=${CLUSTER:-default}
IFS=$'\t' read -r _ nodes cores platform _ <<<"$(awk -F '\t' -v name="$cluster" '$1 == name' @PROJECT_BINARY_DIR@/clusters)"
if [ -z "$platform" ]; then
  echo "${0##*/}: CLUSTER must be one of @cluster_names_text@, not '$cluster'" >&2
  exit 2
fi
ppn=${PPN:-$cores}
if ! [[ $ppn =~ ^[1-9][0-9]{0,5}$ ]] || ((ppn > cores)); then
  echo "${0##*/}: PPN must be a whole number from 1 to $cores, not '$ppn'" >&2
  exit 2
fi
if ! [[ $nproc =~ ^[1-9][0-9]{0,9}$ ]] || ((nproc > ppn * nodes)); then
  echo "${0##*/}: NPROC must be from 1 to $((ppn * nodes)) with PPN=$ppn ($nodes nodes of $cores cores), not '$nproc'" >&2
  exit 2
fi
hosts=@PROJECT_BINARY_DIR@/hosts/$cluster/$ppn-$nproc
# Written to a file of this process's own, then renamed: jobs run side by
# side.
if [ ! -f "$hosts" ]; then
  mkdir -p "${hosts%/*}"
  head -n $(((nproc + ppn - 1) / ppn)) @PROJECT_BINARY_DIR@/nodes/"$cluster" |
    awk -v ppn="$ppn" -v n="$nproc" '{ for (i = 0; i < ppn && placed < n; i++) { print; placed++ } }' >"$hosts.$$"
  if [ "$(wc -l <"$hosts.$$")" -ne "$nproc" ] || ! mv -f "$hosts.$$" "$hosts"; then
    rm -f "$hosts.$$"
    echo "${0##*/}: cannot write the host file $hosts" >&2
    exit 1
  fi
fi
# SimGrid updates the network's shares in a recursion as deep as the chain of
# messages that share links: on a large torus, past the usual 8 MiB stack.
ulimit -S -s 1048576 2>/dev/null || ulimit -S -s "$(ulimit -H -s)"
estimate=$(awk -v n="$nproc" -v nodes="$nodes" 'BEGIN { printf "%d", @simulated_4096@ * @per_doubling@ ^ (log(n / 4096) / log(2)) + nodes / @nodes_a_second@ }')
if ((estimate > 10)); then
  echo "${0##*/}: simulating $nproc processes: SimGrid @simgrid_version@ takes about $estimate s" >&2
  # Until the job ends, the time elapsed: in place on a terminal, else a line
  # a minute. The counter reads a pipe that the job holds open, and stops at
  # its end, when the job's last process has exited.
  exec {job}> >(
    elapsed=0
    while :; do
      read -r -t 1
      (($? > 128)) || break
      elapsed=$((elapsed + 1))
      # On a terminal the cursor goes back, so that the job's line
      # overwrites the count.
      if [ -t 2 ] && ((elapsed % 10 == 0)); then
        printf '%s: %d s elapsed\r' "${0##*/}" $elapsed >&2
      elif ((elapsed % 60 == 0)); then
        echo "${0##*/}: $elapsed s elapsed" >&2
      fi
    done
  )
fi]=])
  # What a simulation of 4096 processes takes on a 2.4 GHz EPYC core, in
  # seconds, and how many times more each doubling past it takes: SimGrid
  # 3.32 spends the time finishing communications, SimGrid 4 less of it.
  # Reading the platform adds a second for every 36000 nodes of a cluster,
  # 4.4 s for Fugaku's.
  string(REGEX MATCH "SimGrid version ([0-9]+\\.[0-9]+)" _ "${launcher_version}")
  set(simgrid_version ${CMAKE_MATCH_1})
  if(simgrid_version VERSION_LESS 4)
    set(simulated_4096 2.7)
    set(per_doubling 5.5)
  else()
    set(simulated_4096 1.6)
    set(per_doubling 2.3)
  endif()
  set(nodes_a_second 36000)
  string(CONFIGURE "\n${launch_setup}" launch_setup @ONLY)
  # The model: the platform and how SMPI charges for messages. Every job on
  # the simulated cluster runs with it.
  set(smpi_model
      -platform [[$platform]]
      # The platform's figures are the cluster's own, MPI's software on
      # each message included: SMPI's default latency and bandwidth
      # factors, fitted on another machine (TACC's Stampede), would scale
      # them. Its per-message overheads (smpi/os, smpi/or) stay 0, since
      # SimGrid 4.0 does not charge them inside its barrier.
      --cfg=smpi/lat-factor:0:1 --cfg=smpi/bw-factor:0:1
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
  set(launch_preflags
      ${smpi_model} -hostfile [[$hosts]]
      # What Open MPI's tuned collectives choose for one double at a
      # power-of-two count (from 8 processes on for the reduction): a
      # binomial-tree reduction and a recursive-doubling barrier.
      --cfg=smpi/reduce:binomial --cfg=smpi/barrier:ompi_recursivedoubling)
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

# write_launcher(FILE USAGE SETUP WORDS...): a script that runs WORDS, within
# the time limit; a word $NAME stands for the script's variable NAME, and
# ${options[@]} for launcher options given before --. USAGE is its usage line
# after its name, and SETUP its first lines, which set the variables from its
# arguments.
function(write_launcher file usage setup)
  set(command "exec")
  if(launch_limit)
    string(APPEND command " ${launch_limit}")
  endif()
  foreach(word IN LISTS ARGN)
    if(word MATCHES [[^\$[a-z]+$|^\$\{options\[@\]\}$]])
      string(APPEND command " \"${word}\"")
    else()
      string(REPLACE "'" [['\'']] word "${word}")
      string(APPEND command " '${word}'")
    endif()
  endforeach()
  file(GENERATE OUTPUT ${file} CONTENT "#!/usr/bin/env bash
# Written by CMake from what it found of the MPI.
usage() {
  echo \"usage: $0 ${usage}\" >&2
  exit 2
}
${setup}${launch_setup}
${command} \"$@\"
" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# Setup lines for a launcher script that takes launcher options before a
# --: its arguments from the second on, when the second begins with a dash,
# go into options up to the --, and at least $needed must follow it.
set(take_options [=[
nproc=$1
shift
options=()
if [[ $1 == -* ]]; then
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  [ $# -gt $needed ] || usage
  shift
fi]=])

# The same command for scripts, as BUILD/launch: launcher options given
# before -- come after the build's own, and win.
launcher_words(words [[$nproc]] [[${options[@]};$program]])
write_launcher(${PROJECT_BINARY_DIR}/launch "NPROC [LAUNCHER-OPTION... --] PROGRAM [ARGUMENTS...]" "
# Starts PROGRAM as a job of NPROC processes, as midquad's tests do.
[ $# -ge 2 ] || usage
needed=1
${take_options}
program=$1
shift" ${words})
