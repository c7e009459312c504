# `fennik report` on generated event streams written by each exporter: its
# exact figures (--raw) against a computation of pstats' figures from what
# the independent decoders read back; then the inputs it takes and refuses,
# and a real program's call counts against cProfile's.

import collections
import contextlib
import gzip
import html
import io
import json
import os
import pstats
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings, strategies as st

from conftest import clean_env
from decoders import FORMATS

os.environ.setdefault("FENNIK_EMIT", os.path.join(os.environ.get("FENNIK_BUILD_DIR", "build/release"),
                                                  "py", "emit_output"))
from test_exporters import Script, emit, scripts  # noqa: E402

U32, U64_MAX = 1 << 32, (1 << 64) - 1
CHROMIUM = shutil.which("chromium-headless-shell") or shutil.which("chromium")


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


PROGRAM = """
import threading
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)
def gen(n):
    yield from range(n)
def fails():
    raise ValueError
def catcher():
    for _ in range(7):
        try:
            fails()
        except ValueError:
            pass
def main():
    fib(15), sum(gen(50)), catcher()
    t = threading.Thread(target=fib, args=(10,), name="worker")
    t.start(), t.join()
main()
"""


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    # The program, and cProfile's call count of each of its functions.
    d = tmp_path_factory.mktemp("prog")
    (d / "prog.py").write_text(PROGRAM)
    subprocess.run([sys.executable, "-m", "cProfile", "-o", "prof", "prog.py"], cwd=d, check=True,
                   timeout=60)
    stats = pstats.Stats(str(d / "prof")).stats
    return d, {name: calls for (file, _, name), (_, calls, *_) in stats.items()
               if file.endswith("prog.py")}


@pytest.mark.parametrize("out", ["t.pb", "t.json", "t.json.gz", "t.pprof", "dumps"])
def test_a_real_run_counts_calls_as_cprofile_does(program, out):
    d, counts = program
    args = ["--record-last-mb", "16"] if out == "dumps" else []
    done = subprocess.run([sys.executable, "-m", "fennik", "run", "--report=3", "-o", out, *args,
                           "prog.py"], cwd=d, env=clean_env(), capture_output=True, text=True,
                          check=True, timeout=60)
    # The summary names the report's command; the report's first rows follow.
    summary, head, *rest = done.stderr.split("\n")
    written = re.search(r"with: fennik report (\S+)$", summary)[1]
    assert head == f"fennik report: {written} ({FORMAT_NAMES[out]})"
    assert rest[rest.index("") + 1].split()[-2:] == ["function", "(file:line)"]
    assert len(rest) == rest.index("") + 6 and rest[-1] == ""
    path = d / out
    if out.endswith("pprof"):  # decompressed, under a name that says nothing
        (path := d / "profile.bin").write_bytes(gzip.decompress((d / out).read_bytes()))
    calls = lambda rows: {name: n for (name, file, _), (n, *_) in rows  # noqa: E731
                          if file.endswith("prog.py")}
    head, rows = raw(path, "--top", 0)
    if out.endswith("pprof"):
        assert calls(rows) == dict.fromkeys(counts)
        return
    assert calls(rows) == counts and head["threads"] == 2 and head["open_at_end"] == 0
    # The table shows the same rows, its shares of the time covered.
    text = report(path, "--top", 0)[1]
    assert "  1 process, 2 threads, " in text and "calls open at the end: none" in text
    table = [line.split() for line in text.split("\n\n")[1].splitlines()[1:]]
    share = lambda ns: f"{100 * ns / head['covered_ns']:.1f}%"  # noqa: E731
    assert [(int(r[0]), r[3], r[6]) for r in table] == [(c, share(t), share(s)) for _, (c, t, s) in rows]
    assert calls(raw(path, "--top", 0, "--thread", "worker")[1]) == {"fib": 177}


def one_line_refusal(path, *args):
    status, out, err = report(path, *args)
    assert (status, out, err.count("\n")) == (2, "", 1), err
    assert err.startswith(f"fennik: cannot read {path}: ") and err.endswith("\n"), err
    return err.strip().removeprefix(f"fennik: cannot read {path}: ")


