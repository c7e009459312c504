# Readers for the three output formats that share nothing with the writers:
# protoc-generated Python for subsets of the trace and profile schemas, and the
# standard json module. Each turns a file into plain Python values for tests
# to compare with what was traced, checking on the way what a reader of the
# format relies on.

import collections
import dataclasses
import decimal
import importlib
import json
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TRACE_PROTO = ROOT / "proto" / "tests" / "trace_subset.proto"
PROFILE_PROTO = ROOT / "pprof" / "tests" / "profile_subset.proto"
FORMATS = ["protobuf", "json", "pprof"]
TRACE_FORMATS = ["protobuf", "json"]  # the formats that keep every event in order
CHILD_VARS = ("FENNIK_CHILD_OUTPUT", "FENNIK_CHILD_FORMAT", "FENNIK_CHILD_RECORD_MB")
SLICE_BEGIN, SLICE_END, INSTANT = 1, 2, 3
STATE_CLEARED, NEEDS_STATE = 1, 2  # packet sequence flags
PHASE_KINDS = {"B": ("start", "resume", "throw"), "E": ("return", "yield", "unwind")}
DROPPED = re.compile(r"fennik: (\d+) events dropped")
LOST = re.compile(r"fennik: (\d+) events lost")
PEAK = re.compile(r"fennik: peak buffered memory (\d+) bytes")


def compile_proto(proto, out_dir):
    subprocess.run(["protoc", f"-I{proto.parent}", f"--python_out={out_dir}", proto.name],
                   check=True)
    sys.path.insert(0, str(out_dir))
    return importlib.import_module(proto.stem + "_pb2")


def parse_exactly(pb_type, data):
    # Every byte must be a field of the schema with its declared wire type;
    # anything else would parse as an unknown field.
    msg = pb_type.FromString(data)
    clean = pb_type()
    clean.CopyFrom(msg)
    clean.DiscardUnknownFields()
    assert clean.ByteSize() == len(data), "fields outside the schema"
    return msg


@dataclasses.dataclass
class Event:
    ph: str  # "B", "E", or "G" for a gap where the thread lost events
    name: str | int | None  # None for an end that closes nothing begun; a gap's count
    file: str | None
    line: int | None
    ts: int  # nanoseconds
    kind: str | None = None  # json only: start, return, yield, resume, unwind, throw


@dataclasses.dataclass
class Thread:
    tid: int
    name: str | None = None
    events: list = dataclasses.field(default_factory=list)
    sequence: int | None = None  # protobuf: the packet sequence of its track
    closed: bool = False  # json: named, so any later event is another thread's


@dataclasses.dataclass
class Trace:
    pids: list = dataclasses.field(default_factory=list)  # writers, in order
    threads: dict = dataclasses.field(default_factory=dict)
    dropped: int = 0  # summed over writers
    peaks: list = dataclasses.field(default_factory=list)  # peak buffered bytes, per writer
    process_sequences: list = dataclasses.field(default_factory=list)  # protobuf
    ended: list = dataclasses.field(default_factory=list)  # earlier threads of a reused tid

    def thread(self, tid):
        return self.threads.setdefault(tid, Thread(tid))

    def start_again(self, tid):
        # A later thread with the id of one that ended: a fresh thread.
        self.ended.append(self.threads.pop(tid))
        return self.thread(tid)

    def incarnations(self):
        return self.ended + list(self.threads.values())

    def calls(self, files, tid=None, kinds=False):
        # Per thread (or of one), the (phase, name[, kind]) of the events of
        # functions defined in `files`.
        files = {str(f) for f in files}
        out = {t.tid: [(e.ph, e.name, e.kind)[:3 if kinds else 2]
                       for e in t.events if e.file in files] for t in self.threads.values()}
        out = {tid: seq for tid, seq in out.items() if seq}
        return out if tid is None else out.get(tid, [])

    def names(self):
        return {e.name for t in self.threads.values() for e in t.events if e.ph == "B"}


