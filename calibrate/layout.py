"""Where a cluster's nodes, their cores and its switches come from, for a
calibration that runs as an ordinary user: Slurm's hostlists, its topology
(topology.conf, `scontrol show topology` or each task's SLURM_TOPOLOGY_ADDR),
and host files of MPICH's, Open MPI's or the plain form.

A topology here is {leaf switch: [its nodes]}, in the order of its source.
"""
import itertools
import re


class Refused(Exception):
    """A file or a value that cannot be used, in one line."""


def expand(hostlist):
    """Slurm's hostlist as names, in order: "n[1-2,07],r[1-2]x[1-2]" is n1 n2
    n07 r1x1 r1x2 r2x1 r2x2. Commas or spaces outside brackets part names."""
    if not re.fullmatch(r"(?:[^\[\]]|\[[^\[\]\s]*\])*", hostlist):
        raise Refused("the hostlist '%s' has unbalanced brackets, or spaces in them"
                      % hostlist)
    found = []
    for part in re.split(r",(?![^\[]*\])", hostlist):
        if not part.split():
            raise Refused("the hostlist '%s' has an empty name" % hostlist)
        for name in part.split():
            pieces = re.split(r"\[([^\]]*)\]", name)
            pieces[::2] = [[piece] for piece in pieces[::2]]
            pieces[1::2] = [numbers(piece, hostlist) for piece in pieces[1::2]]
            # The last group varies fastest, as in Slurm's expansion.
            found += ["".join(parts) for parts in itertools.product(*pieces)]
    return found


def numbers(ranges, hostlist):
    """The numbers of a bracket's RANGES, "1-3,07", as written."""
    found = []
    for item in ranges.split(","):
        match = re.fullmatch(r"([0-9]+)(?:-([0-9]+))?", item)
        if not match:
            raise Refused("the hostlist '%s' has '%s' in brackets, not a number or a range"
                          % (hostlist, item))
        first, last = int(match.group(1)), int(match.group(2) or match.group(1))
        if last < first:
            raise Refused("the hostlist '%s' has the range %s, whose end is below its start"
                          % (hostlist, item))
        # Every number has the width of the first bound: 08-10 is 08 09 10.
        found += ["%0*d" % (len(match.group(1)), n) for n in range(first, last + 1)]
    return found


def compress(names):
    """NAMES as one hostlist for display: neighbours in the list that differ
    only in their last number share brackets, consecutive numbers of one
    width as ranges. expand() gives NAMES back."""
    parts = []  # [prefix, suffix, [[first, last], ...]], numbers as written
    for name in names:
        prefix, digits, suffix = re.fullmatch(r"(.*?)([0-9]*)([^0-9]*)", name).groups()
        last = parts[-1] if parts else None
        if not digits:
            parts.append([name, None, [["", ""]]])
        elif last and last[:2] == [prefix, suffix]:
            first, end = last[2][-1]
            if "%0*d" % (len(first), int(end) + 1) == digits:
                last[2][-1][1] = digits
            else:
                last[2].append([digits, digits])
        else:
            parts.append([prefix, suffix, [[digits, digits]]])
    text = []
    for prefix, suffix, ranges in parts:
        inside = ",".join(a if a == b else a + "-" + b for a, b in ranges)
        if len(ranges) > 1 or ranges[0][0] != ranges[0][1]:
            inside = "[%s]" % inside
        text.append(prefix + inside + (suffix or ""))
    return ",".join(text)


def read_topology(text, where):
    """The leaf switches of topology.conf's TEXT or of `scontrol show
    topology`'s, with their nodes, in order. WHERE names it in refusals."""
    switches = {}  # name: (line, nodes or None, child switches or None)
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        at = "%s, line %d" % (where, number)
        fields = {}
        for word in words:
            key, equals, value = word.partition("=")
            if not (key and equals and value):
                raise Refused("%s: '%s' is not KEY=VALUE" % (at, word))
            fields[key.lower()] = value  # Slurm reads keys in any case
        name = fields.get("switchname")
        if name is None:
            raise Refused("%s: a line without SwitchName=" % at)
        if name in switches:
            raise Refused("%s: the switch %s is defined twice" % (at, name))
        try:
            nodes, children = (expand(fields[key]) if key in fields else None
                               for key in ("nodes", "switches"))
        except Refused as error:
            raise Refused("%s: %s" % (at, error))
        if nodes is None and children is None:
            raise Refused("%s: the switch %s has neither Nodes= nor Switches=" % (at, name))
        switches[name] = (number, nodes, children)
    leaves, owner = {}, {}
    for name, (number, nodes, children) in switches.items():
        at = "%s, line %d" % (where, number)
        for child in children or []:
            if child not in switches:
                raise Refused("%s: the switch %s is not defined" % (at, child))
        # scontrol shows the nodes below an upper switch as its Nodes=.
        if children is not None:
            continue
        for node in nodes:
            if node in owner:
                raise Refused("%s: %s is under the leaf switches %s and %s"
                              % (at, node, owner[node], name))
            owner[node] = name
        leaves[name] = nodes
    if not leaves:
        raise Refused("%s: no leaf switch, one with Nodes=" % where)
    return leaves


