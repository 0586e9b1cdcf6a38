#!/usr/bin/env python3
"""A calibration's measurements (CSV, from calibrate/measure.py) as a
SimGrid platform of the cluster, made from them alone: the same CSV always
gives the same platform.

    calibrate/platform_from_csv.py CSV [XML]   writes XML (CSV's name with .xml)

Each leaf switch is a zone of its own, each node with a link of its own (so
that one node's figures can differ from the others', as a slow node's do),
its leaves joined through a core, as smpi/cluster.xml is. The figures:
  inside a node   the median warm message inside a node
  a node's link   half the median warm message under one switch, less what
                  the message's bytes take on the link
  an uplink       half what a message between switches adds
  a node's link's bandwidth
                  the rate at which SimGrid gives what a node's link added
                  when all its processes sent at once; where that added
                  nothing measurable, the InfiniBand port's rate, or 100 Gb/s
  an uplink's bandwidth
                  not measurable on a few nodes: its leaf's nodes' together
                  (a non-blocking fat tree), assumed
The platform comment gives each figure with where it came from.
"""
import csv
import os
import statistics
import sys
from xml.sax.saxutils import quoteattr

sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from smpi import rounds  # noqa: E402

COLUMNS = ["figure", "distance", "nodes", "ppn", "job", "where", "value", "unit", "mpi",
           "date", "source"]
FIGURES = {"node", "port rate", "latency", "contention", "first", "printed", "warm"}
# What SMPI puts on a link for the probe's 8-byte message: its bytes and the
# envelope that a barrier's empty message has alone.
WIRE_BYTES = 8 + rounds.BARRIER_MESSAGE_BYTES
ASSUMED_GBPS = 100.0


class Refused(Exception):
    """A CSV that is not a calibration's."""


def plural(count, noun):
    return "%d %s%s" % (count, noun, "" if count == 1 else "es" if noun[-1] in "hs" else "s")


def median(values):
    return statistics.median(values)


def spread(values):
    """How far apart a figure's samples lie: from their first decile to
    their last, over their median; a stray sample, such as a message that
    waited out a scheduler's time slice, does not widen it."""
    middle = median(values)
    if len(values) < 2 or middle <= 0:
        return 0.0
    deciles = statistics.quantiles(values, n=10, method="inclusive")
    return (deciles[-1] - deciles[0]) / middle


def read(path):
    """The rows of a calibration's CSV, their values as numbers."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            if reader.fieldnames != COLUMNS:
                raise Refused("%s is not a calibration's CSV: its columns are not %s"
                              % (path, ",".join(COLUMNS)))
            rows = list(reader)
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise Refused("cannot read %s: %s" % (path, error))
    for n, row in enumerate(rows, start=2):
        try:
            if row["figure"] not in FIGURES:
                raise ValueError("no figure '%s'" % row["figure"])
            row["value"] = float(row["value"])
            row["nodes"], row["ppn"], row["job"] = (int(row[c]) for c in ("nodes", "ppn", "job"))
        except (TypeError, ValueError) as error:
            raise Refused("%s, line %d: %s" % (path, n, error))
    if not any(r["figure"] == "node" for r in rows):
        raise Refused("%s has no nodes" % path)
    return rows


def fastest(rows, figure, distance=None):
    """Each job's fastest repeat of FIGURE between each pair of nodes: noise
    only ever adds to a message's time."""
    found = {}
    for r in rows:
        if r["figure"] == figure and (distance is None or r["distance"] == distance):
            key = (r["job"], r["where"])
            found[key] = min(found.get(key, r["value"]), r["value"])
    return list(found.values())


def samples(rows, figure, distance=None):
    return [r["value"] for r in rows if r["figure"] == figure and
            (distance is None or r["distance"] == distance)]


def provenance(rows, figure, distance=None):
    """Where a figure came from: its source, its nodes, the MPI, the date."""
    chosen = [r for r in rows if r["figure"] == figure and
              (distance is None or r["distance"] == distance)]
    first = chosen[0]
    places = sorted({r["where"] for r in chosen})
    return "%d samples of %s on %s, %s, %s" % (len(chosen), first["source"],
                                              ", ".join(places), first["mpi"], first["date"])


