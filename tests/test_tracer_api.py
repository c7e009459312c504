"""The Tracer's Python surface: arguments, states, errors and their messages,
the advertisement to child processes, and sessions one after another."""

import os
import pathlib
import sys
import time

import pytest
from fennik._core import Tracer

from decoders import CHILD_VARS, FORMATS, TRACE_FORMATS

HERE = __file__
NOT_RUNNING = "the tracer is not running"
STREAMING = "this tracer streams as it goes; pass record_last_mb to keep a flight recorder"
PROFILER = sys.monitoring.PROFILER_ID


def first():
    return 1


def second():
    return 2


def raising():
    raise ZeroDivisionError("on purpose")


def calling_raising():
    raising()


# ---- construction -------------------------------------------------------------


@pytest.mark.parametrize("name", ["JSON", "Protobuf", "PPROF", "", "xml", "pb ", " json", "perfetto"])
def test_unknown_format_is_rejected_before_anything_is_created(tmp_path, name):
    out = tmp_path / "out"
    with pytest.raises(ValueError) as e:
        Tracer(str(out), format=name)
    assert str(e.value) == f"unknown format: {name}"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "format_name, canonical",
    [("pb", "protobuf"), ("proto", "protobuf"), ("protobuf", "protobuf"), ("json", "json"),
     ("pprof", "pprof"), (None, "protobuf")],
)
def test_format_names_and_the_advertised_canonical_name(tmp_path, decode, format_name,
                                                         canonical):
    out = tmp_path / "out"
    kwargs = {} if format_name is None else {"format": format_name}
    t = Tracer(str(out), **kwargs)
    assert not out.exists(), "the constructor opens nothing"
    with t:
        assert os.environ["FENNIK_CHILD_OUTPUT"] == str(out)
        assert os.environ["FENNIK_CHILD_FORMAT"] == canonical
        assert "FENNIK_CHILD_RECORD_MB" not in os.environ
        first()
    for var in CHILD_VARS:
        assert var not in os.environ
    decoded = decode(out, canonical)
    if canonical == "pprof":
        assert any(name == "first" for name, _, _ in decoded.functions.values())
    else:
        assert ("B", "first") in decoded.calls([HERE]).popitem()[1]


@pytest.mark.parametrize(
    "kwargs, error, param",
    [
        ({"output": b"out"}, TypeError, "output"),
        ({"output": pathlib.Path("out")}, TypeError, "output"),
        ({"output": None}, TypeError, "output"),
        ({"output": "out", "format": 1}, TypeError, "format"),
        ({"output": "out", "format": b"json"}, TypeError, "format"),
        ({"output": "out", "trace_subprocesses": 1}, TypeError, "trace_subprocesses"),
        ({"output": "out", "trace_subprocesses": None}, TypeError, "trace_subprocesses"),
        ({"output": "out", "record_last_mb": "1"}, TypeError, "record_last_mb"),
        ({"output": "out", "record_last_mb": 1.5}, TypeError, "record_last_mb"),
        ({"output": "out", "record_last_mb": -1}, OverflowError, "record_last_mb"),
        ({"output": "out", "record_last_mb": 2**64}, OverflowError, "record_last_mb"),
    ],
)
def test_constructor_arguments_of_the_wrong_kind(tmp_path, monkeypatch, kwargs, error, param):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as e:
        Tracer(**kwargs)
    assert param in str(e.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("a", "json", True, None, "extra"), {}),
        (("a",), {"colour": "red"}),
        (("a", "json"), {"format": "json"}),
    ],
)
def test_constructor_call_shape(args, kwargs):
    with pytest.raises(TypeError):
        Tracer(*args, **kwargs)


@pytest.mark.parametrize("record_last_mb", [None, 0, 2**64 - 1])
def test_constructor_accepts_the_whole_range(tmp_path, record_last_mb):
    Tracer(str(tmp_path / "x"), "json", False, record_last_mb)
    Tracer(output=str(tmp_path / "x"), format="pb", trace_subprocesses=True,
           record_last_mb=record_last_mb)
    assert list(tmp_path.iterdir()) == []


# ---- state errors --------------------------------------------------------------

