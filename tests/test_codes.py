# Code objects that come and go during a session, and the limit on how many
# one session names (FENNIK_CODE_CAPACITY).

import threading
import types

import pytest

from decoders import FORMATS, TRACE_FORMATS

ROUNDS = 300


def template():
    return 0


def made(i):
    return types.FunctionType(template.__code__.replace(
        co_name=f"made_{i}", co_qualname=f"made_{i}", co_filename=f"<made {i}>"), {})


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_code_freed_on_one_thread_and_called_on_another(trace, fmt):
    # The worker's cached ids must be dropped when another thread frees code.
    # The hand-off goes through C-level locks alone, so the last code the
    # worker ran before each wait is the freed one, whose address the next
    # code object is likely to get.
    go, done, slot, tids = threading.Lock(), threading.Lock(), [None], []
    go.acquire()
    done.acquire()

    def worker():
        tids.append(threading.get_native_id() & 0xFFFFFFFF)
        while True:
            go.acquire()
            if slot[0] is None:
                return
            slot[0]()
            done.release()

    def run():
        t = threading.Thread(target=worker)
        t.start()
        for i in range(ROUNDS):
            slot[0] = made(i)
            go.release()
            done.acquire()
            slot[0] = None
        go.release()
        t.join()

    events = trace(fmt, run).threads[tids[0]].events
    assert [(e.ph, e.name) for e in events if (e.name or "").startswith("made_")] == [
        (ph, f"made_{i}") for i in range(ROUNDS) for ph in "BE"]


CAPACITY_SCRIPT = """
import sys
import atexit, os, signal, threading  # imported now, not during the session
import fennik

def f0(): pass
def f1(): pass
def f2(): pass

with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    f0(); f1(); f2(); f0()
"""


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("value, named", [
    ("1", {"f0"}), ("+2", {"f0", "f1"}), ("0", {"f0"}), ("abc", None), ("20000000", None)])
def test_code_capacity(run_python, decode, tmp_path, fmt, value, named):
    # Only the first N code objects a session sees get events; a value that
    # does not parse leaves the session unlimited.
    done = run_python(CAPACITY_SCRIPT, tmp_path / "out", fmt, env={"FENNIK_CODE_CAPACITY": value})
    assert ("FENNIK_CODE_CAPACITY=abc is not" in done.stderr) == (value == "abc")
    decoded = decode(tmp_path / "out", fmt)
    if fmt == "pprof":
        seen = {name for name, _, _ in decoded.functions.values()}
    else:
        seen = decoded.names()
        assert sum(e.name == "f0" for t in decoded.threads.values() for e in t.events) == 4
    assert seen == (named or {"f0", "f1", "f2"})


# An independent counter: a second monitoring tool that only counts the
# events of this script's code and of code it makes with exec.
COUNTER = """
import sys
mon, E = sys.monitoring, sys.monitoring.events
FILES, counted = {__file__, "<string>"}, [0]
def count(code, *args):
    if code.co_filename in FILES:
        counted[0] += 1
mon.use_tool_id(4, "counter")
for ev in (E.PY_START, E.PY_RETURN, E.PY_YIELD, E.PY_RESUME, E.PY_UNWIND, E.PY_THROW):
    mon.register_callback(4, ev, count)
mon.set_events(4, E.PY_START | E.PY_RETURN | E.PY_YIELD | E.PY_RESUME | E.PY_UNWIND | E.PY_THROW)
"""

CODES = COUNTER + """
import time, fennik

def make(i):
    ns = {}
    exec(f"def fn_{i}():\\n    return {i}", {}, ns)
    return ns[f"fn_{i}"]

with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    for i in range(int(sys.argv[3])):
        make(i)()  # each function is freed before the next is made
        time.sleep(0.001)
    kept = [make(int(sys.argv[3]) + i) for i in range(int(sys.argv[4]))]
    for f in kept:
        f()
mon.set_events(4, 0)
print(counted[0])
"""


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_full_interner_names_right_and_counts_what_it_refuses(run_python, decode, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    # Room for 40 codes; 400 short-lived functions, then 50 alive at once.
    done = run_python(CODES, out, fmt, 400, 50, env={"FENNIK_CODE_CAPACITY": "40"})
    decoded = decode(out, fmt)
    files = {str(tmp_path / "script.py"), "<string>"}
    events = [e for t in decoded.threads.values() for e in t.events if e.file in files]
    # Each fn_N runs once: a name seen twice is an id given to the wrong code.
    made = [e.name for e in events if e.ph == "B" and e.name.startswith("fn_")]
    assert len(made) == len(set(made))
    # Ids come back once their code is gone and its events are written.
    assert len(made) > 100
    # Whatever the callbacks saw and the output lacks is in the dropped count.
    assert len(events) + decoded.dropped == int(done.stdout)
    assert decoded.dropped > 0