def figures(rows):
    """The platform's figures, in ns and bytes a ns, each with where it came
    from: {name: (value, whence)}, and the leaves {switch: [nodes]}."""
    found, leaves = {}, {}
    for r in rows:
        if r["figure"] == "node":
            leaves.setdefault(r["distance"], []).append(r["where"])
    cores = min(int(r["value"]) for r in rows if r["figure"] == "node")
    found["cores"] = (cores, "what the cluster states: " +
                      next(r["source"] for r in rows if r["figure"] == "node"))
    rate = samples(rows, "port rate")
    if rate:
        stated = (rate[0] / 8, "the InfiniBand port's rate, %g Gb/s, from %s"
                  % (rate[0], next(r["source"] for r in rows if r["figure"] == "port rate")))
    else:
        stated = (ASSUMED_GBPS / 8, "assumed, %g Gb/s: no InfiniBand port stated "
                  "its rate" % ASSUMED_GBPS)
    switch = samples(rows, "latency", "switch")
    contention = samples(rows, "contention")
    bandwidth = stated
    if switch and contention:
        pairs = max(r["ppn"] for r in rows if r["figure"] == "contention")
        added = median(contention) - median(switch)
        if added > 0 and pairs > 1:
            bandwidth = (WIRE_BYTES * (pairs - 1) / (added * 1e3),
                         "what %d messages at once added, %.3f us: %s"
                         % (pairs, added, provenance(rows, "contention")))
    if switch and median(switch) * 1e3 <= WIRE_BYTES / bandwidth[0]:
        # More added than a message alone costs: the node's cores, not its
        # link, were what the messages waited for.
        bandwidth = (stated[0], "%s; what the messages at once added, more than a message "
                     "alone, was not the link's" % stated[1])
    found["node bandwidth"] = bandwidth
    if switch:
        link = (median(switch) * 1e3 - WIRE_BYTES / bandwidth[0]) / 2
        found["node link"] = (link, "half the median of " + provenance(rows, "latency",
                                                                        "switch"))
    inside = samples(rows, "latency", "node")
    if inside:
        found["inside"] = (median(inside) * 1e3, "the median of " +
                           provenance(rows, "latency", "node"))
    if "node link" not in found:
        found["node link"] = (found.get("inside", (1000.0,))[0] / 2,
                              "assumed: no two nodes measured; half a message inside one")
    if "inside" not in found:
        found["inside"] = (2 * found["node link"][0],
                           "assumed: no node of two cores measured; a message between nodes")
    core = samples(rows, "latency", "core")
    if core and switch:
        found["uplink"] = (max(0.0, (median(core) - median(switch)) * 1e3 / 2),
                           "half what a message between switches adds: the medians of %s"
                           % provenance(rows, "latency", "core"))
    else:
        found["uplink"] = (0.0, "assumed, 0: no two nodes measured under different switches")
    widest = max(len(nodes) for nodes in leaves.values())
    found["uplink bandwidth"] = (bandwidth[0] * widest,
                                 "assumed: a non-blocking fat tree, its leaf's %s' "
                                 "links together" % plural(widest, "node"))
    return found, leaves


def number(value, unit):
    """VALUE in UNIT as a platform writes it: fixed-point, to the millionth."""
    return ("%.6f" % value).rstrip("0").rstrip(".") + unit


def ns(value):
    return number(value, "ns")