CALLS_NEEDING_A_SESSION = {
    "now_ns": lambda t: t.now_ns(),
    "dump": lambda t: t.dump("why"),
    "snapshot": lambda t: t.snapshot("why"),
    "snapshot window": lambda t: t.snapshot("why", 1, 2),
    "snapshot window by keyword": lambda t: t.snapshot("why", start=0, end=0),
}


@pytest.mark.parametrize("when", ["before entering", "after exiting"])
@pytest.mark.parametrize("call", CALLS_NEEDING_A_SESSION)
def test_calls_without_a_session(tmp_path, when, call):
    t = Tracer(str(tmp_path / "out"))
    if when == "after exiting":
        with t:
            pass
    with pytest.raises(RuntimeError) as e:
        CALLS_NEEDING_A_SESSION[call](t)
    assert str(e.value) == NOT_RUNNING


@pytest.mark.parametrize("call", [c for c in CALLS_NEEDING_A_SESSION if c != "now_ns"])
def test_streaming_tracer_has_no_flight_recorder(tmp_path, call):
    with Tracer(str(tmp_path / "out")) as t:
        with pytest.raises(RuntimeError) as e:
            CALLS_NEEDING_A_SESSION[call](t)
    assert str(e.value) == STREAMING


@pytest.mark.parametrize("running", [False, True])
@pytest.mark.parametrize(
    "kwargs", [{"start": 5}, {"end": 5}, {"start": 0, "end": None}, {"start": None, "end": 0}]
)
def test_snapshot_window_needs_both_ends(tmp_path, running, kwargs):
    t = Tracer(str(tmp_path / "out"))
    if running:
        t.__enter__()
    try:
        with pytest.raises(ValueError) as e:
            t.snapshot("why", **kwargs)
        assert str(e.value) == "start and end come together"
    finally:
        t.__exit__(None, None, None)


@pytest.mark.parametrize(
    "call, error, param",
    [
        (lambda t: t.dump(1), TypeError, "reason"),
        (lambda t: t.snapshot(None), TypeError, "reason"),
        (lambda t: t.snapshot("why", start="0", end=1), TypeError, "start"),
        (lambda t: t.snapshot("why", start=0, end=1.0), TypeError, "end"),
        (lambda t: t.snapshot("why", start=-1, end=1), OverflowError, "start"),
        (lambda t: t.snapshot("why", start=0, end=2**64), OverflowError, "end"),
        (lambda t: t.__exit__("ValueError", None, None), TypeError, "exc_type"),
        (lambda t: t.__exit__(ValueError(), None, None), TypeError, "exc_type"),
    ],
)
def test_method_arguments_of_the_wrong_kind(tmp_path, call, error, param):
    t = Tracer(str(tmp_path / "out"))
    with pytest.raises(error) as e:
        call(t)
    assert param in str(e.value)


@pytest.mark.parametrize("args", [(), (None,), (None, None), (None, None, None, None)])
def test_exit_takes_exactly_three_arguments(tmp_path, args):
    with pytest.raises(TypeError):
        Tracer(str(tmp_path / "out")).__exit__(*args)


# ---- output errors ---------------------------------------------------------------


@pytest.mark.parametrize("fmt", FORMATS)
def test_output_with_an_embedded_nul_is_refused(tmp_path, monkeypatch, fmt):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError):
        with Tracer("out\0suffix", format=fmt, trace_subprocesses=False):
            pass
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fmt", FORMATS)
def test_output_in_a_missing_directory(tmp_path, fmt):
    t = Tracer(str(tmp_path / "missing" / "out"), format=fmt)
    with pytest.raises(OSError) as e:
        t.__enter__()
    assert str(e.value) == "No such file or directory (os error 2)"
    assert sys.monitoring.get_tool(PROFILER) is None
    with pytest.raises(RuntimeError, match=NOT_RUNNING):
        t.now_ns()
    assert t.__exit__(None, None, None) is False
    # The same tracer starts once the directory is there.
    (tmp_path / "missing").mkdir()
    with t:
        pass
    assert (tmp_path / "missing" / "out").exists()


@pytest.mark.parametrize("fmt", FORMATS)
def test_output_that_is_a_directory(tmp_path, fmt):
    with pytest.raises(OSError) as e:
        Tracer(str(tmp_path), format=fmt).__enter__()
    assert str(e.value) == "Is a directory (os error 21)"
    assert sys.monitoring.get_tool(PROFILER) is None


