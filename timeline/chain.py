"""Who held rank 0 up, in a recorded job (records.py reads it): rank 0's
chain through a simulated job's messages, as doc/performance.md states the
rule ("Rank 0's chain"), and, in a real MPI's job, which has no messages in
its record, the rank that entered each collective last."""
import collections


def first_barrier(calls):
    return next(i for i, c in enumerate(calls) if c.name == "MPI_Barrier")


def chain(job):
    """Rank 0's chain, from where its clock stops back to the start of some
    rank's first barrier: segments (rank, start, end) of the rows, and the
    messages between them."""
    if not job.simulated:
        return [], []
    delivered = collections.defaultdict(list)
    for m in job.messages:
        delivered[m.target].append(m)
    rank, calls = 0, job.calls[0]
    i = max(k for k, c in enumerate(calls) if c.name == "MPI_Barrier")
    t = calls[i].end
    segments, messages = [], []
    while True:
        call = calls[i]
        arrived = sorted((m for m in delivered[rank] if call.start < m.end <= t),
                         key=lambda m: (m.end, -m.source))
        if arrived:
            m = arrived[-1]
            before = max([a.end for a in arrived if a.end < m.end], default=call.start)
            if m.start >= before:  # the sender held this rank up
                segments.append((rank, m.end, t))
                messages.append(m)
                rank, t, calls = m.source, m.start, job.calls[m.source]
                i = max(k for k, c in enumerate(calls) if c.start <= t)
            else:  # this rank was the late one
                segments.append((rank, before, t))
                t = before
        elif i > first_barrier(calls):
            segments.append((rank, calls[i - 1].end, t))
            i -= 1
            t = calls[i].end
        else:
            segments.append((rank, call.start, t))
            return segments, messages


def last_entrants(job):
    """For each collective, in order, the rank that entered it last, and
    when: no rank leaves a barrier, nor the root the reduction, before."""
    if job.simulated:
        return []
    collectives = [[c for c in job.calls[r] if c.name in ("MPI_Barrier", "MPI_Reduce")]
                   for r in range(job.nproc)]
    if len({len(c) for c in collectives}) != 1:
        raise ValueError("the ranks recorded different numbers of collectives")
    found = []
    for k, call in enumerate(collectives[0]):
        rank = max(range(job.nproc), key=lambda r: (collectives[r][k].start, -r))
        found.append((call.name, rank, collectives[rank][k].start))
    return found
