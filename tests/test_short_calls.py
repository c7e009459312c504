# Calls shorter than a threshold left out of generated event streams: each
# format's output against the same stream written whole, read back by the
# independent decoders, with the slices shorter than the threshold taken out.

import tempfile
import types

import pytest
from hypothesis import given, settings, strategies as st

from decoders import FORMATS
from test_exporters import emit, scripts


def without_short(trace, ns):
    # Per thread, its events but the slices shorter than `ns` (a slice never
    # ended is long), and how many those were.
    kept, left_out = [], 0
    for t in trace.incarnations():
        keep, stack = [True] * len(t.events), []
        for i, e in enumerate(t.events):
            if e.ph == "B":
                stack.append(i)
            elif e.ph == "E" and e.ts - t.events[b := stack.pop()].ts < ns:
                keep[b] = keep[i] = False
                left_out += 1
        kept.append([e for k, e in zip(keep, t.events) if k])
    return [events for events in kept if events], left_out


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=25, deadline=None, database=None)
@given(script=scripts(), ns=st.sampled_from([1, 60, 900, 5000]))
def test_short_calls_are_left_out_of_generated_streams(decode, fmt, script, ns):
    # Against the same stream written whole, the slices shorter than ns taken
    # out; pprof's time of each call left out is its caller's.
    filtered = types.SimpleNamespace(text=lambda: f"m {ns}\n" + script.text())
    with tempfile.TemporaryDirectory() as d:
        emit("protobuf" if fmt == "pprof" else fmt, f"{d}/whole", script)
        emit(fmt, f"{d}/short", filtered)
        whole = decode(f"{d}/whole", "protobuf" if fmt == "pprof" else fmt)
        short = decode(f"{d}/short", fmt)
        expected, left_out = without_short(whole, ns)
        assert short.short == [(left_out, ns)]
        if fmt == "pprof":
            emit(fmt, f"{d}/all", script)
            assert sum(short.samples.values()) <= sum(decode(f"{d}/all", fmt).samples.values())
            return
    # A call still open at the end goes out last, so its thread may come later.
    assert sorted([t.events for t in short.incarnations() if t.events], key=repr) == sorted(expected, key=repr)
