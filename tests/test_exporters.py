# Event streams written by each exporter, read back by the independent
# decoders and compared with a small model of what the events mean: slices
# per thread for the trace formats, time per stack for the profile.

import collections
import dataclasses
import gzip
import os
import shutil
import subprocess
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

from decoders import FORMATS

MAX_CODE = (1 << 24) - 1
I64_MAX = (1 << 63) - 1
CLOSING = {2, 3, 5}  # return, yield, unwind; other function kinds and unknown ones open frames
KIND_NAMES = {1: "start", 2: "return", 3: "yield", 4: "resume", 5: "unwind", 6: "throw"}


@dataclasses.dataclass
class Script:
    # In order: ("c", code, (qualname, file, first line)) the id stands for
    # that code (from now on); ("t", tid, name) the thread with that id (or
    # the next one) is named so; ("b", tid, [(ts, kind, code)]) a batch;
    # ("g", tid, ts, count) the thread lost count events from ts on; ("e",
    # tid) the thread ended.
    ops: list
    dropped: int = 0
    peak: int = 0  # buffered bytes

    def text(self):
        hx = lambda s: s.encode().hex() or "-"  # noqa: E731
        lines = [f"b {key} " + " ".join(f"{t} {k} {c}" for t, k, c in rest[0]) if op == "b"
                 else f"c {key} {rest[0][2]} {hx(rest[0][0])} {hx(rest[0][1])}" if op == "c"
                 else f"t {key} {hx(rest[0])}" if op == "t" else " ".join(map(str, [op, key, *rest]))
                 for op, key, *rest in self.ops]
        return "\n".join(lines + [f"d {self.dropped} {self.peak}"]) + "\n"


