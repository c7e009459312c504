# Perfetto's own trace processor and the independent decoder read the same
# protobuf output alike: every slice and lost-events marker at the same time
# on the same thread, with the same name and location, and no import error;
# for processes appending to one file, a flight recorder's dump, and writers
# whose sequence ids take every varint length.

import csv
import io
import os
import pathlib
import subprocess

import pytest

from test_exporters import Script, emit

os.environ.setdefault("FENNIK_EMIT", os.path.join(os.environ.get("FENNIK_BUILD_DIR", "build/release"),
                                                  "py", "emit_output"))
TRACE_PROCESSOR = pathlib.Path(__file__).resolve().parents[2] / "shared/tools/perfetto/trace_processor_shell"
pytestmark = pytest.mark.skipif(not TRACE_PROCESSOR.exists(), reason="no trace processor here")

QUERY = """
select 'problem', name, idx, value from stats
  where value > 0 and severity in ('error', 'data_loss');
select 'slice', t.tid, s.ts, s.dur, s.name, extract_arg(s.arg_set_id, 'source.file_name'),
  extract_arg(s.arg_set_id, 'source.line_number')
  from slice s join thread_track tt on s.track_id = tt.id join thread t using(utid);
select 'thread', t.tid, t.name, p.pid from thread t join process p using(upid)
  where t.tid in (select t.tid from thread_track tt join thread t using(utid));
"""


def perfetto(path, tmp_path):
    # (problems, slices, threads) as Perfetto's reader has them.
    (tmp_path / "q.sql").write_text(QUERY)
    done = subprocess.run([TRACE_PROCESSOR, "-q", tmp_path / "q.sql", path], capture_output=True,
                          text=True, timeout=120, check=True)
    rows = [r for r in csv.reader(io.StringIO(done.stdout)) if r and r[0] in
            ("problem", "slice", "thread")]
    value = lambda v: None if v == "[NULL]" else int(v) if v.lstrip("-").isdigit() else v  # noqa: E731
    out = {"problem": [], "slice": [], "thread": []}
    for kind, *rest in rows:
        out[kind].append(tuple(map(value, rest)))
    return out["problem"], sorted(out["slice"], key=repr), out["thread"]


def decoded_slices(trace):
    # The decoder's events as (tid, ts, dur, name, file, line): a slice from
    # each begin to its end (-1 if none came), a lost-events marker at its time.
    out = []
    for t in trace.incarnations():
        stack = []
        for e in t.events:
            if e.ph == "B":
                stack.append(len(out))
                out.append([t.tid, e.ts, -1, e.name, e.file, e.line])
            elif e.ph == "E":
                begun = out[stack.pop()]
                begun[2] = e.ts - begun[1]
            else:
                out.append([t.tid, e.ts, 0, f"fennik: {e.name} events lost", None, None])
    return out


def agree(path, tmp_path, decode):
    problems, slices, threads = perfetto(path, tmp_path)
    decoded = decode(path, "protobuf")
    assert problems == []
    assert slices == sorted(map(tuple, decoded_slices(decoded)), key=repr)
    assert sorted(((tid, name) for tid, name, _ in threads), key=repr) == sorted(
        ((t.tid, t.name) for t in decoded.incarnations() if t.events), key=repr)
    assert {pid for *_, pid in threads} == set(decoded.pids)
    return decoded


PROGRAM = """
import os, sys, threading, fennik

def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
def numbers(n): yield from range(n)
class Box:
    def get(self): return sum(numbers(3))
def work():
    fib(12)
    [Box().get() for _ in range(50)]

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


@pytest.mark.parametrize("options", ["{}", "{'record_last_mb': 1}"], ids=["stream", "dump"])
def test_a_traced_program_reads_alike(run_python, decode, tmp_path, options):
    # Forked children append to the parent's file; or each process dumps the
    # last megabyte's window, which begins inside calls.
    out = tmp_path / "out.pb"
    run_python(PROGRAM.replace("fib(12)", "fib(20)" if "record" in options else "fib(12)"),
               out, options)
    if not out.is_dir():
        assert len(agree(out, tmp_path, decode).pids) == 3
        return
    dumps = sorted(out.iterdir())  # one per process
    assert len(dumps) == 3 and all(len(agree(d, tmp_path, decode).pids) == 1 for d in dumps)


def test_lost_events_and_long_sequence_ids_read_alike(decode, tmp_path):
    # A thread that loses events, ends, and whose id comes back; a second
    # writer whose tag puts its sequence ids past 2^29, beyond 126 threads.
    code = [("c", 1, ("f", "a.py", 3)), ("c", 2, ("g", "b.py", 9))]
    t0 = 10**9
    parent = Script(code + [("t", 5, "main"), ("b", 5, [(t0, 1, 1), (t0 + 5, 1, 2)]),
                            ("g", 5, t0 + 90, 7), ("b", 5, [(t0 + 100, 2, 2), (t0 + 200, 1, 2)]),
                            ("e", 5), ("b", 5, [(t0 + 300, 1, 1), (t0 + 70_000, 2, 1)])])
    child = Script(code + [op for n in range(130) for op in (
        ("t", 100 + n, f"t{n}"), ("b", 100 + n, [(t0 + n, 1, 1), (t0 + 2 * n + 1, 2, 1)]))])
    path = tmp_path / "out.pb"
    emit("protobuf", path, parent)
    emit("protobuf", path, child, (1 << 25) + 1, True)
    decoded = agree(path, tmp_path, decode)
    assert [e.ph for e in decoded.ended[0].events] == ["B", "B", "E", "E", "G", "B", "E"]
