"""What a recorded job leaves, read for the timeline, the simulated models
and the tests alike: a real MPI's records, rank-RANK.rec (timeline/record.cpp
says what they hold), or SMPI's Paje trace, through pj_dump; and the Time on
the job's line.

A job's times are in microseconds from rank 0's first clock reading: on a
real MPI each host's rows are set so that its first rank leaves the first
barrier when rank 0 does (each host has a clock of its own); on SMPI, rank
0's clock starts at the end of its first barrier."""
import collections
import os
import subprocess

Call = collections.namedtuple("Call", "name start end")
Message = collections.namedtuple("Message", "source target start end")
RESULT_LINE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "cmake", "result_line.cmake")


class Refused(Exception):
    """Not the record of a whole job."""


class Job:
    def __init__(self, nproc, calls, simulated):
        self.nproc = nproc
        self.calls = calls  # rank: [Call] in order
        self.messages = []  # SMPI's only: a real MPI's record has none
        self.simulated = simulated
        self.hosts = set()
        self.clock_start = 0.0  # rank 0's clock readings
        self.clock_stop = 0.0
        self.time = ""  # rank 0's Time, as recorded: the line's format, or to the ns


def result_time_us(path, nproc, floor=False):
    """The Time of the result line in the file PATH, in microseconds, from
    the one check of the line (cmake/result_line.cmake)."""
    check = subprocess.run(["cmake", "-DNPROC=%d" % nproc, "-DFILE=" + path] +
                           (["-DFLOOR=ON"] if floor else []) + ["-P", RESULT_LINE],
                           text=True, capture_output=True)
    if check.returncode != 0:
        raise Refused("not the result line of %d processes:\n%s" % (nproc, check.stderr))
    return int(check.stdout)


def read_records(folder):
    """A real MPI's job, from each rank's record."""
    try:
        with open(os.path.join(folder, "rank-0.rec")) as f:
            nproc = int((f.readline().split() + [""] * 4)[3] or 0)
    except (OSError, ValueError) as error:
        raise Refused("rank 0 left no record: %s" % error)
    if nproc < 1:
        raise Refused("rank 0's record is not whole")
    calls, wtimes, host_of = {}, {}, {}
    for rank in range(nproc):
        path = os.path.join(folder, "rank-%d.rec" % rank)
        try:
            with open(path) as f:
                lines = f.read().split("\n")
        except OSError as error:
            raise Refused("rank %d left no record: %s" % (rank, error))
        head = lines[0].split() + [""] * 5
        if head[:4] != ["record", "1", str(rank), str(nproc)] or "end" not in lines:
            raise Refused("%s is not whole" % path)
        host_of[rank] = head[4]
        calls[rank], wtimes[rank] = [], []
        try:
            for line in lines[1:lines.index("end")]:
                kind, *fields = line.split()
                if kind == "call":
                    calls[rank].append(Call(fields[0], int(fields[1]) / 1e3,
                                            int(fields[2]) / 1e3))
                elif kind == "wtime":
                    wtimes[rank].append((float(fields[0]), int(fields[1]) / 1e3))
                else:
                    raise ValueError(kind)
        except (ValueError, IndexError):
            raise Refused("%s is not whole" % path)
        if not any(c.name == "MPI_Barrier" for c in calls[rank]) or len(wtimes[rank]) < 2:
            raise Refused("rank %d recorded no barrier or no clock readings" % rank)
    job = Job(nproc, calls, simulated=False)
    job.hosts = set(host_of.values())
    left = {r: next(c.end for c in calls[r] if c.name == "MPI_Barrier") for r in calls}
    first_of = {}
    for rank in range(nproc):
        first_of.setdefault(host_of[rank], rank)
    (first, at_first), (second, at_second) = wtimes[0][0], wtimes[0][-1]
    for rank in range(nproc):
        first_rank = first_of[host_of[rank]]
        shift = left[0] - left[first_rank] if host_of[rank] != host_of[0] else 0.0
        job.calls[rank] = [Call(c.name, c.start + shift - at_first, c.end + shift - at_first)
                           for c in calls[rank]]
    job.clock_stop = at_second - at_first
    job.time = "%f" % (second - first)
    return job


def read_trace(path):
    """A simulated job, from SMPI's trace."""
    try:
        dump = subprocess.run(["pj_dump", "-l", "9", path], check=True, text=True,
                              capture_output=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise Refused("cannot read %s with pj_dump: %s" % (path, error))
    calls, messages = collections.defaultdict(list), []
    for line in dump.splitlines():
        fields = [f.strip() for f in line.split(",")]
        if fields[0] == "State" and fields[2] == "MPI_STATE":
            calls[int(fields[1][len("rank-"):])].append(Call(
                fields[7].replace("PMPI_", "MPI_"), float(fields[3]) * 1e6,
                float(fields[4]) * 1e6))
        elif fields[0] == "Link" and fields[2] == "MPI_LINK":
            messages.append(Message(int(fields[7][len("rank-"):]),
                                    int(fields[8][len("rank-"):]),
                                    float(fields[3]) * 1e6, float(fields[4]) * 1e6))
    nproc = len(calls)
    if nproc == 0 or sorted(calls) != list(range(nproc)):
        raise Refused("%s lacks the calls of some ranks" % path)
    for rank, found in calls.items():
        found.sort(key=lambda c: (c.start, c.end))
        if not any(c.name == "MPI_Finalize" for c in found):
            raise Refused("rank %d has no MPI_Finalize in %s" % (rank, path))
    barriers = [c for c in calls[0] if c.name == "MPI_Barrier"]
    if len(barriers) < 2:
        raise Refused("rank 0 has %d barriers in %s" % (len(barriers), path))
    origin = barriers[0].end
    job = Job(nproc, {r: [Call(c.name, c.start - origin, c.end - origin) for c in found]
                      for r, found in calls.items()}, simulated=True)
    job.messages = [m._replace(start=m.start - origin, end=m.end - origin) for m in messages]
    job.clock_stop = barriers[1].end - origin
    job.time = "%.9f" % ((barriers[1].end - barriers[0].end) / 1e6)
    return job
