# Calls shorter than a threshold left out of generated event streams: each
# format's output against the same stream written whole, read back by the
# independent decoders, with the slices shorter than the threshold taken out.

import tempfile
import types

import pytest
from hypothesis import given, settings, strategies as st

from decoders import FORMATS
from test_exporters import Script, emit, scripts


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


def check_left_out(decode, fmt, script, ns):
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


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=25, deadline=None, database=None)
@given(script=scripts(), ns=st.sampled_from([1, 60, 900, 5000]))
def test_short_calls_are_left_out_of_generated_streams(decode, fmt, script, ns):
    check_left_out(decode, fmt, script, ns)


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
@settings(max_examples=25, deadline=None, database=None)
@given(script=scripts(), ns=st.sampled_from([60, 900, 5000]), data=st.data())
def test_pauses_end_what_is_open_with_short_calls_left_out(decode, fmt, script, ns, data):
    # A pause after some of the batches ends what the thread has open there,
    # with or without the threshold; a call it cut short is as short as it
    # was when cut.
    ops = []
    for i, op in enumerate(script.ops):
        ops.append(op)
        if op[0] == "b" and op[2] and data.draw(st.integers(0, 2)) == 0:
            # Not after the thread's next event or gap: time never runs
            # backwards. After its end, a later thread takes the id afresh.
            nxt = next((o for o in script.ops[i + 1:]
                        if o[1] == op[1] and (o[0] in "eg" or o[0] == "b" and o[2])), ("e",))
            later = {"b": lambda: [nxt[2][0][0]], "g": lambda: [nxt[2]], "e": list}[nxt[0]]()
            at = op[2][-1][0] + data.draw(st.sampled_from([0, 100, 10_000]))
            ops.append(("p", op[1], min([at] + later)))
    check_left_out(decode, fmt, Script(ops, script.dropped, script.peak), ns)
