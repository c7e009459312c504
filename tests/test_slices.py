"""What ran, as the decoded outputs show it: the exact begin/end sequence of
the functions of this module, per format."""

import asyncio
import threading
import types

import pytest

from decoders import TRACE_FORMATS

HERE = __file__


# ---- traced code ------------------------------------------------------------
# Only these functions are compared; the trace also holds whatever the
# interpreter and the tracer's exit run in other files.


def leaf():
    return 1


def nested():
    return leaf() + leaf()


def outer():
    return nested()


def fact(n):
    return 1 if n <= 1 else n * fact(n - 1)


def two_values():
    yield 1
    yield 2


def drain():
    return list(two_values())


def raiser():
    raise KeyError("deep")


def middle():
    raiser()


def catcher():
    try:
        middle()
    except KeyError:
        return "caught"


def echo():
    try:
        yield 1
    except ValueError:
        return "handled"


def throw_handled():
    g = echo()
    next(g)
    try:
        g.throw(ValueError)
    except StopIteration as stop:
        return stop.value


def plain():
    yield 1


def throw_unhandled():
    g = plain()
    next(g)
    try:
        g.throw(LookupError)
    except LookupError:
        return "escaped"


async def pause():
    await asyncio.sleep(0)
    return 1


async def gather_two():
    return await pause() + await pause()


def run_coroutine():
    return asyncio.run(gather_two())


def fact3():
    return fact(3)


def nested_many(rounds):
    for _ in range(rounds):
        nested()


def mixed():
    outer()
    fact(3)
    drain()
    catcher()


def B(name, kind="start"):
    return ("B", name, kind)


def E(name, kind="return"):
    return ("E", name, kind)


SCENARIOS = {
    "nested": (
        outer,
        [B("outer"), B("nested"), B("leaf"), E("leaf"), B("leaf"), E("leaf"), E("nested"),
         E("outer")],
    ),
    "recursion": (
        fact3,
        [B("fact3"), B("fact"), B("fact"), B("fact"), E("fact"), E("fact"), E("fact"), E("fact3")],
    ),
    "generator": (
        drain,
        [B("drain"), B("two_values"), E("two_values", "yield"), B("two_values", "resume"),
         E("two_values", "yield"), B("two_values", "resume"), E("two_values"), E("drain")],
    ),
    "exception through two frames": (
        catcher,
        [B("catcher"), B("middle"), B("raiser"), E("raiser", "unwind"), E("middle", "unwind"),
         E("catcher")],
    ),
    "throw handled in the generator": (
        throw_handled,
        [B("throw_handled"), B("echo"), E("echo", "yield"), B("echo", "throw"), E("echo"),
         E("throw_handled")],
    ),
    "throw escaping the generator": (
        throw_unhandled,
        [B("throw_unhandled"), B("plain"), E("plain", "yield"), B("plain", "throw"),
         E("plain", "unwind"), E("throw_unhandled")],
    ),
    "coroutine under asyncio": (
        run_coroutine,
        [B("run_coroutine"),
         B("gather_two"), B("pause"), E("pause", "yield"), E("gather_two", "yield"),
         B("gather_two", "resume"), B("pause", "resume"), E("pause"),
         B("pause"), E("pause", "yield"), E("gather_two", "yield"),
         B("gather_two", "resume"), B("pause", "resume"), E("pause"),
         E("gather_two"),
         E("run_coroutine")],
    ),
}


