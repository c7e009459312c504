"""Decodes files written by emit_json (one or several processes) with
Python's own json module and checks what a trace viewer relies on."""

import collections
import json
import os
import pathlib
import subprocess
import tempfile

from hypothesis import given, settings, strategies as st

EMIT = os.environ["FENNIK_EMIT_JSON"]

BEGIN_KINDS = {"start", "resume", "throw"}
END_KINDS = {"return", "yield", "unwind"}
EVENT_KEYS = ["name", "cat", "ph", "ts", "pid", "tid", "args"]
META_KEYS = ["args", "name", "ph", "pid", "tid"]
UNKNOWN = ("<unknown>", "", 0)

TRICKY_CODES = [
    (b"main", b"app.py", 1),
    (b'Q.quote"and\\back', b"dir\\with\\backslash.py", 20),
    (b"ctl\x00\x01\x1f\x7f\ttab\nnl", b"f\r\x0c\x08.py", 3),
    ("naïve.函数.😀".encode(), "/tmp/日本/ü.py".encode(), 4),
    (b"", b"", 0),
    (b"bad\xff\xc3(\xed\xa0\x80end", b"\xe2\x82", 4294967295),
]
TRICKY_THREADS = [(9, "worker ☃\t\"q\"".encode()), (1, b"MainThread"), (5, None), (3, b"b\xffad")]


def hexed(data):
    return data.hex() if data else "-"


def text(data):
    """What a name should read as after the round trip."""
    return data.decode("utf-8", "replace")


def emit(path, codes, threads, *, writers=1, mode="create", batches=2, dropped=0, seed=1):
    plan = [f"writers {writers}", f"mode {mode}", f"batches {batches}",
            f"dropped {dropped}", f"seed {seed}"]
    plan += [f"code {hexed(n)} {hexed(f)} {line}" for n, f, line in codes]
    plan += [f"thread {tid} {hexed(name) if name is not None else '-'}" for tid, name in threads]
    plan_path = pathlib.Path(str(path) + ".plan")
    plan_path.write_text("\n".join(plan) + "\n")
    done = subprocess.run([EMIT, str(path), str(plan_path)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    counts = {}
    for line in done.stdout.splitlines():
        word, pid, n = line.split()
        assert word == "events"
        counts[int(pid)] = int(n)
    assert len(counts) == writers
    return path.read_bytes(), counts


def decode(raw):
    """The file is an array left open; closing it must give valid JSON."""
    assert raw.startswith(b"[") and not raw.startswith(b"[["), raw[:40]
    assert raw.endswith(b","), raw[-40:]
    # No whitespace and no raw control byte anywhere, strings included.
    assert not any(b < 0x20 for b in raw)
    # Strict UTF-8 (json.loads on bytes would let surrogates through).
    return json.loads((raw[:-1] + b"]").decode("utf-8"))


def check_trace(objs, codes, threads, counts, dropped):
    expected = {((text(n) or "<unknown>"), text(f), line) for n, f, line in codes}
    seen = set()
    stacks = collections.defaultdict(list)
    last_ts = {}
    events_per_pid = collections.Counter()
    last_event_at = {}
    meta = collections.defaultdict(list)

    for at, obj in enumerate(objs):
        if obj["ph"] == "M":
            assert list(obj) == META_KEYS
            meta[obj["pid"]].append((at, obj))
            continue
        assert list(obj) == EVENT_KEYS
        assert list(obj["args"]) == ["file", "line", "kind"]
        assert obj["cat"] == "py"
        pid, tid = obj["pid"], obj["tid"]
        where = (obj["name"], obj["args"]["file"], obj["args"]["line"])
        assert where in expected or where == UNKNOWN, where
        seen.add(where)
        key = (pid, tid)
        assert obj["ts"] >= last_ts.get(key, 0.0)
        last_ts[key] = obj["ts"]
        events_per_pid[pid] += 1
        last_event_at[pid] = at
        if obj["ph"] == "B":
            assert obj["args"]["kind"] in BEGIN_KINDS
            stacks[key].append(where)
        else:
            assert obj["ph"] == "E"
            assert obj["args"]["kind"] in END_KINDS
            assert stacks[key], f"end without begin on {key}"
            assert stacks[key].pop() == where, f"mismatched end on {key}"

    assert expected <= seen
    assert all(not s for s in stacks.values()), "frames left open"
    assert {tid for _, tid in stacks} == {tid for tid, _ in threads}
    assert dict(events_per_pid) == counts

    want_meta = [{"args": {"name": text(name)}, "name": "thread_name", "ph": "M", "tid": tid}
                 for tid, name in sorted(threads) if name is not None]
    if dropped:
        want_meta.append({"args": {"count": dropped}, "name": "fennik_dropped_events",
                          "ph": "M", "tid": 0})
    assert set(meta) == set(counts)
    for pid, entries in meta.items():
        # Metadata comes last for its writer.
        assert all(at > last_event_at[pid] for at, _ in entries)
        got = [{k: v for k, v in obj.items() if k != "pid"} for _, obj in entries]
        assert got == want_meta
        assert all(obj["pid"] == pid for _, obj in entries)


def test_one_writer_file_decodes(tmp_path):
    raw, counts = emit(tmp_path / "one.json", TRICKY_CODES, TRICKY_THREADS)
    check_trace(decode(raw), TRICKY_CODES, TRICKY_THREADS, counts, 0)


def test_processes_appending_to_one_file_keep_objects_whole(tmp_path):
    raw, counts = emit(tmp_path / "shared.json", TRICKY_CODES, TRICKY_THREADS,
                       writers=3, batches=12, dropped=7)
    objs = decode(raw)
    check_trace(objs, TRICKY_CODES, TRICKY_THREADS, counts, 7)
    assert len({o["pid"] for o in objs}) == 3


def test_appending_writers_open_a_missing_file_as_an_array(tmp_path):
    path = tmp_path / "children-only.json"
    raw, counts = emit(path, TRICKY_CODES[:2], [(4, b"t")], writers=3, mode="append", batches=8,
                       dropped=1)
    check_trace(decode(raw), TRICKY_CODES[:2], [(4, b"t")], counts, 1)


@settings(max_examples=40, deadline=None, database=None)
@given(codes=st.lists(st.tuples(st.binary(max_size=24), st.binary(max_size=24),
                                st.integers(0, 2**32 - 1)), min_size=1, max_size=6),
       thread_name=st.binary(min_size=1, max_size=24))
def test_any_bytes_survive_as_their_replacement_decoding(codes, thread_name):
    threads = [(7, thread_name)]
    with tempfile.TemporaryDirectory() as tmp:
        raw, counts = emit(pathlib.Path(tmp) / "names.json", codes, threads, batches=1)
        check_trace(decode(raw), codes, threads, counts, 0)
