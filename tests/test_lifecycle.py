# Sessions at the edges of a process's life: the interpreter ending while a
# tracer runs, forked children, child interpreters, threads racing a tracer
# that stops.

import os
import signal
import subprocess
import sys

import pytest

from decoders import FORMATS

EXIT_PROLOGUE = """
import os, sys, threading, fennik

def leaf(): return 1

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
    # Each child of a tracer that does not trace them exits through its
    # at-exit hooks, records nothing, and waits for no lock the thread
    # compiling new code held at the fork.
    "forked children": (
        "fennik.Tracer(out, format=fmt, trace_subprocesses=False).__enter__()\nstop = []\ndef compile_forever():\n    while not stop:\n"
        "        exec('def g(): pass\\ng()', {})\n"
        "threading.Thread(target=compile_forever).start()\nfor _ in range(5):\n"
        "    if (pid := os.fork()) == 0:\n        sys.exit(0)\n"
        "    assert os.waitpid(pid, 0)[1] == 0\nstop.append(1)\nwork(3000)\n", 0),
    # The end waits for the output to be written; a thread asking the tracer
    # meanwhile must let it finish (or the run times out).
    "a thread asking the tracer as it ends": (
        "t = fennik.Tracer(out, format=fmt)\nt.__enter__()\nwork(3000)\n"
        "def poll():\n    for i in range(10**9):\n        try:\n"
        "            (t.now_ns, lambda: t.dump('r'), lambda: t.snapshot('r', 0, 1))[i % 3]()\n"
        "        except RuntimeError as e:\n            if str(e) == 'the tracer is not running':\n"
        "                return\n"
        "threading.Thread(target=poll, daemon=True).start()\n", 0),
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
    if fmt == "pprof":
        stacks = {s[s.index("work"):] for s in decoded.stacks([script]) if "work" in s}
        assert stacks == {("work",), ("work", "leaf")}
        return
    assert len(decoded.pids) == 1
    calls = {tid: [c for c in seq if c[1] in ("work", "leaf")]
             for tid, seq in decoded.calls([script]).items()}
    (worker,) = [tid for tid, seq in calls.items() if seq]
    assert decoded.threads[worker].name == ("late" if ending == "thread still running" else
                                            "MainThread")
    assert calls[worker] == [("B", "work")] + [("B", "leaf"), ("E", "leaf")] * 3000 + [
        ("E", "work")]


SIGNAL_PROLOGUE = """
import _signal, os, resource, signal, sys, threading, time, fennik
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT would dump core
def leaf(): return 1
out, name = sys.argv[1:3]
ours = fennik._core._handle_deadly_signal
"""
SIGNAL_CASES = [(name, mode) for name in ("SIGTERM", "SIGHUP", "SIGQUIT") for mode in (
    "stream", "record")] + [("SIGTERM", "unwritable"), ("SIGTERM", "stale copy"), ("SIGQUIT", "stale copy")]


@pytest.mark.parametrize("name, mode", SIGNAL_CASES)
def test_a_deadly_signal_ends_the_session_then_kills(run_python, decode, tmp_path, name, mode):
    out = "/dev/full" if mode == "unwritable" else tmp_path / "out"
    done = run_python(SIGNAL_PROLOGUE + """
number = getattr(signal, name)
with fennik.Tracer(out, **({"record_last_mb": 4} if sys.argv[3] == "record" else {})):
    for _ in range(3000):
        leaf()
    if sys.argv[3] == "stale copy":  # as a library that saves a handler and restores it later
        saved = signal.getsignal(number)
    else:
        signal.raise_signal(number)
signal.signal(number, saved)
os.kill(os.getpid(), number)
print("still alive")
""", out, name, mode, check=False)
    assert done.returncode == -getattr(signal, name), done.stderr
    if mode == "unwritable":  # the failed end is reported and the process dies all the same
        assert "OSError" in done.stderr and "ending the tracer on signal" in done.stderr
        return
    if mode == "record":
        (out,) = out.iterdir()
        assert "-signal" in out.name
    calls = decode(out, "protobuf").calls([tmp_path / "script.py"])
    assert list(calls.values()) == [[("B", "leaf"), ("E", "leaf")] * 3000]


def test_signals_the_program_handles_or_ignores_stay_its_own(run_python):
    run_python(SIGNAL_PROLOGUE + """
