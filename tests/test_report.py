# `fennik report` on generated event streams written by each exporter: its
# exact figures (--raw) against a computation of pstats' figures from what
# the independent decoders read back; then the inputs it takes and refuses,
# and a real program's call counts against cProfile's.

import collections
import contextlib
import gzip
import io
import os
import re
import shutil

import pytest
from hypothesis import given, settings, strategies as st

from decoders import FORMATS

os.environ.setdefault("FENNIK_EMIT", os.path.join(os.environ.get("FENNIK_BUILD_DIR", "build/release"),
                                                  "py", "emit_output"))
from test_exporters import Script, emit, scripts  # noqa: E402

U32, U64_MAX = 1 << 32, (1 << 64) - 1


def report(*args):
    # (status, stdout, stderr) of `fennik report ARGS`, run in this process.
    from fennik._core import cli_main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli_main(["fennik", "report", *map(str, args)])
    return status, out.getvalue(), err.getvalue()


def unescape(s):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n", "r": "\r"}.get(m[1], m[1]), s)


def raw(*args):
    # The header's figures and the rows [(key, (calls, total, self))] in order.
    status, out, err = report("--raw", *args)
    assert status == 0, err
    lines = out.split("\n")
    head = {k[2:]: int(v) for k, v in (line.split("\t") for line in lines if line.startswith("# "))}
    rows = [line.split("\t") for line in lines[len(head) + 1:] if line]
    return head, [((unescape(n), unescape(f), int(ln)), (None if c == "-" else int(c), int(t), int(s)))
                  for c, t, s, n, f, ln in rows]


def model_trace(trace, want):
    # pstats' figures from decoded traces: every begin a call; the time to a
    # thread's next event is its innermost frame's; a total counts the
    # outermost activation only; what is open at a thread's end closes at its
    # last event; a gap's time is no one's.
    fig = collections.defaultdict(lambda: [0, 0, 0])
    head = collections.Counter()
    pids = set()
    for t in trace.incarnations():
        if not want(t):
            continue
        stack, active, first, last = [], collections.Counter(), None, None

        def pop(ts):
            key, start = stack.pop()
            fig[key][0] += 1
            active[key] -= 1
            if not active[key]:
                fig[key][1] += ts - start

        for e in t.events:
            if e.ph == "G":
                head["lost_in_gaps"] = min(head["lost_in_gaps"] + e.name, U64_MAX)
                if first is not None:
                    last = max(last, e.ts)
                    while stack:
                        pop(last)
                continue
            head["events"] += 1
            if first is None:
                first = last = e.ts
            elif e.ts > last:
                if stack:
                    fig[stack[-1][0]][2] += e.ts - last
                last = e.ts
            if e.ph == "B":
                key = (e.name or "", e.file or "", e.line or 0)
                stack.append((key, last))
                active[key] += 1
            else:
                pop(last)
        head["open_at_end"] += len(stack)
        while stack:
            pop(last)
        if first is not None:
            head["covered_ns"] += last - first
            head["threads"] += 1
            pids.add(t.pid)
    head["processes"] = len(pids)
    return head, {k: tuple(v) for k, v in fig.items()}


def model_profile(profiles):
    fig = collections.defaultdict(lambda: [None, 0, 0])
    covered = 0
    for p in profiles:
        for stack, ns in p.samples.items():
            covered += ns
            for key in set(stack):
                fig[key][1] += ns
            if stack:
                fig[stack[-1]][2] += ns
    return covered, {k: tuple(v) for k, v in fig.items()}


def ranked(fig, sort, top, min_share, covered):
    index = {"total": (1, 2, 0), "self": (2, 1, 0), "calls": (0, 1, 2)}[sort]
    rows = [(k, v) for k, v in fig.items() if any(v) and not 100.0 * v[1] < min_share * covered]
    rows.sort(key=lambda kv: kv[0])
    rows.sort(key=lambda kv: tuple(kv[1][i] for i in index), reverse=True)
    return rows[:top] if top else rows


SELECTIONS = st.sampled_from(["all", "pid", "tid", "name"])


def moved(script):
    # The same script on other thread ids: two writers' threads stay apart in
    # the decoders, which know a thread by its id alone.
    far = lambda tid: tid + 100 if tid < U32 // 2 else tid - 100  # noqa: E731
    return Script([(op, far(key), *rest) if op in "tbge" else (op, key, *rest)
                   for op, key, *rest in script.ops], script.dropped, script.peak)


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=60, deadline=None, database=None)
@given(first=scripts(), second=st.one_of(st.none(), scripts().map(moved)), selection=SELECTIONS,
       sort=st.sampled_from(["total", "self", "calls"]), top=st.sampled_from([0, 1, 3]),
       min_share=st.sampled_from([0, 0.5, 20]), data=st.data())
def test_figures_are_pstats_figures_of_what_was_written(tmp_path_factory, decode, fmt, first,
                                                        second, selection, sort, top, min_share,
                                                        data):
    # A second writer appends to the output (a pprof child writes OUTPUT.<pid>).
    path = tmp_path_factory.mktemp("r") / "out"
    pids = [emit(fmt, path, first)] + ([emit(fmt, path, second, 7, True)] if second else [])
    if fmt == "pprof":
        profiles = [decode(path, "pprof")] + ([decode(f"{path}.7", "pprof")] if second else [])
        head, rows = raw(path, "--top", 0, *(["--children"] if second else []))
        covered, fig = model_profile(profiles)
        assert head["covered_ns"] == covered and head["events"] == 0
        assert head["dropped"] == min(sum(p.dropped for p in profiles), U64_MAX)
        # A function is (name, file) in the decoder's samples: lines merged.
        by_name = collections.defaultdict(list)
        for (name, file, _), v in rows:
            by_name[name, file].append(v)
        assert {k: sum(v[2] for v in vs) for k, vs in by_name.items()} == {
            k: v[2] for k, v in fig.items() if k in by_name or v[2]}
        assert {k: vs[0] for k, vs in by_name.items() if len(vs) == 1} == {
            k: v for k, v in fig.items() if len(by_name[k]) == 1}
        return
    trace = decode(path, fmt)
    assert trace.pids == pids
    second_tids = {op[1] % U32 for op in second.ops if op[0] in "tbge"} if second else set()
    for t in trace.incarnations():
        t.pid = pids[-1] if t.tid % U32 in second_tids else pids[0]
    threads = [t for t in trace.incarnations() if t.events]
    args, want = [], lambda t: True
    if selection != "all" and threads:
        pick = data.draw(st.sampled_from(threads))
        if selection == "pid":
            args, want = ["--pid", pick.pid], lambda t: t.pid == pick.pid
        elif selection == "tid":
            args, want = ["--thread", pick.tid % U32], lambda t: t.tid % U32 == pick.tid % U32
        elif pick.name and not pick.name.isdigit() and "\0" not in pick.name:
            args, want = ["--thread", pick.name], lambda t: t.name == pick.name
    head, rows = raw(path, "--sort", sort, "--top", top, "--min-share", min_share, *args)
    want_head, fig = model_trace(trace, want)
    assert head["dropped"] == min(trace.dropped, U64_MAX)
    for k in ("events", "lost_in_gaps", "open_at_end", "covered_ns", "threads", "processes"):
        assert head[k] == want_head[k], k
    assert rows == ranked(fig, sort, top, min_share, head["covered_ns"])
