"""Where a calibration's jobs run, and how they start: inside a Slurm
allocation through srun; on the hosts of a host file (HOSTS) through the
build's launcher; on this one machine; or on a simulated cluster, whose
platform stands in for a real machine. What the cluster states of itself,
its nodes, their cores and its switches, comes from the same place; the
layout's files are read by calibrate/layout.py.

A job places PPN processes on each of its nodes, in the order of the nodes,
with each launcher's own flag: srun's --ntasks-per-node, Hydra's -ppn,
Open MPI's --map-by ppr:K:node."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from calibrate import layout
from smpi import platforms

LIMIT = 120  # seconds a job may take, unless MPIEXEC_TIMEOUT says otherwise
SLURM_MPI = {"openmpi": "pmix", "mpich": "pmi2"}  # srun's plugin for each MPI


class Failed(Exception):
    """A job that did not end as it should, or a cluster that cannot be
    used; the message is one line."""


def read_file(path, what):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as error:
        raise Failed("cannot read the %s file %s: %s" % (what, path, error.strerror
                                                          if isinstance(error, OSError)
                                                          else error))


class Retry(Failed):
    """A job that failed within its limit."""


class Cluster:
    """The nodes that jobs may use and what the cluster states of them.
      where     "slurm", "hosts", "machine" or "simulated"
      nodes     the nodes jobs may use, in the order jobs take them
      cores     processes a full node runs
      machine   {node: leaf switch} of the whole machine, in order: the
                partition's nodes, or the host file's, or the topology's
      said      how each of these was found, a line each
      mpi       the build's MPI and its version, "openmpi 4.1.4"
    """

    def __init__(self, build, settings, environment):
        self.build, self.settings = build, settings
        self.env = environment
        kind = settings["mpi"]
        self.mpi = ("%s %s" % (kind, settings.get("mpi_version", ""))).strip()
        self.said = []
        self.jobs = 0  # jobs started, which number the measurements
        self.limit = int(environment.get("MPIEXEC_TIMEOUT") or LIMIT)
        topology_file = environment.get("TOPOLOGY")
        topology = None
        if topology_file:
            topology = layout.read_topology(read_file(topology_file, "TOPOLOGY"),
                                            topology_file)
            self.said.append("the switches from %s" % topology_file)
        hosts_file = environment.get("HOSTS")
        if kind == "smpi":
            self.find_simulated(environment)
        elif hosts_file:
            self.find_hosts(hosts_file)
        elif environment.get("SLURM_JOB_ID") and shutil.which("srun"):
            self.find_slurm()
            if topology is None:
                topology = self.slurm_topology()
        else:
            self.where = "machine"
            self.nodes = [socket.gethostname()]
            self.cores = os.cpu_count() or 1
            self.all_nodes = list(self.nodes)
            self.said.append("one machine, %s, of %d cores: no Slurm allocation and no "
                             "HOSTS, so the figures are those inside a node only"
                             % (self.nodes[0], self.cores))
        if topology is None:
            topology = {"": list(self.all_nodes)}
            if len(self.all_nodes) > 1:
                self.said.append("no layout stated (scontrol show topology, "
                                 "SLURM_TOPOLOGY_ADDR or TOPOLOGY=FILE): one switch")
        layout.check_allocation(topology, self.nodes, topology_file or "the topology")
        self.topology = topology
        self.machine = {}
        for node in self.all_nodes + [n for nodes in topology.values() for n in nodes]:
            self.machine.setdefault(node, layout.leaf_of(topology, node) or "")

    def find_hosts(self, path):
        if self.settings["mpi"] not in ("mpich", "openmpi"):
            raise Failed("HOSTS is turned into MPICH's or Open MPI's host file, not %s's: "
                         "calibrate inside a Slurm allocation instead" % self.mpi)
        hosts = layout.read_hosts(read_file(path, "HOSTS"), path)
        self.where = "hosts"
        self.nodes = [host for host, _ in hosts]
        slots = [s for _, s in hosts if s]
        self.cores = min(slots) if slots else 1
        self.all_nodes = list(self.nodes)
        self.said.append("%d hosts of %s, %d processes a full one (%s)"
                         % (len(self.nodes), path, self.cores,
                            "its fewest slots" if slots else "no slots given"))

    def find_slurm(self):
        self.where = "slurm"
        self.nodes = layout.expand(self.env.get("SLURM_JOB_NODELIST", ""))
        counts = []
        for part in self.env.get("SLURM_JOB_CPUS_PER_NODE", "").split(","):
            match = re.fullmatch(r"(\d+)(?:\(x\d+\))?", part)
            if match:
                counts.append(int(match.group(1)))
        self.cores = min(counts) if counts else 1
        self.all_nodes = list(self.nodes)
        # A node's CPUs beyond the allocation's share of it are not the
        # job's to run on: full nodes are what the allocation holds.
        cpus = [int(c) for c in self.ask(["sinfo", "-h", "-N", "-n", ",".join(self.nodes),
                                          "-o", "%c"]).split() if c.isdigit()]
        if cpus and min(cpus) > self.cores:
            self.said.append("the allocation holds %d of each node's %d CPUs: salloc "
                             "--exclusive measures whole nodes" % (self.cores, min(cpus)))
        partition = self.env.get("SLURM_JOB_PARTITION", "")
        listed = self.ask(["sinfo", "-h", "-N", "-p", partition, "-o", "%N"]) \
            if partition else ""
        for node in listed.split():
            if node not in self.all_nodes:
                self.all_nodes.append(node)
        self.said.insert(0, "Slurm job %s: %d nodes of %d CPUs, of partition %s's %d"
                         % (self.env["SLURM_JOB_ID"], len(self.nodes), self.cores,
                            partition or "(none)", len(self.all_nodes)))

    def ask(self, command):
        """What a Slurm command prints, or "" where it fails."""
        try:
            return subprocess.run(command, capture_output=True, text=True, timeout=30,
                                  check=True).stdout
        except (OSError, subprocess.SubprocessError):
            return ""

    def slurm_topology(self):
        """The switches as Slurm states them, without root: scontrol, or
        else each task's SLURM_TOPOLOGY_ADDR."""
        text = self.ask(["scontrol", "show", "topology"])
        if "SwitchName=" in text:
            self.said.append("the switches from scontrol show topology")
            return layout.read_topology(text, "scontrol show topology")
        addresses = {}
        for line in self.roll_call():
            name, _, address = line.partition(" ")
            if address.strip():
                addresses[name] = address.strip()
        if len(addresses) == len(self.nodes) and "." in "".join(addresses.values()):
            self.said.append("the switches from each task's SLURM_TOPOLOGY_ADDR")
            return layout.from_topology_addresses(addresses)
        return None

    def find_simulated(self, environment):
        path = environment.get("CLUSTER", "default")
        self.truth = platforms.Platform(platforms.platform_file(path))
        self.where = "simulated"
        self.cores = self.truth.cores
        self.all_nodes = list(self.truth.names)
        self.nodes = list(self.truth.names)
        self.said.append("a simulated machine, %s: %d nodes of %d cores; its figures "
                         "are measured, not read" % (self.truth.path, self.truth.nodes,
                                                     self.cores))

    def pick(self, count):
        """The nodes of a calibration of few nodes: on a simulated machine,
        as few as a real allocation has, picked from the layout; elsewhere
        all of the allocation's."""
        if self.where != "simulated":
            return list(self.nodes)
        return layout.pick(self.topology, self.nodes, count)

    def roll_call(self, nodes=None):
        """Each node's name and its SLURM_TOPOLOGY_ADDR (Slurm) as "NAME
        ADDRESS" lines, from a job of one process a node: a node that does not
        answer within the limit is named."""
        nodes = nodes or self.nodes
        if self.where != "slurm":
            return ["%s " % n for n in nodes]
        out = self.start(nodes, 1, ["sh", "-c",
                                    'echo "$SLURMD_NODENAME ${SLURM_TOPOLOGY_ADDR:-}"'],
                         mpi=False, limit=min(self.limit, 60))
        return out.splitlines()

    def start(self, nodes, ppn, program, mpi=True, limit=None):
        """Runs PROGRAM (a list) as a job of PPN processes on each of NODES;
        returns its standard output. A job that outlives the limit is ended,
        all of it, and named with the nodes that did not answer; one that
        fails is tried once more, since a launcher's start can fail now and
        then on a busy cluster, and named if it fails again."""
        try:
            return self.start_once(nodes, ppn, program, mpi, limit)
        except Retry as failure:
            print("calibrate: %s; trying it once more" % failure, file=sys.stderr)
            try:
                return self.start_once(nodes, ppn, program, mpi, limit)
            except Retry as again:
                # A node that cannot start its part fails the job at once,
                # without a time limit to wait out: find it alone.
                silent = self.silent(nodes) if len(nodes) > 1 else []
                raise Failed("%s%s" % (again, "; %s did not answer alone"
                                       % layout.compress(silent) if silent else ""))

    def start_once(self, nodes, ppn, program, mpi, limit):
        self.jobs += 1
        limit = limit or self.limit
        nproc = ppn * len(nodes)
        with tempfile.TemporaryDirectory() as folder:
            hosts = os.path.join(folder, "hosts")
            launch = os.path.join(self.build, "launch")
            kind = self.settings["mpi"]
            env = dict(self.env)
            if self.where == "slurm":
                command = ["srun", "-N", str(len(nodes)), "-n", str(nproc),
                           "--ntasks-per-node=%d" % ppn, "-w", ",".join(nodes),
                           "--kill-on-bad-exit=1"]
                if mpi and "SLURM_MPI_TYPE" not in env and kind in SLURM_MPI:
                    command.append("--mpi=" + SLURM_MPI[kind])
                command = ["timeout", "-k", "10", str(limit)] + command + program
            else:
                env["MPIEXEC_TIMEOUT"] = str(limit)
                options = []
                if self.where == "hosts":
                    with open(hosts, "w") as f:
                        f.write(layout.write_hosts(nodes, kind, ppn))
                    options = {"mpich": ["-f", hosts, "-ppn", str(ppn)],
                               "openmpi": ["--hostfile", hosts, "--map-by",
                                           "ppr:%d:node" % ppn]}[kind]
                elif self.where == "simulated":
                    with open(hosts, "w") as f:
                        f.write("".join(n + "\n" for n in nodes for _ in range(ppn)))
                    options = ["-platform", self.truth.path, "-hostfile", hosts]
                    env["CLUSTER"] = self.truth.path
                command = [launch, str(nproc)] + (options + ["--"] if options else []) \
                    + program
                if self.where != "simulated":
                    # The launcher's own check of the time limit, and a second
                    # one in case the launcher itself hangs.
                    command = ["timeout", "-k", "10", str(limit + 30)] + command
            started = time.monotonic()
            try:
                done = subprocess.run(command, capture_output=True, text=True, env=env,
                                      stdin=subprocess.DEVNULL)
            except OSError as error:
                raise Failed("cannot start %s: %s" % (command[0], error.strerror))
        if done.returncode == 0:
            return done.stdout
        what = "%s on %s, %d a node" % (os.path.basename(program[0]),
                                        layout.compress(nodes), ppn)
        # Each launcher says in its own words that it ended a job at its
        # limit; the clock says it for all of them.
        if time.monotonic() - started >= limit:
            silent = self.silent(nodes) if len(nodes) > 1 else nodes
            raise Failed("%s did not end within %d s: %s did not answer"
                         % (what, limit, layout.compress(silent) if silent
                            else "no node failed alone, the job as a whole"))
        last = (done.stderr.strip().splitlines() or ["(nothing on standard error)"])[-1]
        raise Retry("%s failed with exit status %d: %s" % (what, done.returncode, last))

    def silent(self, nodes):
        """Those of NODES that do not run a job of one process alone within
        a short limit."""
        found = []
        for node in nodes:
            try:
                self.start_once([node], 1, [os.path.join(self.build, "midquad")], True,
                                min(self.limit, 30))
            except Failed:
                found.append(node)
        return found
