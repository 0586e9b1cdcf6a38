"""The program's Time on a simulated cluster, counted in rounds from the
platform's figures alone (platforms.py reads them), without SimGrid.

Rank 0 reads its clock after a recursive-doubling barrier, takes part in a
binomial reduction onto it and reads it again after a second barrier: the
collectives that the launcher sets (launcher/launch). With 2^L processes that
is L rounds in the reduction and L in each barrier. A message costs the
latencies on its way: inside a node, under one leaf switch (or group),
through the core, or along so many links of a torus; and each send of the
reduction MPI's software, where the platform sets it (smpi/os).
doc/simulated-cluster.md derives the formula ("The formula").
"""
# What SMPI puts on a link for one message of the barrier, and SimGrid's
# reverse traffic, a twentieth of each message's bytes.
BARRIER_MESSAGE_BYTES = 16
REVERSE_TRAFFIC = 1.05
READ_CLOCK_NS = 10  # SMPI charges each MPI_Wtime this much: Time holds the first


class Rounds:
    """A job of NPROC processes, PPN a node, on the nodes that a job takes."""

    def __init__(self, platform, nproc, ppn):
        if nproc & (nproc - 1):
            raise ValueError("rounds are counted at powers of two, not %d" % nproc)
        self.platform, self.nproc, self.ppn = platform, nproc, ppn
        self.nodes = platform.job_nodes((nproc + ppn - 1) // ppn)

    def way(self, a, b):
        """Where a message between ranks A and B goes: "node", "leaf",
        "core", or on a torus the number of links."""
        p = self.platform
        x, y = self.nodes[a // self.ppn], self.nodes[b // self.ppn]
        if x == y:
            return "node"
        if p.torus:
            return sum(min(abs(i - j), length - abs(i - j)) for i, j, length in
                       zip(p.coordinates(x), p.coordinates(y), p.torus))
        return "leaf" if p.leaf_of[x] == p.leaf_of[y] else "core"

    def message(self, way):
        """One message's latency, in ns."""
        p = self.platform
        if way == "node":
            return p.inside
        if way == "leaf":
            return 2 * p.node_link
        if way == "core":
            return 2 * p.node_link + 2 * p.uplink
        return way * p.node_link

    def queue(self, way):
        """What a barrier round adds when every process sends at once: its
        message waits behind those of the others on the busiest link. A
        node's memory is not shared out among its messages; a torus's
        messages of one round share few links, for a few ns."""
        p = self.platform
        if way == "node" or p.torus:
            return 0.0
        wire = BARRIER_MESSAGE_BYTES * REVERSE_TRAFFIC
        behind = self.ppn * wire / p.node_bandwidth
        if way == "core":
            behind = max(behind, p.leaf_nodes * self.ppn * wire / p.uplink_bandwidth)
        return behind

    def rank0_ways(self):
        """The way of rank 0's message in each round, distance 1, 2, 4, ..."""
        return [self.way(0, d) for d in iter_distances(self.nproc)]

    def formula(self):
        """Time in ns from rank 0's rounds alone, the pages' formulas: each
        round a send's software, two messages and the barrier's queue. It holds
        where every rank's rounds go as rank 0's do, on leaves of a power of
        two of nodes."""
        return READ_CLOCK_NS + sum(self.platform.send + 2 * self.message(w) + self.queue(w)
                                   for w in self.rank0_ways())

    def clocks(self):
        """Time in ns from every rank's clock, round by round: where leaves
        hold other than a power of two of nodes (a dragonfly's groups), some
        ranks' messages cross between leaves in rounds where rank 0's do not,
        and rank 0 waits for them in the barrier. A message starts when both
        its ends have reached it, and SMPI's messages this small leave their
        sender at once."""
        nproc = self.nproc

        def cost(a, b, barrier):
            way = self.way(a, b)
            return self.message(way) + (self.queue(way) if barrier else 0.0)

        def barrier(clock):  # recursive doubling
            for mask in iter_distances(nproc):
                clock = [max(t, clock[r ^ mask]) + cost(r, r ^ mask, True)
                         for r, t in enumerate(clock)]
            return clock

        clock = barrier([0.0] * nproc)
        start = clock[0]
        clock = [t + READ_CLOCK_NS for t in clock]
        for mask in iter_distances(nproc):  # binomial: children by distance
            for r in range(0, nproc, 2 * mask):
                clock[r + mask] += self.platform.send  # the child's send
                clock[r] = max(clock[r], clock[r + mask]) + cost(r, r + mask, False)
        return barrier(clock)[0] - start

    def cheapest_network_message(self):
        """The least that one more message through the network would add to
        Time, in ns; None if no message leaves a node."""
        costs = [self.message(w) + self.platform.send for w in self.rank0_ways() if w != "node"]
        return min(costs, default=None)


def iter_distances(nproc):
    distance = 1
    while distance < nproc:
        yield distance
        distance *= 2
