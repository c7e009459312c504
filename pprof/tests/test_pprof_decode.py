"""Profiles written by the pprof exporter, read back by decoders that share no
code with it: protoc-generated Python for a subset of pprof's schema, and
`go tool pprof`. The emitter executable turns an event script into a profile.
"""

import collections
import importlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

HERE = Path(__file__).resolve().parent
EMITTER = os.environ.get("EMIT_PPROF")
PROTO = Path(os.environ.get("PROFILE_SUBSET_PROTO", HERE / "profile_subset.proto"))
IN_CI = os.environ.get("CI", "").lower() == "true"

START, RETURN, YIELD, RESUME, UNWIND, THROW = range(1, 7)
CLOSING = {RETURN, YIELD, UNWIND}
MAX_CODE = (1 << 24) - 1
I64_MAX = (1 << 63) - 1
U64_MAX = (1 << 64) - 1


class Script:
    """An event script for the emitter: codes, batches of one thread, losses."""

    def __init__(self):
        self.codes = {}
        self.batches = []
        self.dropped = 0

    def code(self, cid, line, qualname, filename):
        self.codes[cid] = (qualname, filename, line)
        return self

    def batch(self, tid, events):
        """events: (ts, kind, code) of one thread, in order."""
        self.batches.append((tid, list(events)))
        return self

    def text(self):
        lines = [f"code\t{c}\t{ln}\t{q}\t{f}" for c, (q, f, ln) in self.codes.items()]
        for step in self.batches:
            if step[0] == "end":
                lines.append(f"end\t{step[1]}")
            elif step[0] == "recode":
                _, c, (q, f, ln) = step
                lines.append(f"recode\t{c}\t{ln}\t{q}\t{f}")
            else:
                tid, events = step
                lines += [f"ev\t{ts}\t{tid}\t{k}\t{c}" for ts, k, c in events]
                lines.append("batch")
        lines.append(f"dropped\t{self.dropped}")
        return "\n".join(lines) + "\n"


def emit(script, directory):
    if not EMITTER:
        pytest.fail("EMIT_PPROF is not set; run this through ctest")
    src = Path(directory) / "events.txt"
    out = Path(directory) / "out.pb"
    src.write_text(script.text())
    subprocess.run([EMITTER, str(src), str(out)], check=True)
    return out


@pytest.fixture(scope="session")
def pb(tmp_path_factory):
    protoc = shutil.which("protoc")
    if protoc is None:
        pytest.fail("protoc is needed to decode profiles")
    out = tmp_path_factory.mktemp("pb2")
    subprocess.run(
        [protoc, f"--proto_path={PROTO.parent}", f"--python_out={out}", str(PROTO)], check=True
    )
    sys.path.insert(0, str(out))
    return importlib.import_module(PROTO.stem + "_pb2")


def decode(pb, data):
    profile = pb.Profile()
    profile.ParseFromString(data)
    # Nothing but known fields with their declared wire types: a field the
    # schema does not know, or one with the wrong wire type, parses as unknown
    # and would be lost here. Equal bytes also mean canonical field order,
    # packed repeated integers and no zero-valued singular fields.
    clean = pb.Profile()
    clean.CopyFrom(profile)
    clean.DiscardUnknownFields()
    assert clean.SerializeToString() == data
    check_pprof_rules(profile)
    return profile


def check_pprof_rules(p):
    """What pprof's own parser insists on."""
    assert p.string_table[0] == ""
    n = len(p.string_table)
    assert all(0 <= s < n for vt in p.sample_type for s in (vt.type, vt.unit))
    location_ids = [loc.id for loc in p.location]
    function_ids = [fn.id for fn in p.function]
    assert 0 not in location_ids and len(set(location_ids)) == len(location_ids)
    assert 0 not in function_ids and len(set(function_ids)) == len(function_ids)
    for s in p.sample:
        assert len(s.value) == len(p.sample_type)
        assert all(i in location_ids for i in s.location_id)
    for loc in p.location:
        assert all(line.function_id in function_ids for line in loc.line)
    for fn in p.function:
        assert all(0 <= s < n for s in (fn.name, fn.system_name, fn.filename))
    assert all(0 <= c < n for c in p.comment)


