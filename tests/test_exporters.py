# Event streams written by each exporter, read back by the independent
# decoders and compared with a small model of what the events mean: slices
# per thread for the trace formats, time per stack for the profile.

import collections
import dataclasses
import os
import pathlib
import subprocess
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

from decoders import FORMATS

MAX_CODE = (1 << 24) - 1
I64_MAX = (1 << 63) - 1
CLOSING = {2, 3, 5}  # return, yield, unwind; every other kind value opens a frame
KIND_NAMES = {1: "start", 2: "return", 3: "yield", 4: "resume", 5: "unwind", 6: "throw"}


@dataclasses.dataclass
class Script:
    codes: dict  # code id -> (qualname, file, first line)
    names: dict  # tid -> thread name
    batches: list  # [(tid, [(ts, kind, code)])]
    dropped: int = 0

    def text(self):
        def hx(s):
            return s.encode().hex() or "-"

        lines = [f"c {c} {ln} {hx(q)} {hx(f)}" for c, (q, f, ln) in self.codes.items()]
        lines += [f"t {tid} {hx(name)}" for tid, name in self.names.items()]
        lines += [f"b {tid} " + " ".join(f"{ts} {k} {c}" for ts, k, c in events)
                  for tid, events in self.batches]
        return "\n".join(lines + [f"d {self.dropped}"]) + "\n"


def emit(fmt, path, script, tag=0, append=False):
    # Writes `script` through the exporter of `fmt` in a process of its own;
    # returns that process's id.
    args = [os.environ["FENNIK_EMIT"], fmt, str(path), str(tag), str(int(append))]
    done = subprocess.run(args, input=script.text(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


def info(fmt, codes, code):
    # (name, file, line) as each format shows a code: an unknown code has no
    # location in a trace; an empty name reads "<unknown>" except in protobuf.
    if code not in codes:
        return ("<unknown>", None, None) if fmt == "protobuf" else ("<unknown>", "", 0)
    name, file, line = codes[code]
    return (name or ("" if fmt == "protobuf" else "<unknown>"), file, line)


def expected_trace(fmt, script):
    # Per thread, (phase, name, file, line, ts, kind) of each event; an end
    # reads as the frame it closes, or with no frame open as nothing
    # (protobuf) or its own code (json).
    stacks, threads = collections.defaultdict(list), collections.defaultdict(list)
    for tid, events in script.batches:
        for ts, kind, code in events:
            if kind not in CLOSING:
                stacks[tid].append(info(fmt, script.codes, code))
                where = stacks[tid][-1]
            elif stacks[tid]:
                where = stacks[tid].pop()
            else:
                where = (None,) * 3 if fmt == "protobuf" else info(fmt, script.codes, code)
            threads[tid].append(("E" if kind in CLOSING else "B", *where, ts,
                                 KIND_NAMES.get(kind, "start") if fmt == "json" else None))
    return threads


def expected_profile(script):
    # The time from one event of a thread to its next belongs to the thread's
    # stack as it stood in between.
    folds, totals = {}, collections.Counter()
    for tid, events in script.batches:
        for ts, kind, code in events:
            stack, last = folds.setdefault(tid, ([], ts))
            if ts > last and stack:
                totals[tuple(stack)] += ts - last
            folds[tid] = (stack, ts)
            if kind not in CLOSING:
                stack.append(code)
            elif stack:
                stack.pop()
    samples = collections.Counter()
    for stack, ns in totals.items():
        samples[tuple(info("pprof", script.codes, c)[:2] for c in stack)] += min(ns, I64_MAX)
    return dict(samples), {c + 1: info("pprof", script.codes, c) for key in totals for c in key}


def check(fmt, got, scripts):
    assert got.dropped == sum(s.dropped for s in scripts)
    if fmt == "pprof":
        assert got.sample_type == [("wall", "nanoseconds")]
        assert (got.samples, got.functions) == expected_profile(*scripts)
        return
    want = {tid: events for s in scripts for tid, events in expected_trace(fmt, s).items()}
    assert {tid: [(e.ph, e.name, e.file, e.line, e.ts, e.kind) for e in t.events]
            for tid, t in got.threads.items()} == want
    assert {tid: t.name for tid, t in got.threads.items()} == {
        tid: s.names.get(tid) for s in scripts for tid, _ in s.batches}


TEXT = st.one_of(st.text(max_size=8), st.text(min_size=100, max_size=140))  # both length bytes
STEP = st.tuples(st.booleans(), st.one_of(st.integers(0, 2000), st.just(1 << 33)),
                 st.sampled_from([0, 1, 2, MAX_CODE, 40]), st.sampled_from([1, 4, 6, 0, 7, 255]),
                 st.sampled_from([2, 3, 5]))


@st.composite
def scripts(draw, tids=st.lists(st.sampled_from([1, 7, 2**32 - 1]), min_size=1, max_size=3,
                                unique=True)):
    codes = {c: (draw(TEXT), draw(TEXT), draw(st.integers(0, 2**32 - 1)))
             for c in draw(st.lists(st.sampled_from([0, 1, 2, MAX_CODE]), unique=True))}
    tids = draw(tids)
    names = {tid: draw(TEXT.filter(bool)) for tid in tids if draw(st.booleans())}
    per_thread = []
    for tid in tids:
        # Well nested, but ends may come with no frame open; timestamps may
        # start past 2^63, the longest varint.
        ts, stack, events = draw(st.sampled_from([0, 12_345, 1 << 63])), [], []
        for opens, dt, code, open_kind, close_kind in draw(st.lists(STEP, min_size=1, max_size=40)):
            ts += dt
            if opens:
                stack.append(code)
                events.append((ts, open_kind, code))
            else:
                events.append((ts, close_kind, stack.pop() if stack else code))
        size = draw(st.integers(1, 16))
        per_thread.append([(tid, events[i:i + size]) for i in range(0, len(events), size)])
    # The batches of different threads interleave, as the serializer hands them over.
    batches = [b for rnd in range(max(map(len, per_thread))) for bs in per_thread
               for b in bs[rnd:rnd + 1]]
    dropped = draw(st.one_of(st.just(0), st.integers(1, 2**64 - 1)))
    return Script(codes, names, batches, dropped)


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=60, deadline=None, database=None)
@given(script=scripts())
def test_event_streams_read_back_as_the_model(decode, fmt, script):
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d) / "out"
        pid = emit(fmt, path, script)
        got = decode(path, fmt)
    check(fmt, got, [script])
    if fmt != "pprof":
        assert got.pids == [pid]


