# What ran, as the decoded outputs show it: the exact begin/end sequence of
# the functions of this module, with each event's kind where the format says.

import asyncio
import threading
import types

import pytest

from decoders import TRACE_FORMATS

HERE = __file__


# ---- traced code: only these functions are compared -------------------------

def leaf():
    return 1


def nested():
    return leaf() + leaf()


def fact(n):
    return 1 if n <= 1 else n * fact(n - 1)


def two_values():
    yield 1
    yield 2


def drain():
    return list(two_values())


def raiser():
    raise KeyError("deep")


def catcher():
    try:
        raiser()
    except KeyError:
        return "caught"


def echo():
    try:
        yield 1
    except ValueError:
        return "handled"


def plain():
    yield 1


def throw_into(gen_fn, error):
    g = gen_fn()
    next(g)
    try:
        g.throw(error)
    except (StopIteration, error):
        pass


async def pause():
    await asyncio.sleep(0)


async def gather_two():
    await pause()
    await pause()


# "name" is a start and a return; other kinds follow a slash.
SCENARIOS = {
    "nested": (nested, "B:nested B:leaf E:leaf B:leaf E:leaf E:nested"),
    "recursion": (lambda: fact(3), "B:fact B:fact B:fact E:fact E:fact E:fact"),
    "generator": (drain, "B:drain B:two_values E:two_values/yield B:two_values/resume "
                  "E:two_values/yield B:two_values/resume E:two_values E:drain"),
    "exception through a frame": (catcher, "B:catcher B:raiser E:raiser/unwind E:catcher"),
    "throw handled in the generator": (
        lambda: throw_into(echo, ValueError),
        "B:throw_into B:echo E:echo/yield B:echo/throw E:echo E:throw_into"),
    "throw escaping the generator": (
        lambda: throw_into(plain, LookupError),
        "B:throw_into B:plain E:plain/yield B:plain/throw E:plain/unwind E:throw_into"),
    "coroutine under asyncio": (
        lambda: asyncio.run(gather_two()),
        "B:gather_two B:pause E:pause/yield E:gather_two/yield B:gather_two/resume "
        "B:pause/resume E:pause B:pause E:pause/yield E:gather_two/yield "
        "B:gather_two/resume B:pause/resume E:pause E:gather_two"),
}


def main_calls(decoded, kinds):
    calls = decoded.calls([HERE], kinds=kinds)
    assert list(calls) == [threading.get_native_id() & 0xFFFFFFFF], calls
    return [c for c in next(iter(calls.values())) if "<lambda>" not in c[1]]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_slice_sequence(trace, fmt, scenario):
    body, text = SCENARIOS[scenario]
    expected = []
    for item in text.split():
        ph, _, rest = item.partition(":")
        name, _, kind = rest.partition("/")
        expected.append((ph, name, kind or ("start" if ph == "B" else "return")))
    calls = main_calls(trace(fmt, body), kinds=True)
    if fmt == "json":
        assert calls == expected
    else:
        assert calls == [(ph, name, None) for ph, name, _ in expected]


ODD_NAMES = [("plain", "plain.py"), ('quote"and\\back', 'dir\\with "quotes".py'),
             ("tab\there\nnewline\x01\x1f\x7f", "ctrl\r\x08\x0c.py"),
             ("naïve.日本.🙂", "/tmp/ünïcode/файл.py"), ("<lambda>", "")]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_qualnames_files_and_lines_arrive_unchanged(trace, fmt):
    fns = [types.FunctionType(leaf.__code__.replace(co_name="odd", co_qualname=name,
                                                    co_filename=file, co_firstlineno=1000 + i), {})
           for i, (name, file) in enumerate(ODD_NAMES)]
    main = trace(fmt, lambda: [fn() for fn in fns]).threads[threading.get_native_id() & 0xFFFFFFFF]
    files = {file for _, file in ODD_NAMES}
    assert [(e.ph, e.name, e.file, e.line) for e in main.events if e.file in files] == [
        (ph, name, file, 1000 + i) for i, (name, file) in enumerate(ODD_NAMES) for ph in "BE"]
