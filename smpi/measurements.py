"""The published measurements that the simulated models are held against,
smpi/measurements.md: its rows, the rules that set rows aside, how each row
runs on its model, and what the comparison says of each."""
import math
import os

FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "measurements.md")
TOLERANCE = 0.20  # how far a row to check may be from its measurement
FIT_TOLERANCE = 0.01  # how far the fitted row may be
SLOW_ROUND = 1.3  # the rules: a round this many times the fit's is slow,
CROWDED = 32  # and this many processes a node crowd it
CALLS = 100  # calls of the operation that each timing averages


class Unusable(Exception):
    """A row that does not fit the file's columns or rules."""


def read(path=FILE):
    """The rows, as dictionaries of the columns."""
    with open(path, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.startswith("|")]

    def cells(line):
        return [c.strip() for c in line.strip("|").split(" | ")]

    names = cells(lines[0])
    rows = [dict(zip(names, cells(line))) for line in lines[2:]]
    for row in rows:
        if len(row) != len(names) or row["use"] not in ("fit", "check", "aside"):
            raise Unusable("a row does not fit the columns of %s: %s" % (path, row))
    return rows


def key(row):
    return "|".join(row[c] for c in ("model", "source", "operation", "bytes", "nodes",
                                     "per node", "placement", "algorithm", "timed"))


def arguments(row):
    """smpi/measure.cpp's arguments for ROW: its operation, bytes and calls,
    then SMPI's settings for its collectives. Calls timed between barriers
    get a recursive-doubling one, which leaves every rank at once, where the
    library's choice would start some ranks' clocks early."""
    found = [row["operation"], "1" if row["bytes"] == "—" else row["bytes"], str(CALLS)]
    if row["timed"].startswith("slowest rank"):
        found.append("--cfg=smpi/barrier:ompi_recursivedoubling")
    if row["algorithm"] != "—":
        found.append("--cfg=smpi/" + row["algorithm"])
    return found


def rounds(row):
    """The rounds of ROW's operation at one process a node: a message for a
    latency, log2 of the nodes for a collective."""
    return 1 if row["operation"] == "latency" else math.log2(int(row["nodes"]))


def rule(row, rows):
    """The rule of the file that sets ROW aside, if one does."""
    fits = [r for r in rows if r["model"] == row["model"] and r["use"] == "fit"]
    if len(fits) != 1:
        raise Unusable("the model %s has %d rows to fit, not one" % (row["model"], len(fits)))
    fit = fits[0]
    nodes, per_node = int(row["nodes"]), int(row["per node"])
    # A model fitted on crowded nodes has their contention in its figure.
    if per_node >= CROWDED > int(fit["per node"]):
        return "crowded nodes"
    # A fit inside one node has no round between nodes to hold rows against.
    if per_node == 1 and row["operation"] != "latency" and nodes > 1 and rounds(fit) and \
            float(row["measured µs"]) / rounds(row) > \
            SLOW_ROUND * float(fit["measured µs"]) / rounds(fit):
        return "slow rounds"
    return None


def verdicts(rows, simulated):
    """Each row with its simulated µs, its ratio, what the comparison says
    of its use, and what is wrong with it: a list, empty for a good row."""
    found = []
    for row in rows:
        if key(row) not in simulated:
            raise Unusable("no run of the %s row of %s: is '%s' a model?"
                           % (row["operation"], row["source"], row["model"]))
        us = simulated[key(row)]
        ratio = us / float(row["measured µs"])
        reason = rule(row, rows)
        where = "%s: %s %s on %s x %s" % (row["model"], row["source"], row["operation"],
                                          row["nodes"], row["per node"])
        use = {"fit": "the fit", "check": "check",
               "aside": "aside: %s" % (reason or "")}[row["use"]]
        wrong = []
        if (row["use"] == "aside") != bool(reason) or \
                (reason and not row["note"].startswith(reason)):
            wrong.append("%s: its use is '%s', but the rules say %s"
                         % (where, row["use"], reason or "check it"))
        if row["use"] == "fit" and abs(ratio - 1) > FIT_TOLERANCE:
            use = "the fit: **no longer met**"
            wrong.append("%s: the platform no longer gives the fitted %s us, but %.3f us"
                         % (where, row["measured µs"], us))
        if row["use"] == "check" and abs(ratio - 1) > TOLERANCE:
            use = "check: **off by more than %d%%**" % (TOLERANCE * 100)
            wrong.append("%s: %.3f us against %s us" % (where, us, row["measured µs"]))
        found.append((row, us, ratio, use, wrong))
    return found


def table(verdicts_found):
    lines = ["| model | source | machine and network | MPI | operation | bytes | nodes "
             "| per node | placement | measured µs | simulated µs | ratio | use |",
             "|---|---|---|---|---|---:|---:|---:|---|---:|---:|---:|---|"]
    for row, us, ratio, use, _ in verdicts_found:
        lines.append("| %s | %.3f | %.2f | %s |" % (" | ".join(row[c] for c in (
            "model", "source", "machine and network", "MPI", "operation", "bytes", "nodes",
            "per node", "placement", "measured µs")), us, ratio, use))
    return "\n".join(lines) + "\n"
