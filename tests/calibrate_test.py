#!/usr/bin/env python3
"""A calibration's pieces without a job: the platform made from a CSV
(its figures, the same text each time, readable by the platforms' reader,
its refusals), where the cluster's nodes come from with a host file, and
how the check picks pairs and names a slow node or link.

    tests/calibrate_test.py"""
import csv
import os
import sys
import tempfile
import unittest

sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from calibrate import check, jobs, layout  # noqa: E402
from calibrate import platform_from_csv as measured  # noqa: E402
from smpi import platforms  # noqa: E402


def row(figure, distance, where, value, ppn=1, unit="us"):
    return {"figure": figure, "distance": distance, "nodes": len(layout.expand(where)),
            "ppn": ppn, "job": 1, "where": where, "value": value, "unit": unit,
            "mpi": "openmpi 4.1.4", "date": "2026-12-09T00:00:00Z", "source": "a test"}


# Two switches of two nodes of 8 cores; a message costs 1.2 us under a
# switch (0.6 a link, less the bytes' 2 ns at 12 GB/s), 1.5 between switches
# (0.15 an uplink), 0.4 inside a node; 8 messages at once add 0.014 us.
ROWS = [row("node", s, n, 8, 8, "cores") for s, n in
        [("s0", "n1"), ("s0", "n2"), ("s1", "n3"), ("s1", "n4")]] + \
    [row("latency", "node", "n1", v, 2) for v in (0.39, 0.4, 0.41)] + \
    [row("latency", "switch", "n[1-2]", v) for v in (1.19, 1.2, 1.25)] + \
    [row("latency", "core", "n[1,3]", v) for v in (1.5, 1.5, 1.6)] + \
    [row("contention", "switch", "n[1-2]", 1.214, 8)]


def write(rows, path):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, measured.COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


