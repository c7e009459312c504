# Code objects that come and go during a session, and the limit on how many
# one session names (FENNIK_CODE_CAPACITY).

import queue
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
    jobs, done, tids = queue.Queue(), queue.Queue(), []

    def worker():
        tids.append(threading.get_native_id() & 0xFFFFFFFF)
        while (fn := jobs.get()) is not None:
            fn()
            del fn
            done.put(None)

    def run():
        t = threading.Thread(target=worker)
        t.start()
        for i in range(ROUNDS):
            jobs.put(made(i))
            done.get()
        jobs.put(None)
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
    run_python(CAPACITY_SCRIPT, tmp_path / "out", fmt, env={"FENNIK_CODE_CAPACITY": value})
    decoded = decode(tmp_path / "out", fmt)
    if fmt == "pprof":
        seen = {name for name, _, _ in decoded.functions.values()}
    else:
        seen = decoded.names()
        assert sum(e.name == "f0" for t in decoded.threads.values() for e in t.events) == 4
    assert seen == (named or {"f0", "f1", "f2"})
