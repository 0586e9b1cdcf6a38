#!/usr/bin/env python3
"""Measures a cluster with the build's MPI, on the nodes that the user has,
and writes what it measured (CSV) and a SimGrid platform made from it alone.

    calibrate/measure.py BUILD FOLDER

BUILD is a build of midquad (its launch.conf names the MPI); FOLDER gets
NAME.csv and NAME.xml, NAME the cluster's (Slurm's cluster name, the host
file's, this machine's or the simulated platform's) and the MPI's. Prints the
platform's path, nothing else on standard output; progress goes to standard
error. jobs.py says where the jobs run; calibrate/platform_from_csv.py turns the CSV
into the platform, and rebuilds it from the CSV alone. Each figure, with its
spread:
  latency     an 8-byte message, warm, as OSU's osu_latency times it: inside
              a node, between two nodes under one switch, between switches
  contention  the same while every process of a node sends at once
  first       the first message between two processes that had not spoken
  printed     the program's Time as printed, at each power of two of the
              nodes, one process a node and full nodes, a job each
  warm        the same calls repeated warm (bench's midquad_warm), its median
A partial calibration writes nothing.
"""
import csv
import datetime
import glob
import os
import subprocess
import sys
import tempfile

# The project root, not this folder: the package is named as it is.
sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from calibrate import jobs, layout, platform_from_csv as platform  # noqa: E402
from smpi import platforms, simulate  # noqa: E402
from timeline import records  # noqa: E402

CALLS = 1000  # round trips a repeat
REPEATS = 5  # repeats a pair, in a job
PAIR_JOBS = 3  # jobs of each distance's pairs
TIME_JOBS = 11  # jobs of the program at each size: its median is what a user sees
WARM_JOBS = 3  # jobs of the program's calls repeated warm


def time_jobs(cluster):
    """The jobs of the program and of its warm calls at each size: one of
    each on a simulated machine, where every job gives the same Time."""
    return (1, 1) if cluster.where == "simulated" else (TIME_JOBS, WARM_JOBS)


plural = platform.plural


def progress(text):
    print("calibrate: " + text, file=sys.stderr, flush=True)


def settings(build):
    try:
        with open(os.path.join(build, "launch.conf")) as f:
            return dict((line.strip().split(" ", 1) + [""])[:2] for line in f
                        if line.strip() and not line.startswith("#"))
    except OSError as error:
        raise jobs.Failed("%s is not a build of midquad: %s" % (build, error.strerror))


def probe(cluster, nodes, ppn, arguments):
    """The probe's pairs, {(rank, rank): [us, ...]}, and its ranks' hosts,
    checked against the placement asked for: PPN a node, in NODES' order."""
    out = cluster.start(nodes, ppn, [os.path.join(cluster.build, "midquad_probe")] + arguments)
    pairs, hosts = {}, {}
    for line in out.splitlines():
        words = line.split()
        if words[:1] == ["pair"]:
            pairs[(int(words[1]), int(words[2]))] = [float(w) for w in words[3:]]
        elif words[:1] == ["host"]:
            hosts[int(words[1])] = words[2]
        elif words[:1] == ["first"]:
            pairs["first"] = [float(words[1]), float(words[2])]
    if not pairs:
        raise jobs.Failed("midquad_probe printed no figures on %s:\n%s"
                          % (layout.compress(nodes), out))
    return pairs, hosts


def port_rate():
    """An InfiniBand port's rate as this machine states it, in Gb/s, and
    where: /sys/class/infiniband/DEVICE/ports/N/rate reads "100 Gb/sec (4X
    EDR)" without root."""
    for path in sorted(glob.glob("/sys/class/infiniband/*/ports/*/rate")):
        try:
            with open(path) as f:
                words = f.read().split()
            return float(words[0]), path
        except (OSError, ValueError, IndexError):
            continue
    return None, None