def close_stacks(trace):
    # Pairs every end with the innermost open begin, as a trace reader does,
    # and names it after that begin; time never runs backwards on a thread.
    for t in trace.incarnations():
        stack, last = [], 0
        for e in t.events:
            assert e.ts >= last, f"thread {t.tid}: time goes backwards at {e}"
            last = e.ts
            if e.ph == "G":
                continue
            if e.ph == "B":
                stack.append(e)
            elif stack:
                opened = stack.pop()
                if e.name is None:
                    e.name, e.file, e.line = opened.name, opened.file, opened.line
                assert (e.name, e.file, e.line) == (opened.name, opened.file, opened.line), e
    return trace


def read_protobuf(pb, path):
    # Replays the packets as a trace reader does: incremental state, interned
    # names and locations per packet sequence; tracks by uuid.
    trace, tracks, sequences = Trace(), {}, {}
    for p in parse_exactly(pb.Trace, pathlib.Path(path).read_bytes()).packet:
        sid = p.trusted_packet_sequence_id
        assert sid != 0, "sequence 0 carries no incremental state"
        if p.sequence_flags & STATE_CLEARED or sid not in sequences:
            sequences[sid] = dict(cleared=p.sequence_flags & STATE_CLEARED, names={},
                                  locations={}, categories={}, track=None)
        seq = sequences[sid]
        assert seq["cleared"] or not p.sequence_flags & NEEDS_STATE, f"{sid}: state never set"
        if p.HasField("track_descriptor"):
            td = p.track_descriptor
            assert td.uuid not in tracks, f"track {td.uuid:#x} described twice"
            assert not td.HasField("parent_uuid") or td.parent_uuid in tracks, "parent unknown"
            tracks[td.uuid] = td
            if td.HasField("process"):
                trace.pids.append(td.process.pid)
                trace.process_sequences.append(sid)
            if td.HasField("thread"):
                t = trace.thread(td.thread.tid)
                if t.events:  # a new track for the id: a later thread
                    t = trace.start_again(t.tid)
                t.name = td.thread.thread_name if td.thread.HasField("thread_name") else None
                t.sequence = sid
        d = p.interned_data
        seq["categories"].update((e.iid, e.name) for e in d.event_categories)
        seq["names"].update((e.iid, e.name) for e in d.event_names)
        seq["locations"].update((e.iid, (e.file_name, e.line_number)) for e in d.source_locations)
        if p.HasField("trace_packet_defaults"):
            seq["track"] = p.trace_packet_defaults.track_event_defaults.track_uuid
        if not p.HasField("track_event"):
            continue
        te = p.track_event
        td = tracks[te.track_uuid if te.HasField("track_uuid") else seq["track"]]
        if te.type == INSTANT and td.HasField("process"):  # a record of the whole run
            if list(te.categories) == ["py", "dropped"]:
                trace.dropped += int(DROPPED.fullmatch(te.name)[1])
            else:
                trace.peaks.append(int(PEAK.fullmatch(te.name)[1]))
                assert list(te.categories) == ["py", "stats"], te
            continue
        assert td.HasField("thread") and p.sequence_flags & NEEDS_STATE, p
        thread = trace.thread(td.thread.tid)
        assert thread.sequence == sid, "an event on a track of another thread"
        if te.type == INSTANT:  # a gap
            assert list(te.categories) == ["py", "dropped"], te
            lost = int(LOST.fullmatch(te.name)[1])
            thread.events.append(Event("G", lost, None, None, p.timestamp))
        elif te.type == SLICE_BEGIN:
            assert [seq["categories"][c] for c in te.category_iids] == ["py"]
            file, line = seq["locations"].get(te.source_location_iid, (None, None))
            thread.events.append(Event("B", seq["names"][te.name_iid], file, line, p.timestamp))
        else:
            assert te.type == SLICE_END and not te.HasField("name_iid"), te
            thread.events.append(Event("E", None, None, None, p.timestamp))
    return close_stacks(trace)