def read_hosts(text, where):
    """A host file's hosts and their slots (None where it names none), in
    order: lines of `host`, `host:SLOTS` or `host slots=SLOTS [max_slots=M]`."""
    hosts, lines = [], {}
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        at = "%s, line %d" % (where, number)
        host, colon, count = words[0].partition(":")
        options = {key: value for key, equals, value in
                   (word.partition("=") for word in words[1:]) if equals}
        if not host or "=" in host or ":" in count or (colon and options) or \
                len(options) != len(words) - 1 or not set(options) <= {"slots", "max_slots"}:
            raise Refused("%s: '%s' is not host, host:SLOTS or host slots=SLOTS"
                          % (at, line.strip()))
        for value in [count] * bool(colon) + list(options.values()):
            if not re.fullmatch("[0-9]+", value) or not int(value):
                raise Refused("%s: slots '%s' is not a positive whole number" % (at, value))
        if host in lines:
            raise Refused("%s: the host %s is named twice, first on line %d"
                          % (at, host, lines[host]))
        lines[host] = number
        slots = count if colon else options.get("slots")
        hosts.append((host, int(slots) if slots else None))
    if not hosts:
        raise Refused("%s names no hosts" % where)
    return hosts


def write_hosts(hosts, mpi, ppn):
    """The host file for MPI's launcher: HOSTS in order, PPN slots each."""
    if ppn < 1:
        raise Refused("a host file of %d processes a host" % ppn)
    if mpi == "mpich":
        return "".join("%s:%d\n" % (host, ppn) for host in hosts)
    if mpi == "openmpi":
        return "".join("%s slots=%d\n" % (host, ppn) for host in hosts)
    # A host once a slot: the form that most launchers read.
    return "".join((host + "\n") * ppn for host in hosts)


def leaves_of(topology):
    """{node: its leaf switch}."""
    return {node: leaf for leaf, nodes in topology.items() for node in nodes}


def leaf_of(topology, node):
    """NODE's leaf switch, or None."""
    return leaves_of(topology).get(node)


def from_topology_addresses(addresses):
    """The topology of {node: its SLURM_TOPOLOGY_ADDR}, such as top.s1.node3:
    a node's leaf is the component before its name ("" if there is none)."""
    topology = {}
    for node, address in addresses.items():
        address = address.strip()
        if address != node and not address.endswith("." + node):
            raise Refused("the SLURM_TOPOLOGY_ADDR of %s is '%s', which does not end in "
                          "its name" % (node, address))
        switches = address[:-len(node)][:-1]
        topology.setdefault(switches.rpartition(".")[2], []).append(node)
    return topology


def pick(topology, nodes, count):
    """COUNT of the available NODES: two of each leaf in turn, the leaves that
    have two first, so that two share a leaf and, where NODES have another
    leaf, one is under it. Nodes that no leaf holds share one switch, ""."""
    if not 1 <= count <= len(nodes):
        raise Refused("%d nodes cannot be picked of the %d available (%s)"
                      % (count, len(nodes), compress(nodes)))
    owner, groups = leaves_of(topology), {}
    for node in nodes:
        groups.setdefault(owner.get(node, ""), []).append(node)
    order = sorted(groups.values(), key=lambda group: len(group) < 2)
    picked, taken = [], 0
    while len(picked) < count:
        for group in order:
            picked += group[taken:taken + 2][:count - len(picked)]
        taken += 2
    return picked


def check_allocation(topology, nodes, where):
    """Refused unless the topology of WHERE places every one of the
    allocation's NODES. It may place other nodes: the rest of the machine."""
    owner = leaves_of(topology)
    placed = [node for node in nodes if node in owner]
    if not placed:
        raise Refused("%s places none of the allocation's nodes (%s): is it this cluster's?"
                      % (where, compress(nodes)))
    missing = [node for node in nodes if node not in owner]
    if missing:
        raise Refused("%s places %s but not %s of the allocation's nodes: give a topology that "
                      "places all of them, or none" % (where, compress(placed), compress(missing)))
