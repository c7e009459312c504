"""Readers for the three output formats that share nothing with the writers:
protoc-generated Python for the trace and profile schemas, the standard json
module, and `go tool pprof`. Every reader turns a file into plain Python
values so that the tests can compare them with what the traced code did."""

import collections
import dataclasses
import importlib
import json
import os
import pathlib
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
TRACE_PROTO = ROOT / "proto" / "tests" / "trace_subset.proto"
PROFILE_PROTO = ROOT / "pprof" / "tests" / "profile_subset.proto"

FORMATS = ["protobuf", "json", "pprof"]
TRACE_FORMATS = ["protobuf", "json"]  # the formats that keep every event in order
CHILD_VARS = ("FENNIK_CHILD_OUTPUT", "FENNIK_CHILD_FORMAT", "FENNIK_CHILD_RECORD_MB")

TYPE_SLICE_BEGIN, TYPE_SLICE_END, TYPE_INSTANT = 1, 2, 3
SEQ_INCREMENTAL_STATE_CLEARED, SEQ_NEEDS_INCREMENTAL_STATE = 1, 2
BEGIN_KINDS = {"start", "resume", "throw"}
END_KINDS = {"return", "yield", "unwind"}


def compile_proto(proto, out_dir):
    """protoc --python_out for one schema; returns the generated module."""
    protoc = shutil.which("protoc")
    if protoc is None:
        raise RuntimeError("protoc is needed to decode the outputs")
    subprocess.run(
        [protoc, f"-I{proto.parent}", f"--python_out={out_dir}", proto.name], check=True
    )
    if str(out_dir) not in sys.path:
        sys.path.insert(0, str(out_dir))
    return importlib.import_module(proto.stem + "_pb2")


# ---- the common shape of a decoded trace ------------------------------------


@dataclasses.dataclass
class Event:
    ph: str  # "B" or "E"
    name: str | None  # None for an end that closes nothing the reader saw begin
    file: str | None
    line: int | None
    ts: int  # nanoseconds
    kind: str | None = None  # json only: start, return, yield, resume, unwind, throw


@dataclasses.dataclass
class Thread:
    tid: int
    name: str | None = None
    events: list = dataclasses.field(default_factory=list)


class Trace:
    """Threads by id, each with its events in file order and its name."""

    def __init__(self, pid):
        self.pid = pid
        self.threads = {}
        self.process_tracks = []  # protobuf: the process track descriptors
        self.instants = []  # protobuf: (name, categories) of instant events
        self.metadata = []  # json: the "M" objects

    def thread(self, tid):
        return self.threads.setdefault(tid, Thread(tid))

    def calls(self, files, tid=None, kinds=False):
        """The (phase, name) sequence of the events of functions defined in
        `files`, per thread (or of one thread when tid is given). With kinds,
        (phase, name, kind) as far as the format tells it."""
        files = {str(f) for f in files}
        out = {}
        for t in self.threads.values():
            seq = [
                (e.ph, e.name, e.kind) if kinds else (e.ph, e.name)
                for e in t.events
                if e.file in files
            ]
            if seq:
                out[t.tid] = seq
        return out if tid is None else out.get(tid, [])

    def names(self):
        """Every function name that begins a slice anywhere in the trace."""
        return {e.name for t in self.threads.values() for e in t.events if e.ph == "B"}


def close_stacks(trace):
    """Gives every end event the function it closes, innermost open first,
    the way a trace reader pairs them, and checks time never runs backwards
    on a thread."""
    for t in trace.threads.values():
        stack, last = [], 0
        for e in t.events:
            assert e.ts >= last, f"thread {t.tid}: time goes backwards at {e}"
            last = e.ts
            if e.ph == "B":
                stack.append(e)
            elif stack:
                opened = stack.pop()
                if e.name is None:
                    e.name, e.file, e.line = opened.name, opened.file, opened.line
                else:
                    assert (e.name, e.file, e.line) == (opened.name, opened.file, opened.line), (
                        f"thread {t.tid}: {e} closes {opened}"
                    )
    return trace


# ---- protobuf ----------------------------------------------------------------


class _Sequence:
    def __init__(self):
        self.names, self.locations, self.categories = {}, {}, {}
        self.default_track = None
        self.cleared = False


