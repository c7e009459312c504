# Readers for the three output formats that share nothing with the writers: a
# small Protocol Buffers wire-format reader driven by the published field
# numbers of the trace and profile schemas, and the standard json module. Each
# turns a file into plain Python values for tests to compare with what was
# traced, checking on the way what a reader of the format relies on.

import collections
import dataclasses
import decimal
import gzip
import json
import pathlib
import re
import struct

FORMATS = ["protobuf", "json", "pprof"]
TRACE_FORMATS = ["protobuf", "json"]  # the formats that keep every event in order
EXTENSIONS = {"protobuf": "pb", "json": "json", "pprof": "pprof"}  # of dump files
CHILD_VARS = ("FENNIK_CHILD_OUTPUT", "FENNIK_CHILD_FORMAT", "FENNIK_CHILD_RECORD_MB",
              "FENNIK_CHILD_ORIGIN_NS", "FENNIK_CHILD_INCLUDE", "FENNIK_CHILD_EXCLUDE",
              "FENNIK_CHILD_ONLY_MY_CODE", "FENNIK_CHILD_MAX_DEPTH", "FENNIK_CHILD_MIN_DURATION_NS",
              "FENNIK_CHILD_C_CALLS")
SLICE_BEGIN, SLICE_END, INSTANT, COUNTER = 1, 2, 3, 4
STATE_CLEARED, NEEDS_STATE = 1, 2  # packet sequence flags
MAX_TRACK_DEPTH = 512  # Perfetto's reader drops slices nested deeper on one track
TRACE_CLOCK, FIRST_SEQUENCE_CLOCK = 6, 64  # BOOTTIME, the default; ids from 64 are a sequence's
PHASE_KINDS = {"B": ("start", "resume", "throw"), "E": ("return", "yield", "unwind")}
DROPPED = re.compile(r"fennik: (\d+) events dropped")
LOST = re.compile(r"fennik: (\d+) events lost")
PEAK = re.compile(r"fennik: peak buffered memory (\d+) bytes")
PAUSED = re.compile(r"fennik: paused from (\d+) ns to (?:(\d+) ns|the end)")
MARKS = re.compile(r"fennik: (\d+) instants and counter values left out "
                   r"\(a profile has no place for them\)")
PROCESS = re.compile(r"fennik: (command line|multiprocessing name|parent pid):? (.+)")
SHORT = re.compile(r"fennik: (\d+) calls? shorter than (\d+) (\u00b5s|ns) left out"
                   r"( \(their time is their callers'\))?")


def short_calls(match):  # (calls left out, threshold in ns) of a SHORT match
    return int(match[1]), int(match[2]) * (1000 if match[3] == "\u00b5s" else 1)

