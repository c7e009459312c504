# The Tracer's Python surface: the errors and messages users see, the
# advertisement to child processes, and sessions one after another.

import os
import sys
import warnings

import pytest
from fennik._core import Tracer

from decoders import CHILD_VARS, FORMATS
from versions import SUBINTERPRETERS

HERE = __file__
NOT_RUNNING = "^the tracer is not running$"
PROFILER = sys.monitoring.PROFILER_ID


def first(): return 1
def second(): return 2


def ran_here(decoded):
    # The functions of this file that ran, as the stacks or slices show them.
    if not hasattr(decoded, "samples"):  # one thread, named
        assert [decoded.threads[tid].name for tid in decoded.calls([HERE])] == ["MainThread"]
    return decoded.began([HERE])


@pytest.mark.parametrize("kwargs, error, message", [
    ({"format": "JSON"}, ValueError, "^unknown format: JSON \\(the formats are json, protobuf"),
    ({"format": ""}, ValueError, "^unknown format:  \\(the formats are json, protobuf"),
    ({"output": "out\0suffix"}, ValueError, "^embedded null byte$"),
    ({"output": 3}, TypeError, "output"),
    ({"record_last_mb": -1}, OverflowError, "record_last_mb"),
    ({"record_last_mb": 2**44}, OverflowError, "record_last_mb"),
])
def test_bad_arguments_create_nothing(tmp_path, monkeypatch, kwargs, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=message):
        Tracer(**{"output": "out", **kwargs})
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("where, message, kind", [
    ("missing/out", "No such file or directory (os error 2)", FileNotFoundError),
    (".", "Is a directory (os error 21)", IsADirectoryError),
    ("/dev/full", "No space left on device (os error 28)", OSError),
])
def test_output_that_cannot_be_written(tmp_path, monkeypatch, fmt, where, message, kind):
    # Writes to /dev/full fail: JSON's already when it opens (it writes its
    # "[" then), the others' when the session ends, after many batches.
    monkeypatch.chdir(tmp_path)
    t = Tracer(where, format=fmt)
    with pytest.raises(kind) as e:
        t.__enter__()
        for _ in range(20000):
            first()
        t.__exit__(None, None, None)
    assert (e.value.strerror, e.value.filename) == (message, where) and e.value.errno
    assert sys.monitoring.get_tool(PROFILER) is None and list(tmp_path.iterdir()) == []
    with pytest.raises(RuntimeError, match=NOT_RUNNING):
        t.now_ns()
    assert t.__exit__(None, None, None) is False
    if where == "missing/out":  # the same tracer starts once the directory is there
        (tmp_path / "missing").mkdir()
        with t:
            pass
        assert (tmp_path / "missing" / "out").exists()


@pytest.mark.parametrize("fmt", FORMATS)
def test_sessions_one_after_another(tmp_path, decode, fmt):
    # Once the session is over the tracer refuses plainly. An exception ends the
    # session and propagates; entering again starts a fresh output, names the
    # thread again, gives codes that session's ids (none cached from the
    # first) and starts the session clock afresh.
    out = tmp_path / f"out.{fmt}"
    t = Tracer(str(out), format=fmt)

    def refused():
        for call in t.now_ns, lambda: t.dump("why"), lambda: t.snapshot("why", start=0, end=0):
            with pytest.raises(RuntimeError, match=NOT_RUNNING):
                call()

    with pytest.raises(KeyboardInterrupt):
        with t:
            first()
            with pytest.raises(ValueError, match="^start and end come together$"):
                t.snapshot("why", start=5)
            with pytest.raises(RuntimeError, match="^this tracer streams as it goes; pass "
                               "record_last_mb to keep a flight recorder$"):
                t.dump("why")
            raise KeyboardInterrupt
    assert sys.monitoring.get_tool(PROFILER) is None
    assert ran_here(decode(out, fmt)) == ["first"]
    refused()
    with t:
        readings = [t.now_ns() for _ in range(1000)]
        second()
        first()
        # The slot taken over meanwhile is left to its new owner.
        sys.monitoring.set_events(PROFILER, 0)
        sys.monitoring.free_tool_id(PROFILER)
        sys.monitoring.use_tool_id(PROFILER, "other")
    assert sys.monitoring.get_tool(PROFILER) == "other"
    sys.monitoring.free_tool_id(PROFILER)
    assert ran_here(decode(out, fmt)) == (["first", "second"] if fmt == "pprof" else
                                          ["second", "first"])
    assert readings == sorted(readings) and readings[0] < 1_000_000_000


def test_callbacks_called_by_hand(tmp_path, decode):
    # A program can find the callbacks (register_callback hands back the one
    # it replaces) and call them itself, with anything: they answer None and
    # make up no function from the arguments.
    out, mon = tmp_path / "out.pb", sys.monitoring
    with Tracer(str(out), c_calls=True):
        for event in [getattr(mon.events, e) for e in ("PY_START", "PY_RETURN", "CALL", "C_RETURN")]:
            mon.register_callback(PROFILER, event, callback := mon.register_callback(PROFILER, event, None))
            for args in [(), (1,), ("code", 2, len, 3), (None,) * 5, (first,), (first, 0, len)]:
                assert callback(*args) is None and callback(*args, k=1) is None
        first()
    decoded = decode(out, "protobuf")
    assert ran_here(decoded) == ["first"] and not decoded.names() & {"<unknown>", "len", "NoneType.__call__"}


