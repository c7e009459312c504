"""Sessions at the edges of a process's life: the interpreter ending while a
tracer runs, threads racing a tracer that stops, the background threads a
session owns, outputs continued by a child process, and each format read by
an outside tool."""

import json
import os
import pathlib
import re
import subprocess
import threading
import time

import pytest
from fennik._core import Tracer

import decoders
from decoders import FORMATS, TRACE_FORMATS

HERE = __file__


def work(n):
    for _ in range(n):
        leaf()


def leaf():
    return 1


# ---- the interpreter ends while a tracer runs ---------------------------------

EXIT_PROLOGUE = """
import sys, threading
import fennik

def leaf():
    return 1

def work(n):
    for _ in range(n):
        leaf()

out, fmt = sys.argv[1], sys.argv[2]
"""

EXIT_ENDINGS = {
    "script ends": ("t = fennik.Tracer(out, format=fmt)\nt.__enter__()\nwork(3000)\n", 0),
    "tracer not referenced": ("fennik.Tracer(out, format=fmt).__enter__()\nwork(3000)\n", 0),
    "sys.exit": ("fennik.Tracer(out, format=fmt).__enter__()\nwork(3000)\nsys.exit(3)\n", 3),
    "uncaught exception": (
        "fennik.Tracer(out, format=fmt).__enter__()\nwork(3000)\nraise SystemError('boom')\n",
        1,
    ),
    "thread still running": (
        "fennik.Tracer(out, format=fmt).__enter__()\n"
        "go = threading.Event()\n"
        "def late():\n"
        "    go.wait()\n"
        "    work(3000)\n"
        "threading.Thread(target=late, name='late').start()\n"
        "go.set()\n",
        0,
    ),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("ending", EXIT_ENDINGS)
def test_output_is_complete_when_the_interpreter_exits(run_python, decode, tmp_path, fmt,
                                                       ending):
    source, status = EXIT_ENDINGS[ending]
    out = tmp_path / f"out.{fmt}"
    done = run_python(EXIT_PROLOGUE + source, out, fmt, check=False)
    assert done.returncode == status, done.stderr
    assert "Fatal" not in done.stderr and "Exception ignored" not in done.stderr
    check_complete(decode(out, fmt), fmt, str(tmp_path / "script.py"),
                   threaded=ending == "thread still running")


def check_complete(decoded, fmt, script, threaded=False):
    """The run of an exit script is all there: work(3000) and its calls,
    on the thread that ran it, under that thread's name."""
    if fmt == "pprof":
        stacks = set(decoded.stacks([script]))
        if threaded:
            assert ("late",) in stacks
            stacks = {s[1:] for s in stacks if s != ("late",)}
        assert stacks == {("work",), ("work", "leaf")}
        return
    calls = {
        tid: [c for c in seq if c[1] in ("work", "leaf")]
        for tid, seq in decoded.calls([script]).items()
    }
    (worker,) = [tid for tid, seq in calls.items() if seq]
    assert decoded.threads[worker].name == ("late" if threaded else "MainThread")
    assert calls[worker] == [("B", "work")] + [("B", "leaf"), ("E", "leaf")] * 3000 + [
        ("E", "work")
    ]


# The formats whose end of session leaves a mark (thread names, the profile);
# a protobuf stream can look complete by luck.
@pytest.mark.parametrize("fmt", ["json", "pprof"])
def test_output_is_complete_at_exit_after_another_tracers_exit(run_python, decode, tmp_path,
                                                                fmt):
    out = tmp_path / f"out.{fmt}"
    source = (
        "t = fennik.Tracer(out, format=fmt)\n"
        "t.__enter__()\n"
        "fennik.Tracer(out + '.unused').__exit__(None, None, None)\n"
        "work(3000)\n"
    )
    run_python(EXIT_PROLOGUE + source, out, fmt)
    assert not (tmp_path / f"out.{fmt}.unused").exists()
    check_complete(decode(out, fmt), fmt, str(tmp_path / "script.py"))


FIRST_SESSION = """
import sys
import fennik

def first_call():
    pass

with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    first_call()
"""


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_first_session_records_nothing_of_the_tracers_start(run_python, decode, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    run_python(FIRST_SESSION, out, fmt)
    decoded = decode(out, fmt)
    (main,) = [t for t in decoded.threads.values() if t.name == "MainThread"]
    assert (main.events[0].ph, main.events[0].name) == ("B", "first_call")


def test_profile_left_at_exit_reads_in_go_pprof(run_python, go_pprof, tmp_path):
    out = tmp_path / "out.pprof"
    run_python(EXIT_PROLOGUE + EXIT_ENDINGS["tracer not referenced"][0], out, "pprof")
    rows = top_rows(go_pprof("-top", "-unit=ns", "-nodecount=1000", out))
    assert rows["leaf"][0] > 0
    assert rows["work"][1] >= rows["work"][0] + rows["leaf"][1]


def top_rows(text):
    """Function name -> (flat, cumulative) nanoseconds from `pprof -top`."""
    assert "Type: wall" in text
    return {
        name: (int(flat), int(cum))
        for flat, cum, name in re.findall(
            r"^\s*(\d+)ns\s+\S+%\s+\S+%\s+(\d+)ns\s+\S+%\s+(\S+)$", text, re.M
        )
    }


# ---- threads that race a stopping tracer --------------------------------------

RACE_SCRIPT = """
import sys, threading
import fennik

NOT_RUNNING = "the tracer is not running"

def leaf():
    return 1

def work(n):
    for _ in range(n):
        leaf()

def poll(t, started, seen):
    calls = [t.now_ns, lambda: t.dump("r"), lambda: t.snapshot("r"),
             lambda: t.snapshot("r", 0, 1)]
    i = 0
    started.set()
    while True:
        try:
            calls[i % len(calls)]()
        except RuntimeError as e:
            if str(e) == NOT_RUNNING:
                seen.append(i)
                return
        i += 1

for round in range(int(sys.argv[2])):
    t = fennik.Tracer(sys.argv[1], format="json")
    t.__enter__()
    work(20000)
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
    """__exit__ holds the tracer while it waits for its output to be written;
    a thread that asks the tracer something meanwhile must let it finish."""
    try:
        done = run_python(RACE_SCRIPT, tmp_path / "out.json", 25, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("a thread calling the tracer while it exits hung the process")
    assert done.stdout.strip() == "done"


# ---- the session's own threads ----------------------------------------------------


def thread_names():
    names = []
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            names.append((task / "comm").read_text().strip())
        except FileNotFoundError:
            pass  # the thread ended while we looked
    return sorted(names)


def thread_names_settle(expected):
    """The thread names once they equal `expected`, or as they are after a
    generous wait: threads name themselves after they start, and a joined
    thread can linger in /proc for a moment."""
    deadline = time.monotonic() + 10
    while (names := thread_names()) != expected and time.monotonic() < deadline:
        time.sleep(0.005)
    return names


@pytest.mark.parametrize("fmt", FORMATS)
def test_session_threads_come_and_go_with_the_session(tmp_path, fmt):
    before = thread_names()
    # Linux keeps the first 15 bytes of a thread's name.
    with_session = sorted(before + ["fennik-exporter", "fennik-serializer"[:15]])
    t = Tracer(str(tmp_path / "out"), format=fmt)
    for _ in range(2):
        with t:
            assert thread_names_settle(with_session) == with_session
        assert thread_names_settle(before) == before


# ---- outputs continued by a child process ----------------------------------------------

CHILD_SCRIPT = """
import os, sys
import fennik

def leaf():
    return 1

def in_child():
    leaf()

t = fennik.Tracer(sys.argv[1], format=sys.argv[2])
assert t._enter_as_child() is t
assert os.environ["FENNIK_CHILD_OUTPUT"] == "from the parent"
in_child()
t.__exit__(None, None, None)
print(os.getpid())
"""


@pytest.mark.parametrize("fmt", FORMATS)
def test_child_session_adds_to_the_parents_output(run_python, decode, trace_pb, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    with Tracer(str(out), format=fmt):
        work(2)
    parent_bytes = out.read_bytes()
    done = run_python(CHILD_SCRIPT, out, fmt, env={"FENNIK_CHILD_OUTPUT": "from the parent"})
    child_pid = int(done.stdout)
    script = str(tmp_path / "script.py")

    if fmt == "pprof":
        assert out.read_bytes() == parent_bytes
        child = decode(pathlib.Path(f"{out}.{child_pid}"), "pprof")
        assert set(child.stacks([script])) == {("in_child",), ("in_child", "leaf")}
        return
    assert out.read_bytes().startswith(parent_bytes)
    if fmt == "json":
        objects = decoders.load_json_array(out)
        by_pid = {}
        for o in objects:
            by_pid.setdefault(o["pid"], []).append(o)
        assert set(by_pid) == {os.getpid(), child_pid}
        child_calls = [(o["ph"], o["name"]) for o in by_pid[child_pid]
                       if o["ph"] != "M" and o["args"]["file"] == script]
        assert child_calls == [("B", "in_child"), ("B", "leaf"), ("E", "leaf"), ("E", "in_child")]
        return
    decoded = decoders.read_protobuf(trace_pb, out)
    assert sorted(td.process.pid for td in decoded.process_tracks) == sorted(
        [os.getpid(), child_pid]
    )
    assert list(decoded.calls([script]).values()) == [
        [("B", "in_child"), ("B", "leaf"), ("E", "leaf"), ("E", "in_child")]
    ]
    assert decoded.calls([HERE]).popitem()[1] == [("B", "work")] + [
        ("B", "leaf"), ("E", "leaf")] * 2 + [("E", "work")]


# ---- each format in an outside reader ---------------------------------------------------


def test_protoc_reads_the_trace(tmp_path):
    out = tmp_path / "out.pb"
    with Tracer(str(out)):
        work(1)
    done = subprocess.run(
        ["protoc", f"-I{decoders.TRACE_PROTO.parent}", "--decode=perfetto.protos.Trace",
         decoders.TRACE_PROTO.name],
        input=out.read_bytes(),
        capture_output=True,
        check=True,
    )
    text = done.stdout.decode()
    assert not done.stderr
    assert f'name: "python:{os.getpid()}"' in text
    assert 'thread_name: "MainThread"' in text
    assert 'name: "work"' in text and 'name: "leaf"' in text
    assert text.count("type: TYPE_SLICE_BEGIN") >= 2


def test_json_is_a_trace_event_array(tmp_path):
    out = tmp_path / "out.json"
    with Tracer(str(out), format="json"):
        work(1)
    text = out.read_text()
    assert text.startswith("[{") and text.endswith("},")
    assert "\n" not in text
    objects = json.loads(text[:-1] + "]")
    tid = threading.get_native_id() & 0xFFFFFFFF
    assert {o["pid"] for o in objects} == {os.getpid()}
    assert {
        "args": {"name": "MainThread"}, "name": "thread_name", "ph": "M",
        "pid": os.getpid(), "tid": tid,
    } in objects
    mine = [o for o in objects if o["ph"] != "M" and o["args"]["file"] == HERE]
    assert [(o["ph"], o["name"], o["args"]["kind"], o["args"]["line"]) for o in mine] == [
        ("B", "work", "start", work.__code__.co_firstlineno),
        ("B", "leaf", "start", leaf.__code__.co_firstlineno),
        ("E", "leaf", "return", leaf.__code__.co_firstlineno),
        ("E", "work", "return", work.__code__.co_firstlineno),
    ]
    assert all(o["cat"] == "py" and o["tid"] == tid for o in mine)


def test_go_pprof_reads_the_profile(go_pprof, tmp_path):
    out = tmp_path / "out.pprof"
    with Tracer(str(out), format="pprof"):
        work(200)
    raw = go_pprof("-raw", out)
    samples = raw.split("Samples:\n", 1)[1].split("Locations\n", 1)[0].splitlines()
    assert samples[0].strip() == "wall/nanoseconds"
    assert len(samples) > 1
    rows = top_rows(go_pprof("-top", "-unit=ns", "-nodecount=1000", out))
    assert rows["leaf"][0] > 0
    assert rows["work"][1] >= rows["work"][0] + rows["leaf"][1]
