"""Runs jobs on the simulated clusters of a build, BUILD/launch starting
each: the program, traced, for its Time; smpi/measure.cpp, for a published
measurement. Runs them side by side, one a core, and says what they gave."""
import concurrent.futures
import glob
import hashlib
import os
import subprocess
import tempfile
import threading

from smpi import measurements, pages, platforms
from timeline import records

TIME_UP_TO = 4096  # processes: the counts that Time is held to its rounds at
JOB_LIMIT = 900  # seconds, unless MPIEXEC_TIMEOUT says otherwise
running = set()  # the jobs under way, to end if the runs are stopped
running_lock = threading.Lock()


class Failed(Exception):
    """A job that did not end as it should."""


def settings(build):
    """BUILD/launch.conf: what the build found of the MPI."""
    found = {}
    with open(os.path.join(build, "launch.conf")) as f:
        for line in f:
            name, _, value = line.strip().partition(" ")
            if name and not name.startswith("#"):
                found[name] = value.strip()
    if found.get("mpi") != "smpi":
        raise Failed("%s is not a simulated build (cmake -DCMAKE_CXX_COMPILER=smpicxx)" % build)
    return found


def plan(build, cluster):
    """Every traced job (NPROC, PPN) and measurement row that the checks and
    the pages read of CLUSTER."""
    platform = platforms.cluster(cluster)
    jobs = set(pages.time_jobs(platform, TIME_UP_TO))
    if cluster == "default":
        jobs |= set(pages.time_jobs(platform, pages.page_up_to(settings(build)["mpi_version"])))
    rows = [r for r in measurements.read() if r["model"] == cluster]
    return sorted(jobs), rows


def job(command, environment, stdout):
    """Runs a job of BUILD/launch, as a job that run() ends if it stops:
    (exit status, standard output, standard error)."""
    env = dict(os.environ, **environment)
    env.setdefault("MPIEXEC_TIMEOUT", str(JOB_LIMIT))
    with subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE, text=True,
                          env=env) as process:
        with running_lock:
            running.add(process)
        try:
            out, err = process.communicate()
        finally:
            with running_lock:
                running.discard(process)
    return process.returncode, out, err


def traced(build, cluster, nproc, ppn):
    """One job of the program: the Time its line prints, in us, and the
    trace's, rank 0's clock from the end of its first barrier to the end of
    its second, in ns."""
    with tempfile.TemporaryDirectory() as folder:
        trace, line = os.path.join(folder, "trace.paje"), os.path.join(folder, "line")
        with open(line, "w") as out:
            status, _, err = job([os.path.join(build, "launch"), str(nproc), "-trace",
                                  "-trace-file", trace, "--cfg=tracing/precision:9", "--",
                                  os.path.join(build, "midquad")],
                                 {"PPN": str(ppn), "CLUSTER": cluster}, out)
        try:
            if status != 0:
                raise records.Refused("exit status %d\n%s" % (status, err))
            return records.result_time_us(line, nproc), \
                records.read_trace(trace).clock_stop * 1e3
        except records.Refused as error:
            raise Failed("%s, %d processes, %d a node: %s" % (cluster, nproc, ppn, error))


def measured(build, row):
    """A row's operation on its model, placed and timed as its source did,
    in us."""
    nproc = int(row["nodes"]) * int(row["per node"])
    with tempfile.TemporaryDirectory() as folder:
        options = []
        if row["placement"] != "—":
            platform = platforms.cluster(row["model"])
            nodes = platform.placed_nodes(row["placement"], int(row["nodes"]))
            hosts, part, _ = platform.write_job(nodes, int(row["per node"]), nproc, folder)
            options = ["-platform", part, "-hostfile", hosts, "--"]
        status, out, err = job([os.path.join(build, "launch"), "--measure", str(nproc)] +
                               options + measurements.arguments(row),
                               {"PPN": row["per node"], "CLUSTER": row["model"]},
                               subprocess.PIPE)
    try:
        if status != 0:
            raise ValueError("exit status %d" % status)
        mean, slowest = (float(x) for x in out.split())
    except ValueError as error:
        raise Failed("%s %s on %s: the simulation failed (%s):\n%s%s"
                     % (row["source"], row["operation"], row["model"], error, out, err))
    return slowest if row["timed"].startswith("slowest rank") else mean


def run(build, plans):
    """Runs the jobs of PLANS, {cluster: (traced jobs, measurement rows)} as
    plan() gives them, the largest first, one a core. Returns {cluster:
    {"traced": {(nproc, ppn): (line us, trace ns)}, "measured": {row's key:
    us}}}."""
    tasks = []  # (a guess at its cost, cluster, kind, job)
    for cluster, (jobs, rows) in plans.items():
        tasks += [(nproc, cluster, "traced", (nproc, ppn)) for nproc, ppn in jobs]
        # A measurement runs its operation some 200 times.
        tasks += [(50 * int(r["nodes"]) * int(r["per node"]), cluster, "measured", r)
                  for r in rows]
    tasks.sort(key=lambda t: -t[0])

    def one(task):
        _, cluster, kind, what = task
        if kind == "traced":
            return traced(build, cluster, *what)
        return measured(build, what)

    found = {c: {"traced": {}, "measured": {}} for c in plans}
    pool = concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1)
    try:
        for (_, cluster, kind, what), result in zip(tasks, pool.map(one, tasks)):
            key = what if kind == "traced" else measurements.key(what)
            found[cluster][kind][key] = result
    except BaseException:
        # A job failed, or the runs were stopped: no other job starts, and
        # those under way end, with their simulators.
        pool.shutdown(wait=False, cancel_futures=True)
        with running_lock:
            for process in running:
                process.terminate()
        raise
    pool.shutdown()
    return found


def fingerprint(build, cluster):
    """What a cluster's runs depend on: its platform, the measurements, the
    launcher and its settings (SimGrid's version among them), the programs,
    and the code that places, runs and reads the jobs."""
    digest = hashlib.sha256()
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for path in [platforms.platform_file(cluster), measurements.FILE,
                 os.path.join(build, "launch"), os.path.join(build, "launch.conf"),
                 os.path.join(build, "midquad"), os.path.join(build, "midquad_measure"),
                 os.path.join(source, "timeline", "records.py")] + \
            sorted(glob.glob(os.path.join(source, "smpi", "*.py"))):
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()
