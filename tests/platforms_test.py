#!/usr/bin/env python3
"""The platforms' reader (smpi/platforms.py): the nodes and cores of every
shape, the order in which jobs take a torus's nodes, the host files, and
the part of a torus that SimGrid is given; no simulation.

    tests/platforms_test.py"""
import os
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from smpi import platforms  # noqa: E402
from smpi.platforms import Platform, Refused, torus_order  # noqa: E402


def machine(name):
    return Platform(platforms.platform_file(name))


def box(dims, sides):
    """The places of a box at a torus's origin, along its first axis first."""
    found = []
    for z in range(sides[2]):
        for y in range(sides[1]):
            for x in range(sides[0]):
                found.append(x + dims[0] * (y + dims[1] * z))
    return found


class PlatformsTest(unittest.TestCase):
    def test_shapes(self):
        cases = [  # name, nodes, cores, leaves, torus
            ("default", 1024, 64, 16, None),  # leaves and uplinks
            ("lumi", 2978, 64, 24, None),  # a dragonfly's groups, the last of 126
            ("hbv3", 300, 96, 1, None),  # one switch
            ("fugaku", 158976, 48, 1, [48, 69, 48]),  # a torus
        ]
        for name, nodes, cores, leaves, torus in cases:
            with self.subTest(name):
                p = machine(name)
                self.assertEqual((p.nodes, p.cores, len(set(p.leaf_of)), p.torus),
                                 (nodes, cores, leaves, torus))
        lumi = machine("lumi")
        self.assertEqual((lumi.leaf_of.count(23), lumi.names[-1]), (126, "nid2977"))

    def test_refusals(self):
        cases = [
            ("nonesuch", "CLUSTER must be one of default, fugaku, hbv3, lumi, not 'nonesuch'"),
        ]
        for cluster, message in cases:
            with self.subTest(cluster):
                with self.assertRaisesRegex(Refused, "^%s$" % message):
                    platforms.platform_file(cluster)
        with self.assertRaisesRegex(Refused, "does not hold 8 nodes"):
            machine("lumi").placed_nodes("3+5+1", 8)
        with self.assertRaisesRegex(Refused, "not a box of 8 nodes"):
            machine("fugaku").placed_nodes("2x4", 8)

    def test_torus_order(self):
        cases = [  # dims, nodes, the box they fill
            ([4, 4, 4], 8, [2, 2, 2]),
            ([4, 4, 4], 16, [4, 2, 2]),
            ([48, 69, 48], 4096, [16, 16, 16]),
            # x cannot double past 32 of 48: y and z go on doubling.
            ([48, 69, 48], 65536, [32, 64, 32]),
        ]
        for dims, count, sides in cases:
            with self.subTest(dims=dims, count=count):
                self.assertEqual(sorted(torus_order(dims, count)), sorted(box(dims, sides)))
        # Past the largest box, the other places in the torus's own order.
        whole = torus_order([3, 2, 2], 12)
        self.assertEqual(whole, [0, 1, 3, 4, 6, 7, 9, 10, 2, 5, 8, 11])

    def test_placements(self):
        lumi, fugaku = machine("lumi"), machine("fugaku")
        self.assertEqual(lumi.placed_nodes("3+1", 4), [0, 1, 2, 124])
        self.assertEqual(fugaku.placed_nodes("2x2x2", 8), box([48, 69, 48], [2, 2, 2]))

    def test_host_file(self):
        p = machine("default")
        with tempfile.TemporaryDirectory() as folder:
            hosts, platform, nodes = p.write_job(p.job_nodes(3), 2, 5, folder)
            with open(hosts) as f:
                self.assertEqual(f.read().split(), ["node0", "node0", "node1", "node1", "node2"])
            self.assertEqual((platform, nodes), (p.path, 1024))
            with self.assertRaisesRegex(Refused, "do not hold 7 processes"):
                p.write_job(p.job_nodes(3), 2, 7, folder)

    def test_torus_part(self):
        """A job's part of the torus: twice its extent on each axis, or the
        whole axis, and its nodes under their own names."""
        fugaku = machine("fugaku")
        cases = [  # nodes, the part's sides
            (8, [4, 4, 4]),
            (4096, [32, 32, 32]),
            (65536, [48, 69, 48]),
        ]
        for count, sides in cases:
            with self.subTest(count=count):
                with tempfile.TemporaryDirectory() as folder:
                    nodes = fugaku.job_nodes(count)
                    hosts, path, size = fugaku.write_job(nodes, 1, count, folder)
                    part = Platform(path)
                    self.assertEqual((part.torus, size), (sides, part.nodes))
                    with open(hosts) as f:
                        self.assertLessEqual(set(f.read().split()), set(part.names))
                    # Between two of the job's nodes, as many links either way.
                    a, b = fugaku.coordinates(nodes[0]), fugaku.coordinates(nodes[-1])
                    place = {name: k for k, name in enumerate(part.names)}
                    c = part.coordinates(place[fugaku.names[nodes[0]]])
                    d = part.coordinates(place[fugaku.names[nodes[-1]]])
                    self.assertEqual([abs(x - y) for x, y in zip(a, b)],
                                     [abs(x - y) for x, y in zip(c, d)])
                    root = ElementTree.parse(path).getroot()
                    self.assertEqual(root.find(".//config/prop").attrib["value"],
                                     "0:1.57e-6:0")


if __name__ == "__main__":
    unittest.main()
