#!/usr/bin/env python3
"""The simulated models held to their rounds, to published measurements and
to their pages, from one set of runs.

    tests/simulated.py runs BUILD MODEL   runs every job of MODEL that the
                                          checks read, into BUILD/simulated
    tests/simulated.py time BUILD MODEL   Time against its rounds
    tests/simulated.py compare BUILD      the models against measurements.md
    tests/simulated.py page BUILD         the pages show what the models give

BUILD is a simulated build; CTest runs `runs` for each model first (its
fixtures), then the checks, which fail on runs older than what they were
made from. Time, read to the nanosecond from SMPI's trace, must come within
the larger of 2% and 0.1 us of its rounds (smpi/rounds.py), which must be
fine enough to tell one message through the network, and the line must
print it to the microsecond. The comparison's rules and tolerances are
smpi/measurements.py's; the pages' are smpi/pages.py's.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from smpi import measurements, pages, platforms, simulate  # noqa: E402
from smpi.rounds import Rounds  # noqa: E402


def close_enough(simulated, counted):
    return abs(simulated - counted) <= max(0.02 * counted, 100.0)


def runs_file(build, model):
    return os.path.join(build, "simulated", model + ".json")


def write_runs(build, model):
    found = simulate.run(build, {model: simulate.plan(build, model)})[model]
    os.makedirs(os.path.dirname(runs_file(build, model)), exist_ok=True)
    with open(runs_file(build, model), "w") as f:
        json.dump({"made from": simulate.fingerprint(build, model),
                   "traced": [[n, p, line, trace] for (n, p), (line, trace)
                              in sorted(found["traced"].items())],
                   "measured": found["measured"]}, f, indent=1)
    print("%s: %d jobs traced, %d measurements" % (model, len(found["traced"]),
                                                   len(found["measured"])))


def read_runs(build, model):
    try:
        with open(runs_file(build, model)) as f:
            found = json.load(f)
    except OSError:
        sys.exit("simulated: no runs of %s: ctest -R simulated_runs_%s" % (model, model))
    if found["made from"] != simulate.fingerprint(build, model):
        sys.exit("simulated: the runs of %s are older than what they were made from: "
                 "ctest -R simulated_runs_%s" % (model, model))
    return {"traced": {(n, p): (line, trace) for n, p, line, trace in found["traced"]},
            "measured": found["measured"]}


def check_time(build, model):
    """Every run's Time against its rounds: the problems found."""
    platform = platforms.cluster(model)
    rows = pages.time_rows(platform, read_runs(build, model)["traced"], simulate.TIME_UP_TO)
    off = []
    for nproc, cells in rows:
        for ppn, cell in zip((1, platform.cores), cells):
            if not cell:
                continue
            counted, simulated, line_us = cell
            job = Rounds(platform, nproc, ppn)
            where = "%s, %d processes, %d a node" % (model, nproc, ppn)
            # On leaves of a power of two of nodes, rank 0's rounds are every rank's.
            if model == "default" and abs(job.formula() - counted) > 0.5:
                off.append("%s: the formula gives %.0f ns, the rounds %.0f"
                           % (where, job.formula(), counted))
            if not close_enough(simulated, counted):
                off.append("%s: simulated %.0f ns, the rounds %.0f ns"
                           % (where, simulated, counted))
            if abs(line_us * 1000 - simulated) > 500:  # the line rounds to the microsecond
                off.append("%s: the line says %d us, the trace %.0f ns"
                           % (where, line_us, simulated))
            cheapest = job.cheapest_network_message()
            if cheapest is not None and close_enough(counted + cheapest, counted):
                off.append("%s: the tolerance cannot tell a message of %.0f ns"
                           % (where, cheapest))
    sys.stdout.write(pages.time_table(rows))
    return off


def all_runs(build):
    return {model: read_runs(build, model) for model in platforms.clusters()}


def check_compare(build):
    found = pages.comparison(all_runs(build))
    sys.stdout.write(measurements.table(found))
    return [text for *_, wrong in found for text in wrong]


def check_page(build):
    version = simulate.settings(build)["mpi_version"]
    stale, alike = pages.stale(all_runs(build), version)
    if stale:
        return ["the tables %s are not what the models give now; write them with: "
                "smpi/model page BUILD --write" % " and ".join(stale)]
    print("%s and %s: the tables are the models', up to %d processes, %s"
          % (pages.PAGE, pages.MACHINES_PAGE, pages.page_up_to(version),
             "to the character" if alike else "to what SimGrid %s changes" % version))
    return []


def main(args):
    checks = {("runs", 3): lambda: write_runs(args[1], args[2]) or [],
              ("time", 3): lambda: check_time(args[1], args[2]),
              ("compare", 2): lambda: check_compare(args[1]),
              ("page", 2): lambda: check_page(args[1])}
    if not args or (args[0], len(args)) not in checks:
        sys.exit(__doc__.split("\n\n")[1])
    args[1] = os.path.abspath(args[1])
    try:
        off = checks[(args[0], len(args))]()
    except (simulate.Failed, platforms.Refused, measurements.Unusable) as error:
        sys.exit("simulated: %s" % error)
    if off:
        sys.exit("simulated: %d problems:\n%s" % (len(off), "\n".join(off)))


if __name__ == "__main__":
    main(sys.argv[1:])
