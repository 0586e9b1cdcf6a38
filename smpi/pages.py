"""The tables and pictures of the pages that show the simulated models:
doc/simulated-cluster.md (Time on the default cluster, and the comparison
with published measurements) and doc/machines.md (Time on every model),
each table between markers that say what writes it."""
import os
import re
import subprocess

from smpi import measurements, platforms
from smpi.rounds import Rounds

DOC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "doc")
PAGE = os.path.join(DOC, "simulated-cluster.md")
PICTURE = os.path.join(DOC, "simulated-cluster.png")
MACHINES_PAGE = os.path.join(DOC, "machines.md")
MACHINES_PICTURE = os.path.join(DOC, "machines.png")
WRITTEN_WITH = r"written with SimGrid (\d+\.\d+)"
# The counts that the simulated cluster's page shows, by SimGrid's major
# version: SimGrid 3 takes hours past 4096 processes (doc/simulated-cluster.md,
# "Running it").
PAGE_UP_TO = {3: 4096, 4: 65536}
MACHINES_UP_TO = 2048  # nodes, at one process a node, on the machines' page


def page_up_to(version):
    """How far the simulated cluster's page goes with SimGrid VERSION."""
    return PAGE_UP_TO.get(int(version.split(".")[0]), PAGE_UP_TO[max(PAGE_UP_TO)])


def time_cells(platform, largest, placements=None):
    """Time's table: for every power of two up to LARGEST processes, a job
    (nproc, ppn) for each placement, one process a node and full nodes
    unless PLACEMENTS are given, or None where the cluster cannot hold it."""
    rows, nproc = [], 1
    while nproc <= largest:
        rows.append((nproc, [(nproc, ppn) if nproc <= ppn * platform.nodes else None
                             for ppn in placements or (1, platform.cores)]))
        nproc *= 2
    return rows


def time_jobs(platform, largest):
    """The jobs of Time's table up to LARGEST processes."""
    return [job for _, cells in time_cells(platform, largest) for job in cells if job]


def time_rows(platform, traced, largest, placements=None):
    """Time's table as rows (nproc, [(rounds ns, simulated ns, line us) or
    None, for each placement]), from the traced jobs {(nproc, ppn): (line
    us, trace ns)}."""
    def cell(job):
        line_us, simulated = traced[job]
        return Rounds(platform, *job).clocks(), simulated, line_us

    return [(nproc, [cell(job) if job else None for job in cells])
            for nproc, cells in time_cells(platform, largest, placements)]


def time_table(rows):
    lines = ["| processes | one a node: formula µs | simulated µs | line µs "
             "| full nodes: formula µs | simulated µs | line µs |",
             "|---:|---:|---:|---:|---:|---:|---:|"]
    for nproc, cells in rows:
        text = []
        for cell in cells:
            text += ["%.3f" % (cell[0] / 1e3), "%.3f" % (cell[1] / 1e3), "%d" % cell[2]] \
                if cell else ["", "", ""]
        lines.append("| %d | %s |" % (nproc, " | ".join(text)))
    return "\n".join(lines) + "\n"


def machines_rows(runs, up_to):
    """Time at one process a node on every model: rows (nodes, {model:
    (rounds ns, simulated ns, line us) or None})."""
    columns = {}
    for name in runs:
        platform = platforms.cluster(name)
        rows = time_rows(platform, runs[name]["traced"], min(up_to, platform.nodes), (1,))
        columns[name] = {nproc: cells[0] for nproc, cells in rows}
    counts = sorted(set().union(*columns.values()))
    return [(n, {name: columns[name].get(n) for name in runs}) for n in counts]


def machines_table(rows):
    names = list(rows[0][1])
    lines = ["| nodes | " + " | ".join("%s: rounds µs | simulated µs" % n for n in names) + " |",
             "|---:|" + "---:|---:|" * len(names)]
    for nodes, cells in rows:
        text = []
        for name in names:
            cell = cells[name]
            text += ["%.3f" % (cell[0] / 1e3), "%.3f" % (cell[1] / 1e3)] if cell else ["", ""]
        lines.append("| %d | %s |" % (nodes, " | ".join(text)))
    return "\n".join(lines) + "\n"


