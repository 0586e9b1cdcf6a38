"""A real MPI's recorded job (records.py) as a Paje trace, which viewers such
as ViTE open and pj_dump prints: a container a rank, a state an MPI call, in
seconds from the first event."""
import os

COLOURS = {"MPI_Init": 0xB0B0B0, "MPI_Barrier": 0x3A78C2, "MPI_Reduce": 0xE8892B,
           "MPI_Finalize": 0x707070}
DEFINITIONS = [
    ("PajeDefineContainerType", 0, ["Alias string", "Type string", "Name string"]),
    ("PajeDefineStateType", 1, ["Alias string", "Type string", "Name string"]),
    ("PajeDefineEntityValue", 2, ["Alias string", "Type string", "Name string",
                                  "Color color"]),
    ("PajeCreateContainer", 3, ["Time date", "Alias string", "Type string",
                                "Container string", "Name string"]),
    ("PajeDestroyContainer", 4, ["Time date", "Type string", "Name string"]),
    ("PajePushState", 5, ["Time date", "Type string", "Container string", "Value string"]),
    ("PajePopState", 6, ["Time date", "Type string", "Container string"]),
]


def write(job, path):
    lines = []
    for name, number, fields in DEFINITIONS:
        lines.append("%%EventDef %s %d" % (name, number))
        lines += ["%%       %s" % field for field in fields]
        lines.append("%EndEventDef")
    lines += ['0 R 0 "Rank"', '1 S R "MPI call"']
    for name, colour in COLOURS.items():
        rgb = " ".join("%.2f" % ((colour >> s & 0xFF) / 255) for s in (16, 8, 0))
        lines.append('2 %s S "%s" "%s"' % (name, name, rgb))
    zero = min(c.start for calls in job.calls.values() for c in calls)
    end = (max(c.end for calls in job.calls.values() for c in calls) - zero) / 1e6
    events = []  # (seconds, line), each rank's in its order
    for rank, calls in job.calls.items():
        events.append((0.0, '3 %.9f r%d R 0 "rank %d"' % (0.0, rank, rank)))
        for c in calls:
            start, stop = (c.start - zero) / 1e6, (c.end - zero) / 1e6
            events.append((start, "5 %.9f S r%d %s" % (start, rank, c.name)))
            events.append((stop, "6 %.9f S r%d" % (stop, rank)))
        events.append((end, "4 %.9f R r%d" % (end, rank)))
    # By time, and at one time in each rank's order: a call that ends when
    # the next begins is popped before the next is pushed.
    lines += [text for _, text in sorted(events, key=lambda e: e[0])]
    with open(path + ".new", "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(path + ".new", path)
