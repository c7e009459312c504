# Sessions at the edges of a process's life: the interpreter ending while a
# tracer runs, threads racing a tracer that stops, outputs continued by a
# child process, and forked children.

import os
import subprocess

import pytest
from fennik._core import Tracer

from decoders import FORMATS


def work(n):
    for _ in range(n):
        leaf()


def leaf():
    return 1


EXIT_PROLOGUE = """
import sys, threading, fennik

def leaf():
    return 1

def work(n):
    for _ in range(n):
        leaf()

out, fmt = sys.argv[1], sys.argv[2]
"""
ENTER = "fennik.Tracer(out, format=fmt).__enter__()\n"
EXIT_ENDINGS = {
    "script ends": ("t = fennik.Tracer(out, format=fmt)\nt.__enter__()\nwork(3000)\n", 0),
    "tracer not referenced": (ENTER + "work(3000)\n", 0),
    "sys.exit": (ENTER + "work(3000)\nsys.exit(3)\n", 3),
    "uncaught exception": (ENTER + "work(3000)\nraise SystemError('boom')\n", 1),
    "another tracer exited": (
        ENTER + "fennik.Tracer(out + '.unused').__exit__(None, None, None)\nwork(3000)\n", 0),
    "a session entered by a later at-exit handler": (
        "import atexit\ndef late():\n    try:\n        fennik.Tracer(out + '.unused').__enter__()\n"
        "    except RuntimeError:\n        pass\natexit.register(late)\n" + ENTER + "work(3000)\n", 0),
    "thread still running": (
        ENTER + "go = threading.Event()\n"
        "def late():\n    go.wait()\n    work(3000)\n"
        "threading.Thread(target=late, name='late').start()\ngo.set()\n", 0),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("ending", EXIT_ENDINGS)
def test_output_is_complete_at_interpreter_exit(run_python, decode, tmp_path, fmt, ending):
    source, status = EXIT_ENDINGS[ending]
    out = tmp_path / f"out.{fmt}"
    done = run_python(EXIT_PROLOGUE + source, out, fmt, check=False)
    assert done.returncode == status, done.stderr
    assert "Fatal" not in done.stderr and "Exception ignored" not in done.stderr
    assert not (tmp_path / f"out.{fmt}.unused").exists()
    script, decoded = str(tmp_path / "script.py"), decode(out, fmt)
    late = ending == "thread still running"
    if fmt == "pprof":
        stacks = {s[1:] if late else s for s in decoded.stacks([script]) if s != ("late",)}
        assert stacks == {("work",), ("work", "leaf")}
        return
    calls = {tid: [c for c in seq if c[1] in ("work", "leaf")]
             for tid, seq in decoded.calls([script]).items()}
    (worker,) = [tid for tid, seq in calls.items() if seq]
    assert decoded.threads[worker].name == ("late" if late else "MainThread")
    assert calls[worker] == [("B", "work")] + [("B", "leaf"), ("E", "leaf")] * 3000 + [
        ("E", "work")]


RACE_SCRIPT = """
import sys, threading, fennik

def leaf():
    pass

def poll(t, started, seen):
    started.set()
    for i in range(10**9):
        try:
            (t.now_ns, lambda: t.dump("r"), lambda: t.snapshot("r", 0, 1))[i % 3]()
        except RuntimeError as e:
            if str(e) == "the tracer is not running":
                return seen.append(i)

for round in range(int(sys.argv[2])):
    t = fennik.Tracer(sys.argv[1], format="json")
    t.__enter__()
    for _ in range(20000):  # output for __exit__ to wait on
        leaf()
    started, seen = threading.Event(), []
    poller = threading.Thread(target=poll, args=(t, started, seen))
    poller.start()
    started.wait()
    t.__exit__(None, None, None)
    poller.join()
    assert len(seen) == 1
print("done")
"""


def test_threads_using_the_tracer_while_it_exits_do_not_hang(run_python, tmp_path):
    # __exit__ holds the tracer while it waits for its output to be written; a
    # thread that asks the tracer something meanwhile must let it finish.
    try:
        done = run_python(RACE_SCRIPT, tmp_path / "out.json", 25, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("a thread calling the tracer while it exits hung the process")
    assert done.stdout.strip() == "done"


CHILD_SCRIPT = """
import os, sys, fennik
def in_child():
    pass
t = fennik.Tracer(sys.argv[1], format=sys.argv[2])
assert t._enter_as_child() is t and os.environ["FENNIK_CHILD_OUTPUT"] == "the parent's"
in_child()
t.__exit__(None, None, None)
print(os.getpid())
"""


@pytest.mark.parametrize("fmt", FORMATS)
def test_child_session_adds_to_the_parents_output(run_python, decode, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    with Tracer(str(out), format=fmt):
        work(2)
    parent_bytes = out.read_bytes()
    done = run_python(CHILD_SCRIPT, out, fmt, env={"FENNIK_CHILD_OUTPUT": "the parent's"})
    child_pid, script = int(done.stdout), str(tmp_path / "script.py")
    assert out.read_bytes().startswith(parent_bytes)
    if fmt == "pprof":  # a profile cannot be appended to: the child writes its own
        assert out.read_bytes() == parent_bytes
        assert set(decode(f"{out}.{child_pid}", fmt).stacks([script])) == {("in_child",)}
        return
    decoded = decode(out, fmt)
    assert decoded.pids == [os.getpid(), child_pid]
    assert list(decoded.calls([script]).values()) == [[("B", "in_child"), ("E", "in_child")]]


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
    names = {n for n, _, _ in decoded.functions.values()} if fmt == "pprof" else decoded.names()
    assert "compile_forever" in names
    if fmt != "pprof":
        # Nothing recorded in the children, under the parent's ids or any other.
        assert len(decoded.pids) == 1