# The fields our outputs may hold, by message: number -> (name, type), the
# type "u" an unsigned varint, "i" a two's-complement one, "s" UTF-8 text or
# a message's name, "d" a double (fixed 64 bits); "*" marks a repeated field
# (scalars packed or not).
SCHEMA = {
    "Trace": {1: ("packet", "*TracePacket")},
    "TracePacket": {6: ("clock_snapshot", "ClockSnapshot"), 8: ("timestamp", "u"),
                    58: ("timestamp_clock_id", "u"), 10: ("trusted_packet_sequence_id", "u"),
                    11: ("track_event", "TrackEvent"), 12: ("interned_data", "InternedData"),
                    13: ("sequence_flags", "u"), 59: ("trace_packet_defaults", "Defaults"),
                    60: ("track_descriptor", "TrackDescriptor")},
    "TrackEvent": {3: ("category_iids", "*u"), 9: ("type", "u"), 10: ("name_iid", "u"),
                   11: ("track_uuid", "u"), 22: ("categories", "*s"), 23: ("name", "s"),
                   34: ("source_location_iid", "u"), 4: ("debug_annotations", "*Annotation"),
                   30: ("counter_value", "i"), 44: ("double_counter_value", "d")},
    "Annotation": {10: ("name", "s"), 2: ("bool_value", "u"), 4: ("int_value", "i"),
                   5: ("double_value", "d"), 6: ("string_value", "s")},
    "Counter": {},
    "TrackDescriptor": {1: ("uuid", "u"), 2: ("name", "s"), 3: ("process", "Process"),
                        4: ("thread", "Thread"), 5: ("parent_uuid", "u"), 8: ("counter", "Counter")},
    "Process": {1: ("pid", "i"), 2: ("cmdline", "*s"), 6: ("process_name", "s"),
                8: ("process_labels", "*s")},
    "Thread": {1: ("pid", "i"), 2: ("tid", "i"), 5: ("thread_name", "s")},
    "InternedData": {1: ("event_categories", "*Interned"), 2: ("event_names", "*Interned"),
                     4: ("source_locations", "*SourceLocation")},
    "Interned": {1: ("iid", "u"), 2: ("name", "s")},
    "SourceLocation": {1: ("iid", "u"), 2: ("file_name", "s"), 4: ("line_number", "u")},
    "Defaults": {11: ("track_event_defaults", "TrackEventDefaults"), 58: ("timestamp_clock_id", "u")},
    "ClockSnapshot": {1: ("clocks", "*Clock")},
    "Clock": {1: ("clock_id", "u"), 2: ("timestamp", "u"), 3: ("is_incremental", "u"),
              4: ("unit_multiplier_ns", "u")},
    "TrackEventDefaults": {11: ("track_uuid", "u")},
    "Profile": {1: ("sample_type", "*ValueType"), 2: ("sample", "*Sample"),
                4: ("location", "*Location"), 5: ("function", "*Function"),
                6: ("string_table", "*s"), 13: ("comment", "*i")},
    "ValueType": {1: ("type", "i"), 2: ("unit", "i")},
    "Sample": {1: ("location_id", "*u"), 2: ("value", "*i")},
    "Location": {1: ("id", "u"), 4: ("line", "*Line")},
    "Line": {1: ("function_id", "u"), 2: ("line", "i")},
    "Function": {1: ("id", "u"), 2: ("name", "i"), 3: ("system_name", "i"), 4: ("filename", "i"),
                 5: ("start_line", "i")},
}


def read_varint(data, i):
    value = shift = 0
    while True:
        assert shift < 64 and i < len(data), "varint runs past 10 bytes or the end"
        value, shift, i = value | (data[i] & 0x7F) << shift, shift + 7, i + 1
        if data[i - 1] < 0x80:
            assert value < 1 << 64, "varint past 64 bits"
            return value, i


def parse(message, data):
    # A dict of the fields present; every field must be in the schema with its
    # declared wire type, and a field that is not repeated must come once.
    fields, i = {}, 0
    while i < len(data):
        key, i = read_varint(data, i)
        assert key >> 3 in SCHEMA[message], f"{message}: field {key >> 3} outside the schema"
        name, kind = SCHEMA[message][key >> 3]
        repeated, kind = kind.startswith("*"), kind.lstrip("*")
        if key & 7 == 0 and kind in "ui":
            value, i = read_varint(data, i)
            values = [value]
        elif kind == "d":
            assert key & 7 == 1 and i + 8 <= len(data), f"{message}.{name}: not a whole double"
            values, i = list(struct.unpack_from("<d", data, i)), i + 8
        else:
            assert key & 7 == 2, f"{message}.{name}: wire type {key & 7}"
            size, i = read_varint(data, i)
            chunk, i = data[i:i + size], i + size
            assert len(chunk) == size, f"{message}.{name} runs past the end"
            if kind == "s":
                values = [chunk.decode("utf-8")]
            elif kind in "ui":
                assert repeated, f"{message}.{name} packed but not repeated"
                values, j = [], 0
                while j < size:
                    value, j = read_varint(chunk, j)
                    values.append(value)
            else:
                values = [parse(kind, chunk)]
        if kind == "i":
            values = [v - (1 << 64) if v >> 63 else v for v in values]
        if repeated:
            fields.setdefault(name, []).extend(values)
        else:
            assert name not in fields, f"{message}.{name} twice"
            fields[name] = values[0]
    return fields


