"""Decodes traces written by the protobuf exporter with independent readers
(protoc and the Python protobuf runtime, against a copy of the trace schema's
field numbers) and checks the rules a trace reader depends on."""

import collections
import importlib
import json
import os
import pathlib
import subprocess
import sys

import pytest
from google.protobuf.descriptor import FieldDescriptor as FD

HERE = pathlib.Path(__file__).resolve().parent
PROTO = pathlib.Path(os.environ.get("FENNIK_TRACE_PROTO", HERE / "trace_subset.proto"))
END_KINDS = {2, 3, 5}
SEQ_INCREMENTAL_STATE_CLEARED = 1
SEQ_NEEDS_INCREMENTAL_STATE = 2
TYPE_SLICE_BEGIN, TYPE_SLICE_END, TYPE_INSTANT = 1, 2, 3


@pytest.fixture(scope="session")
def pb(tmp_path_factory):
    out = tmp_path_factory.mktemp("pb")
    subprocess.run(
        ["protoc", f"-I{PROTO.parent}", f"--python_out={out}", PROTO.name], check=True
    )
    sys.path.insert(0, str(out))
    return importlib.import_module(PROTO.stem + "_pb2")


@pytest.fixture
def emit(tmp_path):
    exe = os.environ.get("FENNIK_EMIT_TRACE")
    if not exe:
        pytest.fail("FENNIK_EMIT_TRACE must name the emit_trace helper")

    def run(scenario, path=None):
        path = path or tmp_path / f"{scenario}.pftrace"
        done = subprocess.run(
            [exe, scenario, str(path)], check=True, capture_output=True, text=True
        )
        return path, json.loads(done.stdout)

    return run


# ---- raw wire check against the schema ------------------------------------


def read_varint(data, i):
    value = shift = 0
    while True:
        byte = data[i]
        i += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, i
        shift += 7
        assert shift < 70, "varint longer than ten bytes"


def check_wire(data, descriptor, where):
    """Every field is one the schema declares, with the wire type a reader
    expects: varint scalars unpacked, strings and messages length-delimited."""
    i = 0
    while i < len(data):
        key, i = read_varint(data, i)
        number, wire_type = key >> 3, key & 7
        field = descriptor.fields_by_number.get(number)
        assert field is not None, f"{where}: field {number} is not in the schema"
        name = f"{where}.{field.name}"
        if field.type == FD.TYPE_MESSAGE:
            assert wire_type == 2, name
            length, i = read_varint(data, i)
            check_wire(data[i : i + length], field.message_type, name)
            i += length
        elif field.type in (FD.TYPE_STRING, FD.TYPE_BYTES):
            assert wire_type == 2, name
            length, i = read_varint(data, i)
            data[i : i + length].decode("utf-8")
            i += length
        else:
            assert field.type in (
                FD.TYPE_UINT64,
                FD.TYPE_UINT32,
                FD.TYPE_INT64,
                FD.TYPE_INT32,
                FD.TYPE_ENUM,
            ), name
            assert wire_type == 0, f"{name} must be an unpacked varint"
            value, i = read_varint(data, i)
            if field.type == FD.TYPE_INT32:
                assert value < 2**31, f"{name}: {value} is negative as int32"
            if field.type == FD.TYPE_UINT32:
                assert value < 2**32, name
    assert i == len(data), f"{where}: truncated"


# ---- trace reader rules ------------------------------------------------------


class Sequence:
    def __init__(self):
        self.cleared = False
        self.default_track = None
        self.names, self.locations, self.categories = {}, {}, {}


def intern_into(table, entries, value):
    for entry in entries:
        assert entry.iid != 0, "iid 0 is invalid"
        table[entry.iid] = value(entry)


