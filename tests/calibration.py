#!/usr/bin/env python3
"""The calibration held where its answer is known: a simulated machine,
measured exactly as a real one, and the platform made from those
measurements alone predicting the machine's own Time; and the check naming
a node planted slow.

    tests/calibration.py model BUILD MODEL   calibrates MODEL, its layout
                                             stated in a topology.conf, and
                                             holds the platform's Time to
                                             the model's
    tests/calibration.py check BUILD         the check of the default
                                             model: healthy, then with one
                                             node's link planted slow

BUILD is a simulated build; the model's runs (tests/simulated.py runs) hold
its own Time, and `model` leaves BUILD/calibration/MODEL-smpi.xml for
`check`. Time must come within TOLERANCE of the model's at every job of its
runs, up to UP_TO processes; past that, the rounds model counts both, and
says what the uplinks' contention adds.
"""
import copy
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[0] = ROOT
from smpi import platforms, simulate  # noqa: E402
from smpi.rounds import Rounds  # noqa: E402
from tests import simulated  # noqa: E402

TOLERANCE = 0.03
UP_TO = {3: 16384 // 4, 4: 16384}  # processes, by SimGrid's major version
PLANTED = 5  # times a node's link latency
PLANTED_NODE = "node1"


def folder(build):
    return os.path.join(build, "calibration")


def topology(platform, path):
    """The model's layout as Slurm's topology.conf states it: a switch a
    leaf, and one above them."""
    leaves = ["leaf%d" % k for k in range(len(platform.leaves))]
    with open(path, "w") as f:
        for k, leaf in enumerate(leaves):
            nodes = [n for n, of in zip(platform.names, platform.leaf_of) if of == k]
            f.write("SwitchName=%s Nodes=%s\n" % (leaf, ",".join(nodes)))
        if len(leaves) > 1:
            f.write("SwitchName=top Switches=%s\n" % ",".join(leaves))


def calibrate(build, model):
    """Runs the calibration on MODEL; the platform's path."""
    os.makedirs(folder(build), exist_ok=True)
    layout = os.path.join(folder(build), model + ".topology.conf")
    truth = platforms.cluster(model)
    topology(truth, layout)
    done = subprocess.run([sys.executable, os.path.join(ROOT, "calibrate", "measure.py"),
                           build, folder(build)], capture_output=True, text=True,
                          env=dict(os.environ, CLUSTER=model, TOPOLOGY=layout))
    if done.returncode != 0:
        sys.exit("calibration: the calibration of %s failed:\n%s" % (model, done.stderr))
    return done.stdout.strip()


def rounds_without_uplinks(platform, nproc, ppn):
    """Time by the rounds model, as if the uplinks had no bandwidth to share."""
    free = copy.copy(platform)
    free.uplink_bandwidth = float("inf")
    return Rounds(free, nproc, ppn).clocks()


def check_model(build, model):
    """The problems found in MODEL's prediction."""
    path = calibrate(build, model)
    truth, calibrated = platforms.cluster(model), platforms.Platform(path)
    up_to = UP_TO[int(simulate.settings(build)["mpi_version"].split(".")[0])]
    runs = simulated.read_runs(build, model)["traced"]
    jobs = sorted(job for job in runs if job[0] <= up_to)
    predicted = simulate.run(build, {path: (jobs, [])})[path]["traced"]
    off = []
    print("%s, calibrated as %s: Time in ns, simulated on each" % (model, path))
    print("| processes | per node | model | calibrated | ratio |")
    print("|---:|---:|---:|---:|---:|")
    for job in jobs:
        want, got = runs[job][1], predicted[job][1]
        ratio = got / want if want else 1.0
        print("| %d | %d | %.0f | %.0f | %.4f |" % (job + (want, got, ratio)))
        if abs(got - want) > TOLERANCE * want:
            off.append("%s, %d processes, %d a node: %.0f ns, the model %.0f"
                       % ((model,) + job + (got, want)))
    print("\nPast %d processes, on full nodes, counted in rounds (ns); the uplinks' "
          "contention is what the rounds add with it" % up_to)
    print("| processes | model | uplinks add | calibrated | uplinks add | ratio |")
    print("|---:|---:|---:|---:|---:|---:|")
    nproc = 2 * up_to
    while nproc <= truth.nodes * truth.cores:
        want = Rounds(truth, nproc, truth.cores).clocks()
        got = Rounds(calibrated, nproc, calibrated.cores).clocks()
        print("| %d | %.0f | %.0f | %.0f | %.0f | %.4f |" % (
            nproc, want, want - rounds_without_uplinks(truth, nproc, truth.cores), got,
            got - rounds_without_uplinks(calibrated, nproc, calibrated.cores), got / want))
        nproc *= 2
    return off


def run_check(build, machine, topology_file):
    """The check of the default model's calibration on MACHINE: its exit
    status and what it printed."""
    done = subprocess.run([sys.executable, os.path.join(ROOT, "calibrate", "check.py"),
                           build, os.path.join(folder(build), "default-smpi.xml"), build],
                          capture_output=True, text=True,
                          env=dict(os.environ, MACHINE=machine, TOPOLOGY=topology_file))
    print(done.stdout)
    return done.returncode, done.stdout + done.stderr


def check_check(build):
    platform = os.path.join(folder(build), "default-smpi.xml")
    layout = os.path.join(folder(build), "default.topology.conf")
    if not os.path.exists(platform):
        sys.exit("calibration: no calibration of the default model: ctest -R calibration_default")
    off = []
    status, said = run_check(build, "default", layout)
    if status != 0:
        off.append("the healthy model failed its check (exit status %d):\n%s" % (status, said))
    # One node's link five times slower, in a copy of the calibrated platform.
    with open(platform) as f:
        text = f.read()
    pattern = r'(<link id="%s-link" [^>]*latency=")([0-9.]+)ns' % PLANTED_NODE
    text, planted = re.subn(pattern, lambda m: "%s%.6fns" % (m.group(1), PLANTED *
                                                             float(m.group(2))), text)
    if planted != 1:
        sys.exit("calibration: %s has no link of %s to plant" % (platform, PLANTED_NODE))
    slow = os.path.join(folder(build), "planted.xml")
    with open(slow, "w") as f:
        f.write(text)
    status, said = run_check(build, slow, layout)
    named = "the node %s is slow with every partner" % PLANTED_NODE
    if status != 1 or named not in said:
        off.append("with %s's link %d times slower, the check exited %d and did not say "
                   "'%s':\n%s" % (PLANTED_NODE, PLANTED, status, named, said))
    return off


def main(args):
    if args[:1] == ["model"] and len(args) == 3:
        off = check_model(os.path.abspath(args[1]), args[2])
    elif args[:1] == ["check"] and len(args) == 2:
        off = check_check(os.path.abspath(args[1]))
    else:
        sys.exit(__doc__.split("\n\n")[1])
    if off:
        sys.exit("calibration: %d problems:\n%s" % (len(off), "\n".join(off)))


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (simulate.Failed, platforms.Refused) as error:
        sys.exit("calibration: %s" % error)