@dataclasses.dataclass
class Event:
    ph: str  # "B", "E", or "G" for a gap where the thread lost events
    name: str | int | None  # a gap's count
    file: str | None
    line: int | None
    ts: int  # nanoseconds
    kind: str | None = None  # json only: start, return, yield, resume, unwind, throw;
    # "span" for a span's begin and end, and "instant" for an instant (ph "I"), in both
    args: dict | None = None  # an annotation's arguments


@dataclasses.dataclass
class Thread:
    tid: int
    name: str | None = None
    events: list = dataclasses.field(default_factory=list)
    sequence: int | None = None  # protobuf: the packet sequence of its track
    # protobuf: per name, the begins that named it by an iid of two bytes or more
    long_iids: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    closed: bool = False  # json: named, so any later event is another thread's


@dataclasses.dataclass
class Trace:
    pids: list = dataclasses.field(default_factory=list)  # writers, in order
    threads: dict = dataclasses.field(default_factory=dict)
    dropped: int = 0  # summed over writers
    peaks: list = dataclasses.field(default_factory=list)  # peak buffered bytes, per writer
    short: list = dataclasses.field(default_factory=list)  # (calls left out, ns), per writer
    process_sequences: list = dataclasses.field(default_factory=list)  # protobuf
    ended: list = dataclasses.field(default_factory=list)  # earlier threads of a reused tid
    pauses: list = dataclasses.field(default_factory=list)  # (from ns, to ns or None)
    counters: dict = dataclasses.field(default_factory=dict)  # (pid, name) -> [(ns, value)]
    # pid -> its descriptor's fields as last described (protobuf), its
    # process_name and process_labels metadata (json)
    processes: dict = dataclasses.field(default_factory=dict)

    def thread(self, tid):
        return self.threads.setdefault(tid, Thread(tid))

    def start_again(self, tid):
        # A later thread with the id of one that ended: a fresh thread.
        self.ended.append(self.threads.pop(tid))
        return self.thread(tid)

    def incarnations(self):
        return self.ended + list(self.threads.values())

    def calls(self, files, tid=None):
        # Per thread (or of one), the (phase, name) of the events of functions
        # defined in `files`.
        files = {str(f) for f in files}
        out = {t.tid: [(e.ph, e.name) for e in t.events if e.file in files]
               for t in self.threads.values()}
        out = {tid: seq for tid, seq in out.items() if seq}
        return out if tid is None else out.get(tid, [])

    def began(self, files):  # names of the functions of `files`, in the order they began
        return [name for seq in self.calls(files).values() for ph, name in seq if ph == "B"]

    def names(self):
        return {e.name for t in self.threads.values() for e in t.events if e.ph == "B"}


def close_stacks(trace):
    # Pairs every end with the innermost open begin, as a trace reader does,
    # and names it after that begin; no end comes with nothing open, and time
    # never runs backwards on a thread.
    for t in trace.incarnations():
        stack, last = [], 0
        for e in t.events:
            assert e.ts >= last, f"thread {t.tid}: time goes backwards at {e}"
            last = e.ts
            if e.ph == "B":
                stack.append(e)
            elif e.ph == "E":
                assert stack, f"thread {t.tid}: {e} ends nothing begun"
                opened = stack.pop()
                if e.name is None:
                    e.name, e.file, e.line = opened.name, opened.file, opened.line
                    e.kind = e.kind or (opened.kind if opened.kind == "span" else None)
                assert (e.name, e.file, e.line) == (opened.name, opened.file, opened.line), e
    return trace