def test_the_advertisement_to_child_processes(tmp_path, monkeypatch):
    # Named with bytes that are not UTF-8, as open() takes them.
    out = os.fsdecode(bytes(tmp_path) + b"/sortie-\xe9t\xe9 \xff")
    existing = tmp_path / "existing.json"
    existing.write_text("keep me")
    inherit = lambda: [monkeypatch.setenv(var, "inherited") for var in CHILD_VARS]  # noqa: E731
    inherit()
    with Tracer(out, format="pb") as running:
        advertised = dict.fromkeys(CHILD_VARS) | {
            "FENNIK_CHILD_OUTPUT": out, "FENNIK_CHILD_FORMAT": "protobuf",
            "FENNIK_CHILD_ORIGIN_NS": os.environ["FENNIK_CHILD_ORIGIN_NS"]}
        assert os.environ["FENNIK_CHILD_ORIGIN_NS"].isdigit()
        assert {v: os.environ.get(v) for v in CHILD_VARS} == advertised
        # A failed entry touches no file and no variable; a tracer that is not
        # running leaves the running one's advertisement alone.
        for second in (running, Tracer(str(existing), format="json")):
            with pytest.raises((RuntimeError, ValueError), match="already"):
                second.__enter__()
        assert Tracer(str(existing)).__exit__(ValueError, None, None) is False
        assert {v: os.environ.get(v) for v in CHILD_VARS} == advertised
    assert existing.read_text() == "keep me" and os.path.getsize(os.fsencode(out)) > 0
    assert not any(v in os.environ for v in CHILD_VARS)
    inherit()
    with Tracer(out, trace_subprocesses=False):
        assert not any(v in os.environ for v in CHILD_VARS)


@SUBINTERPRETERS
def test_subinterpreters_are_refused_plainly():
    from concurrent import interpreters

    interp = interpreters.create()
    with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
        interp.exec("import fennik._core")
    interp.close()



STARVED_START = """
import os, resource, sys, fennik
def used():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
os.environ["FENNIK_CHILD_OUTPUT"] = "inherited"
t = fennik.Tracer(sys.argv[1], format="json", record_last_mb=int(sys.argv[2]) or None)
# Room for the output's buffers, too little for the output thread's stack.
resource.setrlimit(resource.RLIMIT_AS, (used() + (2 << 20), resource.RLIM_INFINITY))
try:
    t.__enter__()
except RuntimeError as e:
    print(e)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
assert [k for k in os.environ if k.startswith("FENNIK_CHILD")] == ["FENNIK_CHILD_OUTPUT"]
assert os.environ["FENNIK_CHILD_OUTPUT"] == "inherited" and not os.path.exists("made")
with t:  # and the same tracer starts once it can
    pass
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer cannot throw under an address-space limit")
@pytest.mark.parametrize("output, mb", [("out.json", 0), ("made/deeper", 1)])
def test_a_start_that_fails_undoes_everything(run_python, tmp_path, output, mb):
    done = run_python(STARVED_START, output, mb)
    assert "spawn exporter" in done.stdout and (tmp_path / output).exists()


@pytest.mark.parametrize("exc, reason", [
    (SystemExit(0), "exit"), (SystemExit(), "exit"), (SystemExit(3), "exception-SystemExit"),
    (SystemExit("bye"), "exception-SystemExit"), (KeyError("k"), "exception-KeyError")])
def test_the_last_dump_is_named_after_how_the_block_left(tmp_path, exc, reason):
    with pytest.raises(type(exc)):
        with Tracer(str(tmp_path), record_last_mb=1):
            raise exc
    (dump,) = tmp_path.iterdir()
    assert dump.name.endswith(f"-{reason}.pb"), dump.name


def test_windows_reaching_past_the_session_are_clamped_to_it(tmp_path, decode):
    with Tracer(str(tmp_path), record_last_mb=1) as t:
        first()
        now = t.now_ns()
        paths = [t.snapshot("before", now - 10**15, now), t.snapshot("after", 0, 2**70)]
    assert [ran_here(decode(p, "protobuf")) for p in paths] == [["first"]] * 2


@pytest.mark.parametrize("name, fmt", [("t.json", "json"), ("T.PPROF", "pprof"), ("t.trace", "protobuf")])
def test_the_output_name_chooses_the_format(tmp_path, decode, name, fmt):
    # A format the name contradicts is written all the same, with a warning;
    # a name that asks for none warns of nothing. (Each name's format: the
    # native format tests.)
    with Tracer(tmp_path / name):
        first()
    assert ran_here(decode(tmp_path / name, fmt)) == ["first"]
    other = "json" if fmt != "json" else "pprof"
    with warnings.catch_warnings(record=True, action="always") as caught:
        Tracer(tmp_path / name, format=other)
    warned = [f"writing {other} into {tmp_path / name}, whose name asks for {fmt}"] * (name != "t.trace")
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, m) for m in warned]