def bounds(page, name):
    begin = "<!-- %s: written by smpi/model page BUILD --write -->\n" % name
    end = "<!-- end of %s -->\n" % name
    start, stop = page.find(begin), page.find(end)
    if start < 0 or stop < start:
        raise ValueError("no section '%s' in its page" % name)
    return start + len(begin), stop


def section(page, name):
    start, stop = bounds(page, name)
    return page[start:stop]


def replace_section(page, name, table):
    start, stop = bounds(page, name)
    return page[:start] + table + page[stop:]


def same(now, then, exact):
    """Tables alike: to the character from the SimGrid that wrote them, or
    from another, to 0.5% or the last digit shown of each number."""
    if exact or now == then:
        return now == then
    rows_now, rows_then = now.splitlines(), then.splitlines()
    if len(rows_now) != len(rows_then):
        return False
    for a, b in zip(rows_now, rows_then):
        cells_a, cells_b = a.split("|"), b.split("|")
        if len(cells_a) != len(cells_b):
            return False
        for x, y in zip(cells_a, cells_b):
            x, y = x.strip(), y.strip()
            if x == y:
                continue
            if not re.fullmatch(r"\d+(\.\d+)?", x) or not re.fullmatch(r"\d+(\.\d+)?", y):
                return False
            digit = 10.0 ** -len(y.partition(".")[2])
            if abs(float(x) - float(y)) > max(0.005 * float(y), digit) + 1e-9:
                return False
    return True


def plot(picture, title, xlabel, ylabel, blocks, plots):
    """A picture of data blocks, with gnuplot."""
    script = "".join("$data%d << EOD\n%s\nEOD\n" % (k, b) for k, b in enumerate(blocks))
    script += """set terminal pngcairo noenhanced size 900,560 font ",10"
set output "%s"
set title "%s"
set logscale x 2
set xlabel "%s"
set ylabel "%s"
set yrange [0:*]
set key inside top left Left reverse opaque
set grid
set format x "%%.0f"
plot %s
""" % (picture, title, xlabel, ylabel, ", \\\n     ".join(plots))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def draw_time(rows, platform):
    """Time against processes, both placements, with the formula's lines and
    the published collectives, a series for each source's operation."""
    blocks, plots = [], []
    for k, (placement, colour, point) in enumerate(
            (("one process a node", "#3A78C2", 7), ("full nodes", "#E8892B", 5))):
        blocks.append("\n".join("%d %.4f %.4f" % (nproc, cells[k][0] / 1e3, cells[k][1] / 1e3)
                                for nproc, cells in rows if cells[k]))
        plots += ['$data%d using 1:2 with lines lc rgb "%s" dt 2 title "formula, %s"'
                  % (k, colour, placement),
                  '$data%d using 1:3 with points pt %d ps 1.2 lc rgb "%s" title "simulated, %s"'
                  % (k, point, colour, placement)]
    series = {}
    for r in measurements.read():
        if r["model"] == "default" and r["operation"] != "latency":
            name = "%s: %s, %s a node" % (re.sub(r"\[(.*?)\].*", r"\1", r["source"]),
                                         r["operation"], r["per node"])
            series.setdefault(name, []).append(
                "%d %s" % (int(r["nodes"]) * int(r["per node"]), r["measured µs"]))
    for name, points in series.items():
        k = len(blocks)
        blocks.append("\n".join(points))
        plots.append('$data%d using 1:2 with points pt %d ps 1.4 lc rgb "#404040" title "%s"'
                     % (k, (4, 6, 8, 10, 12, 14)[(k - 2) % 6], name))
    plot(PICTURE, "midquad's Time on the simulated cluster (%d nodes of %d cores), and "
         "published collectives" % (platform.nodes, platform.cores), "processes",
         "µs: Time, or the published operation's", blocks, plots)


