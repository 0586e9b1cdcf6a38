#!/usr/bin/env python3
"""Checks a recorded midquad job and its timeline against an unrecorded one.

    timeline_check.py SOURCE BUILD NPROC           a job of NPROC processes
    timeline_check.py SOURCE BUILD refusals        records that must be refused

SOURCE is the project's folder, BUILD a build folder with its launch and
record scripts. Reads the record itself, apart from timeline/draw: a real
MPI's rank-RANK.rec files, or SMPI's trace through pj_dump.
"""
import os
import shutil
import subprocess
import sys

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


def recorded_calls(folder, nproc, simulated):
    """Each rank's calls, (name, start, end) in seconds, and the trace's messages."""
    calls = {rank: [] for rank in range(nproc)}
    messages = []
    if simulated:
        status, dump, errors = run(["pj_dump", "-l", "9", os.path.join(folder, "trace.paje")])
        expect(status == 0, "pj_dump cannot read the trace: " + errors)
        for line in dump.splitlines():
            f = [x.strip() for x in line.split(",")]
            if f[0] == "State":
                calls[int(f[1][5:])].append((f[7].replace("PMPI_", "MPI_"), float(f[3]),
                                             float(f[4])))
            elif f[0] == "Link":
                messages.append((int(f[7][5:]), int(f[8][5:]), float(f[3]), float(f[4])))
        for rank in calls:
            calls[rank].sort(key=lambda c: (c[1], c[2]))
    else:
        for rank in range(nproc):
            with open(os.path.join(folder, "rank-%d.rec" % rank)) as f:
                lines = f.read().splitlines()
            expect(lines[0].split()[:4] == ["record", "1", str(rank), str(nproc)]
                   and lines[-1] == "end", "rank %d's record is not whole" % rank)
            calls[rank] = [(l.split()[1], int(l.split()[2]) / 1e9, int(l.split()[3]) / 1e9)
                           for l in lines if l.startswith("call ")]
    return calls, messages


