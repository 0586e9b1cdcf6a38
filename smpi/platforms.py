#!/usr/bin/env python3
"""The simulated clusters' platforms, read when a job starts: their nodes in
the order jobs take them, their cores and the figures that Time depends on,
and a job's host file.

    smpi/platforms.py clusters            the clusters, a line each
    smpi/platforms.py size CLUSTER        its platform file, nodes, cores and
                                          the MPI it was measured with, if it
                                          is a calibrated cluster's,
                                          separated by tabs
    smpi/platforms.py job PLATFORM PPN NPROC FOLDER
        writes FOLDER/hosts, NPROC processes on the first nodes, PPN on
        each, and prints it with the platform that SimGrid is to read and
        that platform's nodes, separated by tabs

launcher/launch asks these questions; it checks PPN and NPROC itself. CLUSTER
is default (smpi/cluster.xml), the name of a platform of smpi/machines, or
a platform's file: a value with a "/" in it, or ending in .xml, such as a
calibrated cluster's (calibrate/platform_from_csv.py). A platform is one of these
shapes:
- leaves and uplinks: each <cluster> a leaf switch (a fat tree's) or a
  group (a dragonfly's), or each a <zone routing="Cluster"> of its own
  hosts, each with a link of its own, joined by <link>s through a core;
- one switch: a single <cluster>;
- a torus: a single <cluster topology="TORUS">, whose nodes jobs take in
  boxes (torus_order).
Every leaf has the figures of the first: the rounds model reads those.
"""
import copy
import math
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

FOLDER = os.path.dirname(os.path.abspath(__file__))
DEFAULT = os.path.join(FOLDER, "cluster.xml")
MACHINES = os.path.join(FOLDER, "machines")
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0,
         "Gbps": 1e9 / 8, "GBps": 1e9, "Mbps": 1e6 / 8, "MBps": 1e6}


class Refused(Exception):
    """A platform, a cluster's name or a placement that cannot be used."""


def clusters():
    """Every cluster's name and platform file: default first, then the
    machines by name."""
    found = {"default": DEFAULT}
    for name in sorted(os.listdir(MACHINES)):
        if name.endswith(".xml"):
            found[name[:-len(".xml")]] = os.path.join(MACHINES, name)
    return found


def platform_file(cluster):
    if is_file(cluster):
        if not os.path.isfile(cluster):
            raise Refused("no platform file %s" % cluster)
        return cluster
    known = clusters()
    if cluster not in known:
        raise Refused("CLUSTER must be one of %s, or a platform's file, not '%s'"
                      % (", ".join(known), cluster))
    return known[cluster]


def is_file(cluster):
    """Whether CLUSTER names a platform's file rather than a model."""
    return "/" in cluster or cluster.endswith(".xml")


def cluster(name):
    """The platform of the cluster NAME."""
    return Platform(platform_file(name))


def figure(text):
    """A SimGrid latency or bandwidth, in seconds or bytes a second."""
    match = re.fullmatch(r"([0-9.]+(?:e-?[0-9]+)?)(ns|us|ms|s|Gbps|GBps|Mbps|MBps)", text)
    if not match:
        raise Refused("a platform's figure '%s' is not one this reader knows" % text)
    return float(match.group(1)) * UNITS[match.group(2)]


def torus_order(dims, count):
    """The first COUNT places of a torus (numbered along the first axis
    first) in the order jobs take them: boxes that double along each axis in
    turn (2x1x1, 2x2x1, 2x2x2, 4x2x2, ...), passing over an axis that cannot
    double, then the places outside the largest box in the torus's order. So
    a job of 2^k nodes has a box of its own, as on a torus machine, and each
    half of its ranks half the box."""
    strides = [math.prod(dims[:axis]) for axis in range(len(dims))]
    order, box = [0], [1] * len(dims)
    axis, passed = 0, 0
    while len(order) < count and passed < len(dims):
        if 2 * box[axis] > dims[axis]:
            passed += 1
        else:
            passed = 0
            shift = strides[axis] * box[axis]
            order += [place + shift for place in order]
            box[axis] *= 2
        axis = (axis + 1) % len(dims)
    if len(order) < count:
        inside = set(order)
        order += [place for place in range(math.prod(dims)) if place not in inside]
    return order[:count]