def load_json_array(path):
    # The writers leave the array open: "[" then objects each followed by ",";
    # no whitespace and no raw control byte anywhere; strict UTF-8.
    raw = pathlib.Path(path).read_bytes()
    assert raw.startswith(b"[") and not raw.startswith(b"[["), raw[:40]
    assert not any(b < 0x20 for b in raw)
    if raw == b"[":
        return []
    assert raw.endswith(b","), raw[-40:]
    return json.loads((raw[:-1] + b"]").decode("utf-8"), parse_float=decimal.Decimal)


def read_json(path):
    trace = Trace()
    for o in load_json_array(path):
        if o["pid"] not in trace.pids:
            trace.pids.append(o["pid"])
        if o["ph"] == "M":
            assert list(o) == ["args", "name", "ph", "pid", "tid"], o
            if o["name"] == "thread_name":
                # Written when the thread ends, or at the end for the living:
                # events after it are a later thread's with the same id.
                t = trace.thread(o["tid"])
                assert t.name is None, f"thread {o['tid']} named twice"
                t.name, t.closed = o["args"]["name"], True
            elif o["name"] == "fennik_peak_buffered_bytes" and o["tid"] == 0:
                trace.peaks.append(o["args"]["bytes"])
            else:
                assert o["name"] == "fennik_dropped_events" and o["tid"] == 0, o
                trace.dropped += o["args"]["count"]
            continue
        t = trace.thread(o["tid"])
        if t.closed:
            t = trace.start_again(o["tid"])
        if o["ph"] == "i":
            # A gap: thread-scoped, its count in the name and in args.
            assert list(o) == ["name", "cat", "ph", "ts", "pid", "tid", "s", "args"], o
            count = o["args"]["count"]
            assert (o["cat"], o["s"], o["name"]) == ("dropped", "t", f"fennik: {count} events lost")
            t.events.append(Event("G", count, None, None, int(o["ts"] * 1000)))
            continue
        assert list(o) == ["name", "cat", "ph", "ts", "pid", "tid", "args"], o
        kind = o["args"]["kind"]
        assert o["cat"] == "py" and kind in PHASE_KINDS[o["ph"]], o
        t.events.append(Event(
            o["ph"], o["name"], o["args"]["file"], o["args"]["line"], int(o["ts"] * 1000), kind))
    return close_stacks(trace)


@dataclasses.dataclass
class Profile:
    sample_type: list  # [(type, unit)]
    samples: dict  # stack of (name, file), outermost first -> nanoseconds
    functions: dict  # id -> (name, file, start line)
    dropped: int
    peaks: list

    def stacks(self, files):
        # The samples' stacks cut to the frames of `files` (names, outermost first).
        files = {str(f) for f in files}
        out = collections.Counter()
        for stack, value in self.samples.items():
            if kept := tuple(name for name, file in stack if file in files):
                out[kept] += value
        return out


def read_pprof(pb, path):
    p = parse_exactly(pb.Profile, pathlib.Path(path).read_bytes())
    s = list(p.string_table)
    assert s[0] == ""
    functions = {f.id: (s[f.name], s[f.filename], f.start_line) for f in p.function}
    assert len(functions) == len(p.function) and 0 not in functions
    locations = {loc.id: functions[loc.line[0].function_id] for loc in p.location}
    assert len(locations) == len(p.location) and 0 not in locations
    assert all(len(loc.line) == 1 for loc in p.location)
    samples = {}
    for sample in p.sample:
        stack = tuple(locations[i][:2] for i in reversed(sample.location_id))
        assert len(sample.value) == 1 and sample.value[0] > 0
        samples[stack] = samples.get(stack, 0) + sample.value[0]
    # One sample per stack, whichever threads it ran on.
    assert len({tuple(sample.location_id) for sample in p.sample}) == len(p.sample)
    comments = [s[c] for c in p.comment]
    assert all(DROPPED.fullmatch(c) or PEAK.fullmatch(c) for c in comments), comments
    return Profile([(s[t.type], s[t.unit]) for t in p.sample_type], samples, functions,
                   sum(int(m[1]) for c in comments if (m := DROPPED.fullmatch(c))),
                   [int(m[1]) for c in comments if (m := PEAK.fullmatch(c))])
