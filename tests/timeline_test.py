#!/usr/bin/env python3
"""The timeline's reading of a real MPI's records and its Paje trace
(timeline/records.py, paje.py), on records made up for the purpose; no MPI.

    tests/timeline_test.py"""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from timeline import chain, paje, records  # noqa: E402

# Rank 0's calls, in ns of its host's clock, and the two clock readings.
RECORD = """record 1 %d %d host
call MPI_Init 0 1000
call MPI_Barrier 1000 3000
wtime 0.5 3000
call MPI_Reduce 3000 4000
call MPI_Barrier 4000 6000
wtime 0.500003 6000
call MPI_Finalize 6000 7000
end
"""


class TimelineTest(unittest.TestCase):
    def folder_with(self, texts):
        """A folder of records, a rank's text each."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        for rank, text in enumerate(texts):
            with open(os.path.join(folder, "rank-%d.rec" % rank), "w") as f:
                f.write(text)
        return folder

    def test_records(self):
        job = records.read_records(self.folder_with([RECORD % (0, 2), RECORD % (1, 2)]))
        self.assertEqual((job.nproc, job.time, job.clock_stop), (2, "0.000003", 3.0))
        self.assertEqual(job.calls[1][1], records.Call("MPI_Barrier", -2.0, 0.0))
        self.assertEqual([r for _, r, _ in chain.last_entrants(job)], [0, 0, 0])

    def test_refusals(self):
        cases = [  # rank 1's record, the refusal
            ((RECORD % (1, 2)).replace("end\n", ""), "rank-1.rec is not whole"),
            ((RECORD % (1, 2)).replace("call MPI_Reduce 3000 4000", "call MPI_Reduce 3000"),
             "rank-1.rec is not whole"),
            ((RECORD % (1, 2)).replace("wtime", "time"), "rank-1.rec is not whole"),
            ((RECORD % (1, 2)).replace("record 1 1 2", "record 1 1 3"), "rank-1.rec is not whole"),
        ]
        for text, message in cases:
            with self.subTest(message=message, text=text[:40]):
                with self.assertRaisesRegex(records.Refused, message):
                    records.read_records(self.folder_with([RECORD % (0, 2), text]))
        fewer = (RECORD % (1, 2)).replace("call MPI_Reduce 3000 4000\n", "")
        with self.assertRaisesRegex(ValueError, "different numbers of collectives"):
            chain.last_entrants(records.read_records(self.folder_with([RECORD % (0, 2), fewer])))

    def test_paje_order(self):
        """A call that ends when the next begins is popped before the next
        is pushed, or the next would be popped at once."""
        job = records.read_records(self.folder_with([RECORD % (0, 1)]))
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace.paje")
            paje.write(job, path)
            with open(path) as f:
                events = [line.split() for line in f if line[:2] in ("5 ", "6 ")]
        # A viewer's reading: each pop ends the state on top of the stack.
        stack, states = [], []
        for event in events:
            if event[0] == "5":
                stack.append((event[4], event[1]))
            else:
                name, start = stack.pop()
                states.append((name, start, event[1]))
        self.assertEqual(states, [
            ("MPI_Init", "0.000000000", "0.000001000"),
            ("MPI_Barrier", "0.000001000", "0.000003000"),
            ("MPI_Reduce", "0.000003000", "0.000004000"),
            ("MPI_Barrier", "0.000004000", "0.000006000"),
            ("MPI_Finalize", "0.000006000", "0.000007000")])

if __name__ == "__main__":
    unittest.main()
