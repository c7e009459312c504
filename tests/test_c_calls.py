# Calls of built-in functions, methods and C classes as slices: nested exactly
# with the Python functions around and inside them, in every format, and
# only when asked for.

import json
import re
import threading
import time

import pytest

import fennik

from decoders import TRACE_FORMATS, read_pprof

HERE = __file__


def neg(v): return -v


def boom(v): raise KeyError(v)


def gen(): yield len("ab")


def mixed():  # one call site, a Python function and a built-in one
    for f in (neg, abs):
        f(1)


def spanned():  # fennik's own calls are never C calls: the span holds neg
    with fennik.span("s"):
        neg(1)


def caught(body):
    try:
        body()
    except (ValueError, KeyError):
        pass


# The events of the body, Python ones (of this file) and C ones; "name" is a
# start and a return, other kinds follow a slash.
SCENARIOS = {
    "key callback": (lambda: sorted([2, 1], key=neg),
                     "B:sorted B:neg E:neg B:neg E:neg E:sorted"),
    "class and its iteration": (lambda: list(map(neg, [1])),
                                "B:map E:map B:list B:neg E:neg E:list"),
    "raising C call": (lambda: caught(lambda: int("x")),
                       "B:caught B:int E:int/unwind E:caught"),
    "Python raising inside C": (lambda: caught(lambda: sorted([1, 2], key=boom)),
                                "B:caught B:sorted B:boom B:KeyError E:KeyError E:boom/unwind "
                                "E:sorted/unwind E:caught"),
    "generator under next": (lambda: next(gen()),
                             "B:next B:gen B:len E:len E:gen/yield E:next B:gen/throw E:gen/unwind"),
    "methods and modules": (lambda: ([3, 1].sort(), time.sleep(0), dict.fromkeys("a"),
                                     [].append(1), str.join(",", "ab")),
                            "B:list.sort E:list.sort B:time.sleep E:time.sleep "
                            "B:dict.fromkeys E:dict.fromkeys B:list.append E:list.append "
                            "B:str.join E:str.join"),
    "one call site, both kinds": (lambda: mixed(), "B:mixed B:neg E:neg B:abs E:abs E:mixed"),
    "a span": (lambda: spanned(), "B:spanned B:s/span B:neg E:neg E:s/span E:spanned"),
}


def body_events(decoded):
    # The events inside the scenario's lambda (itself left out), of this file
    # or of C calls (no file).
    events = decoded.threads[threading.get_native_id() & 0xFFFFFFFF].events
    first = next(i for i, e in enumerate(events) if e.file == HERE)
    depth, inside = 0, []
    for e in events[first:]:
        depth += 1 if e.ph == "B" else -1
        if depth == 0:
            break
        inside.append(e)
    return [e for e in inside[1:] if e.file in (HERE, "", None) and "<lambda>" not in e.name]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("c_calls", [True, False], ids=["c-calls", "python-only"])
def test_c_call_nesting(trace, fmt, scenario, c_calls):
    body, text = SCENARIOS[scenario]
    expected = [(ph, name, kind or ("start" if ph == "B" else "return"))
                for ph, name, kind in re.findall(r"(\w):([^/\s]+)/?(\w*)", text)]
    if not c_calls:  # the same without the C calls
        expected = [e for e in expected if e[1] in {"neg", "boom", "gen", "mixed", "caught", "spanned", "s"}]
    events = body_events(trace(fmt, body, c_calls=c_calls))
    assert [(e.ph, e.name, e.kind) for e in events] == [
        (ph, name, kind if fmt == "json" or kind == "span" else None) for ph, name, kind in expected]
    assert all((e.file, e.line) == ("", 0) for e in events
               if e.file != HERE and e.kind != "span"), events


def test_c_calls_in_a_profile_and_of_left_out_code(trace, tmp_path):
    # A profile stacks C frames like any other; the C calls of code a session
    # leaves out are left out with it, those of the code it records are not.
    import fennik

    path = tmp_path / "p.pprof"
    with fennik.Tracer(str(path), c_calls=True):
        sorted([2, 1], key=neg)
    profile = read_pprof(path)
    assert any(s[-2:] == ("sorted", "neg") for s in profile.stacks([HERE, ""])), profile.samples
    decoded = trace("protobuf", lambda: json.dumps({"a": [len("x")]}), c_calls=True,
                    exclude=[HERE])
    names = decoded.names()
    assert "len" not in names and "json.dumps" not in names
    assert {"JSONEncoder.encode", "isinstance", "str.join"} <= names, names