def read_protobuf(pb, path):
    """Decodes a Perfetto trace and replays it as a trace reader does:
    incremental state per packet sequence, interned names and locations per
    sequence, tracks by uuid, thread names from the thread descriptors."""
    data = pathlib.Path(path).read_bytes()
    trace_msg = pb.Trace.FromString(data)
    # Unknown fields would mean bytes no reader of the schema understands.
    clean = pb.Trace()
    clean.CopyFrom(trace_msg)
    clean.DiscardUnknownFields()
    assert clean.ByteSize() == len(data), "fields outside the trace schema"

    tracks = {}
    sequences = collections.defaultdict(_Sequence)
    processes = [
        p.track_descriptor
        for p in trace_msg.packet
        if p.HasField("track_descriptor") and p.track_descriptor.HasField("process")
    ]
    trace = Trace(processes[0].process.pid if processes else None)
    trace.process_tracks = processes
    for p in trace_msg.packet:
        sid = p.trusted_packet_sequence_id
        assert sid != 0
        if p.sequence_flags & SEQ_INCREMENTAL_STATE_CLEARED:
            sequences[sid] = _Sequence()
            sequences[sid].cleared = True
        seq = sequences[sid]
        if p.sequence_flags & SEQ_NEEDS_INCREMENTAL_STATE:
            assert seq.cleared, f"sequence {sid} uses state it never cleared"
        if p.HasField("track_descriptor"):
            td = p.track_descriptor
            assert td.uuid not in tracks, f"track {td.uuid:#x} described twice"
            if td.HasField("parent_uuid"):
                assert td.parent_uuid in tracks, "thread track before its process track"
            tracks[td.uuid] = td
            if td.HasField("thread"):
                t = trace.thread(td.thread.tid)
                assert not t.events, f"thread {t.tid} described after its events"
                t.name = td.thread.thread_name if td.thread.HasField("thread_name") else None
        if p.HasField("interned_data"):
            d = p.interned_data
            for e in d.event_categories:
                seq.categories[e.iid] = e.name
            for e in d.event_names:
                seq.names[e.iid] = e.name
            for e in d.source_locations:
                seq.locations[e.iid] = (e.file_name, e.line_number)
        if p.HasField("trace_packet_defaults"):
            seq.default_track = p.trace_packet_defaults.track_event_defaults.track_uuid
        if not p.HasField("track_event"):
            continue
        te = p.track_event
        track_uuid = te.track_uuid if te.HasField("track_uuid") else seq.default_track
        assert track_uuid in tracks, f"event on undescribed track {track_uuid}"
        td = tracks[track_uuid]
        if te.type == TYPE_INSTANT:
            trace.instants.append((te.name, list(te.categories)))
            continue
        assert td.HasField("thread"), "slice on a track that is not a thread's"
        thread = trace.thread(td.thread.tid)
        if te.type == TYPE_SLICE_BEGIN:
            assert te.name_iid in seq.names, f"name iid {te.name_iid} not interned on {sid}"
            assert [seq.categories[c] for c in te.category_iids] == ["py"]
            file = line = None
            if te.HasField("source_location_iid"):
                file, line = seq.locations[te.source_location_iid]
            thread.events.append(Event("B", seq.names[te.name_iid], file, line, p.timestamp))
        else:
            assert te.type == TYPE_SLICE_END, te
            assert not te.HasField("name_iid")
            thread.events.append(Event("E", None, None, None, p.timestamp))
    return close_stacks(trace)


# ---- json --------------------------------------------------------------------


def load_json_array(path):
    """The trace-event array, which the writer leaves open: "[" then objects
    each followed by ","."""
    text = pathlib.Path(path).read_text(encoding="utf-8")
    assert text.startswith("["), text[:40]
    if text == "[":
        return []
    assert text.endswith(","), text[-40:]
    return json.loads(text[:-1] + "]")


def read_json(path):
    objects = load_json_array(path)
    pids = {o["pid"] for o in objects}
    assert len(pids) <= 1, pids
    trace = Trace(pids.pop() if pids else None)
    trace.metadata = [o for o in objects if o["ph"] == "M"]
    for o in objects:
        if o["ph"] == "M":
            continue
        assert o["ph"] in ("B", "E"), o
        assert o["cat"] == "py"
        kind = o["args"]["kind"]
        assert kind in (BEGIN_KINDS if o["ph"] == "B" else END_KINDS), o
        ts = round(float(o["ts"]) * 1000)
        trace.thread(o["tid"]).events.append(
            Event(o["ph"], o["name"], o["args"]["file"], o["args"]["line"], ts, kind)
        )
    for m in trace.metadata:
        if m["name"] == "thread_name":
            t = trace.thread(m["tid"])
            assert t.name is None, f"thread {m['tid']} named twice"
            t.name = m["args"]["name"]
    return close_stacks(trace)


# ---- pprof -------------------------------------------------------------------


@dataclasses.dataclass
class Profile:
    sample_type: list  # [(type, unit)]
    samples: dict  # stack of (name, file) outermost first -> nanoseconds
    functions: dict  # id -> (name, file, start line)
    comments: list

    def stacks(self, files):
        """Samples restricted to frames of `files`: the stack of names of
        those frames, outermost first, for every sample that has any."""
        files = {str(f) for f in files}
        out = collections.Counter()
        for stack, value in self.samples.items():
            kept = tuple(name for name, file in stack if file in files)
            if kept:
                out[kept] += value
        return out


def read_pprof(pb, path):
    data = pathlib.Path(path).read_bytes()
    p = pb.Profile.FromString(data)
    clean = pb.Profile()
    clean.CopyFrom(p)
    clean.DiscardUnknownFields()
    assert clean.ByteSize() == len(data), "fields outside the profile schema"
    strings = list(p.string_table)
    assert strings and strings[0] == ""
    functions = {f.id: (strings[f.name], strings[f.filename], f.start_line) for f in p.function}
    assert len(functions) == len(p.function) and 0 not in functions
    locations = {}
    for loc in p.location:
        assert loc.id not in locations and loc.id != 0
        assert len(loc.line) == 1
        locations[loc.id] = functions[loc.line[0].function_id]
    samples, seen = {}, set()
    for s in p.sample:
        assert len(s.value) == 1 and s.value[0] > 0
        # One sample per stack, whichever threads it ran on.
        assert tuple(s.location_id) not in seen, f"stack {list(s.location_id)} repeated"
        seen.add(tuple(s.location_id))
        stack = tuple((locations[i][0], locations[i][1]) for i in reversed(s.location_id))
        samples[stack] = samples.get(stack, 0) + s.value[0]
    return Profile(
        [(strings[t.type], strings[t.unit]) for t in p.sample_type],
        samples,
        functions,
        [strings[c] for c in p.comment],
    )


def go_pprof_env(home):
    home = pathlib.Path(home)
    home.mkdir(parents=True, exist_ok=True)
    return dict(
        os.environ,
        HOME=str(home),
        GOCACHE=str(home / "cache"),
        GOPATH=str(home / "go"),
        GOFLAGS="",
        GOPROXY="off",
        GOTOOLCHAIN="local",
    )