def test_inputs_are_told_from_their_content(tmp_path):
    # A dump directory (its newest file, or --all), children's profiles beside
    # the parent's (or named), cut traces; everything else one line.
    code = ("c", 1, ("f", "a.py", 3))
    script = lambda n: Script([code, ("b", 1, [(10, 1, 1), (10 + 5 * n, 2, 1)])])  # noqa: E731
    dumps = tmp_path / "dumps"
    dumps.mkdir()
    for n, fmt, mtime in ((1, "protobuf", 100), (2, "json", 200), (3, "protobuf", 150)):
        emit(fmt, dumps / f"{n}.dump", script(n))
        os.utime(dumps / f"{n}.dump", (mtime, mtime))
    f = ("f", "a.py", 3)
    assert raw(dumps)[1] == [(f, (1, 10, 10))]
    assert raw(dumps, "--all")[1] == [(f, (3, 30, 30))]
    emit("pprof", tmp_path / "p", script(1))
    emit("pprof", tmp_path / "p", script(2), 4242, True)
    assert [raw(tmp_path / p, *a)[1] for p, a in (("p", []), ("p", ["--children"]), ("p.4242", []))] \
        == [[(f, (None, 5, 5))], [(f, (None, 15, 15))], [(f, (None, 10, 10))]]
    assert "note: --pid and --thread select nothing in it" in report(tmp_path / "p", "--pid", 1)[1]
    data = (dumps / "2.dump").read_bytes()  # gzip members one after another, as `cat` makes them
    (tmp_path / "members").write_bytes(gzip.compress(data[:50]) + gzip.compress(data[50:]))
    assert raw(tmp_path / "members")[1] == [(f, (1, 10, 10))]
    for fmt, what in (("protobuf", "a packet"), ("json", "an object")):
        emit(fmt, tmp_path / "cut", Script([code, ("b", 1, [(10, 1, 1), (20, 2, 1), (30, 1, 1)])]))
        data = (tmp_path / "cut").read_bytes()
        (tmp_path / "cut").write_bytes(data[:-3 if fmt == "protobuf" else -40])
        status, out, _ = report(tmp_path / "cut")
        assert status == 0 and f"note: the file ends inside {what}" in out, out
    (tmp_path / "empty").mkdir()
    cases = {"missing": None, "nothing": b"", "text": b"hello", "numbers": b"[1, 2]",
             "gzip": b"\x1f\x8b\x08junk", "gzipped-text": gzip.compress(b"hello\n"),
             "varint": b"\x08\x01", "empty": None, "nested": b'[{"args":' + b"[" * 10**6}
    for name, content in cases.items():
        if content is not None:
            (tmp_path / name).write_bytes(content)
    assert {name: one_line_refusal(tmp_path / name) for name in cases} == {
        "missing": "no such file or directory", "nothing": "the file is empty",
        "text": "not a fennik trace or profile", "numbers": "malformed JSON at byte 1",
        "gzip": "a damaged gzip stream", "gzipped-text": "not a fennik trace or profile",
        "varint": "not a fennik trace or profile", "empty": "a directory without dumps",
        "nested": "malformed JSON at byte 266"}
    for args in ([], ["--sort", "time", "x"], ["x", "y"], ["--top", "-1", "x"], ["--min-share", "101", "x"],
                 ["--thread=", "x"], ["--all=1", "x"], ["-x", "x"]):
        status, out, err = report(*args)
        assert status == 2 and not out and err.startswith("error: ") and "Usage:" in err, err


FORMAT_NAMES = {"t.pb": "Perfetto protobuf", "t.json": "trace-event JSON",
                "t.json.gz": "trace-event JSON, gzip-compressed",
                "t.pprof": "pprof profile, gzip-compressed", "dumps": "Perfetto protobuf"}
ONE_PLACE = {"<module>", "main", "catcher", "fails", "gen"}  # of PROGRAM
# Loaded before the page's own script: errors it raises are kept.
ERRORS_KEPT = '<script>window.errs = []; addEventListener("error", e => errs.push(e.message));</script>'
# Clicks, types and reads back what the page shows, after it loaded.
DRIVE = """<script>addEventListener("load", () => {
  const frames = [...document.querySelectorAll("g.f")], out = {};
  const shown = () => frames.map(g => [g.dataset.name, +g.dataset.ns, g.style.display !== "none"
    && g.querySelector("rect").getBBox().width, g.querySelector("rect").getAttribute("fill")]);
  const click = g => g.dispatchEvent(new MouseEvent("click", {bubbles: true}));
  out.first = shown();
  click(frames.find(g => g.dataset.name.startsWith("main ")));
  out.zoomed = shown();
  click(frames.find(g => g.dataset.d === "0"));
  out.back = shown();
  const box = document.getElementById("search");
  box.value = "fib";
  box.dispatchEvent(new Event("input"));
  out.searched = shown();
  out.matched = document.getElementById("matched").textContent;
  out.errors = errs;
  document.getElementById("result").textContent = JSON.stringify(out);
});</script><pre id="result"></pre>"""


