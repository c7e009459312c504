# Settings from the environment, code objects that come and go during a
# session, and events lost to the limits on codes and on buffered memory.

import ast
import pathlib
import subprocess
import threading
import types

import pytest

from decoders import FORMATS, TRACE_FORMATS

# Reads a protobuf trace as the Perfetto UI would, where the checkout has it.
PERFETTO_CHECK = pathlib.Path(__file__).resolve().parents[2] / "shared/tools/perfetto-check"

ROUNDS = 300


def template(): return 0


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

with fennik.Tracer(sys.argv[1] + ".before", format=sys.argv[2]):
    pass
with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    f0(); f1(); f2(); f0()
"""


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("var, value, named", [
    ("FENNIK_CODE_CAPACITY", "1", {"f0"}), ("FENNIK_CODE_CAPACITY", "+2", {"f0", "f1"}),
    ("FENNIK_CODE_CAPACITY", "0", {"f0"}), ("FENNIK_CODE_CAPACITY", "abc", None),
    ("FENNIK_CODE_CAPACITY", "20000000", None), ("FENNIK_BUFFER_MB", "1.5", None)])
def test_settings_from_the_environment(run_python, decode, tmp_path, fmt, var, value, named):
    # Only the first N code objects a session sees get events; a value that
    # does not parse warns once, at the first session, and is not used.
    done = run_python(CAPACITY_SCRIPT, tmp_path / "out", fmt, env={var: value})
    assert done.stderr.count(f"{var}={value} is not") == (value in ("abc", "1.5"))
    decoded = decode(tmp_path / "out", fmt)
    if fmt == "pprof":
        seen = {name for name, _, _ in decoded.functions.values()}
    else:
        seen = decoded.names()
        assert sum(e.name == "f0" for t in decoded.threads.values() for e in t.events) == 4
    assert seen == (named or {"f0", "f1", "f2"})


# An independent counter: a second monitoring tool that keeps, in order, the
# events of this script's code and of code it makes with exec: per event its
# kind as the decoders name it, and the function's name. What it keeps would
# set off collections, which fennik shows as slices of their own.
COUNTER = """
import gc, sys
gc.disable()
mon, E = sys.monitoring, sys.monitoring.events
FILES, seen = {__file__, "<string>"}, []
KINDS = {E.PY_START: "start", E.PY_RETURN: "return", E.PY_YIELD: "yield",
         E.PY_RESUME: "resume", E.PY_UNWIND: "unwind", E.PY_THROW: "throw"}
def watcher(kind):
    def watch(code, *args):
        if code.co_filename in FILES:
            seen.append((kind, code.co_qualname))
    return watch
mon.use_tool_id(4, "counter")
for ev, kind in KINDS.items():
    mon.register_callback(4, ev, watcher(kind))
mon.set_events(4, sum(KINDS))
"""

CODES = COUNTER + """
import time, fennik

def burst(): pass

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
    for _ in range(int(sys.argv[5])):
        burst()
mon.set_events(4, 0)
print(len(seen))
"""


@pytest.mark.parametrize("fmt", FORMATS)
def test_lost_events_are_counted_and_shown(run_python, decode, tmp_path, fmt):
    # No room for a waiting batch: each full one is lost, and shows as a gap.
    out, files = tmp_path / f"out.{fmt}", {str(tmp_path / "script.py"), "<string>"}
    done = run_python(CODES, out, fmt, 400, 50, 100_000, env={"FENNIK_BUFFER_MB": "0"})
    decoded, counted = decode(out, fmt), int(done.stdout)
    assert 0 < decoded.dropped < counted
    if fmt == "pprof":
        # Each gap restarts the thread's fold: no stack outgrows the script's.
        assert decoded.stacks(files) and all(
            len(s) == 1 or s == ("make", "<module>") for s in decoded.stacks(files))
        return
    # What ran: not the ends a gap adds for the slices open at it.
    events, gaps, gap_ts = [], [], None
    for e in reversed([e for t in decoded.threads.values() for e in t.events]):
        if e.ph == "G":
            gaps.append(e.name)
            gap_ts = e.ts
        elif not (e.ph == "E" and e.ts == gap_ts):
            events.append(e)
            gap_ts = None
    # Each fn_N runs once: a name seen twice is an id given to the wrong code.
    made = [e.name for e in events if e.ph == "B" and e.name.startswith("fn_")]
    assert len(made) == len(set(made))
    # Whatever the callbacks saw and the output lacks is in the dropped count,
    # but for ends after a gap of frames begun before it, which are left out:
    # per gap, at most the script's deepest stack (make, then exec's module).
    assert 0 <= counted - len(events) - decoded.dropped <= 2 * len(gaps)
    assert sum(gaps) == decoded.dropped
    if fmt == "protobuf" and PERFETTO_CHECK.exists():
        check = subprocess.run([PERFETTO_CHECK, out], capture_output=True, text=True)
        assert check.returncode == 0, check.stdout + check.stderr


# A program of the seed's making, on fresh code objects that come and go, so
# that the few code ids run out and come back while frames are open:
# recursion (whose outer calls may lose their begin while inner ones get an
# id), generators resumed, thrown into and closed, exceptions unwinding
# through several frames, and functions kept alive for a while, at times
# more of them than there are ids. Each kind of step runs once first, while
# ids are to be had, so that the functions and C calls that live for the
# whole session (the random module's, builtins) have theirs: only the fresh
# code loses events. With C calls recorded, a filter is on (one that leaves
# nothing out), so a C call asks whether its caller is left out.
LOST_FRAMES = COUNTER + """
import random, time, fennik