def emit(fmt, path, script, tag=0, append=False, peak=False):
    # Writes `script` through the exporter of `fmt` in a process of its own;
    # returns that process's id (with peak, and its peak resident KiB).
    args = [os.environ["FENNIK_EMIT"], fmt, str(path), str(tag), str(int(append))]
    done = subprocess.run(args, input=script.text(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pid, peak_kib = map(int, done.stdout.split())
    return (pid, peak_kib) if peak else pid


def info(fmt, codes, code):
    # (name, file, line) as each format shows a code: an unknown code has no
    # location in a trace; an empty name reads "<unknown>" except in protobuf.
    if code not in codes:
        return ("<unknown>", None, None) if fmt == "protobuf" else ("<unknown>", "", 0)
    name, file, line = codes[code]
    return (name or ("" if fmt == "protobuf" else "<unknown>"), file, line)


def expected_trace(fmt, script):
    # Each thread's (tid, name, events), events as (phase, name, file, line,
    # ts, kind); an end reads as the frame it closes, and with no frame open
    # (begun before the output or a gap) is left out. A thread's end closes
    # what it left open at its last event, innermost first; a gap closes what
    # is open at its time, then shows its count there.
    codes, names, live, done = {}, {}, {}, []
    json_kind = (lambda k: KIND_NAMES.get(k, "start")) if fmt == "json" else (lambda k: None)
    for op, key, *rest in script.ops:
        if op == "b":
            stack, events = live.setdefault(key, ([], []))
            for ts, kind, code in rest[0]:
                if kind not in CLOSING:
                    stack.append(where := info(fmt, codes, code))
                elif stack:
                    where = stack.pop()
                else:
                    continue
                events.append(("E" if kind in CLOSING else "B", *where, ts, json_kind(kind)))
        elif op == "g":
            stack, events = live.setdefault(key, ([], []))
            events += [("E", *w, rest[0], json_kind(5)) for w in reversed(stack)]
            events.append(("G", rest[1], None, None, rest[0], None))
            stack.clear()
        elif op == "e":
            stack, events = live.pop(key)
            events += [("E", *w, events[-1][4], json_kind(5)) for w in reversed(stack)]
            done.append((key, names.pop(key, None), events))
        else:
            (codes if op == "c" else names)[key] = rest[0]
    return done + [(tid, names.get(tid), events) for tid, (_, events) in live.items()]


def expected_profile(script):
    # The time from one event of a thread to its next belongs to the thread's
    # stack as it stood in between; a gap charges it up to the gap and starts
    # it afresh, as a thread's end does its id.
    codes, folds, totals = {}, {}, collections.Counter()

    def charge(tid, ts):  # the thread's stack, charged up to ts
        stack, last = folds.setdefault(tid, ([], ts))
        if ts > last and stack:
            totals[tuple(stack)] += ts - last
        folds[tid] = (stack, ts)
        return stack

    for op, key, *rest in script.ops:
        if op == "e":
            folds.pop(key)
        elif op == "c":
            codes[key] = rest[0]
        elif op == "g":
            charge(key, rest[0]).clear()
        elif op == "b":
            for ts, kind, code in rest[0]:
                stack = charge(key, ts)
                if kind not in CLOSING:
                    stack.append((code, info("pprof", codes, code)))
                elif stack:
                    stack.pop()
    samples = collections.Counter()
    for stack, ns in totals.items():
        samples[tuple(i[:2] for _, i in stack)] += min(ns, I64_MAX)
    return dict(samples), sorted({frame for key in totals for frame in key}, key=repr)


def check(fmt, got, scripts):
    assert got.dropped == sum(s.dropped for s in scripts)
    assert got.peaks == [s.peak for s in scripts]
    if fmt == "pprof":
        samples, frames = expected_profile(*scripts)
        assert (got.sample_type, got.samples) == ([("wall", "nanoseconds")], samples)
        # One function per code a charged stack ran, whatever ids it was given.
        assert sorted(got.functions.values(), key=repr) == sorted((i for _, i in frames), key=repr)
        return
    want = [t for s in scripts for t in expected_trace(fmt, s) if t[2]]
    assert sorted(((t.tid, t.name, [(e.ph, e.name, e.file, e.line, e.ts, e.kind) for e in t.events])
                   for t in got.incarnations() if t.events), key=repr) == sorted(want, key=repr)


# Varint lengths of one and two bytes, and every character an escape applies to.
TEXT = st.one_of(st.text(max_size=8), st.text(min_size=100, max_size=140),
                 st.just('\x00\x01\x1f\x7f"\\/ naïve 日本 🙂'))
CODES = st.sampled_from([0, 1, 2, MAX_CODE, 40])
STEP = st.tuples(st.booleans(), st.one_of(st.integers(0, 2000), st.just(1 << 33)), CODES,
                 st.sampled_from([1, 4, 6, 0, 12, 255]), st.sampled_from([2, 3, 5]),
                 st.integers(0, 7))  # 0: events are lost before this one


@st.composite
def thread_batches(draw, tid):
    # Well nested, but ends may come with no frame open: a thread can start
    # inside frames entered before the session. Timestamps may start past
    # 2^63, the longest varint. The events a gap stands for may have ended
    # frames begun before it and begun others that end after it.
    ts, stack, ops, batch = draw(st.sampled_from([0, 12_345, 1 << 63])), draw(
        st.lists(CODES, max_size=4)), [], []
    size = draw(st.integers(1, 16))
    for opens, dt, code, opener, closer, gap in draw(st.lists(STEP, min_size=1, max_size=40)):
        ts += dt
        if gap == 0:
            ops += [("b", tid, batch)] if batch else []
            ops.append(("g", tid, ts, draw(st.sampled_from([1, 2**64 - 1]))))
            batch, stack = [], stack[:draw(st.integers(0, len(stack)))] + draw(st.lists(CODES,
                                                                                     max_size=2))
        if opens:
            stack.append(code)
            batch.append((ts, opener, code))
        else:
            batch.append((ts, closer, stack.pop() if stack else code))
        if len(batch) == size:
            ops, batch = ops + [("b", tid, batch)], []
    return ops + ([("b", tid, batch)] if batch else [])


@st.composite
def scripts(draw):
    codes = {c: (draw(TEXT), draw(TEXT), draw(st.integers(0, 2**32 - 1)))
             for c in draw(st.lists(st.sampled_from([0, 1, 2, MAX_CODE]), unique=True))}
    tids = draw(st.lists(st.sampled_from([1, 7, 2**32 - 1]), min_size=1, max_size=3, unique=True))
    names = {tid: draw(TEXT.filter(bool)) for tid in tids if draw(st.booleans())}
    per_thread = []
    for tid in tids:
        ops = draw(thread_batches(tid))
        if late := tid in names and draw(st.booleans()):  # named after its first batch
            ops.insert(1, ("t", tid, names.pop(tid)))
        if draw(st.booleans()):
            ops.append(("e", tid))
        if ops[-1][0] == "e" and draw(st.booleans()):
            # A later thread with the same id: named afresh, nothing inherited.
            # (json tells the two apart by the first one's name.)
            if not late:
                names.setdefault(tid, draw(TEXT.filter(bool)))
            ops += [("t", tid, draw(TEXT.filter(bool)))] if draw(st.booleans()) else []
            ops += draw(thread_batches(tid))
        per_thread.append(ops)
    # The batches of different threads interleave, as the pipeline hands them over.
    ops = [op for rnd in range(max(map(len, per_thread))) for t in per_thread
           for op in t[rnd:rnd + 1]]
    # Ids are given to other codes only once nothing of theirs is open.
    open_codes, with_reuse = collections.defaultdict(list), []
    for op in ops:
        free = sorted(set(codes) - {c for stack in open_codes.values() for c in stack})
        if free and draw(st.integers(0, 3)) == 0:
            with_reuse.append(("c", draw(st.sampled_from(free)),
                               (draw(TEXT), draw(TEXT), draw(st.integers(0, 9)))))
        with_reuse.append(op)
        if op[0] in "eg":  # nothing is open after a thread's end or a gap
            open_codes.pop(op[1], None)
        for _, kind, code in op[2] if op[0] == "b" else []:
            stack = open_codes[op[1]]
            if kind not in CLOSING:
                stack.append(code)
            elif stack:
                stack.pop()
    dropped = draw(st.one_of(st.just(0), st.integers(1, 2**64 - 1)))
    return Script([("c", c, i) for c, i in codes.items()] + [("t", t, n) for t, n in names.items()]
                  + with_reuse, dropped, draw(st.integers(0, 2**64 - 1)))


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=60, deadline=None, database=None)
@given(script=scripts())
def test_event_streams_read_back_as_the_model(decode, fmt, script):
    with tempfile.TemporaryDirectory() as d:
        pid, got = emit(fmt, f"{d}/out", script), decode(f"{d}/out", fmt)
    check(fmt, got, [script])
    if fmt != "pprof":
        assert got.pids == [pid]


@pytest.mark.parametrize("first_appends", [False, True], ids=["created", "appended"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_writers_appending_to_one_output_stay_apart(decode, tmp_path, fmt, first_appends):
    # Child processes add to their parent's output, one after the other (a
    # pprof child writes a file of its own, named with its tag). The first
    # child has more threads than a sequence-id block holds.
    code = ("c", 1, ("f", "a.py", 3))
    parent = Script([code, ("t", 1, "MainThread"), ("b", 1, [(10, 1, 1), (20, 2, 1)])], dropped=2)
    child = Script([code] + [op for n in range(130) for op in (
        ("t", 100 + n, f"t{n}"), ("b", 100 + n, [(n, 1, 1), (n + 5, 2, 1)]))], dropped=3)
    later = Script([("c", 1, ("g", "b.py", 7)), ("t", 300, "t300"),
                    ("b", 300, [(40, 1, 1), (45, 2, 1)])], dropped=1)
    tag = (1 << 25) + 1
    path = tmp_path / "out"
    pids = [emit(fmt, path, parent, append=first_appends), emit(fmt, path, child, tag, True),
            emit(fmt, path, later, tag + 1, True)]
    if fmt == "pprof":
        check(fmt, decode(f"{path}.0" if first_appends else path, fmt), [parent])
        check(fmt, decode(f"{path}.{tag}", fmt), [child])
        check(fmt, decode(f"{path}.{tag + 1}", fmt), [later])
        return
    got = decode(path, fmt)
    check(fmt, got, [parent, child, later])
    assert got.pids == pids
    if fmt == "protobuf":
        # An appending writer's sequences lie in the block of the lowest tag
        # no other writer holds, whatever tag it was given: 1, whose block
        # takes two varint bytes, free again once the first child is done (the
        # first writer appending too, as to a file made by another, had it).
        # A thread's in the order it first appeared; past the block's 126,
        # in the tag's share of the ids above every block. Never another's.
        first = 0x80 if first_appends else 0
        assert got.process_sequences == [first + 1, 0x81, 0x81]
        assert got.threads[1].sequence == first + 2 and got.threads[300].sequence == 0x82
        seqs = [got.threads[100 + n].sequence for n in range(130)]
        assert seqs[:126] == [0x82 + n for n in range(126)]
        above = [s - (1 << 29) for s in seqs[126:]]
        assert len(set(above)) == 4 and all(s // 896 == 1 for s in above)


# Names pprof's reader could take for C++, Go, Java or mangled symbols.
READER_NAMES = ["<module>", "<lambda>", "<genexpr>", "<listcomp>", "f.<locals>.<lambda>",
                "a::b", "x[1]", "call(a, b)", "operator<", "a>b", "class.<init>",
                "foo.(*Bar[int]).m", "_Z3foov", "__Z3barv", "_ZN3foo3barEv", "", "naïve 日本"]


@pytest.mark.skipif(not shutil.which("go"), reason="go (for go tool pprof) is not installed")
def test_pprof_shows_every_name_as_written(tmp_path):
    # One stack through every name, each frame with time of its own.
    n = len(READER_NAMES)
    script = Script([("c", i, (name, "/app/m.py", 1)) for i, name in enumerate(READER_NAMES)]
                    + [("b", 1, [(i * 1000, 1, i) for i in range(n)]
                        + [((n + 1) * 1000, 2, i) for i in range(n)])])
    emit("pprof", tmp_path / "p.pprof", script)
    go = lambda view: subprocess.run(  # noqa: E731
        ["go", "tool", "pprof", view, "-nodefraction=0", str(tmp_path / "p.pprof")],
        capture_output=True, text=True, timeout=120, check=True).stdout.splitlines()
    shown = [name or "<unknown>" for name in READER_NAMES]
    top = go("-top")
    top = [line.split(maxsplit=5)[5] for line in top[top.index(next(
        line for line in top if line.split() == ["flat", "flat%", "sum%", "cum", "cum%"])) + 1:]]
    assert sorted(top) == sorted(shown)
    # A trace lists its frames innermost first, each line's name from column 13.
    traces = "\n".join(go("-traces")).split("-----------+")
    assert [line[13:] for line in max(traces, key=len).splitlines()[1:]] == shown[::-1]


def recursion(depth, codes, repeats=1):
    # Recursion through `codes` in turn, `depth` frames deep and back,
    # `repeats` times, in batches of the pipeline's size.
    events, ts = [], 0
    for _ in range(repeats):
        frames = [codes[d % len(codes)] for d in range(depth)]
        events += [(ts := ts + 1 + d % 7, 1, c) for d, c in enumerate(frames)]
        events += [(ts := ts + 3, 2, c) for c in reversed(frames)]
    return Script([("c", c, (f"f{c}", "/app/r.py", 1)) for c in set(codes)]
                  + [("b", 1, events[i:i + 1024]) for i in range(0, len(events), 1024)])


def test_pprof_of_deep_recursion(decode, tmp_path):
    # About depth^2/2 location ids, ids of several bytes among them, across
    # many flushes of the file's buffer, read back as the stacks. Doubling the
    # depth doubles the stacks but quadruples the frames the samples list;
    # writing them must not hold them all.
    peaks, sizes, scripts = [], [], {d: recursion(d, [1, MAX_CODE, 2], 2) for d in (3000, 6000)}
    for depth, script in scripts.items():
        peaks.append(emit("pprof", tmp_path / f"d{depth}", script, peak=True)[1])
        sizes.append(len(gzip.decompress((tmp_path / f"d{depth}").read_bytes())))
    check("pprof", decode(tmp_path / "d3000", "pprof"), [scripts[3000]])
    if not peaks[0]:
        pytest.skip("the system does not report a process's peak resident size")
    assert (peaks[1] - peaks[0]) * 1024 < (sizes[1] - sizes[0]) / 4, (peaks, sizes)
