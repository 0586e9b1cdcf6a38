#!/usr/bin/env python3
"""Checks a recorded midquad job and its timeline against an unrecorded one.

    timeline_check.py SOURCE BUILD NPROC           a job of NPROC processes
    timeline_check.py SOURCE BUILD refusals        records that must be refused

SOURCE is the project's folder, BUILD a build folder with its launch
script. The record is read as timeline/draw reads it (timeline/records.py),
and rank 0's chain is followed as it draws it (timeline/chain.py).
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from timeline import chain, records  # noqa: E402

CALLS = ["MPI_Init", "MPI_Barrier", "MPI_Reduce", "MPI_Barrier", "MPI_Finalize"]


def run(command, **options):
    result = subprocess.run(command, text=True, capture_output=True, timeout=300, **options)
    return result.returncode, result.stdout, result.stderr


def expect(condition, message):
    if not condition:
        sys.exit("timeline_check: " + message)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def simulated_build(build):
    with open(os.path.join(build, "launch.conf")) as f:
        return "mpi smpi\n" in f.read()


def check_job(source, build, nproc):
    simulated = simulated_build(build)
    folder = fresh(os.path.join(build, "timeline-check", "np%d" % nproc))
    launch = os.path.join(build, "launch")
    plain = run([launch, str(nproc), os.path.join(build, "midquad")])
    traced = run([launch, "--record", folder, str(nproc), os.path.join(build, "midquad")])
    # Recorded or not, the job prints the same line, Time aside, and ends alike.
    expect(traced[0] == plain[0] == 0, "exit status %d recorded, %d not:\n%s"
           % (traced[0], plain[0], traced[2]))
    times = []
    for name, (_, out, _) in (("plain", plain), ("line", traced)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(out)
        try:
            times.append(records.result_time_us(f.name, nproc))
        except records.Refused as error:
            expect(False, str(error))
    printed = "%d.%06d" % divmod(times[1], 1000000)

    try:
        job = records.read_trace(os.path.join(folder, "trace.paje")) if simulated \
            else records.read_records(folder)
    except records.Refused as error:
        expect(False, "the record does not read: %s" % error)
    expect(job.nproc == nproc, "the record has %d ranks" % job.nproc)
    for rank in range(nproc):
        expect([c.name for c in job.calls[rank]] == CALLS, "rank %d recorded %s"
               % (rank, [c.name for c in job.calls[rank]]))
    # A real MPI's record holds the clock readings that the program
    # subtracted; SMPI's trace, rank 0's barriers' ends, which it read them at.
    if simulated:
        expect(abs(float(job.time) - float(printed)) <= 1e-6,
               "rank 0's barriers end %s s apart; the line printed %s" % (job.time, printed))
    else:
        expect(job.time == printed, "rank 0 read its clock %s s apart; the line printed %s"
               % (job.time, printed))

    status, png, errors = run([os.path.join(source, "timeline", "draw"), folder])
    expect(status == 0 and os.path.getsize(png.strip()) > 0, "no picture: " + errors)
    if simulated:
        check_chain(job)
        if nproc == 16:
            check_binomial_reduction(job)
    else:
        status, _, errors = run(["pj_dump", os.path.join(folder, "trace.paje")])
        expect(status == 0, "the trace written for viewers does not read: " + errors)


def check_chain(job):
    """The chain starts where rank 0's clock stops and reaches back, through
    messages of the trace, to the start of some rank's first barrier."""
    segments, steps = chain.chain(job)
    expect(segments and segments[0][0] == 0 and abs(segments[0][2] - job.clock_stop) < 1e-3,
           "the chain does not start where rank 0's clock stops: %s" % segments[:1])
    rank, start = segments[-1][0], segments[-1][1]
    first = job.calls[rank][chain.first_barrier(job.calls[rank])]
    expect(abs(start - first.start) < 1e-3,
           "the chain stops at rank %d, %.3f us, not at its first barrier" % (rank, start))
    expect(all(m in job.messages for m in steps), "the chain takes messages the trace lacks")
    at = 0
    for m in steps:
        expect(m.target == at, "the chain jumps from rank %d to a message to rank %d"
               % (at, m.target))
        at = m.source