# ---- sessions ------------------------------------------------------------------------


@pytest.mark.parametrize("fmt", FORMATS)
def test_an_exception_ends_the_session_and_propagates(tmp_path, decode, fmt):
    out = tmp_path / f"out.{fmt}"
    t = Tracer(str(out), format=fmt)
    with pytest.raises(ZeroDivisionError, match="on purpose"):
        with t:
            first()
            calling_raising()
    assert sys.monitoring.get_tool(PROFILER) is None
    with pytest.raises(RuntimeError, match=NOT_RUNNING):
        t.now_ns()
    decoded = decode(out, fmt)
    if fmt == "pprof":
        assert {("calling_raising", "raising"), ("first",)} <= set(decoded.stacks([HERE]))
    else:
        (calls,) = decoded.calls([HERE], kinds=True).values()
        unwind = "unwind" if fmt == "json" else None
        ret = "return" if fmt == "json" else None
        start = "start" if fmt == "json" else None
        assert calls == [
            ("B", "first", start), ("E", "first", ret),
            ("B", "calling_raising", start), ("B", "raising", start),
            ("E", "raising", unwind), ("E", "calling_raising", unwind),
        ]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_exit_with_base_exceptions_returns_false(tmp_path, exc):
    t = Tracer(str(tmp_path / "out"))
    t.__enter__()
    assert t.__exit__(exc, exc(), None) is False
    assert sys.monitoring.get_tool(PROFILER) is None


def test_with_binds_the_tracer_itself(tmp_path):
    t = Tracer(str(tmp_path / "out"))
    with t as bound:
        assert bound is t
    assert t.__enter__() is t
    t.__exit__(None, None, None)


@pytest.mark.parametrize("fmt", FORMATS)
def test_reentry_starts_a_fresh_output(tmp_path, decode, fmt):
    out = tmp_path / f"out.{fmt}"
    t = Tracer(str(out), format=fmt)
    with t:
        first()
    with t:
        second()
    decoded = decode(out, fmt)
    if fmt == "pprof":
        names = {name for name, file, _ in decoded.functions.values() if file == HERE}
    else:
        names = {name for calls in decoded.calls([HERE]).values() for _, name in calls}
    assert names == {"second"}


def test_now_ns_is_monotonic_and_restarts_with_each_session(tmp_path):
    t = Tracer(str(tmp_path / "out"))
    last_of_first = None
    for session in range(2):
        before = time.perf_counter_ns()
        with t:
            initial = t.now_ns()
            bound = time.perf_counter_ns() - before
            readings = [t.now_ns() for _ in range(2000)]
            if session == 0:
                time.sleep(0.02)
                last_of_first = t.now_ns()
        assert isinstance(initial, int)
        # The session clock starts inside __enter__, so its first reading
        # cannot exceed the time spent since just before __enter__ (with
        # room for the two clocks' rounding).
        assert 0 <= initial <= bound + bound // 10 + 10_000
        assert readings == sorted(readings) and initial <= readings[0]
    assert initial < last_of_first


# ---- the advertisement to child processes ----------------------------------------


def test_entering_with_trace_subprocesses_advertises(tmp_path, monkeypatch):
    monkeypatch.setenv("FENNIK_CHILD_RECORD_MB", "64")
    out = str(tmp_path / "out")
    with Tracer(out, format="json", trace_subprocesses=True):
        assert {v: os.environ.get(v) for v in CHILD_VARS} == {
            "FENNIK_CHILD_OUTPUT": out,
            "FENNIK_CHILD_FORMAT": "json",
            "FENNIK_CHILD_RECORD_MB": None,
        }
    assert not any(v in os.environ for v in CHILD_VARS)


def test_entering_without_trace_subprocesses_withdraws_the_advertisement(tmp_path,
                                                                         monkeypatch):
    for var in CHILD_VARS:
        monkeypatch.setenv(var, "inherited")
    with Tracer(str(tmp_path / "out"), trace_subprocesses=False):
        assert not any(v in os.environ for v in CHILD_VARS)