class PlatformTest(unittest.TestCase):
    def test_figures(self):
        found, leaves = measured.figures(ROWS)
        wire = measured.WIRE_BYTES
        bandwidth = wire * 7 / 14.0  # bytes a ns: 7 more messages added 14 ns
        cases = [  # figure, value (ns, bytes a ns), a word of where it came from
            ("inside", 400.0, "median"),
            ("node bandwidth", bandwidth, "8 messages at once"),
            ("node link", (1200 - wire / bandwidth) / 2, "half the median"),
            ("uplink", 150.0, "between switches"),
            ("uplink bandwidth", 2 * bandwidth, "assumed"),
            ("cores", 8, "states"),
        ]
        for name, value, whence in cases:
            with self.subTest(name):
                self.assertAlmostEqual(found[name][0], value, places=6)
                self.assertIn(whence, found[name][1])
        self.assertEqual(leaves, {"s0": ["n1", "n2"], "s1": ["n3", "n4"]})

    def test_assumed(self):
        # One node alone: its links, bandwidth and uplinks are assumed.
        found, _ = measured.figures([r for r in ROWS if r["where"] in ("n1",)])
        for name in ("node link", "node bandwidth", "uplink"):
            with self.subTest(name):
                self.assertIn("assumed", found[name][1])
        self.assertEqual(found["node link"][0], 200.0)

    def test_contention_beyond_a_message(self):
        # 8 messages at once adding 10 us to a 1.2 us message is the cores'
        # doing, not the link's: the stated rate stands.
        rows = [r for r in ROWS if r["figure"] != "contention"] + \
            [row("contention", "switch", "n[1-2]", 11.2, 8)]
        found, _ = measured.figures(rows)
        self.assertIn("was not the link's", found["node bandwidth"][1])
        self.assertGreater(found["node link"][0], 0)

    def test_platform(self):
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "c.csv")
            write(ROWS, source)
            measured.write(source, os.path.join(folder, "a.xml"))
            measured.write(source, os.path.join(folder, "b.xml"))
            with open(os.path.join(folder, "a.xml")) as a, \
                    open(os.path.join(folder, "b.xml")) as b:
                self.assertEqual(a.read(), b.read())
            p = platforms.Platform(os.path.join(folder, "a.xml"))
            found, _ = measured.figures(measured.read(source))
            self.assertEqual((p.names, p.leaf_of, p.cores, p.measured_with),
                             (["n1", "n2", "n3", "n4"], [0, 0, 1, 1], 8, "openmpi 4.1.4"))
            for mine, theirs in [(p.inside, "inside"), (p.node_link, "node link"),
                                 (p.uplink, "uplink"), (p.node_bandwidth, "node bandwidth"),
                                 (p.uplink_bandwidth, "uplink bandwidth")]:
                self.assertAlmostEqual(mine, found[theirs][0], places=3)

    def test_refusals(self):
        header = ",".join(measured.COLUMNS)
        good = "node,s0,1,1,0,n1,8,cores,mpich 4.0.2,2026-12-09,a test"
        cases = [  # the file's text, the refusal
            ("figure,where\nnode,n1\n", "its columns are not"),
            (header + "\n" + good.replace(",8,", ",eight,") + "\n", "line 2: could not convert"),
            (header + "\n" + good.replace("node,", "speed,", 1) + "\n", "line 2: no figure 'speed'"),
            (header + "\n" + good.replace("node,", "latency,", 1) + "\n", "has no nodes"),
            ("\xff\xfe", "cannot read"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "c.csv")
            for text, refusal in cases:
                with self.subTest(refusal):
                    with open(path, "w", encoding="latin-1") as f:
                        f.write(text)
                    with self.assertRaisesRegex(measured.Refused, refusal):
                        measured.read(path)


class ClusterTest(unittest.TestCase):
    def test_hosts(self):
        cases = [  # host file, topology.conf, nodes, cores, {node: leaf}, or a refusal
            ("a:4\nb:2\n", None, ["a", "b"], 2, {"a": "", "b": ""}),
            ("a slots=4\nb slots=4\n", "SwitchName=s0 Nodes=a\nSwitchName=s1 Nodes=b,c\n",
             ["a", "b"], 4, {"a": "s0", "b": "s1", "c": "s1"}),
            ("a\nb\n", None, ["a", "b"], 1, {"a": "", "b": ""}),
            ("a\nb\n", "SwitchName=s0 Nodes=x,y\n", "places none of"),
            ("a\nb\n", "SwitchName=s0 Nodes=a\n", "b"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for hosts, topology, *want in cases:
                with self.subTest(hosts=hosts, topology=topology):
                    env = {"HOSTS": os.path.join(folder, "hosts")}
                    with open(env["HOSTS"], "w") as f:
                        f.write(hosts)
                    if topology:
                        env["TOPOLOGY"] = os.path.join(folder, "topology.conf")
                        with open(env["TOPOLOGY"], "w") as f:
                            f.write(topology)
                    if len(want) == 1:
                        with self.assertRaisesRegex(layout.Refused, want[0]):
                            jobs.Cluster(folder, {"mpi": "mpich"}, env)
                        continue
                    c = jobs.Cluster(folder, {"mpi": "mpich"}, env)
                    self.assertEqual((c.where, c.nodes, c.cores, c.machine),
                                     ("hosts", want[0], want[1], want[2]))

    def test_refusals(self):
        cases = [  # environment, the refusal
            ({"HOSTS": "/nonesuch"}, "cannot read the HOSTS file /nonesuch"),
            ({"TOPOLOGY": "/nonesuch"}, "cannot read the TOPOLOGY file /nonesuch"),
        ]
        for env, refusal in cases:
            with self.subTest(refusal):
                with self.assertRaisesRegex(jobs.Failed, refusal):
                    jobs.Cluster("/", {"mpi": "mpich"}, env)
        with self.assertRaisesRegex(jobs.Failed, "host file, not mpi's"):
            with tempfile.NamedTemporaryFile("w") as f:
                f.write("a\n")
                f.flush()
                jobs.Cluster("/", {"mpi": "mpi"}, {"HOSTS": f.name})


class Layout:
    """A cluster's layout, all the check's pairs and its verdicts read."""

    def __init__(self, machine):
        self.machine, self.where = machine, "hosts"


class CheckTest(unittest.TestCase):
    def test_pairs(self):
        two = {"a": "s0", "b": "s0", "c": "s1", "d": "s1"}
        cases = [  # {node: switch}, the pairs
            (two, [("a", "b"), ("c", "d"), ("a", "c"), ("b", "d")]),
            ({"a": "", "b": "", "c": ""}, [("a", "b"), ("b", "c"), ("c", "a")]),
            ({"a": "", "b": ""}, [("a", "b")]),
            ({"a": ""}, []),
        ]
        for machine, pairs in cases:
            with self.subTest(machine):
                c = check.Check(Layout(machine), None, [], None)
                self.assertEqual(c.pairs(list(machine)), pairs)

    def test_blame(self):
        pairs = [("a", "b"), ("c", "d"), ("a", "c"), ("b", "d")]
        cases = [  # the slow pairs and their ratios, what the check names
            ({}, []),
            ({("c", "d"): 30, ("a", "c"): 40}, ["the node c is slow with every partner (2 pairs)"]),
            # a is slow only through c, and a little with b: c is named, and
            # the pair a b alone.
            ({("c", "d"): 40, ("a", "c"): 40, ("a", "b"): 1.3},
             ["the node c is slow with every partner (2 pairs)",
              "the pair a b is slow alone: the way between them (a link)"]),
            ({("a", "c"): 3}, ["the pair a c is slow alone: the way between them (a link)"]),
            ({("a", "b"): 2, ("c", "d"): 3, ("a", "c"): 4, ("b", "d"): 5},
             ["the node %s is slow with every partner (2 pairs)" % n for n in "da"]),
        ]
        for slow, named in cases:
            with self.subTest(slow):
                c = check.Check(Layout({}), None, [], None)
                c.blame({p: slow.get(p) for p in pairs})
                self.assertEqual(c.named, named)
        c = check.Check(Layout({}), None, [], None)
        c.blame({("a", "b"): 2.0})
        self.assertEqual(c.named, ["the pair a b is slow with no other pair to tell which "
                                   "of the two, or their link"])


if __name__ == "__main__":
    unittest.main()