def check_binomial_reduction(job):
    """Rank r's share goes to r with its lowest set bit cleared."""
    def inside(rank, t):
        reduction = job.calls[rank][2]
        return reduction.start <= t <= reduction.end
    sent = {(m.source, m.target) for m in job.messages
            if inside(m.source, m.start) and inside(m.target, m.end)}
    tree = {(r, r & (r - 1)) for r in range(1, job.nproc)}
    expect(sent == tree, "the reduction's messages are %s, not the binomial tree %s"
           % (sorted(sent), sorted(tree)))


def check_refusals(source, build):
    """A record that is not a whole job's gives a message, a failing status
    and no picture; the recording never writes through a name that stands."""
    midquad = os.path.join(build, "midquad")

    def record_job(folder):
        return [os.path.join(build, "launch"), "--record", folder, "2", midquad]

    draw = os.path.join(source, "timeline", "draw")
    base = os.path.join(build, "timeline-check")
    if simulated_build(build):
        check_simulated_refusals(record_job, draw, base)
        return

    folder = fresh(os.path.join(base, "planted"))
    victim = os.path.join(base, "victim")
    with open(victim, "w") as f:
        f.write("untouched\n")
    os.symlink(victim, os.path.join(folder, "rank-0.rec"))
    status, _, errors = run(record_job(folder))
    with open(victim) as f:
        expect(f.read() == "untouched\n", "the recording wrote through a planted link")
    expect(status != 0 and "midquad record: cannot create" in errors,
           "a planted link gave status %d: %s" % (status, errors))

    status, _, errors = run(record_job(os.path.join(base, "missing")))
    expect(status != 0 and "midquad record: cannot create" in errors,
           "a missing folder gave status %d: %s" % (status, errors))

    folder = fresh(os.path.join(base, "cut"))
    status, out, _ = run(record_job(folder))
    expect(status == 0, "the job for the cut record failed")
    with open(os.path.join(folder, "line"), "w") as f:
        f.write(out)
    with open(os.path.join(folder, "rank-1.rec")) as f:
        whole = f.read()
    with open(os.path.join(folder, "rank-1.rec"), "w") as f:
        f.write(whole[: whole.rindex("end")])  # as a full disk would leave it
    status, _, errors = run([draw, folder])
    expect(status != 0 and "rank-1.rec is not whole" in errors
           and not os.path.exists(os.path.join(folder, "timeline.png")),
           "a cut record gave status %d: %s" % (status, errors))
    with open(os.path.join(folder, "rank-1.rec"), "w") as f:
        f.write(whole)
    with open(os.path.join(folder, "line"), "w") as f:  # another Time than recorded
        f.write(out.replace("Time=", "Time=1"))
    status, _, errors = run([draw, folder])
    expect(status != 0 and "is not the printed one" in errors,
           "a line unlike its record gave status %d: %s" % (status, errors))
    os.remove(os.path.join(folder, "rank-1.rec"))
    status, _, errors = run([draw, folder])
    expect(status != 0 and "rank 1 left no record" in errors,
           "a missing record gave status %d: %s" % (status, errors))


def check_simulated_refusals(record_job, draw, base):
    """SMPI's trace: a missing folder, a line unlike the trace, no trace."""
    status, _, errors = run(record_job(os.path.join(base, "missing")))
    expect(status == 2 and errors.startswith("launch: no folder"),
           "a missing folder gave status %d: %s" % (status, errors))
    folder = fresh(os.path.join(base, "simulated"))
    status, out, _ = run(record_job(folder))
    expect(status == 0, "the recorded job failed")
    with open(os.path.join(folder, "line"), "w") as f:  # another Time than traced
        f.write(out.replace("Time=", "Time=1"))
    status, _, errors = run([draw, folder])
    expect(status != 0 and "is not the printed one" in errors
           and not os.path.exists(os.path.join(folder, "timeline.png")),
           "a line unlike its trace gave status %d: %s" % (status, errors))
    with open(os.path.join(folder, "trace.paje"), "w") as f:
        f.write("not a trace\n")
    status, _, errors = run([draw, folder])
    expect(status != 0 and "cannot read" in errors and "with pj_dump" in errors,
           "a trace that is not one gave status %d: %s" % (status, errors))


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    source, build, what = sys.argv[1:]
    if what == "refusals":
        check_refusals(source, build)
    else:
        check_job(source, build, int(what))


if __name__ == "__main__":
    main()