def xml(rows):
    """The platform of ROWS, as the text of a SimGrid platform file."""
    found, leaves = figures(rows)
    mpi = rows[0]["mpi"]
    cores = found["cores"][0]
    bandwidth = number(found["node bandwidth"][0], "GBps")
    lines = ['<?xml version="1.0"?>',
             '<!DOCTYPE platform SYSTEM "https://simgrid.org/simgrid.dtd">',
             "<!--",
             "  A calibrated cluster: %s of %s under %s, measured with %s."
             % (plural(sum(map(len, leaves.values())), "node"), plural(cores, "core"),
                plural(len(leaves), "switch"), mpi),
             "  Made by calibrate/platform_from_csv.py from the measurements beside it; each",
             "  figure and where it came from:"]
    for name in ("inside", "node link", "node bandwidth", "uplink", "uplink bandwidth",
                 "cores"):
        value, whence = found[name]
        shown = "%d" % value if name == "cores" else \
            "%.6g GB/s" % value if "bandwidth" in name else "%.6g ns" % value
        lines.append("  - %s: %s, %s" % (name, shown, whence.replace("--", "- -")))
    lines += ["-->", '<platform version="4.1">', '  <zone id="calibrated" routing="Floyd">',
              '    <prop id="network" value=%s/>' % quoteattr(
                  "calibrated with %s, %s" % (mpi, plural(len(leaves), "switch"))),
              '    <prop id="midquad/measured-with" value=%s/>' % quoteattr(mpi)]
    names = {}
    for k, leaf in enumerate(leaves):
        names[leaf] = "switch%d" % k
    for leaf, nodes in leaves.items():
        zone = names[leaf]
        lines.append('    <zone id="%s" routing="Cluster">' % zone)
        lines.append('      <prop id="switch" value=%s/>' % quoteattr(leaf))
        for node in nodes:
            lines.append('      <host id=%s speed="1Gf" core="%d"/>' % (quoteattr(node), cores))
        for node in nodes:
            lines.append('      <link id=%s bandwidth="%s" latency="%s" '
                         'sharing_policy="SPLITDUPLEX"/>'
                         % (quoteattr(node + "-link"), bandwidth, ns(found["node link"][0])))
            lines.append('      <link id=%s bandwidth="1000GBps" latency="%s" '
                         'sharing_policy="FATPIPE"/>'
                         % (quoteattr(node + "-loopback"), ns(found["inside"][0])))
        for node in nodes:
            lines.append('      <host_link id=%s up=%s down=%s/>'
                         % (quoteattr(node), quoteattr(node + "-link_UP"),
                            quoteattr(node + "-link_DOWN")))
        lines.append('      <router id="%s-router"/>' % zone)
        for node in nodes:
            lines.append('      <route src=%s dst=%s><link_ctn id=%s/></route>'
                         % (quoteattr(node), quoteattr(node), quoteattr(node + "-loopback")))
        lines.append("    </zone>")
    if len(leaves) > 1:
        lines.append('    <zone id="core" routing="Full"><router id="core-router"/></zone>')
        for leaf in leaves:
            lines.append('    <link id="%s-uplink" bandwidth="%s" latency="%s" '
                         'sharing_policy="SPLITDUPLEX"/>'
                         % (names[leaf], number(found["uplink bandwidth"][0], "GBps"),
                            ns(found["uplink"][0])))
        for leaf in leaves:
            zone = names[leaf]
            lines.append('    <zoneRoute src="%s" dst="core" gw_src="%s-router" '
                         'gw_dst="core-router"><link_ctn id="%s-uplink" direction="UP"/>'
                         '</zoneRoute>' % (zone, zone, zone))
    lines += ["  </zone>", "</platform>"]
    return "\n".join(lines) + "\n"


def write(csv_path, xml_path):
    text = xml(read(csv_path))
    try:
        with open(xml_path + ".part", "w") as f:
            f.write(text)
        os.replace(xml_path + ".part", xml_path)
    except OSError as error:
        raise Refused("cannot write %s: %s" % (xml_path, error.strerror))


def main(args):
    if len(args) not in (1, 2):
        sys.exit(__doc__.split("\n\n")[1])
    target = args[1] if len(args) > 1 else os.path.splitext(args[0])[0] + ".xml"
    write(args[0], target)
    print(os.path.abspath(target))


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except Refused as error:
        sys.exit("platform: %s" % error)