def shape(p):
    return {
        "sample_type": [(t.type, t.unit) for t in p.sample_type],
        "samples": [(list(s.location_id), list(s.value)) for s in p.sample],
        "locations": [(loc.id, [(ln.function_id, ln.line) for ln in loc.line]) for loc in p.location],
        "functions": [
            (f.id, f.name, f.system_name, f.filename, f.start_line) for f in p.function
        ],
        "strings": list(p.string_table),
        "comment": list(p.comment),
    }


def model(script):
    """The profile the events should give, worked out independently. A code
    is named as it was when entered; an id that passed to a different code
    gets a new function, 2^24 above the previous one."""
    folds, totals = {}, {}
    codes, functions, stale, reuses = dict(script.codes), {}, set(), collections.Counter()
    resolved = {}  # code id -> (what it was read as, its function's id)

    def function(code):
        info = codes.get(code, ("", "", 0))
        if code in resolved and (code not in stale or resolved[code][0] == info):
            stale.discard(code)
            return resolved[code][1]
        stale.discard(code)
        fid = (reuses[code] << 24) + code + 1
        reuses[code] += 1
        resolved[code], functions[fid] = (info, fid), info
        return fid

    for step in script.batches:
        if step[0] == "end":
            folds.pop(step[1], None)
            continue
        if step[0] == "recode":
            codes[step[1]] = step[2]
            stale = set(resolved)
            continue
        tid, events = step
        for ts, kind, code in events:
            stack, last = folds.setdefault(tid, ([], ts))
            if ts > last and stack:
                key = tuple(stack)
                totals[key] = min(I64_MAX, totals.get(key, 0) + ts - last)
            folds[tid] = (stack, ts)
            if kind in CLOSING:
                if stack:
                    stack.pop()
            else:
                stack.append(function(code))

    strings = ["", "wall", "nanoseconds"]

    def index(s):
        if s not in strings:
            strings.append(s)
        return strings.index(s)

    used, locations = [], []
    for fid in sorted({f for key in totals for f in key}):
        qualname, filename, line = functions[fid]
        name = index(qualname or "<unknown>")
        used.append((fid, name, name, index(filename), line))
        locations.append((fid, [(fid, line)]))
    comment = [index(f"fennik: {script.dropped} events dropped")] if script.dropped else []
    return {
        "sample_type": [(1, 2)],
        # Tuples order as the samples must: element-wise, a prefix first.
        "samples": [(list(reversed(k)), [v]) for k, v in sorted(totals.items())],
        "locations": locations,
        "functions": used,
        "strings": strings,
        "comment": comment,
    }


# ---- Scenarios with hand-worked results ----


def example_script():
    """f (code 0) from 100 to 1000 ns, calling g (code 5) from 250 to 400."""
    return (
        Script()
        .code(0, 3, "f", "a.py")
        .code(5, 7, "g", "a.py")
        .batch(1, [(100, START, 0), (250, START, 5), (400, RETURN, 5), (1000, RETURN, 0)])
    )


def mixed_script():
    """Two threads, a generator, a frame that ends by unwinding, a code named
    like a string already in the table, a nameless code, an unknown code, and
    lost events."""
    s = (
        Script()
        .code(0, 1, "main", "/app/main.py")
        .code(1, 10, "Worker.run", "/app/work.py")
        .code(2, 20, "gen", "/app/work.py")
        .code(3, 30, "wall", "/app/odd.py")
        .code(4, 40, "", "/app/anon.py")
    )
    s.batch(1, [(0, START, 0), (100, START, 1), (150, START, 2), (170, YIELD, 2),
                (300, RESUME, 2), (310, RETURN, 2), (400, RETURN, 1), (500, START, 99),
                (800, RETURN, 99), (1000, RETURN, 0)])
    s.batch(2, [(50, START, 0), (60, START, 1)])
    s.batch(2, [(65, START, 3), (70, RETURN, 3), (75, START, 4), (95, UNWIND, 4),
                (100, RETURN, 1), (110, RETURN, 0)])
    s.dropped = 3
    return s


