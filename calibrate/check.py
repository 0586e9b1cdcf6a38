#!/usr/bin/env python3
"""Holds a cluster to its calibrated platform: the program's Time at each
power of two of the nodes that the user has, measured with the build's MPI
and predicted on the platform, and 8-byte messages between pairs of nodes
that the layout picks, a few a node, each against the calibrated figure for
its distance.

    calibrate/check.py BUILD PLATFORM SIMULATED-BUILD

BUILD is the build that runs the jobs (jobs.py says where); PLATFORM a
platform that calibrate/measure.py wrote, with its measurements beside it;
SIMULATED-BUILD a simulated build, which predicts. Prints the tables, then
what falls outside its band, on standard output; exits 0 when everything
lies within, 1 otherwise or where a node does not answer.

A figure's band is its spread (from its samples' first decile to their
last, over their median), the calibration's or the check's own, whichever
is wider, or FLOOR where both are smaller: a simulated machine's spread is
zero. Measured over predicted must lie within 1/(1 + band) and 1 + band,
or a Time within a microsecond of its prediction, the line's resolution.
Time is predicted twice, each in steps: the call itself, and each round of
its reduction (log2 of the processes):
  warm     the program's calls as SMPI simulates them on the platform, with
           the collectives of the MPI it was measured with, and for each
           step the calls' own software, which SMPI leaves out: what the
           calibration's warm Time spent beyond its simulation, a step's
           share of it, at the same node count or the largest below it
  printed  the first call, as the line prints it: the warm Time and, for
           each step, what the calibration's printed Time spent beyond its
           warm Time (connections made, pages first touched), a step's
           share, taken the same way
So at a node count that the calibration measured, a prediction is its
measurement made again; past them, an extrapolation from the largest.
A pair's figure is the fastest of its repeats, the calibration's the median
of its jobs' fastest, and its band their spread: noise only ever adds to a
message's time, a throttled link to every one. A pair that is slow where
its nodes' other pairs are not is a link; a node whose every pair is slow is
that node.
"""
import math
import os
import subprocess
import sys
import tempfile

sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from calibrate import jobs, layout, measure, platform_from_csv as measured  # noqa: E402
from smpi import platforms, simulate  # noqa: E402
from timeline import records  # noqa: E402

FLOOR = 0.5  # a message's time drifted up to a third in 20 minutes on the emulated cluster
PAIR_REPEATS = 5


def rounds(nproc):
    return math.ceil(math.log2(nproc)) if nproc > 1 else 0


