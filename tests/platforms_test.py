#!/usr/bin/env python3
"""The platforms' reader (smpi/platforms.py): the nodes and cores of every
shape, the order in which jobs take a torus's nodes, the host files, and
the part of a torus that SimGrid is given; no simulation.

    tests/platforms_test.py"""
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from smpi import platforms  # noqa: E402
from smpi.platforms import Platform, Refused, torus_order  # noqa: E402


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
                p = platforms.cluster(name)
                self.assertEqual((p.nodes, p.cores, len(set(p.leaf_of)), p.torus),
                                 (nodes, cores, leaves, torus))
        lumi = platforms.cluster("lumi")
        self.assertEqual((lumi.leaf_of.count(23), lumi.names[-1]), (126, "nid2977"))

    def test_refusals(self):
        with self.assertRaisesRegex(
                Refused, "^CLUSTER must be one of default, fugaku, hbv3, lumi, or a platform's file, "
                "not 'nonesuch'$"):
            platforms.platform_file("nonesuch")
        leaf = ('<cluster id="c%d" prefix="n" suffix="" radical="%s" core="%s" lat="1us" '
                'bw="1Gbps" loopback_lat="1us" loopback_bw="1GBps" %s/>')
        link = '<link id="up" bandwidth="1Gbps" latency="1us"/>'
        cases = [  # the zone's contents, the refusal
            (leaf % (0, "0-3", "4", 'topology="FAT_TREE"'), "of topology FAT_TREE"),
            (leaf % (0, "0-3", "4", 'topology="TORUS" topo_parameters="2,3"'),
             "a torus of 2,3 cannot hold 4 nodes"),
            (leaf % (0, "0-3", "4", "") + leaf % (1, "4-7", "4", ""), "several without <link>s"),
            (leaf % (0, "0-3", "4", "") + leaf % (1, "4-7", "8", "") + link,
             "different numbers of cores"),
            (leaf % (0, "0-3", "4", "") + leaf % (1, "3-7", "4", "") + link, "a node named twice"),
            (leaf % (0, "5-3", "4", ""), "a <cluster> without nodes"),
            (leaf % (0, "0-3", "0", ""), "a node of 0 cores"),
            (leaf.replace('lat="1us"', 'lat="1 us"') % (0, "0-3", "4", ""),
             "figure '1 us' is not one this reader knows"),
            (leaf.replace('lat="1us" ', "") % (0, "0-3", "4", ""), "lacks or mistakes 'lat'"),
            ("", "no <cluster>"),
        ]
        for zone, message in cases:
            with self.subTest(message):
                text = '<platform version="4.1"><zone id="z" routing="Floyd">%s</zone></platform>'
                with self.assertRaisesRegex(Refused, "^bad.xml: .*" + message):
                    Platform(io.StringIO(text % zone), "bad.xml")
        with self.assertRaisesRegex(Refused, "does not hold 8 nodes"):
            platforms.cluster("lumi").placed_nodes("3+5+1", 8)
        with self.assertRaisesRegex(Refused, "not a box of 8 nodes"):
            platforms.cluster("fugaku").placed_nodes("2x4", 8)

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
        lumi, fugaku = platforms.cluster("lumi"), platforms.cluster("fugaku")
        self.assertEqual(lumi.placed_nodes("3+1", 4), [0, 1, 2, 124])
        self.assertEqual(fugaku.placed_nodes("2x2x2", 8), box([48, 69, 48], [2, 2, 2]))

    def test_host_file(self):
        p = platforms.cluster("default")
        with tempfile.TemporaryDirectory() as folder:
            hosts, platform, nodes = p.write_job(p.job_nodes(3), 2, 5, folder)
            with open(hosts) as f:
                self.assertEqual(f.read().split(), ["node0", "node0", "node1", "node1", "node2"])
            self.assertEqual((platform, nodes), (p.path, 1024))
            with self.assertRaisesRegex(Refused, "do not hold 7 processes"):
                p.write_job(p.job_nodes(3), 2, 7, folder)

    def test_torus_part(self):
        """A job's part of the torus: twice its nodes' extent on each axis, or
        the whole axis, with every message as many links long as on the whole
        torus, and the nodes under their own names."""
        fugaku = platforms.cluster("fugaku")
        at = lambda x, y, z: x + 48 * (y + 69 * z)  # noqa: E731
        cases = [  # the job's nodes, the part's sides
            (fugaku.job_nodes(8), [4, 4, 4]),
            (fugaku.job_nodes(12), [8, 4, 4]),  # a box and a half
            (fugaku.job_nodes(4096), [32, 32, 32]),
            (fugaku.job_nodes(65536), [48, 69, 48]),
            ([at(40, 60, 3), at(47, 68, 0), at(44, 65, 5)], [16, 18, 12]),  # off the origin
            ([at(0, 0, 0), at(47, 0, 0)], [48, 2, 2]),  # neighbours round the torus
        ]

        def links(platform, a, b):
            return sum(min(abs(x - y), n - abs(x - y)) for x, y, n in
                       zip(platform.coordinates(a), platform.coordinates(b), platform.torus))

        for nodes, sides in cases:
            with self.subTest(nodes=len(nodes), first=nodes[0]):
                text, size = fugaku.torus_part(nodes)
                part = Platform(io.StringIO(text), "part")
                self.assertEqual((part.torus, size), (sides, part.nodes))
                place = {name: k for k, name in enumerate(part.names)}
                pairs = [(a, b) for a in nodes[:40] for b in nodes[-40:]]
                self.assertEqual(
                    [links(fugaku, a, b) for a, b in pairs],
                    [links(part, place[fugaku.names[a]], place[fugaku.names[b]])
                     for a, b in pairs])
                self.assertEqual(part.send, fugaku.send)
        with tempfile.TemporaryDirectory() as folder:
            hosts, path, size = fugaku.write_job(fugaku.job_nodes(8), 1, 8, folder)
            with open(hosts) as f:
                self.assertEqual(f.read().split(), [fugaku.names[n] for n in box(
                    [48, 69, 48], [2, 2, 2])])
            self.assertEqual(Platform(path).torus, [4, 4, 4])

if __name__ == "__main__":
    unittest.main()