def read_trace(pb, path):
    """Decodes the file as one Trace and replays it the way a reader does:
    incremental state per sequence, interned ids per sequence, tracks by uuid.
    Returns tracks by uuid, events as dicts, and packets by sequence id."""
    data = path.read_bytes()
    check_wire(data, pb.Trace.DESCRIPTOR, "Trace")
    trace = pb.Trace.FromString(data)
    tracks, events = {}, []
    sequences = collections.defaultdict(Sequence)
    by_sequence = collections.defaultdict(list)
    for p in trace.packet:
        assert p.HasField("timestamp")
        assert p.HasField("trusted_packet_sequence_id")
        sid = p.trusted_packet_sequence_id
        assert sid != 0, "sequence 0 carries no incremental state"
        by_sequence[sid].append(p)
        seq = sequences[sid]
        if p.sequence_flags & SEQ_INCREMENTAL_STATE_CLEARED:
            sequences[sid] = seq = Sequence()
            seq.cleared = True
        if p.sequence_flags & SEQ_NEEDS_INCREMENTAL_STATE:
            assert seq.cleared, f"sequence {sid}: packet before its state was cleared"
        if p.HasField("track_descriptor"):
            td = p.track_descriptor
            assert td.uuid not in tracks, f"track uuid {td.uuid:#x} described twice"
            if td.HasField("parent_uuid"):
                assert td.parent_uuid in tracks, "child track before its parent"
            tracks[td.uuid] = td
        if p.HasField("interned_data"):
            d = p.interned_data
            intern_into(seq.categories, d.event_categories, lambda e: e.name)
            intern_into(seq.names, d.event_names, lambda e: e.name)
            intern_into(seq.locations, d.source_locations, lambda e: (e.file_name, e.line_number))
        if p.HasField("trace_packet_defaults"):
            seq.default_track = p.trace_packet_defaults.track_event_defaults.track_uuid
        if p.HasField("track_event"):
            te = p.track_event
            track = te.track_uuid if te.HasField("track_uuid") else seq.default_track
            assert track in tracks, f"event on undescribed track {track}"
            event = {"ts": p.timestamp, "track": track, "type": te.type, "sequence": sid}
            if te.HasField("name_iid"):
                assert te.name_iid in seq.names, f"name iid {te.name_iid} not interned on {sid}"
                event["name"] = seq.names[te.name_iid]
            elif te.HasField("name"):
                event["name"] = te.name
            for c in te.category_iids:
                assert c in seq.categories, f"category iid {c} not interned on {sid}"
            event["categories"] = [seq.categories[c] for c in te.category_iids] + list(
                te.categories
            )
            if te.HasField("source_location_iid"):
                assert te.source_location_iid in seq.locations
                event["location"] = seq.locations[te.source_location_iid]
            events.append(event)
    return tracks, events, by_sequence


def slices_by_thread(tracks, events, by_track=False):
    """(name, begin, end) of every slice per thread id (or thread track),
    closing the innermost open slice at each end event; the input must be
    well nested."""
    open_slices = collections.defaultdict(list)
    done = collections.defaultdict(list)
    for e in events:
        td = tracks[e["track"]]
        if not td.HasField("thread"):
            continue
        tid = e["track"] if by_track else td.thread.tid
        if e["type"] == TYPE_SLICE_BEGIN:
            open_slices[tid].append((e["name"], e["ts"]))
        else:
            assert e["type"] == TYPE_SLICE_END
            assert "name" not in e
            assert open_slices[tid], f"thread {tid}: end without begin"
            name, begin = open_slices[tid].pop()
            done[tid].append((name, begin, e["ts"]))
    assert not any(open_slices.values()), "unbalanced slices"
    return dict(done)


def expected_slices(scenario):
    codes = scenario["codes"]
    open_slices = collections.defaultdict(list)
    done = collections.defaultdict(list)
    for batch in scenario["batches"]:
        for ts, tid, kind, code in batch:
            if kind in END_KINDS:
                name, begin = open_slices[tid].pop()
                done[tid].append((name, begin, ts))
            else:
                name = codes[str(code)][0] if str(code) in codes else "<unknown>"
                open_slices[tid].append((name, ts))
    return dict(done)


def writer_ids(scenario):
    pid = scenario["pid"]
    return pid, (pid << 32) | 1


# ---- tests -------------------------------------------------------------------


