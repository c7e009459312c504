"""Faults that real programs meet: forks, sessions ended at awkward moments,
limits reached, failures on the way in and out. Each runs in a fresh
interpreter, so a hang or a crash fails only its own case."""

import os
import re
import subprocess
import sys

import pytest

import decoders

FORMATS = ["protobuf", "json", "pprof"]


def dropped(path):
    """The dropped-events count the output reports, whatever its format."""
    found = re.findall(
        rb'fennik: (\d+) events dropped|"count":(\d+)},"name":"fennik_dropped_events"',
        path.read_bytes(),
    )
    return sum(int(a or b) for a, b in found)


# ---- forked children ------------------------------------------------------

FORK = """
import os, sys, threading, fennik

stop = False
def compile_forever():
    # New code objects traced on another thread while the fork happens.
    i = 0
    while not stop:
        exec(compile(f"def g{i}(): pass\\ng{i}()", "<gen>", "exec"), {})
        i += 1

with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    worker = threading.Thread(target=compile_forever)
    worker.start()
    children = []
    for _ in range(int(sys.argv[3])):
        pid = os.fork()
        if pid == 0:
            sum(range(10))
            sys.exit(0)
        children.append(pid)
    for pid in children:
        assert os.waitpid(pid, 0)[1] == 0
    stop = True
    worker.join()
"""


@pytest.mark.parametrize("fmt", FORMATS)
def test_forked_children_exit_and_leave_the_parent_output_whole(run_python, decode, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    run_python(FORK, out, fmt, 10 if fmt == "protobuf" else 3, timeout=120)
    decoded = decode(out, fmt)
    names = (
        {n for n, _, _ in decoded.functions.values()} if fmt == "pprof" else decoded.names()
    )
    assert "compile_forever" in names
    if fmt != "pprof":
        # Nothing recorded in the children, under the parent's ids or any other.
        assert len(decoded.pids) == 1


# ---- limits: code capacity, recycled ids -----------------------------------

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


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
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
    assert len(events) + dropped(out) == int(done.stdout)
    assert dropped(out) > 0


# ---- failures on the way in leave everything as it was ---------------------

def test_failed_enter_touches_no_file_and_no_variable(tmp_path, decode):
    import fennik

    running, other = tmp_path / "running.pb", tmp_path / "existing.json"
    other.write_text("keep me")
    before = {k: os.environ.get(k) for k in decoders.CHILD_VARS}
    with fennik.Tracer(str(running)) as first:
        for target in (first, fennik.Tracer(str(other), format="json")):
            with pytest.raises((RuntimeError, ValueError), match="already"):
                target.__enter__()
        # Ending a tracer that is not running leaves the running one alone.
        assert fennik.Tracer(str(other)).__exit__(None, None, None) is False
        assert os.environ["FENNIK_CHILD_OUTPUT"] == str(running)
        sum(range(3))
    assert other.read_text() == "keep me"
    assert {k: os.environ.get(k) for k in decoders.CHILD_VARS} == before
    assert decode(running, "protobuf").threads


def test_profiler_slot_taken_over_meanwhile_is_left_to_its_new_owner(tmp_path):
    import fennik

    mon = sys.monitoring
    with fennik.Tracer(str(tmp_path / "out.pb")):
        mon.set_events(mon.PROFILER_ID, 0)
        mon.free_tool_id(mon.PROFILER_ID)
        mon.use_tool_id(mon.PROFILER_ID, "other")
    try:
        assert mon.get_tool(mon.PROFILER_ID) == "other"
    finally:
        mon.free_tool_id(mon.PROFILER_ID)


# ---- nothing of fennik's own appears; threads named as without it ----------

DUMMY = """
import _thread, sys, threading, time, fennik

def unregistered_thread_name():
    names = []
    _thread.start_new_thread(lambda: names.append(threading.current_thread().name), ())
    while not names:
        time.sleep(0.001)
    return names[0]

if len(sys.argv) > 1:
    with fennik.Tracer(sys.argv[1], format="json"):
        print(unregistered_thread_name())
else:
    print(unregistered_thread_name())
"""


def test_traced_program_sees_itself_as_untraced(run_python, decode, tmp_path):
    out = tmp_path / "out.json"
    assert run_python(DUMMY, out).stdout == run_python(DUMMY).stdout
    files = {e.file for t in decode(out, "json").threads.values() for e in t.events}
    # fennik's own start and end work (os.environ) is not the program's.
    assert str(tmp_path / "script.py") in files and "<frozen os>" not in files


# ---- errors users can act on ------------------------------------------------

def test_errors_name_what_went_wrong(tmp_path, run_python):
    import fennik

    # A path that is not UTF-8 but that open() takes.
    odd = os.fsdecode(bytes(tmp_path) + b"/\xff.json")
    with fennik.Tracer(odd, format="json"):
        pass
    assert os.path.getsize(os.fsencode(odd)) > 0
    done = run_python(
        "import fennik, sys\nwith fennik.Tracer(sys.argv[1]): pass\n",
        tmp_path / "o.pb",
        env={"FENNIK_CODE_CAPACITY": "1e3", "PYTHONWARNINGS": "always"},
    )
    assert "FENNIK_CODE_CAPACITY=1e3" in done.stderr


def test_subinterpreters_are_refused_plainly():
    from concurrent import interpreters

    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec("import fennik._core")
    finally:
        interp.close()
