# What ran, as the decoded outputs show it: the exact begin/end sequence of
# the functions of this module, with each event's kind where the format says.
# (Names, files and lines of any text reach each format unchanged: see the
# exporters' generated streams.)

import asyncio
import re
import threading

import pytest

from decoders import TRACE_FORMATS

HERE = __file__


# ---- traced code: only these functions are compared -------------------------

def leaf(): return 1


class Pair:
    def total(self): return leaf() + leaf()


def fact(n): return 1 if n <= 1 else n * fact(n - 1)


def two_values():
    yield 1
    yield 2


def drain(): return list(two_values())


def raiser(): raise KeyError("deep")


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


def plain(): yield 1


def throw_into(gen_fn, error):
    g = gen_fn()
    next(g)
    try:
        g.throw(error)
    except (StopIteration, error):
        pass


async def pause(): await asyncio.sleep(0)


async def gather_two():
    await pause()
    await pause()


# "name" is a start and a return; other kinds follow a slash.
SCENARIOS = {
    "method": (Pair().total, "B:Pair.total B:leaf E:leaf B:leaf E:leaf E:Pair.total"),
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


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("mode", [{}, {"record_last_mb": 16}], ids=["streamed", "dumped"])
def test_slice_sequence(trace, fmt, scenario, mode):
    # Each event names its function's qualified name and first line; a flight
    # recorder's dump at exit holds the same as a streamed output.
    body, text = SCENARIOS[scenario]
    expected = [(ph, name, kind or ("start" if ph == "B" else "return"))
                for ph, name, kind in re.findall(r"(\w):([^/\s]+)/?(\w*)", text)]
    decoded, main = trace(fmt, body, **mode), threading.get_native_id() & 0xFFFFFFFF
    assert list(decoded.calls([HERE])) == [main]
    events = [e for e in decoded.threads[main].events if e.file == HERE and e.name != "<lambda>"]
    assert [(e.ph, e.name, e.kind) for e in events] == [
        (ph, name, kind if fmt == "json" else None) for ph, name, kind in expected]
    firsts = {c.co_qualname: c.co_firstlineno for f in [*globals().values(), Pair.total]
              if (c := getattr(f, "__code__", None))}
    assert [e.line for e in events] == [firsts[name] for _, name, _ in expected]