def clock_snapshot(clocks, snapshot):
    # A sequence's clocks read at one instant beside the trace's clock: each
    # reading's trace time from then on, in the clock's units.
    readings = {c["clock_id"]: c for c in snapshot["clocks"]}
    trace_at = readings.pop(TRACE_CLOCK)["timestamp"]
    for cid, c in readings.items():
        assert cid >= FIRST_SEQUENCE_CLOCK, f"clock {cid}: a global clock beside the trace's"
        at = c.get("timestamp", 0)
        clocks[cid] = dict(incremental=c.get("is_incremental", 0), at=at, value=at,
                           unit=c.get("unit_multiplier_ns") or 1, trace=trace_at)


def trace_time(clocks, clock_id, ts):
    # A packet's timestamp in trace time. An incremental clock's packet holds
    # the time since the sequence's last reading of that clock (or its snapshot).
    if clock_id in (0, TRACE_CLOCK):
        return ts
    assert clock_id in clocks, f"clock {clock_id} used before its snapshot"
    c = clocks[clock_id]
    c["value"] = c["value"] + ts if c["incremental"] else ts
    return c["trace"] + (c["value"] - c["at"]) * c["unit"]


def read_protobuf(path):
    # Replays the packets as a trace reader does: incremental state, interned
    # names and locations per packet sequence, its clocks; tracks by uuid.
    trace, tracks, sequences, owners = Trace(), {}, {}, {}  # owners: thread of a uuid
    clocks = collections.defaultdict(dict)  # per sequence, kept when its state is cleared
    depths = collections.Counter()  # slices open per track
    for p in parse("Trace", pathlib.Path(path).read_bytes()).get("packet", []):
        sid, flags = p.get("trusted_packet_sequence_id", 0), p.get("sequence_flags", 0)
        assert sid != 0, "sequence 0 carries no incremental state"
        if flags & STATE_CLEARED or sid not in sequences:
            sequences[sid] = dict(cleared=flags & STATE_CLEARED, names={}, locations={},
                                  categories={}, track=None, clock=0)
        seq = sequences[sid]
        assert seq["cleared"] or not flags & NEEDS_STATE, f"{sid}: state never set"
        if "clock_snapshot" in p:  # a reader takes nothing else from its packet
            assert not {"timestamp", "track_event", "track_descriptor"} & p.keys(), p
            clock_snapshot(clocks[sid], p["clock_snapshot"])
        if (td := p.get("track_descriptor")) and "process" in td:
            # Described again when its label grew: the same track and pid.
            if new := td["uuid"] not in tracks or flags & STATE_CLEARED:  # or a new writer
                tracks[td["uuid"]] = td | {"sid": sid}
            first = tracks[td["uuid"]]
            assert first["process"]["pid"] == td["process"]["pid"] and first["sid"] == sid, td
            trace.processes.setdefault(td["process"]["pid"], {}).update(td["process"])
            if new:
                trace.pids.append(td["process"]["pid"])
                trace.process_sequences.append(sid)
        elif (td := p.get("track_descriptor")) and td["uuid"] in tracks:
            # Again only to name, on its own sequence, a thread's track first left unnamed.
            first, thread = tracks[td["uuid"]], dict(td.get("thread", {}))
            name, t = thread.pop("thread_name", None), owners.get(td["uuid"])
            assert name and first == {**td, "thread": thread} and t.sequence == sid, td
            first["thread"]["thread_name"] = t.name = name
        elif td:
            assert td.get("parent_uuid", 0) in tracks.keys() | {0}, "parent unknown"
            assert "counter" not in td or "process" in tracks[td["parent_uuid"]], td
            tracks[td["uuid"]] = td
            if "thread" in td:
                t = trace.thread(td["thread"]["tid"])
                if t.events:  # a new track for the id: a later thread
                    t = trace.start_again(t.tid)
                t.name, t.sequence, owners[td["uuid"]] = td["thread"].get("thread_name"), sid, t
        d = p.get("interned_data", {})
        for table, entries in (
                ("categories", ((e["iid"], e["name"]) for e in d.get("event_categories", []))),
                ("names", ((e["iid"], e.get("name", "")) for e in d.get("event_names", []))),
                ("locations", ((e["iid"], (e.get("file_name", ""), e.get("line_number", 0)))
                               for e in d.get("source_locations", [])))):
            for iid, value in entries:
                # A reader may keep either meaning of an iid given two: it keeps one.
                assert seq[table].setdefault(iid, value) == value, f"{sid}: {table} iid {iid} again"
        if "trace_packet_defaults" in p:
            seq["track"] = p["trace_packet_defaults"]["track_event_defaults"]["track_uuid"]
            seq["clock"] = p["trace_packet_defaults"].get("timestamp_clock_id", 0)
        if "timestamp" in p:
            ts = trace_time(clocks[sid], p.get("timestamp_clock_id", seq["clock"]), p["timestamp"])
        if "track_event" not in p:
            continue
        assert "timestamp" in p, p
        te = p["track_event"]
        td = tracks[te.get("track_uuid", seq["track"])]
        kind, categories = te.get("type", 0), te.get("categories", [])
        args = {a["name"]: next(v for k, v in a.items() if k != "name")
                for a in te.get("debug_annotations", [])} or None
        if kind == COUNTER:  # a value of a counter track of its process
            assert "counter" in td and set(te) <= {"type", "track_uuid", "counter_value",
                                                   "double_counter_value"}, te
            pid = tracks[td["parent_uuid"]]["process"]["pid"]
            value = te.get("counter_value", te.get("double_counter_value"))
            trace.counters.setdefault((pid, td["name"]), []).append((ts, value))
            continue
        if kind == INSTANT and "process" in td:  # a record of the whole run
            if categories == ["py", "dropped"]:
                trace.dropped += int(DROPPED.fullmatch(te["name"])[1])
            elif categories == ["py", "pause"]:  # paused, then resumed unless it is the last
                if te["name"] == "fennik: paused":
                    trace.pauses.append((ts, None))
                else:
                    assert te["name"] == "fennik: resumed" and trace.pauses[-1][1] is None, te
                    trace.pauses[-1] = (trace.pauses[-1][0], ts)
            elif m := SHORT.fullmatch(te["name"]):
                assert categories == ["py", "stats"] and not m[4], te
                trace.short.append(short_calls(m))
            else:
                trace.peaks.append(int(PEAK.fullmatch(te["name"])[1]))
                assert categories == ["py", "stats"], te
            continue
        uuid = te.get("track_uuid", seq["track"])
        if "thread" not in td:  # a track under the thread's, for its deeper frames
            td = tracks[td["parent_uuid"]]
        assert "thread" in td and seq["cleared"], p
        thread = trace.thread(td["thread"]["tid"])
        assert thread.sequence == sid, "an event on a track of another thread"
        # Perfetto drops what a track nests more than 512 deep; an end
        # closes a slice of its own track.
        assert depths[uuid] < MAX_TRACK_DEPTH or kind == SLICE_END, f"{uuid}: too deep"
        assert depths[uuid] > 0 or kind != SLICE_END, f"{uuid}: an end with nothing open"
        depths[uuid] += (kind == SLICE_BEGIN) - (kind == SLICE_END)
        if kind == INSTANT and categories == ["instant"]:
            thread.events.append(Event("I", te["name"], None, None, ts, "instant", args))
        elif kind == SLICE_BEGIN and categories == ["span"]:
            assert "category_iids" not in te and "name_iid" not in te, te
            thread.events.append(Event("B", te["name"], None, None, ts, "span", args))
        elif kind == INSTANT:  # a gap
            assert categories == ["py", "dropped"], te
            lost = int(LOST.fullmatch(te["name"])[1])
            thread.events.append(Event("G", lost, None, None, ts))
        elif kind == SLICE_BEGIN:
            assert {seq["categories"][c] for c in te.get("category_iids", [])} <= {"py"}, te
            file, line = seq["locations"].get(te.get("source_location_iid"), (None, None))
            thread.events.append(Event("B", seq["names"][te["name_iid"]], file, line, ts))
            thread.long_iids[thread.events[-1].name] += te["name_iid"] >= 0x80
        else:
            assert kind == SLICE_END and set(te) <= {"type", "debug_annotations"}, te
            thread.events.append(Event("E", None, None, None, ts, None, args))
    return close_stacks(trace)