def check_job(source, build, nproc):
    simulated = os.path.exists(os.path.join(build, "clusters"))
    folder = fresh(os.path.join(build, "timeline-check", "np%d" % nproc))
    plain = run([os.path.join(build, "launch"), str(nproc), os.path.join(build, "midquad")])
    traced = run([os.path.join(build, "record"), str(nproc), folder,
                  os.path.join(build, "midquad")])
    # Recorded or not, the job prints the same line, Time aside, and ends alike.
    expect(traced[0] == plain[0] == 0, "exit status %d recorded, %d not:\n%s"
           % (traced[0], plain[0], traced[2]))
    times = []
    for name, (_, out, _) in (("plain", plain), ("line", traced)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(out)
        status, time_us, errors = run(["cmake", "-DNPROC=%d" % nproc, "-DFILE=" + f.name, "-P",
                                       os.path.join(source, "cmake", "result_line.cmake")])
        expect(status == 0, "not the result line of %d processes: %s" % (nproc, errors))
        times.append(int(time_us))
    printed = "%d.%06d" % divmod(times[1], 1000000)

    calls, messages = recorded_calls(folder, nproc, simulated)
    for rank in range(nproc):
        expect([c[0] for c in calls[rank]] == CALLS, "rank %d recorded %s"
               % (rank, [c[0] for c in calls[rank]]))

    status, png, errors = run([os.path.join(source, "timeline", "draw"), folder])
    expect(status == 0 and os.path.getsize(png.strip()) > 0, "no picture: " + errors)
    with open(os.path.join(folder, "summary")) as f:
        summary = [line.split() for line in f]
    marked = next(s[1] for s in summary if s[0] == "time")
    expect(marked == printed, "the picture marks Time %s; the line printed %s" % (marked, printed))
    if simulated:
        # Rank 0's clock runs from the end of its first barrier to the end of
        # its second.
        between = calls[0][3][2] - calls[0][1][2]
        expect(abs(between - float(printed)) <= 1e-6,
               "rank 0's barriers end %.9f s apart; the line printed %s" % (between, printed))
        check_chain(summary, calls, messages)
        if nproc == 16:
            check_binomial_reduction(calls, messages, nproc)
    else:
        with open(os.path.join(folder, "rank-0.rec")) as f:
            values = [float(l.split()[1]) for l in f if l.startswith("wtime ")]
        expect("%f" % (values[-1] - values[0]) == printed,
               "rank 0 read its clock %s s apart; the line printed %s" % (values, printed))
        status, _, errors = run(["pj_dump", os.path.join(folder, "trace.paje")])
        expect(status == 0, "the trace written for viewers does not read: " + errors)


def check_chain(summary, calls, messages):
    """The chain starts where rank 0's clock stops and reaches back, through
    messages of the trace, to the start of some rank's first barrier."""
    segments = [(int(s[1]), float(s[2]), float(s[3])) for s in summary if s[0] == "segment"]
    steps = [(int(s[1]), int(s[2])) for s in summary if s[0] == "message"]
    origin = calls[0][1][2] * 1e6
    stop = calls[0][3][2] * 1e6 - origin
    expect(segments and segments[0][0] == 0 and abs(segments[0][2] - stop) < 1e-3,
           "the chain does not start where rank 0's clock stops: %s" % segments[:1])
    rank, start = segments[-1][0], segments[-1][1]
    expect(abs(start - (calls[rank][1][1] * 1e6 - origin)) < 1e-3,
           "the chain stops at rank %d, %.3f us, not at its first barrier" % (rank, start))
    pairs = {(m[0], m[1]) for m in messages}
    expect(all(step in pairs for step in steps), "the chain takes messages the trace lacks")
    at = 0
    for source, target in steps:
        expect(target == at, "the chain jumps from rank %d to a message to rank %d"
               % (at, target))
        at = source


def check_binomial_reduction(calls, messages, nproc):
    """Rank r's share goes to r with its lowest set bit cleared."""
    def inside(rank, t):
        _, start, end = calls[rank][2]
        return start <= t <= end
    sent = {(s, d) for s, d, a, b in messages if inside(s, a) and inside(d, b)}
    tree = {(r, r & (r - 1)) for r in range(1, nproc)}
    expect(sent == tree, "the reduction's messages are %s, not the binomial tree %s"
           % (sorted(sent), sorted(tree)))


def check_refusals(source, build):
    """A record that is not a whole job's gives a message, a failing status
    and no picture; the recording never writes through a name that stands."""
    record_job = [os.path.join(build, "record"), "2"]
    midquad = os.path.join(build, "midquad")
    draw = os.path.join(source, "timeline", "draw")
    base = os.path.join(build, "timeline-check")

    folder = fresh(os.path.join(base, "planted"))
    victim = os.path.join(base, "victim")
    with open(victim, "w") as f:
        f.write("untouched\n")
    os.symlink(victim, os.path.join(folder, "rank-0.rec"))
    status, _, errors = run(record_job + [folder, midquad])
    with open(victim) as f:
        expect(f.read() == "untouched\n", "the recording wrote through a planted link")
    expect(status != 0 and "midquad record: cannot create" in errors,
           "a planted link gave status %d: %s" % (status, errors))

    status, _, errors = run(record_job + [os.path.join(base, "missing"), midquad])
    expect(status != 0 and "midquad record: cannot create" in errors,
           "a missing folder gave status %d: %s" % (status, errors))

    folder = fresh(os.path.join(base, "cut"))
    status, out, _ = run(record_job + [folder, midquad])
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
    os.remove(os.path.join(folder, "rank-1.rec"))
    status, _, errors = run([draw, folder])
    expect(status != 0 and "rank 1 left no record" in errors,
           "a missing record gave status %d: %s" % (status, errors))


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
