# Tracing across processes: forked children, multiprocessing's three start
# methods and plain subprocesses each add their own process to the parent's
# output, on the parent's timeline; without trace_subprocesses none records.

import subprocess
import sys

import pytest

from conftest import clean_env
from decoders import FORMATS
from versions import REMOTE_EXEC

SCRIPT = """
import os, subprocess, sys, threading, time, multiprocessing as mp, fennik

def in_parent(): pass
def in_child(): pass
def spin(stop):
    while not stop:
        in_parent()
        time.sleep(0.0001)

def start_child(how):
    if how == "subprocess":
        code = "import sys; sys.path.insert(0, %r); import script; script.in_child()" % os.getcwd()
        return subprocess.run([sys.executable, "-c", code], check=True)
    if how in ("os.fork", "storm", "os._exit", "os._exit later", "late thread"):
        if (pid := os.fork()) == 0:
            if how == "late thread":  # its calls come after the child's main code
                threading.Thread(target=lambda: [time.sleep(0.05)] + [in_child() for _ in range(50)]).start()
                sys.exit(0)
            in_child()
            if how != "os._exit later":
                os._exit(0) if how == "os._exit" else sys.exit(0)
            time.sleep(0.05)
            os._exit(0)
        return os.waitpid(pid, 0)
    p = mp.get_context(how).Process(target=in_child)
    p.start()
    p.join()
    assert p.exitcode == 0

if __name__ == "__main__":
    out, fmt, how, trace = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
    # Not a with block: a forked child leaving by sys.exit ends its session at
    # the interpreter's exit, as a child of `fennik run` does.
    tracer = fennik.Tracer(out, format=fmt, trace_subprocesses=trace)
    tracer.__enter__()
    in_parent()
    time.sleep(0.3 * trace)  # a child on a clock of its own would start before this
    stop = []
    spinners = [threading.Thread(target=spin, args=(stop,)) for _ in range(3 * (how == "storm"))]
    for t in spinners: t.start()
    for _ in range(30 if how == "storm" else 1): start_child(how)
    stop.append(1)
    for t in spinners: t.join()
    in_parent()
    tracer.__exit__(None, None, None)
"""

HOW = ["os.fork", "os._exit", "os._exit later", "late thread", "fork", "forkserver", "spawn",
       "subprocess", "storm"]


# A .json.gz output is gzip members, one or more per writer.
@pytest.mark.parametrize("fmt, how", [(f, h) for f in FORMATS for h in HOW]
                         + [("json.gz", h) for h in ("os._exit", "spawn", "storm")])
@pytest.mark.parametrize("trace", [True, False], ids=["traced", "untraced"])
def test_children_join_the_parents_output(run_python, decode, tmp_path, fmt, how, trace):
    if fmt == "pprof" and how == "storm":
        pytest.skip("a profile per child")
    out, fmt = tmp_path / f"out.{fmt}", fmt.removesuffix(".gz")
    run_python(SCRIPT, out, fmt, how, int(trace), timeout=120)
    script, children = str(tmp_path / "script.py"), 30 if how == "storm" else 1
    calls = 50 if how == "late thread" else 1
    if fmt == "pprof":  # each child writes a profile of its own
        profiles = [decode(p, fmt) for p in tmp_path.glob(f"out.{fmt}.*")]
        assert sum(any(s[-1:] == ("in_child",) for s in p.stacks([script]))
                   for p in profiles) == children * trace
        return
    decoded = decode(out, fmt)
    begins = {tid: [e for e in t.events if e.ph == "B" and e.file == script]
              for tid, t in decoded.threads.items()}
    (parent,) = [tid for tid, b in begins.items() if any(e.name == "in_parent" for e in b)
                 and tid in decoded.pids]
    first = next(e.ts for e in begins[parent] if e.name == "start_child")
    last = begins[parent][-1].ts
    in_child = [(tid, e.ts) for tid, b in begins.items() for e in b if e.name == "in_child"]
    assert len(in_child) == children * trace * calls
    # Each child's own process, on the parent's timeline.
    assert all((tid in decoded.pids or how == "late thread") and tid != parent and first < ts < last
               for tid, ts in in_child)
    assert len(set(decoded.pids)) == len(decoded.pids)


def test_recording_that_cannot_resume_after_a_fork_fails_the_end(run_python, tmp_path):
    # Hooks registered before the tracer's run after its own before a fork:
    # this one takes the profiler slot the tracer gave up for the fork.
    done = run_python("""
import os, sys, fennik
mon = sys.monitoring
os.register_at_fork(before=lambda: mon.use_tool_id(mon.PROFILER_ID, "intruder"))
t = fennik.Tracer("out.pb")
t.__enter__()
if os.fork() == 0:
    os._exit(0)
os.wait()
try:
    t.__exit__(None, None, None)
except ValueError as e:
    print(e)
""")
    assert "already in use by 'intruder'" in done.stdout


@REMOTE_EXEC
def test_code_run_by_remote_exec_is_recorded(tmp_path, decode):
    # sys.remote_exec runs a script in a traced process at its next safe
    # point on its main thread: its calls are that process's own.
    (tmp_path / "wait.py").write_text(
        "import builtins, time\nprint(flush=True)\nwhile not hasattr(builtins, 'done'): time.sleep(0.01)\n")
    (tmp_path / "inject.py").write_text("import builtins\ndef injected(): builtins.done = 1\ninjected()\n")
    with subprocess.Popen([sys.executable, "-m", "fennik", "run", "-q", "-o", "out.pb", "wait.py"],
                          cwd=tmp_path, env=clean_env(), stdout=subprocess.PIPE) as child:
        child.stdout.readline()
        sys.remote_exec(child.pid, str(tmp_path / "inject.py"))
        assert child.wait(60) == 0
    decoded = decode(tmp_path / "out.pb", "protobuf")  # the script runs as "<string>"
    assert [t.name for t in decoded.threads.values() for e in t.events
            if e.ph == "B" and e.name == "injected"] == ["MainThread"]