def load_json_array(path):
    # The writers leave the array open: "[" then objects each followed by ",";
    # no whitespace and no raw control byte anywhere; strict UTF-8.
    raw = pathlib.Path(path).read_bytes()
    if str(path).endswith(".gz"):
        raw = gzip.decompress(raw)
    assert raw.startswith(b"[") and not raw.startswith(b"[["), raw[:40]
    assert not any(b < 0x20 for b in raw) and raw.endswith(b","), raw[-40:]
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
                if t.closed:  # a later thread of that id whose events all were left out
                    t = trace.start_again(o["tid"])
                t.name, t.closed = o["args"]["name"], True
            elif o["name"] == "fennik_peak_buffered_bytes" and o["tid"] == 0:
                trace.peaks.append(o["args"]["bytes"])
            elif o["name"] == "fennik_paused" and o["tid"] == 0:
                assert set(o["args"]) in ({"from"}, {"from", "to"}), o
                until = o["args"].get("to")
                trace.pauses.append((int(o["args"]["from"] * 1000),
                                     None if until is None else int(until * 1000)))
            elif o["name"] in ("process_name", "process_labels") and o["tid"] == 0:
                (value,) = o["args"].values()
                assert o["name"] not in trace.processes.setdefault(o["pid"], {}), o
                trace.processes[o["pid"]][o["name"]] = value
            elif o["name"] == "fennik_short_calls" and o["tid"] == 0:
                m = SHORT.fullmatch(o["args"]["text"])
                assert m and not m[4], o
                trace.short.append(short_calls(m))
            else:
                assert o["name"] == "fennik_dropped_events" and o["tid"] == 0, o
                trace.dropped += o["args"]["count"]
            continue
        t = trace.thread(o["tid"])
        if t.closed:
            t = trace.start_again(o["tid"])
        if o.get("cat") in ("span", "instant", "counter"):
            # Annotations: spans as B and E, instants thread-scoped, counter
            # values with their one argument; arguments only where there are some.
            assert [k for k in o if k not in ("s", "args")] == [
                "name", "cat", "ph", "ts", "pid", "tid"] and list(o)[-1] in ("tid", "args"), o
            args = {k: float(v) if isinstance(v, decimal.Decimal) else v
                    for k, v in o.get("args", {}).items()} or None
            ph, ts = {"span": o["ph"], "instant": "I", "counter": "C"}[o["cat"]], int(o["ts"] * 1000)
            assert ph in "BE" or (ph, o["ph"], o.get("s")) in (("I", "i", "t"), ("C", "C", None)), o
            if ph == "C":
                assert list(args) == ["value"], o
                trace.counters.setdefault((o["pid"], o["name"]), []).append((ts, args["value"]))
            else:
                t.events.append(Event(ph, o["name"], None, None, ts, o["cat"], args))
            continue
        if o["ph"] == "i":
            # A gap: thread-scoped, its count in the name and in args.
            assert list(o) == ["name", "cat", "ph", "ts", "pid", "tid", "s", "args"], o
            count = o["args"]["count"]
            assert (o["cat"], o["s"], o["name"]) == ("dropped", "t", f"fennik: {count} events lost")
            t.events.append(Event("G", count, None, None, int(o["ts"] * 1000)))
            continue
        # A call that simply started or returned does not say so; an end has
        # args only to say how else it ended.
        kind = o.get("args", {}).get("kind", {"B": "start", "E": "return"}[o["ph"]])
        assert kind in PHASE_KINDS[o["ph"]], o
        if o["ph"] == "E":  # the innermost open call's end: it needs no name
            assert list(o) == ["ph", "ts", "pid", "tid"] + (["args"] if "args" in o else []), o
            assert "args" not in o or (list(o["args"]) == ["kind"] and kind != "return"), o
            t.events.append(Event("E", None, None, None, int(o["ts"] * 1000), kind))
            continue
        assert list(o) == ["name", "cat", "ph", "ts", "pid", "tid", "args"], o
        assert list(o["args"]) == ["file", "line"] + (["kind"] if kind != "start" else []), o
        assert o["args"].get("kind") != "start", o
        assert o["cat"] == "py", o
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
    pauses: list  # (from ns, to ns or None)
    short: list  # (calls left out, ns)
    marks: int  # instants and counter values left out
    process: dict  # "command line", "multiprocessing name", "parent pid" -> text

    def stacks(self, files):
        # The samples' stacks cut to the frames of `files` (names, outermost first).
        files = {str(f) for f in files}
        out = collections.Counter()
        for stack, value in self.samples.items():
            if kept := tuple(name for name, file in stack if file in files):
                out[kept] += value
        return out

    def began(self, files):  # names of the outermost frames of `files`, sorted
        return sorted({stack[0] for stack in self.stacks(files)})


