#!/usr/bin/env python3
"""The rounds model (smpi/rounds.py) against Times worked out by hand from
each platform's figures; no simulation. A round too many or too few, or a
message charged the wrong way, moves every Time here by a message or more.

    tests/rounds_test.py

Each Time is 10 ns for the clock reading, then per round of rank 0 two
messages (the reduction's and the second barrier's) and the barrier's queue,
as doc/simulated-cluster.md derives it ("The formula")."""
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from smpi import platforms  # noqa: E402
from smpi.rounds import Rounds  # noqa: E402

# Two leaves (or a dragonfly's groups) under one core, holding other than a
# power of two of nodes, with figures chosen to add up by hand: a message
# under a leaf 2 x 100 ns, through the core 100 ns more; a barrier's 16.8
# bytes (16, and a twentieth the other way) wait 1 ns at a node's link,
# 134.4 Gb/s, and through the core at the leaf's uplink, 3 x 16.8 bytes at
# 403.2 Gb/s.
UNEVEN = """<?xml version="1.0"?>
<platform version="4.1"><zone id="z" routing="Floyd">
%s
<zone id="core" routing="Full"><router id="core-switch"/></zone>
<link id="up0" bandwidth="403.2Gbps" latency="50ns"/>
<link id="up1" bandwidth="403.2Gbps" latency="50ns"/>
<zoneRoute src="leaf0" dst="core" gw_src="leaf0-s" gw_dst="core-switch"><link_ctn id="up0"/></zoneRoute>
<zoneRoute src="leaf1" dst="core" gw_src="leaf1-s" gw_dst="core-switch"><link_ctn id="up1"/></zoneRoute>
</zone></platform>
"""
LEAF = ('<cluster id="leaf%d" router_id="leaf%d-s" prefix="n" suffix="" radical="%s" '
        'speed="1Gf" core="4" bw="134.4Gbps" lat="100ns" loopback_bw="1GBps" '
        'loopback_lat="70ns"/>')


def uneven(first, second):
    """Two leaves of the given radicals."""
    text = UNEVEN % "\n".join(LEAF % (k, k, r) for k, r in enumerate((first, second)))
    return platforms.Platform(io.StringIO(text), "uneven")


class RoundsTest(unittest.TestCase):
    def test_time(self):
        default, lumi, fugaku, hbv3 = (platforms.cluster(n)
                                       for n in ("default", "lumi", "fugaku", "hbv3"))
        # The default cluster: a node's link 575 ns, a leaf's uplink 130 ns,
        # a message inside a node 514 ns; a barrier's message waits 16.8 /
        # 12.5 = 1.344 ns at a node's link for each process on it, and
        # through the core 64 x 16.8 / 175 = 6.144 ns at the leaf's uplink.
        cases = [  # platform, processes, a node, formula, clocks
            ("one process", default, 1, 1, 10, 10),
            ("under a leaf", default, 2, 1, 10 + 2 * 1150 + 1.344, None),
            ("inside a node", default, 2, 64, 10 + 2 * 514, None),
            ("through the core", default, 128, 1,
             10 + 2 * (6 * 1150 + 1410) + 6 * 1.344 + 6.144, None),
            ("full nodes under a leaf", default, 128, 64,
             10 + 2 * (6 * 514 + 1150) + 64 * 1.344, None),
            ("full nodes through the core", default, 8192, 64,
             10 + 2 * (6 * 514 + 6 * 1150 + 1410) + 6 * 64 * 1.344 + 64 * 6.144, None),
            # HBv3: one switch, a VM's link 600 ns at 200 Gb/s.
            ("one switch", hbv3, 2, 1, 10 + 2 * 1200 + 0.672, None),
            ("one switch, 8 rounds", hbv3, 256, 1, 10 + 8 * (2400 + 0.672), None),
            # LUMI: a group's nodes 1561 ns from its switches; 64 nodes are
            # in the first group.
            ("a dragonfly's group", lumi, 64, 1, 10 + 6 * (2 * 3122 + 0.672), None),
            # Fugaku: a link 490 ns, MPI's software 1570 ns on each send of
            # the reduction, no queue; 16 nodes are a 4x2x2 box, so the round
            # at distance 8 runs two links along the first axis.
            ("a torus's neighbours", fugaku, 2, 1, 10 + 1570 + 2 * 490, None),
            ("a torus's box", fugaku, 16, 1,
             10 + 3 * (1570 + 2 * 490) + (1570 + 2 * 2 * 490), None),
            ("a torus's full node", fugaku, 32, 48, 10 + 5 * (1570 + 2 * 514), None),
            # Leaves of 1 and 3 nodes: rank 0 alone on its leaf, its two
            # rounds through the core (300 ns, 301 in a barrier).
            ("a leaf of one node", uneven("0", "1-3"), 4, 1, 10 + 2 * (2 * 300 + 1), None),
            # Groups of 3 nodes: rank 3 sits in the second. Rank 0's rounds
            # stay in its group (812 ns), but rank 1's round at distance 2
            # crosses to rank 3: the first barrier ends at 502 ns on rank 0
            # and 602 on rank 1; rank 1's share, sent at 612, reaches rank 0
            # at 812, rank 2 has rank 3's at 912 and rank 0 rank 2's at 1112;
            # the second barrier ends on rank 0 at 1514 ns.
            ("a dragonfly's groups", uneven("0-2", "3-5"), 4, 1, 10 + 2 * (2 * 200 + 1),
             1514 - 502),
        ]
        for name, platform, nproc, ppn, formula, clocks in cases:
            with self.subTest(name):
                job = Rounds(platform, nproc, ppn)
                self.assertAlmostEqual(job.formula(), formula, places=6)
                self.assertAlmostEqual(job.clocks(), formula if clocks is None else clocks,
                                       places=6)

    def test_ways(self):
        """The way of rank 0's message in each round."""
        default, fugaku = platforms.cluster("default"), platforms.cluster("fugaku")
        cases = [
            (default, 128, 1, ["leaf"] * 6 + ["core"]),
            (default, 256, 64, ["node"] * 6 + ["leaf", "leaf"]),
            (fugaku, 64, 1, [1, 1, 1, 2, 2, 2]),
            (fugaku, 512, 1, [1, 1, 1, 2, 2, 2, 4, 4, 4]),
        ]
        for platform, nproc, ppn, ways in cases:
            with self.subTest(nproc=nproc, ppn=ppn):
                self.assertEqual(Rounds(platform, nproc, ppn).rank0_ways(), ways)

    def test_refuses_other_counts(self):
        with self.assertRaises(ValueError):
            Rounds(platforms.cluster("default"), 3, 1)


if __name__ == "__main__":
    unittest.main()