class Calibration:
    def __init__(self, cluster):
        self.cluster = cluster
        self.date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        self.rows = []
        self.calls = 100 if cluster.where == "simulated" else CALLS

    def add(self, figure, distance, nodes, ppn, value, unit, source):
        self.rows.append({"figure": figure, "distance": distance, "nodes": len(nodes),
                          "ppn": ppn, "job": self.cluster.jobs, "where": layout.compress(nodes), "value": value,
                          "unit": unit, "mpi": self.cluster.mpi, "date": self.date,
                          "source": source})

    def distance(self, a, b):
        if a == b:
            return "node"
        machine = self.cluster.machine
        return "switch" if machine[a] == machine[b] else "core"

    def layout_rows(self):
        c = self.cluster
        statement = "; ".join(c.said)
        for node, leaf in c.machine.items():
            self.add("node", leaf, [node], c.cores, c.cores, "cores", statement)
        rate, path = port_rate()
        if rate and c.where != "simulated":
            self.add("port rate", "", [], 1, rate, "Gb/s", path)

    def pairs(self, nodes, ppn, pairs, figure, jobs_count):
        """Runs the probe's PAIRS (rank pairs; a list of groups) on NODES;
        a row a pair a repeat."""
        groups = "/".join("+".join("%d-%d" % p for p in group) for group in pairs)
        for _ in range(jobs_count):
            found, hosts = probe(self.cluster, nodes, ppn,
                                 ["pairs", groups, str(self.calls), str(REPEATS)])
            for (a, b), values in sorted(found.items()):
                ends = [nodes[a // ppn], nodes[b // ppn]]
                self.check_placed(hosts, nodes, ppn)
                distance = self.distance(*ends)
                for value in values:
                    self.add(figure, distance, sorted(set(ends), key=nodes.index), ppn,
                             value, "us", "midquad_probe pairs, %d round trips of 8 bytes "
                             "after a warm-up, half their mean; %s"
                             % (self.calls, "%d pairs at once" % len(pairs[0])
                                if len(pairs[0]) > 1 else "a pair at a time"))

    def check_placed(self, hosts, nodes, ppn):
        """The ranks must sit where the launcher was asked to put them: PPN
        a node, in NODES' order (a host's name may be the node's name with
        its domain)."""
        names = self.cluster.host_names
        for rank, host in hosts.items():
            want = nodes[rank // ppn]
            if host.split(".")[0] != names.get(want, want).split(".")[0]:
                raise jobs.Failed("the launcher put rank %d on %s, not %s: it placed "
                                  "the ranks otherwise than asked" % (rank, host, want))

    def first(self, nodes, ppn, pair):
        for _ in range(PAIR_JOBS):
            found, _ = probe(self.cluster, nodes, ppn, ["first", "%d-%d" % pair,
                                                        str(self.calls)])
            first, warm = found["first"]
            ends = [nodes[pair[0] // ppn], nodes[pair[1] // ppn]]
            self.add("first", self.distance(*ends), sorted(set(ends), key=nodes.index),
                     ppn, first, "us", "midquad_probe first: the first message between two "
                     "processes, one way (a warm one took %.3f us)" % warm)

    def times(self, nodes, ppn):
        c = self.cluster
        nproc = len(nodes) * ppn
        with tempfile.TemporaryDirectory() as folder:
            line = os.path.join(folder, "line")
            for _ in range(time_jobs(c)[0]):
                out = c.start(nodes, ppn, [os.path.join(c.build, "midquad")])
                with open(line, "w") as f:
                    f.write(out)
                try:
                    us = records.result_time_us(line, nproc)
                except records.Refused as error:
                    raise jobs.Failed("the program's line on %s: %s"
                                      % (layout.compress(nodes), error))
                self.add("printed", "", nodes, ppn, us, "us", "the program's Time as printed")
        for _ in range(time_jobs(c)[1]):
            out = c.start(nodes, ppn, [os.path.join(c.build, "midquad_warm")]).split()
            try:
                warm = float(out[1])
            except (IndexError, ValueError):
                raise jobs.Failed("midquad_warm printed %r" % " ".join(out))
            self.add("warm", "", nodes, ppn, warm, "us", "midquad_warm: the program's barrier, "
                     "reduction and barrier 1000 times in one job, the median after the first")

    def measure(self, count):
        c = self.cluster
        nodes = c.pick(count)
        progress("; ".join(c.said))
        progress("measuring %s with %s, %s a full node"
                 % (layout.compress(nodes), c.mpi, plural(c.cores, "process")))
        c.host_names = {}
        for line in c.roll_call(nodes):
            name, _, _ = line.partition(" ")
            if name not in nodes:
                raise jobs.Failed("a task on %s answered the roll call, not one of %s"
                                  % (name, layout.compress(nodes)))
        c.host_names = self.host_names(nodes)
        self.layout_rows()
        a = nodes[0]
        if c.cores >= 2:
            progress("an 8-byte message inside %s" % a)
            self.pairs([a], 2, [[(0, 1)]], "latency", PAIR_JOBS)
        if len(nodes) >= 2:
            progress("an 8-byte message between nodes, pair by pair")
            between = [[(i, j)] for i in range(len(nodes)) for j in range(i + 1, len(nodes))]
            self.pairs(nodes, 1, between[:3 * len(nodes)], "latency", PAIR_JOBS)
            b = nodes[1]
            if c.cores >= 2:
                progress("%d messages at once between %s and %s" % (c.cores, a, b))
                self.pairs([a, b], c.cores, [[(i, c.cores + i) for i in range(c.cores)]],
                           "contention", 1)
            progress("a first message between nodes")
            if len(nodes) >= 3:
                self.first(nodes[:3], 1, (0, 1))
            elif c.cores >= 2:
                self.first([a, b], 2, (0, 2))
        if c.cores >= 3:
            progress("a first message inside %s" % a)
            self.first([a], 3, (0, 1))
        elif len(nodes) < 2:
            progress("no first message measured: it takes a third process, and %s "
                     "has %s" % (a, plural(c.cores, "core")))
        count = 1
        while count <= len(nodes):
            for ppn in sorted({1, c.cores}):
                progress("the program on %s, %d a node: %s, and %s of its calls warm"
                         % ((plural(count, "node"), ppn) +
                            tuple(plural(n, "job") for n in time_jobs(c))))
                self.times(nodes[:count], ppn)
            count *= 2

    def host_names(self, nodes):
        """Each node's host name, as MPI_Get_processor_name gives it: the
        probe's ranks say where they run."""
        ppn = 1
        if len(nodes) < 2:
            return {}
        pairs = "0-1"
        _, hosts = probe(self.cluster, nodes, ppn, ["pairs", pairs, "1", "1"])
        return {node: hosts.get(k, node) for k, node in enumerate(nodes)}


def simulated_name(cluster):
    """A model's name, or a platform file's without its folder and .xml."""
    return os.path.splitext(os.path.basename(cluster))[0] if platforms.is_file(cluster) \
        else cluster


def name(cluster):
    c = cluster
    base = {"slurm": c.env.get("SLURM_CLUSTER_NAME") or "slurm",
            "hosts": os.path.splitext(os.path.basename(c.env.get("HOSTS", "hosts")))[0],
            "machine": c.nodes[0],
            "simulated": simulated_name(c.env.get("CLUSTER", "default"))}[c.where]
    return "%s-%s" % (base, c.settings["mpi"])


def write_csv(rows, path):
    with open(path + ".part", "w", newline="") as f:
        writer = csv.DictWriter(f, platform.COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    os.replace(path + ".part", path)


def main(args):
    if len(args) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    build, folder = os.path.abspath(args[0]), args[1]
    cluster = jobs.Cluster(build, settings(build), dict(os.environ))
    calibration = Calibration(cluster)
    calibration.measure(3)
    os.makedirs(folder, exist_ok=True)
    base = os.path.join(folder, name(cluster))
    write_csv(calibration.rows, base + ".csv")
    platform.write(base + ".csv", base + ".xml")
    progress("%d figures in %s" % (len(calibration.rows), base + ".csv"))
    print(os.path.abspath(base + ".xml"))


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (jobs.Failed, layout.Refused, platform.Refused, simulate.Failed,
            subprocess.SubprocessError) as error:
        sys.exit("calibrate: %s; nothing written" % error)