import faulthandler
from signal import SIGTERM, SIGHUP, SIGQUIT
calls = []
signal.signal(SIGTERM, lambda n, frame: calls.append(n))
signal.signal(SIGHUP, signal.SIG_IGN)
# A handler installed from C reads as None, as when the process embeds Python.
faulthandler.register(SIGQUIT)
getsignal = _signal.getsignal
_signal.getsignal = lambda n: None if n == SIGQUIT else getsignal(n)
handlers = lambda: [getsignal(n) for n in (SIGTERM, SIGHUP, SIGQUIT)]
before = handlers()
t = fennik.Tracer(out, record_last_mb=4)
with t:
    assert handlers() == [ours, ours, signal.SIG_DFL]
    for n in (SIGTERM, SIGHUP, SIGQUIT):
        signal.raise_signal(n)
        leaf()
    assert calls == [SIGTERM] and handlers() == [ours, signal.SIG_IGN, signal.SIG_DFL]
    assert t.now_ns() > 0 and not os.listdir(out)
assert handlers() == before
# Off the main thread nothing can be put back: ours keeps forwarding, and the
# next session keeps what it forwards to.
t.__enter__()
(exiting := threading.Thread(target=t.__exit__, args=(None,) * 3)).start()
exiting.join()
assert handlers()[:2] == [ours, ours]
signal.raise_signal(SIGTERM)
with t:
    pass
assert calls == [SIGTERM] * 2 and handlers() == before
""", "out", "-")


def test_signals_arriving_while_the_handlers_change(run_python):
    # A pending handler runs inside signal.signal, and may be ours.
    done = run_python(SIGNAL_PROLOGUE + """
calls = []
signal.signal(signal.SIGHUP, lambda n, frame: calls.append(n))
parent = os.getpid()
if (sender := os.fork()) == 0:  # signals from outside arrive at any point
    while os.getppid() == parent:
        os.kill(parent, signal.SIGHUP)
    os._exit(0)
end = time.monotonic() + 3  # thousands of sessions; tens under a sanitizer
while time.monotonic() < end:
    with fennik.Tracer(out):
        leaf()
os.kill(sender, signal.SIGKILL)
print(len(calls))
""", "out", "-")
    assert int(done.stdout) > 0


def test_process_hooks_are_registered_once_when_a_start_comes_in_between(run_python):
    # Python code runs inside the registration, where another thread (or, as
    # here, the same one) may start a tracer: that start fails, and the hooks
    # are registered once, by the start that began it.
    done = run_python("""
import os, sys, fennik
real, ours = os.register_at_fork, []
def counted(**hooks):
    if hooks.get("before") is fennik._core._before_fork:  # not another module's
        try:
            fennik.Tracer(sys.argv[1] + '.inner').__enter__()
        except RuntimeError as e:
            ours.append(str(e))
    return real(**hooks)
os.register_at_fork = counted
with fennik.Tracer(sys.argv[1]):
    pass
print(ours)
""", "out")
    assert len(eval(done.stdout)) == 1 and "being registered" in done.stdout


@pytest.mark.parametrize("fmt", FORMATS)
def test_child_interpreters_of_a_recorder_dump_beside_it(tmp_path, decode, fmt):
    # Into dumps named with the child's pid. (Children of a streaming tracer:
    # see the process tests.)
    import fennik

    (script := tmp_path / "child.py").write_text("def f():\n    pass\n\nf()\n")
    with fennik.Tracer(str(tmp_path / "out"), format=fmt, record_last_mb=16):
        assert (child := subprocess.Popen([sys.executable, script])).wait(60) == 0
    (path,) = tmp_path.rglob(f"*.{child.pid}.*")
    decoded = decode(path, fmt)
    if fmt == "pprof":
        assert sorted(decoded.stacks([script])) == [("<module>",), ("<module>", "f")]
    else:
        assert decoded.pids == [child.pid] and [*decoded.calls([script]).values()] == [
            [("B", "<module>"), ("B", "f"), ("E", "f"), ("E", "<module>")]]


@pytest.mark.parametrize("bad", [{"FENNIK_CHILD_FORMAT": "nonsense"}, {"FENNIK_CHILD_FORMAT": ""},
                                 {"FENNIK_CHILD_RECORD_MB": "lots"}, {"FENNIK_CHILD_OUTPUT": "no/out"}])
def test_a_bad_advertisement_costs_the_child_only_its_trace(run_python, tmp_path, bad):
    done = run_python("print('ran')\n", env={"FENNIK_CHILD_OUTPUT": "out",
                                             "FENNIK_CHILD_FORMAT": "json"} | bad)
    assert (done.stdout, done.stderr[:8], done.stderr.count("\n")) == ("ran\n", "fennik: ", 1)
    assert os.listdir(tmp_path) == ["script.py"]
