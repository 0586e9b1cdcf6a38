#!/usr/bin/env python3
"""The rules of smpi/measurements.md and the comparison's verdicts
(smpi/measurements.py), on rows made up for the purpose; no simulation.

    tests/measurements_test.py"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from smpi import measurements  # noqa: E402


def row(use, operation, nodes, per_node, us, model="m", note="", timed="OSU"):
    return {"model": model, "source": "s", "operation": operation, "bytes": "8",
            "nodes": str(nodes), "per node": str(per_node), "placement": "—",
            "algorithm": "—", "timed": timed, "measured µs": str(us), "use": use, "note": note}


class RulesTest(unittest.TestCase):
    def test_rules(self):
        # A fit of 1 us a message: a round slower than 1.3 us is slow.
        fit = row("fit", "latency", 2, 1, 1.0)
        inside = row("fit", "barrier", 1, 96, 4.6, model="vm")  # no rounds between nodes
        cases = [  # the row, its model's fit, the rule
            (row("check", "allreduce", 8, 1, 3.9), fit, None),  # 1.3 us a round
            (row("check", "allreduce", 8, 1, 3.91), fit, "slow rounds"),
            (row("check", "latency", 2, 1, 5.0), fit, None),  # a latency is not rounds
            (row("check", "barrier", 8, 31, 99.0), fit, None),  # not one a node
            (row("check", "barrier", 8, 32, 1.0), fit, "crowded nodes"),
            (row("check", "barrier", 2, 96, 99.0, model="vm"), inside, None),
            (row("check", "barrier", 8, 1, 99.0, model="vm"), inside, None),
        ]
        for k, (checked, its_fit, reason) in enumerate(cases):
            with self.subTest(k):
                self.assertEqual(measurements.rule(checked, [its_fit, checked]), reason)
        with self.assertRaisesRegex(measurements.Unusable, "2 rows to fit"):
            measurements.rule(fit, [fit, dict(fit)])

    def test_verdicts(self):
        fit = row("fit", "latency", 2, 1, 1.0)
        cases = [  # the row, its simulated us, the use shown, what is wrong
            (fit, 1.009, "the fit", []),
            (fit, 1.02, "the fit: **no longer met**", ["no longer gives the fitted"]),
            (row("check", "allreduce", 4, 1, 2.0), 2.4, "check", []),
            (row("check", "allreduce", 4, 1, 2.0), 2.41, "check: **off by more than 20%**",
             ["2.410 us against 2.0 us"]),
            (row("aside", "allreduce", 8, 1, 9.0, note="slow rounds: 3 us each"), 1.0,
             "aside: slow rounds", []),
            (row("aside", "allreduce", 8, 1, 3.0), 3.0, "aside: ", ["the rules say check it"]),
            (row("check", "barrier", 8, 64, 9.0), 9.0, "check", ["the rules say crowded nodes"]),
        ]
        for k, (checked, us, use, wrong) in enumerate(cases):
            with self.subTest(k):
                rows = [fit] if checked is fit else [fit, checked]
                found = measurements.verdicts(rows, {measurements.key(r): us if r is checked
                                                     else 1.0 for r in rows})[-1]
                self.assertEqual(found[3], use)
                self.assertEqual(len(found[4]), len(wrong))
                for text, expected in zip(found[4], wrong):
                    self.assertIn(expected, text)

    def test_arguments(self):
        between = row("check", "reduce", 8, 1, 1.0, timed="slowest rank, median of 100")
        between["algorithm"] = "reduce:binomial"
        self.assertEqual(measurements.arguments(between),
                         ["reduce", "8", "100", "--cfg=smpi/barrier:ompi_recursivedoubling",
                          "--cfg=smpi/reduce:binomial"])
        barrier = row("check", "barrier", 8, 1, 1.0)
        barrier["bytes"] = "—"
        self.assertEqual(measurements.arguments(barrier), ["barrier", "1", "100"])

    def test_file(self):
        """Every row of the file fits its columns, and each model has one fit."""
        rows = measurements.read()
        for model in {r["model"] for r in rows}:
            with self.subTest(model):
                self.assertEqual([r["use"] for r in rows if r["model"] == model].count("fit"), 1)


if __name__ == "__main__":
    unittest.main()