class Platform:
    """A platform file's nodes and figures. Times are in ns, bandwidths in
    bytes a ns.
      names, leaf_of  each node's name and leaf, in the platform's order
      leaf_nodes      the nodes of the first leaf
      cores           a node's cores
      node_link       a node's link to its leaf switch, or a link of a torus
      node_bandwidth  that link's bandwidth
      inside          a message between two cores of a node
      uplink, uplink_bandwidth  a leaf's link to the core (None: no core)
      send            MPI's software on each blocking send (SMPI's smpi/os)
      torus           the torus's dimensions, or None"""

    def __init__(self, source, path=None):
        self.path = path or source
        try:
            self.tree = ElementTree.parse(source)
        except (OSError, ElementTree.ParseError) as error:
            raise Refused("cannot read the platform %s: %s" % (self.path, error))
        try:
            self.read(self.tree.getroot())
        except (KeyError, ValueError, IndexError, StopIteration) as error:
            raise Refused("%s: a <cluster>, <link> or <prop> lacks or mistakes %s"
                          % (self.path, error))
        except Refused as error:
            raise Refused("%s: %s" % (self.path, error))

    def read(self, root):
        """The leaves, their nodes and the figures, from the XML's ROOT."""
        self.leaves = [leaf for leaf in root.iter() if leaf.tag == "cluster" or
                       (leaf.tag == "zone" and leaf.get("routing") == "Cluster")]
        inside = {id(link) for leaf in self.leaves for link in leaf.iter("link")}
        uplinks = [link for link in root.iter("link") if id(link) not in inside]
        if not self.leaves or (len(self.leaves) > 1 and not uplinks):
            raise Refused("no <cluster>, or several without <link>s between them")
        for leaf in self.leaves:
            # SimGrid's one-line fat trees and dragonflies have routes that
            # this reader does not follow: their leaves are to be written out.
            if leaf.get("topology", "FLAT") not in ("FLAT", "TORUS"):
                raise Refused("a <cluster> of topology %s: write out its leaves, each a "
                              "<cluster>" % leaf.get("topology"))
        network = root.find(".//prop[@id='network']")
        self.network = network.attrib["value"] if network is not None else ""
        measured = root.find(".//prop[@id='midquad/measured-with']")
        self.measured_with = measured.attrib["value"] if measured is not None else ""
        overhead = root.find(".//config/prop[@id='smpi/os']")
        self.send = 0.0
        if overhead is not None:
            # One figure for messages of every size: "0:SECONDS:0".
            if ";" in overhead.attrib["value"]:
                raise Refused("smpi/os has figures by size; the rounds model takes one")
            self.send = float(overhead.attrib["value"].split(":")[1]) * 1e9
        self.names, self.numbers, self.leaf_of = [], [], []
        figures = []
        for k, leaf in enumerate(self.leaves):
            if leaf.tag == "cluster":
                numbers = ranges(leaf.attrib["radical"])
                names = [leaf.attrib["prefix"] + str(i) + leaf.attrib["suffix"]
                         for i in numbers]
                figures.append(leaf.attrib)
            else:
                names, found = written_out(leaf)
                numbers = list(range(len(self.names), len(self.names) + len(names)))
                figures.append(found)
            self.names += names
            self.numbers += numbers
            self.leaf_of += [k] * len(names)
        self.nodes = len(self.names)
        self.leaf_nodes = self.leaf_of.count(0)
        if not all(self.leaf_of.count(k) for k in range(len(self.leaves))) or \
                len(set(self.names)) != self.nodes:
            raise Refused("a <cluster> without nodes, or a node named twice")
        first = figures[0]
        if any(leaf["core"] != first["core"] for leaf in figures):
            raise Refused("its leaves have different numbers of cores")
        self.cores = int(first["core"])
        if self.cores < 1:
            raise Refused("a node of %d cores" % self.cores)
        self.node_link = figure(first["lat"]) * 1e9
        self.node_bandwidth = figure(first["bw"]) / 1e9
        self.inside = figure(first["loopback_lat"]) * 1e9
        self.uplink = self.uplink_bandwidth = None
        if uplinks:
            self.uplink = figure(uplinks[0].attrib["latency"]) * 1e9
            self.uplink_bandwidth = figure(uplinks[0].attrib["bandwidth"]) / 1e9
        self.torus = None
        if first.get("topology") == "TORUS":
            if len(self.leaves) > 1:
                raise Refused("a torus must be the platform's one <cluster>")
            self.torus = [int(x) for x in first["topo_parameters"].split(",")]
            if min(self.torus) < 1 or math.prod(self.torus) != self.nodes:
                raise Refused("a torus of %s cannot hold %d nodes"
                              % (first["topo_parameters"], self.nodes))

    def job_nodes(self, count):
        """The first COUNT nodes that a job takes, as numbers of the
        platform's order: a torus's in boxes, other nodes in order."""
        return torus_order(self.torus, count) if self.torus else list(range(count))

    def coordinates(self, node):
        found = []
        for length in self.torus:
            found.append(node % length)
            node //= length
        return found

    def placed_nodes(self, placement, count):
        """COUNT nodes as a published run placed them: "3+1" takes three
        nodes of the first leaf and one of the next; on a torus "2x2x2" a box
        at its origin, numbered along its first axis first."""
        if self.torus:
            sides = [int(n) for n in placement.split("x")]
            if len(sides) != len(self.torus) or math.prod(sides) != count or \
                    any(s > length for s, length in zip(sides, self.torus)):
                raise Refused("the placement %s is not a box of %d nodes on %s"
                              % (placement, count, self.path))
            nodes = []
            for k in range(count):
                node, stride = 0, 1
                for side, length in zip(sides, self.torus):
                    node += (k % side) * stride
                    k //= side
                    stride *= length
                nodes.append(node)
            return nodes
        counts = [int(n) for n in placement.split("+")]
        if sum(counts) != count or len(counts) > len(self.leaves) or \
                any(n > self.leaf_of.count(k) for k, n in enumerate(counts)):
            raise Refused("the placement %s does not hold %d nodes on %s"
                          % (placement, count, self.path))
        nodes = []
        for leaf, n in enumerate(counts):
            first = self.leaf_of.index(leaf)
            nodes += range(first, first + n)
        return nodes

    def write_job(self, nodes, ppn, nproc, folder):
        """Writes a job's host file into FOLDER: NPROC ranks on NODES, PPN on
        each, filling a node before the next. Returns the host file and the
        platform for SimGrid, with its nodes: on a torus, the smallest one
        with the same routes between these nodes (torus_part); else this
        one. Each file
        is written under another name, then renamed: jobs run side by side."""
        if nproc > ppn * len(nodes):
            raise Refused("%d nodes do not hold %d processes, %d a node"
                          % (len(nodes), nproc, ppn))
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            raise Refused("cannot make the folder %s: %s" % (folder, error))
        hosts = os.path.join(folder, "hosts")
        ranks = [self.names[nodes[r // ppn]] for r in range(nproc)]
        replace(hosts, "".join(name + "\n" for name in ranks))
        if not self.torus:
            return hosts, self.path, self.nodes
        part = os.path.join(folder, "platform.xml")
        text, size = self.torus_part(nodes[:(nproc + ppn - 1) // ppn])
        replace(part, text)
        return hosts, part, size

    def torus_part(self, nodes):
        """The platform as a torus just large enough for NODES, as XML, and
        its nodes. On each axis whose nodes lie within an extent e, a torus
        of 2e places routes each message as the whole one does, along the
        axis without wrapping round; so SimGrid need not build the whole
        machine, which on Fugaku takes it seconds. The nodes keep their
        names."""
        coordinates = [self.coordinates(n) for n in nodes]
        lows, sides = [], []
        for axis, length in enumerate(self.torus):
            low = min(c[axis] for c in coordinates)
            extent = max(c[axis] for c in coordinates) - low + 1
            if 2 * extent >= length:
                low, extent = 0, length
            else:
                extent *= 2
            lows.append(low)
            sides.append(extent)
        numbers = []
        for place in range(math.prod(sides)):
            node, stride = 0, 1
            for low, side, length in zip(lows, sides, self.torus):
                node += ((low + place % side) % length) * stride
                place //= side
                stride *= length
            numbers.append(self.numbers[node])
        root = copy.deepcopy(self.tree.getroot())
        leaf = root.find(".//cluster")
        leaf.set("topo_parameters", ",".join(str(s) for s in sides))
        leaf.set("radical", radical(numbers))
        text = ElementTree.tostring(root, encoding="unicode")
        return ('<?xml version="1.0"?>\n<!DOCTYPE platform SYSTEM '
                '"https://simgrid.org/simgrid.dtd">\n' + text + "\n"), len(numbers)


def written_out(leaf):
    """A leaf written out as a zone of SimGrid's Cluster routing: its hosts'
    names, and its first host's figures as a <cluster>'s attributes name
    them: its cores, its link's latency and bandwidth, and its loopback's
    latency (the route from the host to itself)."""
    hosts = leaf.findall("host")
    if not hosts:
        return [], {"core": "0"}
    links = {link.attrib["id"]: link.attrib for link in leaf.findall("link")}
    first = hosts[0].attrib["id"]
    up = next(h.attrib["up"] for h in leaf.findall("host_link") if h.attrib["id"] == first)
    link = links[re.sub(r"_UP$", "", up)]
    loopback = next(r for r in leaf.findall("route")
                    if r.attrib["src"] == r.attrib["dst"] == first)
    return [h.attrib["id"] for h in hosts], {
        "core": hosts[0].get("core", "1"), "lat": link["latency"], "bw": link["bandwidth"],
        "loopback_lat": links[loopback.find("link_ctn").attrib["id"]]["latency"]}


def ranges(radical):
    """A radical's numbers: "0-63,70" is 0 to 63 and 70."""
    numbers = []
    for part in radical.split(","):
        ends = [int(x) for x in part.split("-")]
        numbers += range(ends[0], ends[-1] + 1)
    return numbers


def radical(numbers):
    """NUMBERS as a radical, runs of consecutive numbers as ranges."""
    parts, start = [], 0
    for k in range(1, len(numbers) + 1):
        if k == len(numbers) or numbers[k] != numbers[k - 1] + 1:
            first, last = numbers[start], numbers[k - 1]
            parts.append(str(first) if first == last else "%d-%d" % (first, last))
            start = k
    return ",".join(parts)


def replace(path, text):
    try:
        with open("%s.%d" % (path, os.getpid()), "w") as f:
            f.write(text)
        os.replace(f.name, path)
    except OSError as error:
        raise Refused("cannot write %s: %s" % (path, error))


def main(args):
    if args[:1] == ["clusters"] and len(args) == 1:
        for name, path in clusters().items():
            p = Platform(path)
            print("%-8s %6d nodes of %2d cores  %s" % (name, p.nodes, p.cores, p.network))
    elif args[:1] == ["size"] and len(args) == 2:
        p = cluster(args[1])
        print(p.path, p.nodes, p.cores, p.measured_with, sep="\t")
    elif args[:1] == ["job"] and len(args) == 5:
        p = Platform(args[1])
        ppn, nproc = int(args[2]), int(args[3])
        print(*p.write_job(p.job_nodes((nproc + ppn - 1) // ppn), ppn, nproc, args[4]),
              sep="\t")
    else:
        sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except Refused as error:
        # The launcher's refusal, in its one line.
        sys.exit("launch: %s" % error)
