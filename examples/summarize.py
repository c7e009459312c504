"""Prints what each trace file holds and how to open it.

    python3 examples/summarize.py FILE...

The format is taken from the file name: .pb (Perfetto protobuf), .json
(trace-event JSON) or .pprof (pprof profile). Reads the files with nothing but
the standard library.
"""

import gzip
import json
import os
import sys


def varint(data, pos):
    value = shift = 0
    while True:
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        if b < 0x80:
            return value, pos
        shift += 7


def fields(data):
    """(field number, wire type, value) of one protobuf message; len-delimited values as bytes."""
    pos = 0
    while pos < len(data):
        key, pos = varint(data, pos)
        number, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = varint(data, pos)
        elif wire == 1:
            value, pos = data[pos : pos + 8], pos + 8
        elif wire == 2:
            size, pos = varint(data, pos)
            value, pos = data[pos : pos + size], pos + size
        elif wire == 5:
            value, pos = data[pos : pos + 4], pos + 4
        else:
            raise ValueError(f"unsupported wire type {wire}")
        yield number, wire, value


TRACE_PACKET = 1
TRACK_EVENT = 11
TRACK_EVENT_TYPE = 9
SLICE_BEGIN, SLICE_END = 1, 2  # instants (lost events, run statistics) are not calls


def protobuf_summary(path):
    with open(path, "rb") as f:
        data = f.read()
    events = 0
    for number, _, packet in fields(data):
        if number == TRACE_PACKET:
            events += sum(
                1
                for n, _, event in fields(packet)
                if n == TRACK_EVENT
                and any(
                    k == TRACK_EVENT_TYPE and v in (SLICE_BEGIN, SLICE_END)
                    for k, _, v in fields(event)
                )
            )
    return (
        f"{events} events",
        "open it at https://ui.perfetto.dev (Open trace file)",
    )


def json_summary(path):
    with open(path, encoding="utf-8") as f:
        text = f.read().rstrip()
    # The array is left open so that other processes can append; close it to parse.
    events = json.loads(text[:-1] + "]" if text.endswith(",") else text + "]")
    count = sum(1 for e in events if e.get("ph") in ("B", "E"))
    return (
        f"{count} events",
        "open it in chrome://tracing or https://ui.perfetto.dev",
    )


PROFILE_SAMPLE = 2
SAMPLE_VALUE = 2


def pprof_summary(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":  # gzip, as profiles are written
        data = gzip.decompress(data)
    stacks = 0
    total_ns = 0
    for number, _, sample in fields(data):
        if number == PROFILE_SAMPLE:
            stacks += 1
            for n, wire, value in fields(sample):
                if n == SAMPLE_VALUE:
                    if wire == 2:  # packed
                        pos = 0
                        while pos < len(value):
                            v, pos = varint(value, pos)
                            total_ns += v
                    else:
                        total_ns += value
    return (
        f"{stacks} distinct stacks, {total_ns / 1e6:.1f} ms of wall time",
        f"go tool pprof -http=: {path}   (or: go tool pprof -top {path})",
    )


SUMMARIES = {".pb": protobuf_summary, ".json": json_summary, ".pprof": pprof_summary}


def main(paths):
    for path in paths:
        summary = SUMMARIES.get(os.path.splitext(path)[1])
        if summary is None:
            print(f"{path}: unknown extension", file=sys.stderr)
            return 1
        what, how = summary(path)
        print(f"{path}: {os.path.getsize(path)} bytes, {what}\n    {how}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