class Check:
    def __init__(self, cluster, platform, rows, smpi_build):
        self.cluster, self.platform, self.rows = cluster, platform, rows
        self.smpi_build = smpi_build
        self.calls = 100 if cluster.where == "simulated" else measure.CALLS
        self.outside = []
        self.named = []  # the nodes and links found slow, said first
        self.simulations = {}

    def calibrated(self, figure, nodes, ppn):
        return [r["value"] for r in self.rows
                if r["figure"] == figure and r["nodes"] == nodes and r["ppn"] == ppn]

    def band(self, calibrated, checked):
        return max([FLOOR] + [measured.spread(v) for v in (calibrated, checked) if v])

    def nearest(self, figure, nodes, ppn):
        """The calibration's samples of FIGURE at NODES, or at the nearest
        node count it measured with PPN (full nodes: its own full nodes)."""
        sizes = sorted({r["nodes"] for r in self.rows if r["figure"] == figure and
                        r["ppn"] == ppn})
        if not sizes:
            return []
        size = min(sizes, key=lambda s: (abs(math.log2(s) - math.log2(nodes)), -s))
        return self.calibrated(figure, size, ppn)

    def shares(self, nodes, ppn):
        """What the calibration's jobs at PPN spent beyond what SMPI
        simulates, in us a step (the call itself, and each round of its
        reduction): (the calls' own software, in their warm Time; the first
        call's connections and first touches, in the printed Time beyond the
        warm). At the NODES count that the calibration measured, its own;
        past it, the largest count's measured. The software's share is what
        the warm Time differs from SMPI's, less where SMPI's messages cost
        more than the calls did; the first call's is no less than nothing:
        a simulated machine's lines, printed to the microsecond or its
        tenth, can say less."""
        sizes = sorted({r["nodes"] for r in self.rows if r["figure"] == "warm" and
                        r["ppn"] == ppn})
        if not sizes:
            return 0.0, 0.0
        size = nodes if nodes in sizes else max(s for s in sizes if s <= nodes) \
            if sizes[0] <= nodes else sizes[0]
        steps = rounds(size * ppn) + 1
        warm = [r for r in self.rows if r["figure"] == "warm" and r["nodes"] == size and
                r["ppn"] == ppn]
        warm_us = measured.median([r["value"] for r in warm])
        software = (warm_us - self.simulated(layout.expand(warm[0]["where"]), ppn)) / steps
        printed = self.calibrated("printed", size, ppn)
        first = (measured.median(printed) - warm_us) / steps if printed else 0.0
        return software, max(0.0, first)

    def simulated(self, nodes, ppn):
        """SMPI's Time of a job on NODES, PPN a node, on the platform, in
        us; each once."""
        key = (tuple(nodes), ppn)
        if key not in self.simulations:
            self.simulations[key] = self.predict(nodes, ppn)
        return self.simulations[key]

    def predict(self, nodes, ppn):
        """The warm Time on the platform, in us, of a job on NODES."""
        with tempfile.TemporaryDirectory() as folder:
            hosts = os.path.join(folder, "hosts")
            with open(hosts, "w") as f:
                f.write("".join(n + "\n" for n in nodes for _ in range(ppn)))
            trace = os.path.join(folder, "trace.paje")
            line = os.path.join(folder, "line")
            with open(line, "w") as out:
                status, _, err = simulate.job(
                    [os.path.join(self.smpi_build, "launch"), str(len(nodes) * ppn),
                     "-platform", self.platform.path, "-hostfile", hosts, "-trace",
                     "-trace-file", trace, "--cfg=tracing/precision:9", "--",
                     os.path.join(self.smpi_build, "midquad")],
                    {"CLUSTER": self.platform.path}, out)
            if status != 0:
                raise simulate.Failed("the prediction on %s failed:\n%s"
                                      % (layout.compress(nodes), err))
            try:
                return records.read_trace(trace).clock_stop
            except records.Refused as error:
                raise simulate.Failed("the prediction's trace: %s" % error)

    def judge(self, what, value, predicted, band, resolution=0.0):
        """Whether VALUE lies within BAND of PREDICTED, or within the
        RESOLUTION to which it is printed."""
        ratio = value / predicted if predicted > 0 else float("inf") if value else 1.0
        within = 1 / (1 + band) <= ratio <= 1 + band or abs(value - predicted) <= resolution
        if not within:
            self.outside.append("%s: %.4g us against %.4g predicted (ratio %.2f, band %.0f%%)"
                                % (what, value, predicted, ratio, band * 100))
        return ratio, within

    def times(self, nodes):
        c = self.cluster
        jobs_count = measure.time_jobs(c)[0]
        out = ["Time in us: measured, the median of %s (and their spread), against "
               "predicted%s" % (measure.plural(jobs_count, "job"), "" if jobs_count > 1 else
                                ": a simulated machine gives every job the same Time"),
               "| nodes | per node | printed | spread | predicted | ratio | warm | spread "
               "| predicted | ratio | calibrated | within |",
               "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|"]
        count = 1
        while count <= len(nodes):
            for ppn in sorted({1, c.cores}):
                chosen = nodes[:count]
                measure.progress("the program on %s, %d a node"
                                 % (measure.plural(count, "node"), ppn))
                probe = measure.Calibration(c)
                probe.times(chosen, ppn)
                printed = [r["value"] for r in probe.rows if r["figure"] == "printed"]
                warm = [r["value"] for r in probe.rows if r["figure"] == "warm"]
                software, first = self.shares(count, ppn)
                steps = rounds(count * ppn) + 1
                warm_predicted = max(0.0, self.simulated(chosen, ppn) + software * steps)
                printed_predicted = warm_predicted + first * steps
                where = "%s, %d a node" % (measure.plural(count, "node"), ppn)
                # Time is judged as the line prints it, to the microsecond.
                p_ratio, p_in = self.judge("printed Time on " + where,
                                           measured.median(printed), printed_predicted,
                                           self.band(self.nearest("printed", count, ppn),
                                                     printed), 1.0)
                w_ratio, w_in = self.judge("warm Time on " + where, measured.median(warm),
                                           warm_predicted,
                                           self.band(self.nearest("warm", count, ppn), warm),
                                           1.0)
                out.append("| %d | %d | %.0f | %.2f | %.1f | %.2f | %.1f | %.2f | %.1f | %.2f "
                           "| %s | %s |" % (
                               count, ppn, measured.median(printed), measured.spread(printed),
                               printed_predicted, p_ratio, measured.median(warm),
                               measured.spread(warm), warm_predicted, w_ratio,
                               "yes" if self.calibrated("printed", count, ppn) else "no",
                               "yes" if p_in and w_in else "**no**"))
            count *= 2
        return out

    def pairs(self, nodes):
        """The pairs of the layout's choosing: each node with the next under
        its switch, and with its like under the next switch."""
        under = {}
        for node in nodes:
            under.setdefault(self.cluster.machine[node], []).append(node)
        chosen = []
        for members in under.values():
            for k, node in enumerate(members):
                if len(members) > 1:
                    chosen.append((node, members[(k + 1) % len(members)]))
        leaves = list(under.values())
        if len(leaves) > 1:
            for j, members in enumerate(leaves):
                other = leaves[(j + 1) % len(leaves)]
                for k, node in enumerate(members):
                    chosen.append((node, other[k % len(other)]))
        found = []
        for a, b in chosen:
            if a != b and (a, b) not in found and (b, a) not in found:
                found.append((a, b))
        return found

    def pair_table(self, nodes):
        c = self.cluster
        chosen = self.pairs(nodes)
        if not chosen:
            return []
        measure.progress("%s of nodes, one after another" % measure.plural(len(chosen), "pair"))
        ranks = {node: k for k, node in enumerate(nodes)}
        groups = "/".join("%d-%d" % (ranks[a], ranks[b]) for a, b in chosen)
        found, _ = measure.probe(c, nodes, 1, ["pairs", groups, str(self.calls),
                                             str(PAIR_REPEATS)])
        calibration = measure.Calibration(c)
        out = ["8-byte messages between pairs of nodes, in us: the fastest of %d repeats, "
               "against the calibration's for the pair's distance (the median of its "
               "jobs' fastest)" % PAIR_REPEATS,
               "| pair | distance | measured | calibrated | ratio | calibrated pair "
               "| within |", "|---|---|---:|---:|---:|---|---|"]
        slow = {}
        for a, b in chosen:
            values = found[(ranks[a], ranks[b])]
            distance = calibration.distance(a, b)
            reference = measured.fastest(self.rows, "latency", distance)
            if not reference:
                out.append("| %s %s | %s | %.3f | — | no | not calibrated |"
                           % (a, b, distance, min(values)))
                continue
            ratio, within = self.judge("the pair %s %s" % (a, b), min(values),
                                       measured.median(reference), self.band(reference, values))
            slow[(a, b)] = ratio if not within and ratio > 1 else None
            seen = layout.compress(sorted({a, b}, key=nodes.index))
            out.append("| %s %s | %s | %.3f | %.3f | %.2f | %s | %s |" % (
                a, b, distance, min(values), measured.median(reference), ratio,
                "yes" if any(r["where"] == seen for r in self.rows
                             if r["figure"] == "latency") else "no",
                "yes" if within else "**no**"))
        self.blame(slow)
        return out

    def blame(self, slow):
        """Names the nodes slow with every partner, then the pairs slow
        alone. SLOW is {pair: its ratio where it is slow, else None}. The
        node whose pairs are all slow, and slowest, is named first; its pairs
        are then explained, and a neighbour slow only through it is not."""
        partners = {}
        for pair in slow:
            for node in pair:
                partners.setdefault(node, []).append(pair)
        explained, bad = set(), []
        while True:
            found = []
            for node, pairs in partners.items():
                left = [p for p in pairs if p not in explained]
                if node not in bad and len(left) > 1 and all(slow[p] for p in left):
                    found.append((min(slow[p] for p in left), node))
            if not found:
                break
            node = max(found)[1]
            bad.append(node)
            explained |= set(partners[node])
            self.named.append("the node %s is slow with every partner (%d pairs)"
                              % (node, len(partners[node])))
        for (a, b), ratio in slow.items():
            if ratio and (a, b) not in explained:
                alone = len(partners[a]) > 1 and len(partners[b]) > 1
                self.named.append("the pair %s %s is slow %s" % (
                    a, b, "alone: the way between them (a link)" if alone else
                    "with no other pair to tell which of the two, or their link"))


