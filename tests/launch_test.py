#!/usr/bin/env python3
"""The launcher's refusals, before a build and in one: a bad CLUSTER, PPN or
NPROC is refused with exit status 2 and one line on standard error, and
nothing runs; under a real MPI, CLUSTER and PPN are named as meaning nothing.

    tests/launch_test.py SOURCE BUILD"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])


def launch(arguments, **environment):
    env = {k: v for k, v in os.environ.items() if k not in ("CLUSTER", "PPN")}
    result = subprocess.run(arguments, capture_output=True, text=True, timeout=60,
                            env=dict(env, **environment))
    return result.returncode, result.stdout, result.stderr


def simulated():
    with open(os.path.join(BUILD, "launch.conf")) as f:
        return "mpi smpi\n" in f.read()


REFUSED = [  # environment, NPROC, the refusal after "launch: "
    ({"PPN": "0"}, "16", "PPN must be a whole number from 1 to 64, not '0'"),
    ({"PPN": "x"}, "16", "PPN must be a whole number from 1 to 64, not 'x'"),
    ({"CLUSTER": "nonesuch"}, "16",
     "CLUSTER must be one of default, fugaku, hbv3, lumi, or a platform's file, not 'nonesuch'"),
    ({"PPN": "1"}, "2048",
     r"NPROC must be from 1 to 1024 with PPN=1 \(1024 nodes of 64 cores\), not '2048'"),
    ({"CLUSTER": "lumi", "PPN": "65"}, "2", "PPN must be a whole number from 1 to 64, not '65'"),
    ({"CLUSTER": "lumi", "PPN": "1"}, "2979",
     r"NPROC must be from 1 to 2978 with PPN=1 \(2978 nodes of 64 cores\), not '2979'"),
    ({"CLUSTER": "fugaku", "PPN": "1"}, "158977",
     r"NPROC must be from 1 to 158976 with PPN=1 \(158976 nodes of 48 cores\), not '158977'"),
    ({"CLUSTER": "hbv3", "PPN": "96"}, "28801",
     r"NPROC must be from 1 to 28800 with PPN=96 \(300 nodes of 96 cores\), not '28801'"),
    ({"PPN": "64"}, "65537",
     r"NPROC must be from 1 to 65536 with PPN=64 \(1024 nodes of 64 cores\), not '65537'"),
    ({}, "0", "NPROC must be a positive whole number, not '0'"),
    ({}, "4x", "NPROC must be a positive whole number, not '4x'"),
]


class LaunchTest(unittest.TestCase):
    def refused(self, result, message):
        status, out, err = result
        self.assertEqual((status, out), (2, ""))
        self.assertRegex(err, "^launch: %s\n$" % message)

    def test_check_refuses(self):
        """Before a build: launch/launch --check."""
        for environment, nproc, message in REFUSED:
            with self.subTest(environment=environment, nproc=nproc):
                self.refused(launch([os.path.join(SOURCE, "launcher", "launch"), "--check",
                                     "smpi", nproc], **environment), message)
        self.refused(launch([os.path.join(SOURCE, "launcher", "launch"), "--check", "lam/mpi",
                             "2"]),
                     "MPI must be smpi or a real MPI's name, such as mpich, not 'lam/mpi'")

    def test_identify(self):
        """Which MPI a launcher belongs to, from what its --version says."""
        cases = [  # what the launcher says, what --identify prints
            ("mpiexec (OpenRTE) 4.1.4\n\nReport bugs to http://www.open-mpi.org/", "openmpi 4.1.4"),
            ("mpiexec (Open MPI) 5.0.6\n\nReport bugs to https://www.open-mpi.org/",
             "openmpi 5.0.6"),
            ("HYDRA build details:\n    Version:                                 4.0.2\n"
             "    Release Date:                            Thu Apr  7 12:34:45 CDT 2022",
             "mpich 4.0.2"),
            ("SimGrid version 3.32", "smpi 3.32"),
            ("Intel(R) MPI Library for Linux* OS, Version 2021.9 Build 20230307", "mpi"),
            ("", "mpi"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            fake = os.path.join(folder, "mpiexec")
            for said, identity in cases:
                with self.subTest(said=said):
                    with open(fake, "w") as f:
                        f.write("#!/bin/sh\ncat <<'EOF'\n%s\nEOF\n" % said)
                    os.chmod(fake, 0o755)
                    self.assertEqual(launch([os.path.join(SOURCE, "launcher", "launch"),
                                             "--identify", fake]), (0, identity + "\n", ""))

    def test_check_counts(self):
        """The NPROC that a job runs."""
        check = [os.path.join(SOURCE, "launcher", "launch"), "--check"]
        cases = [  # MPI, NPROC, environment, the count
            ("smpi", [], {"PPN": "1"}, 1024),  # PPN on each of the first 1024 nodes
            ("smpi", [], {"PPN": "2", "CLUSTER": "hbv3"}, 600),
            ("smpi", ["7"], {}, 7),
            ("mpich", [], {}, os.cpu_count()),  # a process a core
            ("openmpi", ["3"], {"PPN": "0"}, 3),
        ]
        for mpi, nproc, environment, count in cases:
            with self.subTest(mpi=mpi, environment=environment):
                self.assertEqual(launch(check + [mpi] + nproc, **environment),
                                 (0, "%d\n" % count, ""))

    def test_job(self):
        """In this build: BUILD/launch."""
        midquad = os.path.join(BUILD, "midquad")
        if simulated():
            for environment, nproc, message in REFUSED:
                with self.subTest(environment=environment, nproc=nproc):
                    self.refused(launch([os.path.join(BUILD, "launch"), nproc, midquad],
                                        **environment), message)
            # A host file of one's own may name nodes beyond the part of a
            # torus that the job would have taken: SimGrid gets the whole.
            with tempfile.NamedTemporaryFile("w", suffix=".hosts") as hosts:
                hosts.write("fugaku158975\nfugaku0\n")
                hosts.flush()
                status, out, err = launch([os.path.join(BUILD, "launch"), "2", "-hostfile",
                                           hosts.name, "--", midquad], CLUSTER="fugaku")
                self.assertEqual(status, 0, err)
                self.assertRegex(out, r"^N= 100, Nproc=2, ")
        else:
            status, out, err = launch([os.path.join(BUILD, "launch"), "2", midquad],
                                      PPN="0", CLUSTER="nonesuch")
            self.assertEqual(status, 0)
            self.assertRegex(out, r"^N= 100, Nproc=2, ")
            self.assertEqual(len(re.findall(
                "^launch: CLUSTER and PPN place simulated jobs only: .* places these ranks "
                "itself$", err, re.M)), 1, err)

    def test_usage(self):
        for arguments in ([], ["2"], ["2", "-x", "y"], ["--record", "folder", "2"]):
            with self.subTest(arguments=arguments):
                status, out, err = launch([os.path.join(BUILD, "launch")] + arguments)
                self.assertEqual((status, out), (2, ""))
                self.assertIn("BUILD/launch NPROC", err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