# Stack (outermost first) -> ns, worked out by hand for mixed_script.
MIXED_TOTALS = [
    ([0], 400 + 20),
    ([0, 1], 50 + 130 + 90 + 5 + 5 + 5),
    ([0, 1, 2], 20 + 10),
    ([0, 1, 3], 5),
    ([0, 1, 4], 20),
    ([0, 99], 300),
]


def test_no_events_give_sample_type_and_three_strings(pb, tmp_path):
    p = decode(pb, emit(Script(), tmp_path).read_bytes())
    assert [f.name for f, _ in p.ListFields()] == ["sample_type", "string_table"]
    assert shape(p)["sample_type"] == [(1, 2)]
    assert list(p.string_table) == ["", "wall", "nanoseconds"]


def test_example(pb, tmp_path):
    p = decode(pb, emit(example_script(), tmp_path).read_bytes())
    assert shape(p) == {
        "sample_type": [(1, 2)],
        "samples": [([1], [750]), ([6, 1], [150])],
        "locations": [(1, [(1, 3)]), (6, [(6, 7)])],
        "functions": [(1, 3, 3, 4, 3), (6, 5, 5, 4, 7)],
        "strings": ["", "wall", "nanoseconds", "f", "a.py", "g"],
        "comment": [],
    }


def test_mixed(pb, tmp_path):
    script = mixed_script()
    got = shape(decode(pb, emit(script, tmp_path).read_bytes()))
    assert got["samples"] == [([c + 1 for c in reversed(k)], [v]) for k, v in MIXED_TOTALS]
    assert got["strings"] == [
        "", "wall", "nanoseconds", "main", "/app/main.py", "Worker.run", "/app/work.py", "gen",
        "/app/odd.py", "<unknown>", "/app/anon.py", "fennik: 3 events dropped",
    ]
    assert got["functions"] == [
        (1, 3, 3, 4, 1), (2, 5, 5, 6, 10), (3, 7, 7, 6, 20), (4, 1, 1, 8, 30),
        (5, 9, 9, 10, 40), (100, 9, 9, 0, 0),
    ]
    assert got["locations"] == [(1, [(1, 1)]), (2, [(2, 10)]), (3, [(3, 20)]), (4, [(4, 30)]),
                                (5, [(5, 40)]), (100, [(100, 0)])]
    assert got["comment"] == [11]
    assert model(script) == got  # the model agrees with the hand-worked figures


# ---- Arbitrary event streams against the model ----

KINDS = st.sampled_from([START, RETURN, YIELD, RESUME, UNWIND, THROW, 0, 7, 255])
CODES = st.sampled_from([0, 1, 2, 3, 40, MAX_CODE])
STEP = st.tuples(st.one_of(st.integers(-30, 300), st.just(1 << 63)), KINDS, CODES)
TIDS = st.sampled_from([1, 2, 0xFFFFFFFF])
BATCH = st.one_of(
    st.tuples(TIDS, st.lists(STEP, min_size=1, max_size=25)),
    st.tuples(st.just("end"), TIDS),  # the thread ends; a later one may take its id
    st.tuples(st.just("recode"), CODES, st.sampled_from([("main", "/m.py", 1), ("re", "/r.py", 2)])),
)


