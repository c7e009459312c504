# A thread's first codes, and then its often-run ones, are named by one-byte
# iids in protobuf (a begin names its code twice, by name and by location).
# Generated programs of up to a dozen codes, or a few more than take one-byte
# iids at once, some run far more often than the rest, on threads that may
# end and come back, with an id given to another code on the way, and one
# with more often-run codes than one-byte iids: read back as the model, with
# no iid given two meanings, and by Perfetto's own reader alike where it is
# present.

import pathlib
import random
import tempfile

from hypothesis import given, settings, strategies as st

from test_exporters import Script, check, emit
from test_perfetto import TRACE_PROCESSOR, agree

PROMOTE_AFTER = 1024  # begins on a thread
ONE_BYTE_IIDS = 127
FIRST_COME = 64  # the first codes to begin on a thread take them at once
# Runs kept clear of the threshold, so that which codes qualify does not hang
# on the exact begin that promotes.
COLD_RUNS, HOT_RUNS = st.integers(0, 1000), st.integers(1100, 1200)
MAX_DEPTH = 64  # Perfetto's reader refuses deeper stacks


def calls(rng, runs, ts):
    # The calls of runs[code] runs of each code, randomly nested; every frame ends.
    order = [code for code, n in runs.items() for _ in range(n)]
    rng.shuffle(order)
    events, stack = [], []
    for code in order:
        while stack and (rng.random() < 0.5 or len(stack) == MAX_DEPTH):
            events.append((ts := ts + rng.randint(1, 300), 2, stack.pop()))
        stack.append(code)
        events.append((ts := ts + rng.randint(1, 300), 1, code))
    events += [(ts := ts + rng.randint(1, 300), 2, code) for code in reversed(stack)]
    return events, ts


def batches(tid, events):
    return [("b", tid, events[i:i + 1024]) for i in range(0, len(events), 1024)]


@st.composite
def programs(draw):
    rng = random.Random(draw(st.integers(0, 2**32)))
    codes = draw(st.integers(1, 12) | st.integers(FIRST_COME + 1, FIRST_COME + 6))
    runs = lambda: draw(HOT_RUNS if draw(st.booleans()) else COLD_RUNS)  # noqa: E731
    # Two threads, each running code 0 often and the others often or not; the
    # first may come back with the same id after it ended.
    # After the first thread's run, when nothing is open, code 0's id may pass
    # to another code, which then runs on its own on that thread.
    lives = [(1, True), (2, False)] + ([(1, draw(st.booleans()))] if draw(st.booleans()) else [])
    ops = [("c", c, (f"f{c}", f"/app/m{c % 7}.py", c + 1)) for c in range(codes)]
    names, expected, ts = {c: f"f{c}" for c in range(codes)}, [], 0
    for n, (tid, ends) in enumerate(lives):
        by_code = {c: draw(HOT_RUNS) if c == 0 else runs() for c in range(codes)}
        by_name = {names[c]: k for c, k in by_code.items()}
        events, ts = calls(rng, by_code, ts)
        ops += batches(tid, events)
        if n == 0 and draw(st.booleans()):
            names[0] = "g0"
            ops.append(("c", 0, ("g0", "/app/other.py", 9)))
            by_name["g0"] = runs()
            more, ts = calls(rng, {0: by_name["g0"]}, ts)
            ops += batches(tid, more)
        ops += [("e", tid)] if ends else []
        expected.append((tid, by_name))
    return Script(ops), expected


@settings(max_examples=6, deadline=None, database=None)
@given(program=programs())
def test_often_run_codes_take_one_byte_iids(decode, program):
    script, expected = program
    with tempfile.TemporaryDirectory() as d:
        read_alike(decode, pathlib.Path(d), script, expected)


def read_alike(decode, tmp_path, script, expected):
    emit("protobuf", tmp_path / "t.pb", script)
    got = decode(tmp_path / "t.pb", "protobuf")
    check("protobuf", got, [script])
    threads = sorted((t for t in got.incarnations() if t.events), key=lambda t: t.tid)
    expected = sorted(((tid, runs) for tid, runs in expected if any(runs.values())),
                      key=lambda e: e[0])
    assert [t.tid for t in threads] == [tid for tid, _ in expected]
    for thread, (_, runs) in zip(threads, expected):
        # Each incarnation starts its sequence afresh: its first codes to
        # begin never use a long iid; of the others, the first to begin
        # PROMOTE_AFTER slices are promoted while one-byte iids are left.
        first = list(dict.fromkeys(e.name for e in thread.events if e.ph == "B"))[:FIRST_COME]
        assert all(thread.long_iids[name] == 0 for name in first), thread.long_iids
        later = {name: n for name, n in runs.items() if name not in first}
        hot = [name for name, n in later.items() if n > PROMOTE_AFTER + 1]
        promoted = [name for name in hot if thread.long_iids[name] < runs[name]]
        assert len(promoted) == min(len(hot), ONE_BYTE_IIDS - FIRST_COME), thread.long_iids
        assert all(PROMOTE_AFTER <= thread.long_iids[name] <= PROMOTE_AFTER + 1
                   for name in promoted), thread.long_iids
        assert all(thread.long_iids[name] == n for name, n in later.items() if n <= 1000)
    if TRACE_PROCESSOR.exists():
        agree(tmp_path / "t.pb", tmp_path, lambda *_: got)  # read once


def test_one_byte_iids_run_out(decode, tmp_path):
    # More codes run often than there are one-byte iids: after the first
    # codes to begin, the first to get there are promoted, the rest keep
    # their long iids.
    rng, codes = random.Random(7), ONE_BYTE_IIDS + 3
    events, _ = calls(rng, dict.fromkeys(range(codes), PROMOTE_AFTER + 6), 0)
    script = Script([("c", c, (f"f{c}", "/app/m.py", c + 1)) for c in range(codes)]
                    + batches(1, events))
    read_alike(decode, tmp_path, script, [(1, {f"f{c}": PROMOTE_AFTER + 6 for c in range(codes)})])