def test_output_with_non_ascii_characters_is_advertised_unchanged(tmp_path):
    out = str(tmp_path / "sortie-été ✓.json")
    with Tracer(out, format="json"):
        assert os.environ["FENNIK_CHILD_OUTPUT"] == out
    assert pathlib.Path(out).read_text().startswith("[")


@pytest.mark.parametrize("exc_type", [None, ValueError])
def test_exit_of_a_tracer_that_never_ran(tmp_path, monkeypatch, exc_type):
    for var in CHILD_VARS:
        monkeypatch.setenv(var, "left over")
    t = Tracer(str(tmp_path / "out"))
    assert t.__exit__(exc_type, None, None) is False
    assert not any(v in os.environ for v in CHILD_VARS)
    assert list(tmp_path.iterdir()) == []
    assert t.__exit__(None, None, None) is False


# ---- the profiler slot -------------------------------------------------------------


def registration_error():
    """What the interpreter says when the profiler slot is taken."""
    sys.monitoring.use_tool_id(PROFILER, "probe")
    try:
        with pytest.raises(ValueError) as e:
            sys.monitoring.use_tool_id(PROFILER, "probe")
        return str(e.value)
    finally:
        sys.monitoring.free_tool_id(PROFILER)


@pytest.mark.parametrize("fmt", FORMATS)
def test_profiler_slot_taken_by_another_tool(tmp_path, decode, fmt):
    message = registration_error()
    out = tmp_path / f"out.{fmt}"
    t = Tracer(str(out), format=fmt)
    sys.monitoring.use_tool_id(PROFILER, "other")
    try:
        with pytest.raises(ValueError) as e:
            t.__enter__()
        assert str(e.value) == message
        assert sys.monitoring.get_tool(PROFILER) == "other"
        with pytest.raises(RuntimeError, match=NOT_RUNNING):
            t.now_ns()
    finally:
        sys.monitoring.free_tool_id(PROFILER)
    # Usable once the slot is free again.
    with t:
        first()
    decoded = decode(out, fmt)
    if fmt == "pprof":
        assert ("first",) in decoded.stacks([HERE])
    else:
        assert decoded.calls([HERE]).popitem()[1] == [("B", "first"), ("E", "first")]


@pytest.mark.parametrize("fmt", FORMATS)
def test_second_tracer_while_one_runs(tmp_path, decode, fmt):
    message = registration_error()
    outer_out, inner_out = tmp_path / f"outer.{fmt}", tmp_path / f"inner.{fmt}"
    outer = Tracer(str(outer_out), format=fmt)
    inner = Tracer(str(inner_out), format=fmt)
    with outer:
        first()
        with pytest.raises(ValueError) as e:
            inner.__enter__()
        assert str(e.value) == message
        assert sys.monitoring.get_tool(PROFILER) == "fennik"
        with pytest.raises(RuntimeError, match=NOT_RUNNING):
            inner.now_ns()
        outer.now_ns()
        second()
    decoded = decode(outer_out, fmt)
    if fmt == "pprof":
        assert {("first",), ("second",)} <= set(decoded.stacks([HERE]))
    else:
        assert decoded.calls([HERE]).popitem()[1] == [
            ("B", "first"), ("E", "first"), ("B", "second"), ("E", "second")
        ]
    # The one that failed runs normally afterwards.
    with inner:
        second()
    decoded = decode(inner_out, fmt)
    if fmt in TRACE_FORMATS:
        assert decoded.calls([HERE]).popitem()[1] == [("B", "second"), ("E", "second")]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_full_disk_is_reported(fmt):
    """Writes to /dev/full fail: the JSON output already when it opens (it
    writes its "[" then), the others when the session ends."""
    t = Tracer("/dev/full", format=fmt)
    message = "No space left on device (os error 28)"
    if fmt == "json":
        with pytest.raises(OSError) as e:
            t.__enter__()
        assert str(e.value) == message
    else:
        t.__enter__()
        for _ in range(20000):  # many batches after the first failed write
            first()
        with pytest.raises(OSError) as e:
            t.__exit__(None, None, None)
        assert str(e.value) == message
    assert sys.monitoring.get_tool(PROFILER) is None
    with pytest.raises(RuntimeError, match=NOT_RUNNING):
        t.now_ns()
    assert t.__exit__(None, None, None) is False