def draw_machines(rows):
    """Time against nodes on every model, with each machine's published
    collectives at one process a node."""
    colours = ("#3A78C2", "#E8892B", "#3C9A4A", "#B04AA0", "#C23A3A")
    blocks, plots = [], []
    for k, name in enumerate(rows[0][1]):
        colour = colours[k % len(colours)]
        blocks.append("\n".join("%d %.4f %.4f" % (n, c[name][0] / 1e3, c[name][1] / 1e3)
                                for n, c in rows if c[name]))
        time = len(blocks) - 1
        plots += ['$data%d using 1:2 with lines lc rgb "%s" dt 2 notitle' % (time, colour),
                  '$data%d using 1:3 with points pt 7 ps 1.1 lc rgb "%s" title "%s: Time"'
                  % (time, colour, name)]
        published = {}
        for r in measurements.read():
            if r["model"] == name and r["per node"] == "1" and r["operation"] != "latency":
                published.setdefault(r["operation"], []).append(
                    "%s %s" % (r["nodes"], r["measured µs"]))
        for operation, points in sorted(published.items()):
            blocks.append("\n".join(points))
            plots.append('$data%d using 1:2 with points pt %d ps 1.5 lc rgb "%s" '
                         'title "%s: published %s"' % (len(blocks) - 1, 4 + 2 * (len(plots) % 4),
                                                       colour, name, operation))
    plot(MACHINES_PICTURE, "midquad's Time at one process a node on each model, and each "
         "machine's published collectives", "nodes",
         "µs: Time (dashed: counted in rounds), or the published operation's", blocks, plots)


def comparison(runs):
    """The comparison's verdicts (measurements.verdicts), from the runs of
    every model (simulate.run)."""
    measured = {k: v for run in runs.values() for k, v in run["measured"].items()}
    return measurements.verdicts(measurements.read(), measured)


def tables(runs, version):
    """The rows of Time on the default cluster and on every model, and the
    pages' three tables, from the runs of every model."""
    time = time_rows(platforms.cluster("default"), runs["default"]["traced"],
                     page_up_to(version))
    machines = machines_rows(runs, MACHINES_UP_TO)
    return time, machines, {"Time": time_table(time),
                            "comparison": measurements.table(comparison(runs)),
                            "machines": machines_table(machines)}


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write(runs, version):
    """Writes the tables and pictures into the pages; returns their paths."""
    time, machines, text = tables(runs, version)
    page = re.sub(WRITTEN_WITH, "written with SimGrid " + version, read(PAGE))
    page = replace_section(page, "Time", text["Time"])
    page = replace_section(page, "comparison", text["comparison"])
    machines_page = re.sub(WRITTEN_WITH, "written with SimGrid " + version, read(MACHINES_PAGE))
    machines_page = replace_section(machines_page, "machines", text["machines"])
    for path, written in ((PAGE, page), (MACHINES_PAGE, machines_page)):
        with open(path, "w", encoding="utf-8") as f:
            f.write(written)
    draw_time(time, platforms.cluster("default"))
    draw_machines(machines)
    return [PAGE, PICTURE, MACHINES_PAGE, MACHINES_PICTURE]


def stale(runs, version):
    """The tables that the pages do not show as the models give them now,
    and whether all are alike to the character."""
    text = tables(runs, version)[2]
    page, machines_page = read(PAGE), read(MACHINES_PAGE)
    # The rows of Time that this SimGrid runs in reasonable time.
    shown = "".join(line for line in section(page, "Time").splitlines(True)
                    if not re.match(r"\| (\d+) \|", line)
                    or int(line.split()[1]) <= page_up_to(version))
    written = re.search(WRITTEN_WITH, page)
    exact = bool(written) and written.group(1) == version
    pairs = (("Time", text["Time"], shown),
             ("comparison", text["comparison"], section(page, "comparison")),
             ("machines", text["machines"], section(machines_page, "machines")))
    return [name for name, now, then in pairs if not same(now, then, exact)], \
        all(now == then for _, now, then in pairs)