def test_nested_calls_decode_to_the_recorded_slices(pb, emit):
    path, sc = emit("nested")
    tracks, events, by_sequence = read_trace(pb, path)
    assert slices_by_thread(tracks, events) == expected_slices(sc)
    assert len(events) == sum(len(b) for b in sc["batches"])
    assert max(e["ts"] for e in events) > 2**40

    codes = {info[0]: (info[1], info[2]) for info in sc["codes"].values()}
    for e in events:
        assert e["sequence"] == 2
        if e["type"] == TYPE_SLICE_BEGIN:
            assert e["categories"] == ["py"]
            assert e["location"] == codes[e["name"]]
    # One descriptor and one interning packet per code used, before the events.
    setup = [p for p in by_sequence[2] if not p.HasField("track_event")]
    assert len(setup) == 1 + 4
    assert all(p.timestamp == 0 for p in setup)


def test_threads_get_one_named_track_each_under_the_process(pb, emit):
    path, sc = emit("threads")
    tracks, events, _ = read_trace(pb, path)
    pid, process_uuid = writer_ids(sc)

    process = tracks[process_uuid]
    assert process.name == f"python:{pid}"
    assert process.process.pid == pid and process.process.process_name == "python"

    threads = {td.thread.tid: td for td in tracks.values() if td.HasField("thread")}
    assert sorted(threads) == [201, 202, 203, 204]
    for tid, td in threads.items():
        assert td.parent_uuid == process_uuid
        assert td.thread.pid == pid
        assert not td.HasField("name")
        if str(tid) in sc["threads"]:
            assert td.thread.thread_name == sc["threads"][str(tid)]
        else:
            assert not td.thread.HasField("thread_name")
    # Tracks and sequences are numbered in the order threads first appear.
    assert sorted(tracks) == [process_uuid + i for i in range(5)]
    assert sorted({e["sequence"] for e in events}) == [2, 3, 4, 5]
    assert slices_by_thread(tracks, events) == expected_slices(sc)


def test_unknown_codes_and_kinds(pb, emit):
    path, sc = emit("unknown")
    tracks, events, by_sequence = read_trace(pb, path)
    assert slices_by_thread(tracks, events) == expected_slices(sc)
    unknown = [e for e in events if e.get("name") == "<unknown>"]
    assert len(unknown) == 4  # codes 99 (three times) and 98
    assert all("location" not in e for e in unknown)
    # Interned once per code on the thread's sequence; no location for either.
    names = [n for p in by_sequence[2] for n in p.interned_data.event_names]
    assert [n.name for n in names].count("<unknown>") == 2
    locations = [s for p in by_sequence[2] for s in p.interned_data.source_locations]
    assert len(locations) == len(names) - 2


def test_dropped_events_become_an_instant_on_the_process_track(pb, emit):
    path, sc = emit("dropped")
    tracks, events, by_sequence = read_trace(pb, path)
    _, process_uuid = writer_ids(sc)
    last = pb.Trace.FromString(path.read_bytes()).packet[-1]
    assert last.trusted_packet_sequence_id == sc["process_sequence_id"] == 1
    assert not last.HasField("sequence_flags")
    assert last.timestamp == 0
    assert events[-1] == {
        "ts": 0,
        "track": process_uuid,
        "type": TYPE_INSTANT,
        "sequence": 1,
        "name": "fennik: 7 events dropped",
        "categories": ["py", "dropped"],
    }
    assert [p.HasField("track_descriptor") for p in by_sequence[1]] == [True, False]

    # Without any batch: just the process descriptor and the dropped record.
    path, sc = emit("dropped-only")
    tracks, events, _ = read_trace(pb, path)
    assert list(tracks) == [writer_ids(sc)[1]]
    assert [e["name"] for e in events] == ["fennik: 3 events dropped"]


