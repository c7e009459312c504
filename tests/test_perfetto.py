# Perfetto's own trace processor reads the protobuf output as the decoder
# does, with no import error: every slice and lost-events marker at the same
# time on the same thread, with the same name and location, and the same
# threads and processes; for processes appending to one file, flight
# recorders' dumps, and writers whose sequence ids take every varint length.

import csv
import pathlib
import subprocess

import pytest

from test_exporters import Script, emit

TRACE_PROCESSOR = pathlib.Path(__file__).resolve().parents[2] / "shared/tools/perfetto/trace_processor_shell"
pytestmark = pytest.mark.skipif(not TRACE_PROCESSOR.exists(), reason="no trace processor here")
QUERY = """
select 'problem', name, idx, value, 0, 0, 0 from stats where value > 0 and severity in ('error', 'data_loss');
select 'slice', t.tid, s.ts, s.dur, s.name, extract_arg(s.arg_set_id, 'source.file_name'),
  extract_arg(s.arg_set_id, 'source.line_number') from slice s join thread_track tt on s.track_id = tt.id
  join thread t using(utid);
select 'thread', t.tid, t.name, p.pid, 0, 0, 0 from thread t join process p using(upid)
  where utid in (select utid from thread_track);
"""


def agree(path, tmp_path, decode):
    (tmp_path / "q.sql").write_text(QUERY)
    rows = {"problem": [], "slice": [], "thread": []}
    for kind, *row in filter(None, csv.reader(subprocess.run(
            [TRACE_PROCESSOR, "-q", tmp_path / "q.sql", path], capture_output=True, text=True,
            check=True).stdout.splitlines())):
        if kind in rows:
            rows[kind].append(tuple(None if v == "[NULL]" else int(v) if v.lstrip("-").isdigit() else v
                                    for v in row))
    decoded, slices = decode(path, "protobuf"), []
    for t in decoded.incarnations():  # (tid, ts, dur, name, file, line); -1: never ended
        stack = []
        for e in t.events:
            if e.ph == "E":
                begun = slices[stack.pop()]
                begun[2] = e.ts - begun[1]
            else:
                stack += [len(slices)] if e.ph == "B" else []
                slices.append([t.tid, e.ts, -1, e.name, e.file, e.line] if e.ph == "B" else
                              [t.tid, e.ts, 0, f"fennik: {e.name} events lost", None, None])
    assert rows["problem"] == []
    assert sorted(rows["slice"], key=repr) == sorted(map(tuple, slices), key=repr)
    assert sorted((r[:2] for r in rows["thread"]), key=repr) == sorted(
        ((t.tid, t.name) for t in decoded.incarnations() if t.events), key=repr)
    assert {r[2] for r in rows["thread"]} == set(decoded.pids)
    return decoded


PROGRAM = """
import os, sys, threading, fennik
def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
def numbers(n): yield from range(n)
def deep(n): return deep(n - 1) + 1 if n else sum(numbers(3))
class Box:
    def get(self): return sum(numbers(3))
def work():
    fib(int(sys.argv[3]))
    [Box().get() for _ in range(50)]
    deep(1100)  # past Perfetto's 512 levels twice
sys.setrecursionlimit(4000)
with fennik.Tracer(sys.argv[1], **eval(sys.argv[2])):
    work()
    for _ in range(2):
        if (pid := os.fork()) == 0:
            t = threading.Thread(target=work, name="forked worker")
            t.start(); work(); t.join()
            os._exit(0)
        os.waitpid(pid, 0)
    threading.Thread(target=work, name="parent worker").start()
"""


@pytest.mark.parametrize("options", ["{}", "{'record_last_mb': 1}"], ids=["appended", "dumps"])
def test_a_traced_program_reads_alike(run_python, decode, tmp_path, options):
    # Forked children append to the parent's file, or each process dumps the
    # last megabyte, a window that begins inside calls.
    out = tmp_path / "out.pb"
    run_python(PROGRAM, out, options, 20 if "record" in options else 12)
    outputs = sorted(out.iterdir()) if out.is_dir() else [out]
    decoded = [agree(o, tmp_path, decode) for o in outputs]
    assert [len(d.pids) for d in decoded] in ([3], [1, 1, 1])
    if len(decoded) == 1:  # the second child writes on the sequences the first left
        assert sorted(decoded[0].process_sequences) == [1, 0x81, 0x81]


def test_lost_events_and_long_sequence_ids_read_alike(decode, tmp_path):
    # A thread that loses events, ends, and whose id comes back; one that
    # loses them 1,100 calls deep; a second writer whose tag puts its
    # sequence ids past 2^29, beyond 126 threads.
    code, t0 = [("c", 1, ("f", "a.py", 3)), ("c", 2, ("g", "b.py", 9))], 10**9
    deep = [("b", 6, [(t0 + 550 * b + i, 1, 1) for i in range(550)]) for b in range(2)]
    parent = Script(code + [("t", 6, "deep"), *deep, ("g", 6, t0 + 2000, 3),
                            ("b", 6, [(t0 + 2100, 2, 1), (t0 + 2200, 2, 2)]),
                            ("t", 5, "main"), ("b", 5, [(t0, 1, 1), (t0 + 5, 1, 2)]),
                            ("g", 5, t0 + 90, 7), ("b", 5, [(t0 + 100, 2, 2), (t0 + 200, 1, 2)]),
                            ("e", 5), ("b", 5, [(t0 + 300, 1, 1), (t0 + 70_000, 2, 1)])])
    child = Script(code + [op for n in range(130) for op in (
        ("t", 100 + n, f"t{n}"), ("b", 100 + n, [(t0 + n, 1, 1), (t0 + 2 * n + 1, 2, 1)]))])
    emit("protobuf", tmp_path / "out.pb", parent)
    emit("protobuf", tmp_path / "out.pb", child, (1 << 25) + 1, True)
    decoded = agree(tmp_path / "out.pb", tmp_path, decode)
    assert [e.ph for e in decoded.ended[0].events] == ["B", "B", "E", "E", "G", "B", "E"]