SOURCES = {
    "rec": "def rec_{i}(f, n):\\n    if n:\\n        time.sleep(0.0002)\\n"
           "        return f(f, n - 1) + 1\\n    return 0\\n",
    "gen": "def gen_{i}(n):\\n    for k in range(n):\\n        try:\\n            yield k\\n"
           "        except KeyError:\\n            time.sleep(0.0002)\\n",
    "raise": "def raise_{i}(f, n):\\n    if n:\\n        f(f, n - 1)\\n    raise ValueError(n)\\n",
    "call": "def call_{i}():\\n    return {i}\\n",
}

def fresh(kind, i):
    ns = {}
    exec(SOURCES[kind].format(i=i), {"time": time}, ns)
    return ns[f"{kind}_{i}"]

def step(rng, i, kept, forced=None):
    drawn = rng.choice(list(SOURCES))
    kind = forced or drawn
    f = fresh(kind, i)
    if kind == "rec":
        f(f, rng.randrange(1, 25))
    elif kind == "gen":
        g = f(rng.randrange(2, 8))
        next(g)
        g.throw(KeyError)
        if rng.random() < 0.5 or forced:
            g.close()
        for _ in g:  # nothing left once closed
            pass
    elif kind == "raise":
        try:
            f(f, rng.randrange(0, 6))
        except ValueError:
            pass
    else:
        f()
        kept.append(f)
    if rng.random() < 0.1 or forced:
        for g in kept:
            g()
        kept.clear()
    time.sleep(rng.random() * 0.001)

rng, kept = random.Random(int(sys.argv[3])), []
c_calls = sys.argv[4] == "c_calls"
with fennik.Tracer(sys.argv[1], format=sys.argv[2], c_calls=c_calls,
                   exclude="no_such_module" if c_calls else None):
    for n, kind in enumerate(SOURCES):
        step(rng, 1000 + n, kept, kind)
    for i in range(300):
        step(rng, i, kept)
        if i % 100 == 50:  # more functions alive at once than there are ids
            held = [fresh("call", 2000 + i + k) for k in range(24)]
            for f in held:
                f()
            del held
mon.set_events(4, 0)
print(repr(seen))
"""

PHASES = {"start": "B", "resume": "B", "throw": "B", "return": "E", "yield": "E", "unwind": "E"}


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("seed, calls", [(0, "python"), (1, "python"), (2, "c_calls"),
                                         (3, "c_calls")])
def test_frames_whose_begin_was_lost_lose_their_end(run_python, decode, tmp_path, fmt, seed,
                                                    calls):
    # What is written is what ran, whole frames only: every event the counter
    # saw is either in the output, in order, or in the dropped count; never an
    # end without its begin, which would end nothing or an enclosing call.
    # The C calls' ids, taken first, last the session: none of them is lost.
    out = tmp_path / f"out.{fmt}"
    capacity = 12 if calls == "python" else 48
    done = run_python(LOST_FRAMES, out, fmt, seed, calls,
                      env={"FENNIK_CODE_CAPACITY": str(capacity)})
    seen = ast.literal_eval(done.stdout)
    decoded = decode(out, fmt)
    files = {str(tmp_path / "script.py"), "<string>"}
    (written,) = [[e for e in t.events if e.file in files] for t in decoded.threads.values()
                  if any(e.file in files for e in t.events)]
    assert not [e for t in decoded.threads.values() for e in t.events if e.ph == "G"]
    assert 0 < decoded.dropped < len(seen)
    assert len(written) + decoded.dropped == len(seen)
    # Ids come back once their code is gone and its events are written.
    assert len({e.name for e in written if e.file == "<string>"}) > 100
    # The decoder named each end after the begin it closes; JSON says its kind too.
    token = (lambda e: (e.kind, e.name)) if fmt == "json" else (lambda e: (e.ph, e.name))
    ran = iter((kind, name) if fmt == "json" else (PHASES[kind], name) for kind, name in seen)
    missing = [token(e) for e in written if token(e) not in ran]
    assert not missing, f"written but not in what ran, in that order: {missing[:3]}"