def test_writers_appending_to_one_file_stay_apart(pb, emit, tmp_path):
    path = tmp_path / "shared.pftrace"
    _, parent = emit("nested", path)
    _, child = emit("append", path)  # another process, as a traced child is
    assert parent["pid"] != child["pid"]
    assert child["base"] == child["pid"]

    tracks, events, by_sequence = read_trace(pb, path)
    slices = slices_by_thread(tracks, events)
    assert slices == {**expected_slices(parent), **expected_slices(child)}

    def ids(sc):
        pid, process_uuid = writer_ids(sc)
        owned = {uuid for uuid in tracks if uuid >> 32 == pid}
        seqs = {
            sid
            for sid, packets in by_sequence.items()
            if any(
                p.HasField("track_descriptor") and p.track_descriptor.uuid in owned
                for p in packets
            )
        }
        return owned, seqs

    parent_tracks, parent_seqs = ids(parent)
    child_tracks, child_seqs = ids(child)
    assert len(parent_tracks) == 2 and len(child_tracks) == 5
    assert parent_tracks.isdisjoint(child_tracks)
    assert parent_seqs.isdisjoint(child_seqs)
    assert parent_seqs | child_seqs == set(by_sequence)
    block = child["base"] << 7
    assert child_seqs == {block | 1} | {block + n + 2 for n in range(4)}
    assert parent_seqs == {1, 2}


def test_ended_threads_reused_ids_and_many_live_threads(pb, emit):
    """Replays the scenario as a reader should see it: every thread
    incarnation on a track of its own with the name it had when it began, its
    open slices ended at its last event, codes named as they were when used,
    and every sequence id inside this writer's own ranges."""
    path, sc = emit("lifecycle")
    tracks, events, by_sequence = read_trace(pb, path)
    names = {int(k): v[0] for k, v in sc["codes"].items()}
    thread_names = {int(k): v for k, v in sc["threads"].items()}
    incarnation = collections.Counter()
    open_slices, expected, last, began = {}, {}, {}, {}

    def apply(before):
        for at, what, ident, name in sc["steps"]:
            if at != before:
                continue
            if what == "c":
                names[ident] = name
            elif what == "n":
                thread_names[ident] = name
            elif (ident, incarnation[ident]) in began:
                key = (ident, incarnation[ident])
                for slice_name, begin in reversed(open_slices.pop(key)):
                    expected[key].append((slice_name, begin, last[key]))
                incarnation[ident] += 1

    for i, batch in enumerate(sc["batches"]):
        apply(i)
        for ts, tid, kind, code in batch:
            key = (tid, incarnation[tid])
            began.setdefault(key, thread_names.get(tid, ""))
            last[key] = ts
            expected.setdefault(key, [])
            if kind in END_KINDS:
                slice_name, begin = open_slices[key].pop()
                expected[key].append((slice_name, begin, ts))
            else:
                open_slices.setdefault(key, []).append((names.get(code, "<unknown>"), ts))
    apply(len(sc["batches"]))
    assert not any(open_slices.values())

    got = slices_by_thread(tracks, events, by_track=True)
    keys = sorted(got, key=lambda uuid: (tracks[uuid].thread.tid, uuid))
    assert [(tracks[u].thread.tid, tracks[u].thread.thread_name) for u in keys] == [
        (key[0], began[key]) for key in sorted(expected)
    ]
    assert [got[u] for u in keys] == [expected[key] for key in sorted(expected)]

    base = sc["base"]
    overflow = 2**29 + base * 896
    ids = set(by_sequence)
    assert ids <= {base << 7 | n for n in range(1, 128)} | set(range(overflow, overflow + 896))
    assert max(ids) >= overflow  # more threads alive than one block holds
    assert len(ids) < len(keys)  # ids of ended threads served again


def protoc_decode(path):
    done = subprocess.run(
        ["protoc", f"-I{PROTO.parent}", "--decode=perfetto.protos.Trace", PROTO.name],
        input=path.read_bytes(),
        capture_output=True,
        check=True,
    )
    assert not done.stderr
    return done.stdout.decode()


def test_protoc_reads_the_traces(emit):
    path, sc = emit("threads")
    text = protoc_decode(path)
    assert 'thread_name: "worker-1"' in text
    assert 'thread_name: "worker-3"' not in text
    assert f'name: "python:{sc["pid"]}"' in text
    assert "type: TYPE_SLICE_BEGIN" in text and "type: TYPE_SLICE_END" in text
    assert "sequence_flags: 2" in text

    path, _ = emit("dropped")
    text = protoc_decode(path)
    assert 'name: "fennik: 7 events dropped"' in text
    assert "type: TYPE_INSTANT" in text