def read_pprof(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:2] == b"\x1f\x8b", "a profile is gzip-compressed, as pprof's readers expect"
    p = parse("Profile", gzip.decompress(data))
    s = p.get("string_table", [])
    assert s[0] == ""
    functions = {f.get("id", 0): (s[f.get("name", 0)], s[f.get("filename", 0)],
                                  f.get("start_line", 0)) for f in p.get("function", [])}
    assert len(functions) == len(p.get("function", [])) and 0 not in functions
    locations = {loc.get("id", 0): functions[loc["line"][0].get("function_id", 0)]
                 for loc in p.get("location", [])}
    assert len(locations) == len(p.get("location", [])) and 0 not in locations
    assert all(len(loc["line"]) == 1 for loc in p.get("location", []))
    samples, raw = {}, p.get("sample", [])
    for sample in raw:
        stack = tuple(locations[i][:2] for i in reversed(sample.get("location_id", [])))
        assert len(sample["value"]) == 1 and sample["value"][0] > 0
        samples[stack] = samples.get(stack, 0) + sample["value"][0]
    # One sample per stack, whichever threads it ran on.
    assert len({tuple(sample.get("location_id", [])) for sample in raw}) == len(raw)
    comments = [s[c] for c in p.get("comment", [])]
    assert all(DROPPED.fullmatch(c) or PEAK.fullmatch(c) or PAUSED.fullmatch(c)
               or PROCESS.fullmatch(c) or MARKS.fullmatch(c) or (m := SHORT.fullmatch(c)) and m[4]
               for c in comments), comments
    return Profile([(s[t.get("type", 0)], s[t.get("unit", 0)]) for t in p["sample_type"]],
                   samples, functions,
                   sum(int(m[1]) for c in comments if (m := DROPPED.fullmatch(c))),
                   [int(m[1]) for c in comments if (m := PEAK.fullmatch(c))],
                   [(int(m[1]), m[2] and int(m[2])) for c in comments if (m := PAUSED.fullmatch(c))],
                   [short_calls(m) for c in comments if (m := SHORT.fullmatch(c))],
                   sum(int(m[1]) for c in comments if (m := MARKS.fullmatch(c))),
                   {m[1]: m[2] for c in comments if (m := PROCESS.fullmatch(c))})