def main_calls(decoded, kinds):
    calls = decoded.calls([HERE], kinds=kinds)
    assert list(calls) == [threading.get_native_id() & 0xFFFFFFFF], calls
    return next(iter(calls.values()))


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_slice_sequence(trace, fmt, scenario):
    body, expected = SCENARIOS[scenario]
    decoded = trace(fmt, body)
    if fmt == "json":
        assert main_calls(decoded, kinds=True) == expected
    else:
        assert main_calls(decoded, kinds=False) == [(ph, name) for ph, name, _ in expected]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_slices_carry_their_source_location(trace, fmt):
    decoded = trace(fmt, outer)
    located = {
        (e.name, e.line)
        for t in decoded.threads.values()
        for e in t.events
        if e.file == HERE
    }
    assert located == {
        ("outer", outer.__code__.co_firstlineno),
        ("nested", nested.__code__.co_firstlineno),
        ("leaf", leaf.__code__.co_firstlineno),
    }


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_methods_and_closures_are_named_by_qualname(trace, fmt):
    class Box:
        def method(self):
            def inner():
                return 1

            return inner()

    decoded = trace(fmt, Box().method)
    prefix = "test_methods_and_closures_are_named_by_qualname.<locals>."
    assert main_calls(decoded, kinds=False) == [
        ("B", prefix + "Box.method"),
        ("B", prefix + "Box.method.<locals>.inner"),
        ("E", prefix + "Box.method.<locals>.inner"),
        ("E", prefix + "Box.method"),
    ]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_every_event_of_a_long_run_arrives(trace, fmt):
    # Well past one batch of events per thread, so batches are handed over
    # while the thread still records.
    rounds = 5000
    decoded = trace(fmt, lambda: nested_many(rounds))
    calls = main_calls(decoded, kinds=False)
    assert calls[0] == ("B", "test_every_event_of_a_long_run_arrives.<locals>.<lambda>")
    assert calls[1] == ("B", "nested_many")
    assert calls[2:-2] == [("B", "nested"), ("B", "leaf"), ("E", "leaf"), ("B", "leaf"),
                           ("E", "leaf"), ("E", "nested")] * rounds
    assert calls[-2:] == [("E", "nested_many"), ("E", calls[0][1])]


def test_profile_charges_the_stacks_that_ran(trace):
    profile = trace("pprof", mixed)
    assert profile.sample_type == [("wall", "nanoseconds")]
    assert profile.comments == []
    stacks = profile.stacks([HERE])
    assert set(stacks) == {("mixed",)} | {
        ("mixed", *stack)
        for stack in [
            ("outer",), ("outer", "nested"), ("outer", "nested", "leaf"),
            ("fact",), ("fact", "fact"), ("fact", "fact", "fact"),
            ("drain",), ("drain", "two_values"),
            ("catcher",), ("catcher", "middle"), ("catcher", "middle", "raiser"),
        ]
    }
    names = {name: (file, line) for name, file, line in profile.functions.values() if file == HERE}
    assert names["fact"] == (HERE, fact.__code__.co_firstlineno)
    assert names["two_values"] == (HERE, two_values.__code__.co_firstlineno)


# ---- slices cut by the session's start and end ------------------------------------


def starts_tracing(tracer):
    tracer.__enter__()
    leaf()


def stops_tracing(tracer):
    leaf()
    tracer.__exit__(None, None, None)


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_calls_cut_by_the_session_boundaries(tmp_path, decode, fmt):
    import fennik

    out = tmp_path / f"out.{fmt}"
    tracer = fennik.Tracer(str(out), format=fmt)
    starts_tracing(tracer)
    stops_tracing(tracer)
    decoded = decode(out, fmt)
    main = decoded.threads[threading.get_native_id() & 0xFFFFFFFF]
    mine = [e for e in main.events if e.file == HERE or e.file is None]
    # The return from the call that started tracing has no beginning (a
    # protobuf end carries no name, so nothing says which function it was);
    # the call that stopped tracing has no end.
    assert [(e.ph, e.name) for e in mine] == [
        ("B", "leaf"), ("E", "leaf"),
        ("E", "starts_tracing" if fmt == "json" else None),
        ("B", "stops_tracing"), ("B", "leaf"), ("E", "leaf"),
    ]


# ---- names and files that need escaping -------------------------------------------

ODD_NAMES = [
    ("plain", "plain.py"),
    ('quote"and\\backslash', 'dir\\with "quotes".py'),
    ("tab\there\nnewline\x01\x1f\x7f", "ctrl\r\x08\x0c.py"),
    ("naïve.日本.🙂", "/tmp/ünïcode/файл.py"),
    ("<lambda>", ""),
]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_names_and_files_arrive_unchanged(trace, fmt):
    fns = [
        types.FunctionType(
            leaf.__code__.replace(co_name="odd", co_qualname=name, co_filename=file,
                                  co_firstlineno=1000 + i),
            {},
        )
        for i, (name, file) in enumerate(ODD_NAMES)
    ]

    def run():
        for fn in fns:
            fn()

    decoded = trace(fmt, run)
    main = decoded.threads[threading.get_native_id() & 0xFFFFFFFF]
    wanted = {file for _, file in ODD_NAMES}
    got = [(e.ph, e.name, e.file, e.line) for e in main.events if e.file in wanted]
    expected = []
    for i, (name, file) in enumerate(ODD_NAMES):
        expected += [("B", name, file, 1000 + i), ("E", name, file, 1000 + i)]
    assert got == expected
