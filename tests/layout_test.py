#!/usr/bin/env python3
"""A cluster's layout (calibrate/layout.py): hostlists, topologies, host
files and the nodes that a calibration picks.

    tests/layout_test.py"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from calibrate import layout  # noqa: E402
from calibrate.layout import Refused  # noqa: E402

SCONTROL = """SwitchName=s0 Level=0 LinkSpeed=1 Nodes=n[1-4]
SwitchName=s1 Level=0 LinkSpeed=1 Nodes=n[5-8]
SwitchName=top Level=1 LinkSpeed=1 Nodes=n[1-8] Switches=s[0-1]
"""
CONF = """# two racks
switchname=r2 nodes=gpu[01-02],big
SWITCHNAME=r1 NODES=cpu[1-2] LinkSpeed=100   # under the core

SwitchName=core Switches=r[1-2]
"""


class LayoutTest(unittest.TestCase):
    def test_hostlists(self):
        cases = [  # hostlist, its names, compressed
            ("node[1-3,7],login[01-02],gpu5",
             "node1 node2 node3 node7 login01 login02 gpu5", None),
            ("r[1-2]n[1-2]", "r1n1 r1n2 r2n1 r2n2", "r1n[1-2],r2n[1-2]"),
            ("n[08-10]-ib,n[9-10]", "n08-ib n09-ib n10-ib n9 n10", None),
            ("a1 b,c", "a1 b c", "a1,b,c"),
            ("n[3,1-2,01,2-2]", "n3 n1 n2 n01 n2", "n[3,1-2,01,2]"),
            ("x[0-1]y7", "x0y7 x1y7", "x0y7,x1y7"),  # by the last number
        ]
        for hostlist, names, compressed in cases:
            with self.subTest(hostlist):
                self.assertEqual(layout.expand(hostlist), names.split())
                self.assertEqual(layout.compress(names.split()), compressed or hostlist)
        for names in [["gpu5"], ["n9", "n10", "n11"], ["n1", "n01", "n001", "n2"],
                      ["c7-4", "c7-5", "c8-5"], ["a", "b", "a1", "b1"], ["n10", "n9"]]:
            with self.subTest(names=names):
                self.assertEqual(layout.expand(layout.compress(names)), names)
        cases = [  # hostlist, the refusal
            ("n[1-3", "unbalanced"), ("n1]", "unbalanced"), ("n[[1]]", "unbalanced"),
            ("n[1, 2]", "spaces"), ("n[3-1]", "3-1, whose end is below its start"),
            ("a,,b", "empty name"), ("", "empty name"), ("a,", "empty name"),
            ("n[]", "'' in brackets"), ("n[1-x]", "'1-x' in brackets"),
        ]
        for hostlist, message in cases:
            pattern = "^the hostlist '%s' has .*%s" % (hostlist.replace("[", r"\["), message)
            with self.subTest(hostlist), self.assertRaisesRegex(Refused, pattern):
                layout.expand(hostlist)

    def test_topology(self):
        top = layout.read_topology(SCONTROL, "t")
        self.assertEqual(list(top.items()), [("s0", ["n1", "n2", "n3", "n4"]),
                                             ("s1", ["n5", "n6", "n7", "n8"])])
        self.assertEqual(list(layout.read_topology(CONF, "t").items()),
                         [("r2", ["gpu01", "gpu02", "big"]), ("r1", ["cpu1", "cpu2"])])
        self.assertEqual([layout.leaf_of(top, n) for n in ["n1", "n8", "x"]], ["s0", "s1", None])
        cases = [  # text, the refusal
            ("SwitchName=s0 Nodes=n1\nSwitchName=s1 n2", "^t, line 2: 'n2' is not KEY=VALUE$"),
            ("SwitchName=s0 Nodes=", "^t, line 1: 'Nodes=' is not KEY"),
            ("\n#\nSwitchName=s0 Level=0", "^t, line 3: the switch s0 has neither Nodes"),
            ("SwitchName=a Nodes=n[1-2]\nSwitchName=b Nodes=n2", "^t, line 2: n2 is under "
             "the leaf switches a and b$"),
            ("SwitchName=top Switches=s0", "^t, line 1: the switch s0 is not defined$"),
            ("SwitchName=a Nodes=n1\nSwitchName=a Nodes=n2", "^t, line 2: .* defined twice"),
            ("Nodes=n1", "^t, line 1: a line without SwitchName"),
            ("SwitchName=a Nodes=n[1-", "^t, line 1: the hostlist 'n\\[1-' has unbalanced"),
            ("# nothing\n", "^t: no leaf switch"),
        ]
        for text, message in cases:
            with self.subTest(message), self.assertRaisesRegex(Refused, message):
                layout.read_topology(text, "t")

    def test_addresses(self):
        seen = {"n1": "top.s0.n1", "n3": "top.s1.n3", "n2": "top.s0.n2", "x": "x",
                "y.lan": "s1.y.lan\n"}
        self.assertEqual(list(layout.from_topology_addresses(seen).items()),
                         [("s0", ["n1", "n2"]), ("s1", ["n3", "y.lan"]), ("", ["x"])])
        with self.assertRaisesRegex(Refused, "of n1 is 'top.s0.n11', which does not end"):
            layout.from_topology_addresses({"n1": "top.s0.n11"})

    def test_hosts(self):
        text = "# ours\na\nb:4\n\nc slots=2   # two\nd slots=3 max_slots=8\ne max_slots=2\n"
        self.assertEqual(layout.read_hosts(text, "h"),
                         [("a", None), ("b", 4), ("c", 2), ("d", 3), ("e", None)])
        cases = [  # text, the refusal
            ("a\nb\na:2", "^h, line 3: the host a is named twice, first on line 1$"),
            ("a:0", "^h, line 1: slots '0' is not a positive whole number$"),
            ("a slots=1.5", "slots '1.5'"), ("a:-2", "slots '-2'"), ("a max_slots=x", "slots 'x'"),
            ("a b", "'a b' is not host"), ("a:2:3", "not host"), ("a:2 slots=2", "not host"),
            ("a cpus=2", "not host"), ("a slots=2 slots=3", "not host"), (":2", "not host"),
            ("# none\n\n", "^h names no hosts$"),
        ]
        for text, message in cases:
            with self.subTest(text), self.assertRaisesRegex(Refused, message):
                layout.read_hosts(text, "h")
        cases = [  # the MPI, its host file of a and b, 2 slots each, as read back
            ("mpich", "a:2\nb:2\n", [("a", 2), ("b", 2)]),
            ("openmpi", "a slots=2\nb slots=2\n", [("a", 2), ("b", 2)]),
            ("intelmpi", "a\na\nb\nb\n", None),  # a host each slot, not read back
        ]
        for mpi, text, hosts in cases:
            with self.subTest(mpi):
                self.assertEqual(layout.write_hosts(["a", "b"], mpi, 2), text)
                if hosts:
                    self.assertEqual(layout.read_hosts(text, mpi), hosts)

    def test_pick(self):
        top = layout.read_topology(SCONTROL, "t")
        every = ["n%d" % k for k in range(1, 9)]
        cases = [  # the available nodes, how many, those picked
            (every, 3, "n1 n2 n5"), (every, 4, "n1 n2 n5 n6"), (every, 2, "n1 n2"),
            (every, 6, "n1 n2 n5 n6 n3 n4"),
            ("n1 n5 n6".split(), 3, "n5 n6 n1"),  # the first leaf with two
            ("n1 n5 n6 n7".split(), 4, "n5 n6 n1 n7"),
            ("x y n1".split(), 3, "x y n1"),  # the unplaced, under one switch
            ("n1 x n2 y".split(), 4, "n1 n2 x y"),
            ("n4 n3 n2".split(), 3, "n4 n3 n2"),  # one leaf
        ]
        for nodes, count, picked in cases:
            with self.subTest(nodes=nodes, count=count):
                self.assertEqual(layout.pick(top, nodes, count), picked.split())
        with self.assertRaisesRegex(Refused, "3 nodes cannot be picked of the 2 available"):
            layout.pick(top, ["n1", "n5"], 3)

    def test_allocation(self):
        top = layout.read_topology(SCONTROL, "topo")
        self.assertIsNone(layout.check_allocation(top, ["n2", "n7"], "topo"))
        cases = [  # the allocation, the refusal
            (["m1", "m2", "m3", "m4"], "^topo places none of the allocation's nodes "
             r"\(m\[1-4\]\): is it this cluster's\?$"),
            (["n3", "n4", "m1"], r"^topo places n\[3-4\] but not m1 of .*all of them"),
        ]
        for nodes, message in cases:
            with self.subTest(nodes), self.assertRaisesRegex(Refused, message):
                layout.check_allocation(top, nodes, "topo")


if __name__ == "__main__":
    unittest.main()