@pytest.mark.parametrize("first_appends", [False, True], ids=["created", "appended"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_writers_appending_to_one_output_stay_apart(decode, tmp_path, fmt, first_appends):
    # A child process adds to its parent's output (a pprof child writes a file
    # of its own, named with its tag). The tag here wraps the sequence-id block
    # past 32 bits and the child has more threads than a block holds.
    codes = {1: ("f", "a.py", 3)}
    parent = Script(codes, {1: "MainThread"}, [(1, [(10, 1, 1), (20, 2, 1)])], dropped=2)
    child = Script(codes, {100 + n: f"t{n}" for n in range(130)},
                   [(100 + n, [(n, 1, 1), (n + 5, 2, 1)]) for n in range(130)], dropped=3)
    tag = (1 << 25) + 1
    path = tmp_path / "out"
    pids = [emit(fmt, path, parent, append=first_appends), emit(fmt, path, child, tag, True)]
    if fmt == "pprof":
        check(fmt, decode(f"{path}.0" if first_appends else path, fmt), [parent])
        check(fmt, decode(f"{path}.{tag}", fmt), [child])
        return
    got = decode(path, fmt)
    check(fmt, got, [parent, child])
    assert got.pids == pids
    if fmt == "protobuf":
        # Each writer's sequences lie in the block its tag names, a thread's
        # in the order it first appeared, and one writer's never meet another's.
        assert got.process_sequences == [1, 0x81]
        assert got.threads[1].sequence == 2
        assert [got.threads[100 + n].sequence for n in range(130)] == [
            0x82 + n for n in range(130)]