@settings(max_examples=80, deadline=None, database=None, derandomize=True)
@given(
    batches=st.lists(BATCH, max_size=10),
    dropped=st.one_of(st.just(0), st.integers(1, U64_MAX)),
)
def test_arbitrary_streams_match_the_model(pb, batches, dropped):
    script = (
        Script()
        .code(0, 1, "main", "/m.py")
        .code(1, 0, "wall", "/w.py")  # a name already in the table, no line
        .code(2, 5, "", "/anon.py")
        .code(3, 9, "Q.q", "")
        .code(MAX_CODE, 70_000, "L" * 200, "/" + "d" * 300)  # lengths past one varint byte
    )
    clock = {}
    for step in batches:
        if step[0] in ("end", "recode"):
            script.batches.append(step)
            continue
        tid, steps = step
        events = []
        for dt, kind, code in steps:
            ts = min(U64_MAX, max(0, clock.get(tid, 1000) + dt))
            clock[tid] = ts
            events.append((ts, kind, code))
        script.batch(tid, events)
    script.dropped = dropped
    with tempfile.TemporaryDirectory() as d:
        got = shape(decode(pb, emit(script, d).read_bytes()))
    assert got == model(script)


def test_deep_recursion_matches_the_model(pb, tmp_path):
    # Samples whose location lists run to hundreds of bytes.
    depth = 300
    events = [(10 * i, START, i % 3) for i in range(depth)]
    events += [(10 * (depth + i), RETURN, 0) for i in range(depth)]
    script = Script().code(0, 1, "a", "r.py").code(1, 2, "b", "r.py").batch(4, events)
    got = shape(decode(pb, emit(script, tmp_path).read_bytes()))
    assert len(got["samples"]) == depth  # the way back passes the same stacks
    assert max(len(ids) for ids, _ in got["samples"]) == depth
    assert got == model(script)


# ---- go tool pprof ----


@pytest.fixture(scope="session")
def go_pprof(tmp_path_factory):
    """Runs go tool pprof offline. The tool is compiled on first use, which
    takes minutes; a cache directory given in PPROF_GO_CACHE (the build tree)
    keeps that to the first run."""
    go = shutil.which("go")
    if go is None:
        if IN_CI:
            pytest.fail("go is required in CI to check profiles with go tool pprof")
        pytest.skip("go is not installed")
    home = Path(os.environ.get("PPROF_GO_CACHE") or tmp_path_factory.mktemp("go"))
    home.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, HOME=str(home), GOCACHE=str(home / "cache"), GOPATH=str(home / "go"),
               GOFLAGS="", GOPROXY="off", GOTOOLCHAIN="local")

    def run(*args):
        done = subprocess.run([go, "tool", "pprof", "-symbolize=none", *args], env=env,
                              capture_output=True, text=True, timeout=540)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


def test_go_pprof_reads_totals_and_names(go_pprof, tmp_path):
    out = go_pprof("-raw", str(emit(mixed_script(), tmp_path)))
    assert "Comment: fennik: 3 events dropped" in out.splitlines()

    samples = out.split("Samples:\n", 1)[1].split("Locations\n", 1)[0].splitlines()
    assert samples[0].strip() == "wall/nanoseconds"
    got = [(int(v), [int(i) for i in ids.split()]) for v, ids in
           (line.split(":") for line in samples[1:])]
    assert got == [(v, [c + 1 for c in reversed(k)]) for k, v in MIXED_TOTALS]

    names = {}
    for line in out.split("Locations\n", 1)[1].split("Mappings\n", 1)[0].splitlines():
        m = re.fullmatch(r"\s*(\d+): 0x0 M=\d+ (\S+) (\S*):(\d+):0 s=(\d+)", line)
        assert m, line
        names[int(m[1])] = (m[2], m[3], int(m[4]))
    assert names == {
        1: ("main", "/app/main.py", 1), 2: ("Worker.run", "/app/work.py", 10),
        3: ("gen", "/app/work.py", 20), 4: ("wall", "/app/odd.py", 30),
        5: ("<unknown>", "/app/anon.py", 40), 100: ("<unknown>", "", 0),
    }
