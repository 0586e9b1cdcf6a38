#!/usr/bin/env python3
"""The ReFrame check's result line and its sanity, read from the check itself
(reframe/midquad_check.py) without ReFrame: the program's real output passes,
at the job's own task count only, and planted wrong lines fail.

    tests/reframe_check_test.py CHECK LAUNCH PROGRAM"""
import ast
import re
import subprocess
import sys
import unittest

CHECK, LAUNCH, PROGRAM = sys.argv[1:4]


def read_check(path):
    """The check's RESULT_LINE, Z and result_problem(), which need only re."""
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    wanted = {"RESULT_LINE", "Z", "result_problem"}
    parts = [node for node in tree.body
             if isinstance(node, ast.FunctionDef) and node.name in wanted
             or isinstance(node, ast.Assign) and node.targets[0].id in wanted]
    names = {getattr(node, "name", None) or node.targets[0].id for node in parts}
    if names != wanted:
        raise LookupError("%s lacks %s" % (path, ", ".join(sorted(wanted - names))))
    namespace = {"re": re}
    exec(compile(ast.Module(body=parts, type_ignores=[]), path, "exec"), namespace)
    return namespace


CHECK_PARTS = read_check(CHECK)
result_problem = CHECK_PARTS["result_problem"]


def job(nproc):
    result = subprocess.run([LAUNCH, str(nproc), PROGRAM], capture_output=True, text=True,
                            timeout=150, check=True)
    return result.stdout


class ReFrameCheckTest(unittest.TestCase):
    def test_real_output(self):
        """A real job passes at its own task count, and Time is read."""
        for nproc in (1, 2, 3):
            with self.subTest(nproc=nproc):
                output = job(nproc)
                self.assertIsNone(result_problem(output, nproc))
                self.assertIn("Nproc=%d, but the job has %d tasks" % (nproc, nproc + 1),
                              result_problem(output, nproc + 1))
                time = re.search(CHECK_PARTS["RESULT_LINE"], output, re.M)["time"]
                self.assertGreaterEqual(float(time), 0)

    def test_planted_lines(self):
        """Wrong output fails, and says what is wrong."""
        line = job(2).rstrip("\n")
        cases = [  # the output, the problem's start
            ("", "expected one line on standard output, found 0"),
            (line + "\n" + line + "\n", "expected one line on standard output, found 2"),
            ("warning: no InfiniBand here\n" + line + "\n", "expected one line"),
            (line.replace("Nproc=2", "Nproc=1") + "\n", "Nproc=1, but the job has 2 tasks"),
            (re.sub(r"z = [^,]+", "z = 0.785398", line) + "\n", "z = 0.785398, not 0.785400"),
            (re.sub(r"z = [^,]+", "z = -nan", line) + "\n", "not the result line"),
            (line.rstrip(" ") + "\n", "not the result line"),  # the line ends in a space
            (line + "\r\n", "not the result line"),
            (re.sub(r"Time=\S+", "Time=0.00004", line) + "\n", "not the result line"),
            ("rank 0: " + line + "\n", "not the result line"),
            (line.replace("N= 100", "N= 99") + "\n", "not the result line"),
        ]
        for output, problem in cases:
            with self.subTest(output=output):
                self.assertTrue((result_problem(output, 2) or "").startswith(problem),
                                result_problem(output, 2))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
