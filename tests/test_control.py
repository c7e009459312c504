# Reaching a running program from outside: the dump signal and `fennik dump`,
# recording windows (--delay/--duration, pause/resume), and attach.

import os
import pathlib
import re
import signal
import subprocess
import sys
import time
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import fennik
from conftest import clean_env
from decoders import FORMATS, read_protobuf
from versions import REMOTE_EXEC

SERVER = """
import os, signal, sys, time
def work():
    return sum(range(50))
def idle():
    time.sleep(0.01)
if sys.argv[1:] == ["own"]:
    signal.signal(signal.SIGUSR1, lambda n, f: print("own handler", flush=True))
print("ready", flush=True)
while not os.path.exists("stop"):
    work()
    idle()
print("done", flush=True)
"""


def fennik_command(cwd, *args, **kwargs):
    return subprocess.run([sys.executable, "-m", "fennik", *map(str, args)], cwd=cwd,
                          env=clean_env(), capture_output=True, text=True, timeout=60, **kwargs)


def start_server(tmp_path, *run_args, script_args=()):
    (tmp_path / "server.py").write_text(SERVER)
    proc = subprocess.Popen([sys.executable, "-m", "fennik", "run", *run_args, "server.py",
                             *script_args], cwd=tmp_path, env=clean_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n", proc.stderr.read()
    return proc


def stop_server(tmp_path, proc):
    (tmp_path / "stop").touch()
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    return out, err


@pytest.mark.parametrize("script_args", [(), ("own",)])
def test_fennik_dump_asks_a_running_recorder(tmp_path, script_args):
    # Each `fennik dump` names the file that appeared, which holds the
    # program's calls; a handler of the program's own takes the signal instead.
    proc = start_server(tmp_path, "-o", "dumps", "--record-last-mb", "4", script_args=script_args)
    try:
        # Asked once when no dump can come: each ask waits the whole wait out.
        reasons = [["slow /x"]] if script_args else [[], ["slow /x"]]
        asked = [fennik_command(tmp_path, "dump", proc.pid, *reason) for reason in reasons]
    finally:
        out, err = stop_server(tmp_path, proc)
    dumps = tmp_path / "dumps"
    if script_args:
        assert out.count("own handler") == 1 and all(a.returncode == 1 for a in asked)
        assert "the program's own handler of SIGUSR1" in asked[0].stderr
        assert [p.name.split("-", 1)[1] for p in dumps.iterdir()] == ["exit.pb"]
        return
    assert out == "done\n"
    paths = [pathlib.Path(a.stdout.strip()) for a in asked]
    assert [a.returncode for a in asked] == [0, 0], [a.stderr for a in asked]
    assert [p.name.split("-", 1)[1] for p in paths] == ["signal-SIGUSR1.pb", "slow--x.pb"]
    assert sorted(dumps.iterdir()) == sorted(paths + list(dumps.glob("*-exit.pb")))
    for p in paths:
        assert {"work", "idle"} <= set(read_protobuf(p).names())


def test_fennik_dump_refuses_what_it_cannot_reach(tmp_path):
    # Gone, untraced, a streaming tracer, no dump signal: one line, status 1.
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    streaming = start_server(tmp_path, "-o", "t.pb")
    # A notice a killed recorder left, for a process that took its pid: the
    # signal would end that process.
    stranger = subprocess.Popen(["sleep", "60"])
    control = pathlib.Path(f"/tmp/fennik-{os.getuid()}")
    control.mkdir(mode=0o700, exist_ok=True)
    (control / str(stranger.pid)).write_text(f"{signal.SIGUSR1}\n{tmp_path}\n1\n")
    try:
        cases = {gone: "no process", os.getpid(): "runs no flight recorder",
                 streaming.pid: "runs no flight recorder", stranger.pid: "runs no flight recorder"}
        cases[1] = "is not ours to signal"  # as root, asked by another user
        for pid, message in cases.items():
            done = fennik_command(tmp_path, "dump", pid, preexec_fn=(
                lambda: os.setuid(65534)) if pid == 1 and os.getuid() == 0 else None)
            assert done.returncode == 1 and message in done.stderr, done.stderr
            assert done.stderr.count("\n") == 1 and done.stdout == ""
        assert stranger.poll() is None
    finally:
        stranger.kill()
        (control / str(stranger.pid)).unlink()
        stop_server(tmp_path, streaming)
    (tmp_path / "stop").unlink()
    quiet = start_server(tmp_path, "-o", "d", "--record-last-mb", "1", "--dump-signal", "none")
    try:
        done = fennik_command(tmp_path, "dump", quiet.pid)
        assert done.returncode == 1 and "takes no dump signal" in done.stderr
    finally:
        stop_server(tmp_path, quiet)
    for bad in (["run", "--dump-signal", "SIGKILL", "-o", "x", "a.py"], ["dump"], ["dump", "x"],
                ["run", "--delay", "-1", "-o", "x", "a.py"], ["run", "--duration", "1e3", "-o", "x", "a.py"],
                ["attach", "-o", "x"], ["attach", "1", "2", "-o", "x"], ["attach", "1", "--delay", "1", "-o", "x"],
                ["attach", "1"]):
        done = fennik_command(tmp_path, *bad)
        assert done.returncode == 2 and done.stderr.startswith("error: "), done.stderr


def test_dump_signal_handlers_are_taken_over_and_put_back(run_python):
    done = run_python("""
        import os, signal, fennik
        own = lambda n, f: print("own")
        for setting, before in (("SIGUSR2", signal.SIG_DFL), (None, signal.SIG_IGN),
                                (signal.SIGUSR1, own), (12, signal.SIG_IGN)):
            number = signal.SIGUSR2 if setting in ("SIGUSR2", 12) else signal.SIGUSR1
            signal.signal(number, before)
            with fennik.Tracer("d", record_last_mb=1, dump_signal=setting) as t:
                during = signal.getsignal(number)
                os.kill(os.getpid(), number)
            print(setting, during is before, signal.getsignal(number) is before)
        for bad in ("SIGTERM", "SIGKILL", "nope", 0, 9):
            try:
                fennik.Tracer("d", record_last_mb=1, dump_signal=bad)
            except ValueError as e:
                print(e)
        """)
    lines = done.stdout.splitlines()
    assert lines[:5] == ["SIGUSR2 False True", "None True True", "own", "10 False True",
                         "12 False True"]
    assert [re.sub(r".*'dump_signal': ", "", line) for line in lines[5:]] == [
        "SIGTERM already ends the tracer", "SIGKILL cannot be caught",
        "'nope' names no signal (SIGUSR1, USR2, 12 or none)", "no signal has the number 0",
        "SIGKILL cannot be caught"]
    dumps = pathlib.Path(done.args[1]).parent / "d"
    names = sorted(re.sub(r"^\d+-|-\d+(?=\.pb$)", "", p.name) for p in dumps.iterdir())
    assert names == ["exit.pb"] * 4 + ["signal-SIGUSR2.pb"] * 2


PHASES = """
import functools, sys, time
tool = functools.partial(sys.monitoring.get_tool, sys.monitoring.PROFILER_ID)
def early(): pass
def middle(): pass
def late(): pass
if sys.argv[1:] == ["taken"]:
    sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "other")
    time.sleep(1)
deadline = time.monotonic() + 30
for want, work in ((None, early), ("fennik", middle)):
    while tool() == want and time.monotonic() < deadline:
        work()
        time.sleep(0.001)
    print(want, "over", flush=True)
late()
"""


@pytest.mark.parametrize("fmt", ["json", "protobuf", "pprof"])
def test_delay_and_duration_bound_the_recording(tmp_path, decode, fmt):
    # Only the calls made while the tool was ours are in the output; the
    # program's own output is the same.
    (tmp_path / "phases.py").write_text(PHASES)
    out = tmp_path / f"t.{fmt}"
    done = fennik_command(tmp_path, "run", "-o", out.name, "--format", fmt, "--delay", "0.2",
                          "--duration", "0.3", "phases.py")
    assert (done.returncode, done.stdout) == (0, "None over\nfennik over\n"), done.stderr
    assert re.search(r"^fennik: wrote \d+ events \(0 dropped\)", done.stderr, re.M), done.stderr
    # The window opens from another thread: the early() call the program had
    # just decided on may be the first recorded, but no other.
    began = decode(out, fmt).began(["phases.py"])
    after_window = began[1:] if began[:1] == ["early"] else began
    assert set(after_window) == {"middle"}, began


def test_a_window_that_never_opens_leaves_the_program_alone(tmp_path):
    (tmp_path / "phases.py").write_text(PHASES.replace("30", "0.3"))
    late = fennik_command(tmp_path, "run", "-o", "late.pb", "--delay", "100", "phases.py")
    taken = fennik_command(tmp_path, "run", "-o", "taken.pb", "--delay", "0.2", "phases.py",
                           "taken")
    assert [d.returncode for d in (late, taken)] == [0, 0]
    assert late.stdout == "None over\nfennik over\n" == taken.stdout.replace("other", "None")
    assert late.stderr == "fennik: recorded nothing: the program ended before the delay was over\n"
    assert taken.stderr.startswith("fennik: the tracer could not start: ValueError: ")
    assert not list(tmp_path.glob("*.pb"))


def after():
    pass


def blocked(event):
    event.wait()


def test_a_pause_gives_the_slot_back_and_holds_across_a_fork(tmp_path, decode):
    # A thread blocked across the pause has its frame ended at it too; the
    # slot, free while paused, is refused back while another tool holds it.
    import threading
    mon, out, go = sys.monitoring, tmp_path / "t.json", threading.Event()
    t = fennik.Tracer(str(out), trace_subprocesses=False)
    with pytest.raises(RuntimeError, match="^the tracer is not running$"):
        t.pause()
    with t:
        worker = threading.Thread(target=blocked, args=(go,), name="worker")
        worker.start()
        t.pause()
        assert mon.get_tool(mon.PROFILER_ID) is None
        mon.use_tool_id(mon.PROFILER_ID, "other")
        with pytest.raises(ValueError, match="already in use by 'other'"):
            t.resume()
        mon.free_tool_id(mon.PROFILER_ID)
        with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
            pid = os.fork()  # the child leaves at once: the worker's thread is no matter
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        assert mon.get_tool(mon.PROFILER_ID) is None
        t.resume()
        go.set()
        worker.join()
        after()
    trace = decode(out, "json")
    [(a, b)] = trace.pauses
    calls = {trace.threads[tid].name: seq for tid, seq in trace.calls([__file__]).items()}
    assert calls == {"worker": [("B", "blocked"), ("E", "blocked")],
                     "MainThread": [("B", "after"), ("E", "after")]}
    (tid,) = [tid for tid, th in trace.threads.items() if th.name == "worker"]
    assert [e.ts for e in trace.threads[tid].events if e.file == __file__][1] == a < b


TARGET = """
import os, signal, sys, threading, time
def work():
    return sum(range(50))
def worker():
    while not os.path.exists("stop"):
        work()
        time.sleep(0.005)
def state():
    mon, fk = sys.monitoring, sys.modules.get("fennik")
    return (signal.getsignal(signal.SIGUSR1), signal.getsignal(signal.SIGTERM),
            mon.get_tool(mon.PROFILER_ID), [k for k in os.environ if k.startswith("FENNIK_")],
            hasattr(fk, "_attached"))
if "taken" in sys._xoptions:
    sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "other")
before, probes = state(), 0
threads = [threading.Thread(target=worker, name=f"worker-{i}") for i in range(2)]
for t in threads:
    t.start()
print("ready", flush=True)
while not os.path.exists("stop"):
    work()
    time.sleep(0.005)
    if os.path.exists(f"probe-{probes}"):
        print(state() == before, flush=True)
        probes += 1
for t in threads:
    t.join()
"""


def start_target(tmp_path, *args, env=None):
    (tmp_path / "target.py").write_text(TARGET)
    proc = subprocess.Popen([sys.executable, *args, "target.py"], cwd=tmp_path, text=True,
                            env=env or clean_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline() == "ready\n", proc.stderr.read()
    return proc


@REMOTE_EXEC
def test_attach_traces_every_thread_and_leaves_nothing_behind(tmp_path, decode):
    # Three times in a row: two timed, into two formats, then a flight
    # recorder asked for a dump by `fennik dump` and ended by Ctrl-C. The
    # threads running at the attach are all there with their names, and the
    # program's state (signal handlers, environment, profiler slot) is as it was.
    proc = start_target(tmp_path)
    try:
        runs = []
        for n, (name, fmt) in enumerate([("a.pb", "protobuf"), ("b.json", "json"), ("d", "protobuf")]):
            if n < 2:
                runs.append(fennik_command(tmp_path, "attach", proc.pid, "-o", name, "--duration", 0.3))
            else:
                attach = subprocess.Popen([sys.executable, "-m", "fennik", "attach", str(proc.pid), "-o", name,
                                           "--record-last-mb", "4"], cwd=tmp_path, env=clean_env(),
                                          stderr=subprocess.PIPE, text=True)
                first = attach.stderr.readline()
                time.sleep(0.2)
                dumped = fennik_command(tmp_path, "dump", proc.pid)
                attach.send_signal(signal.SIGINT)
                runs.append(subprocess.CompletedProcess(attach.args, attach.wait(timeout=60), "",
                                                        first + attach.stderr.read()))
                name = dumped.stdout.strip()
                assert name.endswith("-signal-SIGUSR1.pb"), dumped.stderr
            (tmp_path / f"probe-{n}").touch()
            assert proc.stdout.readline() == "True\n"
            trace = decode(tmp_path / name, fmt)
            threads = {t.name for t in trace.threads.values() if {"work"} <= {e.name for e in t.events}}
            assert threads == {"MainThread", "worker-0", "worker-1"}
    finally:
        (tmp_path / "stop").touch()
        proc.communicate(timeout=60)
    for done, name in zip(runs, ["a.pb", "b.json", r"the dump directory d: .*-exit.pb"]):
        assert done.returncode == 0, done.stderr
        assert re.fullmatch(rf"fennik: attached to process {proc.pid}(; Ctrl-C detaches)?\n"
                            rf"fennik: wrote \d+ events \(0 dropped\) to {name}; open it .*\n",
                            done.stderr), done.stderr


def test_attach_refuses_with_one_line(tmp_path):
    # Each refusal leaves the program running as it was. An interpreter
    # without sys.remote_exec refuses every attach, saying why.
    reachable = hasattr(sys, "remote_exec")
    plain = {k: v for k, v in clean_env().items() if k != "PYTHONPATH"}
    targets = [(start_target(tmp_path, "-X", "taken"), "the profiler slot"),
               (start_target(tmp_path, env=clean_env(PYTHON_DISABLE_REMOTE_DEBUG="1")),
                "remote debugging is disabled"),
               (start_target(tmp_path, "-S", env=plain), "fennik cannot be imported there"),
               (start_target(tmp_path), "no permission to reach"),
               (subprocess.Popen(["sleep", "60"]), "is not a Python 3.14 (or later) interpreter")]
    try:
        for n, (proc, message) in enumerate(targets):
            as_nobody = message.startswith("no permission") and os.getuid() == 0
            done = fennik_command(tmp_path, "attach", proc.pid, "-o", f"t{n}.pb", "--duration", 1,
                                  preexec_fn=(lambda: os.setuid(65534)) if as_nobody else None)
            assert (done.returncode, done.stdout) == (1, ""), done.stderr
            message = message if reachable else "sys.remote_exec came with 3.14"
            assert message in done.stderr and done.stderr.count("\n") == 1, done.stderr
            assert proc.poll() is None and not (tmp_path / f"t{n}.pb").exists()
        done = fennik_command(tmp_path, "attach", targets[0][0].pid + 10**6, "-o", "x.pb")
        assert done.returncode == 1 and ("no process" if reachable else "came with 3.14") in done.stderr
        (tmp_path / "probe-0").touch()
        assert [p.stdout.readline() for p, _ in targets[:4]] == ["True\n"] * 4
    finally:
        (tmp_path / "stop").touch()
        for proc, _ in targets:
            proc.kill()
            proc.communicate()


# Generated call trees with pauses and resumes anywhere: the output holds
# exactly what a model that ends every open frame at a pause says.
OPS = st.recursive(st.sampled_from(["pause", "resume"]),
                   lambda inner: st.tuples(st.integers(0, 2), st.lists(inner, max_size=4)),
                   max_leaves=12)


def perform(ops, t):
    for op in ops:
        if op == "pause":
            t.pause()
        elif op == "resume":
            t.resume()
        else:
            CALLEES[op[0]](op[1], t)


def f_0(ops, t): perform(ops, t)
def f_1(ops, t): perform(ops, t)
def f_2(ops, t): perform(ops, t)


CALLEES = [f_0, f_1, f_2]


def modelled(ops):
    # The events as (ph, name, the pause that ended it or None), the pauses
    # begun, and the stacks recorded.
    out, stack, paused, pauses, stacks = [], [], [False], [0], set()

    def walk(ops):
        for op in ops:
            if op in ("pause", "resume"):
                if op == "pause" and not paused[0]:
                    out.extend(("E", name, pauses[0]) for name in reversed(stack))
                    stack.clear()
                    pauses[0] += 1
                paused[0] = op == "pause"
                continue
            name, depth = f"f_{op[0]}", len(stack)
            if not paused[0]:
                out.append(("B", name, None))
                stack.append(name)
                stacks.add(tuple(stack))
            walk(op[1])
            if len(stack) > depth and not paused[0]:
                out.append(("E", stack.pop(), None))
    walk(ops)
    return out, pauses[0], stacks


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("recorder", [False, True])
@settings(max_examples=25, deadline=None, database=None)
@given(ops=st.lists(OPS, max_size=5), last=st.sampled_from(["pause", "resume"]))
def test_generated_pauses_read_back_as_the_model(tmp_path_factory, decode, fmt, recorder, ops, last):
    # Frames open when a pause begins end there, so that what runs after it is
    # not taken for their callee; pausing twice is one pause, and one still on
    # at the end (or at a dump) reaches to the end.
    out = tmp_path_factory.mktemp("g") / "out"
    with fennik.Tracer(str(out), format=fmt, **({"record_last_mb": 1} if recorder else {})) as t:
        perform(ops + [last], t)
    decoded = decode(next(out.iterdir()) if recorder else out, fmt)
    want, pauses, stacks = modelled(ops + [last])
    assert [b is None for _, b in decoded.pauses] == [False] * (pauses - 1) + [last == "pause"] * (pauses > 0)
    assert all(a < (b or a + 1) for a, b in decoded.pauses)
    if fmt == "pprof":
        assert {tuple(n for n in s if n.startswith("f_")) for s in decoded.stacks([__file__])} <= stacks | {()}
        return
    events = [e for th in decoded.threads.values() for e in th.events if e.name in ("f_0", "f_1", "f_2")]
    assert [(e.ph, e.name) for e in events] == [(ph, name) for ph, name, _ in want]
    for e, (_, _, ended_by) in zip(events, want):  # at the pause that ended it, or outside all
        assert e.ts == decoded.pauses[ended_by][0] if ended_by is not None else all(
            e.ts <= a or b is not None and b <= e.ts for a, b in decoded.pauses)