def main(args):
    if len(args) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    build, smpi_build = os.path.abspath(args[0]), os.path.abspath(args[2])
    platform = platforms.Platform(platforms.platform_file(args[1]))
    rows = measured.read(os.path.splitext(args[1])[0] + ".csv")
    environment = dict(os.environ)
    if measure.settings(build)["mpi"] == "smpi":
        # The simulated machine that stands in for a real one.
        environment["CLUSTER"] = environment.get("MACHINE", "default")
    else:
        environment.pop("CLUSTER", None)
    cluster = jobs.Cluster(build, measure.settings(build), environment)
    check = Check(cluster, platform, rows, smpi_build)
    nodes = cluster.pick(4)
    measure.progress("; ".join(cluster.said))
    measure.progress("checking %s with %s against %s" % (layout.compress(nodes), cluster.mpi,
                                                          platform.path))
    cluster.host_names = {}
    cluster.roll_call(nodes)
    cluster.host_names = measure.Calibration(cluster).host_names(nodes)
    lines = check.times(nodes) + [""] + check.pair_table(nodes)
    print("\n".join(lines).rstrip("\n"))
    print()
    if check.outside:
        print("Outside its band (the wider spread of calibration and check, at least %.0f%%):"
              % (FLOOR * 100))
        for line in check.named + check.outside:
            print("- " + line)
        return 1
    print("Everything lies within its band (the wider spread of calibration and check, at "
          "least %.0f%%)."
          % (FLOOR * 100))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (jobs.Failed, layout.Refused, measured.Refused, platforms.Refused,
            simulate.Failed, subprocess.SubprocessError) as error:
        sys.exit("check: %s" % error)