@pytest.mark.skipif(not CHROMIUM, reason="no headless chromium to load the page in")
def test_the_flame_graph_draws_the_reports_figures_in_a_browser(program, tmp_path):
    d, _ = program
    subprocess.run([sys.executable, "-m", "fennik", "run", "-q", "-o", "f.pb", "prog.py"], cwd=d,
                   env=clean_env(), check=True, timeout=60)
    for out in ("g.svg", "g.html"):
        status, _, err = report(d / "f.pb", "--flame", tmp_path / out)
        assert status == 0, err
    svg = ET.parse(tmp_path / "g.svg").getroot()  # well-formed, the same frames as the page
    page = (tmp_path / "g.html").read_text()
    assert page.count('<g class="f"') == len(svg.findall(".//{*}g")) > 10
    (tmp_path / "drive.html").write_text(
        page.replace("<head>", "<head>" + ERRORS_KEPT).replace("</body>", DRIVE + "</body>"))
    browse = [CHROMIUM, "--no-sandbox", "--disable-gpu", "--window-size=1250,600"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # a sanitizer's runtime
    dom = subprocess.run(browse + ["--dump-dom", (tmp_path / "drive.html").as_uri()], check=True,
                         capture_output=True, text=True, timeout=120, env=env).stdout
    got = json.loads(html.unescape(re.search(r'<pre id="result">(.*?)</pre>', dom, re.S)[1]))
    subprocess.run(browse + [f"--screenshot={tmp_path / 'flame.png'}", (tmp_path / "g.html").as_uri()],
                   cwd=tmp_path, check=True, capture_output=True, timeout=120, env=env)
    assert got["errors"] == [] and (tmp_path / "flame.png").stat().st_size > 0
    width = lambda frames, name: next(w for n, _, w, _ in frames if n.startswith(name))  # noqa: E731
    whole = got["first"][0][1]
    assert all(w == pytest.approx(1200 * ns / whole, abs=0.01) for _, ns, w, _ in got["first"])
    # The program's functions called from one place only: a frame each, as
    # wide as its total in the report.
    _, rows = raw(d / "f.pb", "--top", 0)
    totals = {f"{n} ({f}:{ln})": t for (n, f, ln), (_, t, _) in rows if n in ONE_PLACE}
    drawn = {n: ns for n, ns, *_ in got["first"] if n in totals}
    assert drawn == {n: totals[n] for n in drawn} and len(drawn) >= 3
    assert width(got["zoomed"], "main ") == pytest.approx(1200)
    assert width(got["zoomed"], "Thread._bootstrap ") is False  # another thread's: hidden
    assert got["back"] == [[n, ns, pytest.approx(w, abs=0.01), f] for n, ns, w, f in got["first"]]
    hits = [n for n, _, _, fill in got["searched"] if fill == "rgb(200,60,255)"]
    assert hits and hits == [n for n, *_ in got["first"] if "fib" in n]
    assert re.fullmatch(r"matched \d+\.\d%", got["matched"])


def test_a_reader_that_stops_early_ends_the_report_quietly(tmp_path):
    # `fennik report ... | head`: the rows past what head read go nowhere,
    # with no traceback and no message.
    emit("json", tmp_path / "many.json", Script(
        [op for c in range(3000) for op in (("c", c, (f"f{c:04}", "/app/m.py", c)),
                                            ("b", 1, [(2 * c, 1, c), (2 * c + 1, 2, c)]))]))
    done = subprocess.run(f"'{sys.executable}' -m fennik report --top 0 many.json | head -c 1",
                          shell=True, cwd=tmp_path, env=clean_env(), capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "f", "")


@pytest.mark.parametrize("fmt", FORMATS)
@settings(max_examples=150, deadline=None, database=None)
@given(script=scripts(), cuts=st.lists(st.tuples(st.floats(0, 1), st.binary(max_size=12)), max_size=4),
       gzipped=st.booleans())
def test_a_damaged_file_is_read_or_refused_never_a_crash(tmp_path_factory, fmt, script, cuts, gzipped):
    path = tmp_path_factory.mktemp("d") / "out"
    emit(fmt, path, script)
    data = path.read_bytes()
    for at, junk in cuts:  # bytes overwritten, put in or cut off
        i = int(at * len(data))
        data = data[:i] + junk + data[i + len(junk) // 2:]
    path.write_bytes(gzip.compress(data) if gzipped else data)
    status, out, err = report(path, "--top", 0, "--flame", path.with_suffix(".svg"))
    assert (status, err) == (0, "") or (status, out, err.count("\n")) == (2, "", 1), err


def pb(*fields):
    # A protobuf message from (number, value) pairs: an int a varint, bytes,
    # str or a message (bytes) length-delimited.
    out = b""
    for number, value in fields:
        if isinstance(value, int):
            out += varint(number << 3) + varint(value)
        else:
            value = value.encode() if isinstance(value, str) else value
            out += varint(number << 3 | 2) + varint(len(value)) + value
    return out


def varint(n):
    return bytes([n]) if n < 0x80 else bytes([n & 0x7F | 0x80]) + varint(n >> 7)


def test_perfetto_s_own_ways_of_writing_a_trace_read_as_well(tmp_path):
    # What another writer may use: an incremental clock in microseconds from
    # a snapshot, defaults for the track and clock, inline names and source
    # locations, interned ones per sequence, a thread track under a process.
    process, thread = pb((1, 10), (3, pb((1, 5)))), pb((1, 11), (5, 10), (4, pb((1, 5), (2, 6), (5, "T"))))
    clocks = pb((1, pb((1, 6), (2, 1000))), (1, pb((1, 64), (2, 0), (3, 1), (4, 1000))))
    defaults = pb((58, 64), (11, pb((11, 11))))
    interned = lambda name, file, line: pb((2, pb((1, 1), (2, name))), (4, pb((1, 1), (2, file), (4, line))))  # noqa: E731
    slice_ = lambda kind, *more: pb((9, kind), *more)  # noqa: E731
    packets = [
        pb((10, 1), (13, 1), (60, process)), pb((10, 1), (60, thread)),
        pb((10, 1), (6, clocks), (59, defaults)),
        pb((10, 1), (8, 5), (11, slice_(1, (23, "f"), (33, pb((2, "a.py"), (4, 3)))))),
        pb((10, 1), (8, 2), (12, interned("g", "b.py", 7)), (11, slice_(1, (10, 1), (34, 1)))),
        pb((10, 1), (8, 3), (11, slice_(2))), pb((10, 1), (8, 4), (11, slice_(2))),
        pb((10, 2), (13, 1), (8, 20000), (12, interned("h", "c.py", 9)),
           (11, slice_(1, (10, 1), (34, 1), (11, 11)))),
        pb((10, 2), (8, 21000), (11, slice_(2, (11, 11)))),
    ]
    (tmp_path / "other.pftrace").write_bytes(b"".join(pb((1, p)) for p in packets))
    head, rows = raw(tmp_path / "other.pftrace", "--thread", "T")
    assert rows == [(("f", "a.py", 3), (1, 9000, 6000)), (("g", "b.py", 7), (1, 3000, 3000)),
                    (("h", "c.py", 9), (1, 1000, 1000))]
    assert (head["events"], head["covered_ns"], head["threads"], head["processes"]) == (6, 15000, 1, 1)


@settings(max_examples=60, deadline=None, database=None)
@given(calls=st.lists(st.tuples(st.sampled_from(["f", "g", "é\n\"🙂"]), st.integers(0, 5)),
                      min_size=1, max_size=12),
       indent=st.sampled_from([None, 0, 2]), ascii_only=st.booleans(), closed=st.booleans(),
       extra=st.dictionaries(st.sampled_from(["cat", "dur", "x"]),
                             st.one_of(st.none(), st.floats(allow_nan=False, allow_infinity=False), st.lists(st.booleans()),
                                       st.dictionaries(st.text(max_size=3), st.integers()))))
def test_any_writer_s_trace_event_json_reads(tmp_path_factory, calls, indent, ascii_only, closed, extra):
    # Other writers space, order, escape and nest as they like, write times as
    # floats in any notation and close the array: nested calls of one
    # thread, each lasting its depth's microseconds and a quarter.
    events, ts, model = [], 0.0, collections.defaultdict(lambda: [0, 0, 0])
    for depth, (name, _) in enumerate(calls):
        events.append({**extra, "ph": "B", "name": name, "pid": 1, "tid": 2, "ts": ts,
                       "args": {"file": "m.py", "line": 1, "nested": [extra]}})
        ts += depth + 0.25
    for depth, (name, _) in reversed(list(enumerate(calls))):
        events.append({"ts": ts, "tid": 2, "ph": "E", "pid": 1})
        ts += depth + 0.25
    path = tmp_path_factory.mktemp("j") / "t.json"
    text = re.sub(r'"ts": ([0-9.]+)', lambda m: f'"ts": {float(m[1]):e}',
                  json.dumps(events, indent=indent, ensure_ascii=ascii_only))
    path.write_text(text if closed else text.rstrip("]\n ") + ",", encoding="utf-8")
    stack = []
    for e in events:  # the same figures from the events as written
        if e["ph"] == "B":
            stack.append((e["name"], e["ts"]))
            continue
        name, start = stack.pop()
        model[name][0] += 1
        model[name][1] += round(1000 * (e["ts"] - start)) if name not in {n for n, _ in stack} else 0
    head, rows = raw(path, "--top", 0)
    assert head["events"] == len(events) and head["covered_ns"] == round(1000 * events[-1]["ts"])
    assert {n: (c, t) for (n, *_), (c, t, _) in rows} == {n: tuple(v[:2]) for n, v in model.items()}
