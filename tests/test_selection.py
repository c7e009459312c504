# What a session records when told what to leave out. A second
# sys.monitoring tool watches the same run and applies the rules on its own
# (patterns over the module's name or the file's, the standard library and
# installed packages for only_my_code, the depth of recorded frames per
# thread); the decoded output must be exactly what it selected.

import collections
import fnmatch
import io
import json
import os
import site
import sys
import sysconfig
import threading
import time
import unittest

import pytest

import fennik
from decoders import FORMATS, read_json
from test_cli import fennik_cmd, project  # noqa: F401 (a fixture)
from test_slices import SCENARIOS

MON = sys.monitoring
WATCHER = 4  # a tool id of no one's
KINDS = {"PY_START": ("B", "start"), "PY_RETURN": ("E", "return"), "PY_YIELD": ("E", "yield"),
         "PY_RESUME": ("B", "resume"), "PY_UNWIND": ("E", "unwind"), "PY_THROW": ("B", "throw")}
UNSTOPPABLE = ("PY_UNWIND", "PY_THROW")  # events a callback cannot turn off
LIBRARY = tuple({p for d in [*(sysconfig.get_paths()[k] for k in ("stdlib", "platstdlib", "purelib", "platlib")),
                             *site.getsitepackages(), site.getusersitepackages()]
                 for p in (d, os.path.realpath(d))})


def matches(pattern, module, file):
    if "/" in pattern or pattern.startswith("<") or pattern.endswith(".py"):
        return fnmatch.fnmatchcase(file, pattern)
    return bool(module) and any(fnmatch.fnmatchcase(module, p) for p in (pattern, pattern + ".*"))


class Watcher:
    """Per thread, the events the rules select, as a trace shows them."""

    def __init__(self, include=(), exclude=(), only_my_code=False, max_depth=None, turn_off=False):
        self.include, self.exclude, self.only_mine = include, exclude, only_my_code
        self.limit, self.turn_off = max_depth or float("inf"), turn_off
        self.chosen, self.depth = {}, collections.Counter()
        self.events, self.starts = collections.defaultdict(list), collections.Counter()

    def selects(self, code, frame):
        running = frame if frame and frame.f_code is code else None
        module, file = running.f_globals.get("__name__", "") if running else "", code.co_filename
        # Code compiled from a string lies where its module's file does, or the code that ran it.
        origin = running and file.startswith("<") and (
            running.f_globals.get("__file__") or running.f_back and running.f_back.f_code.co_filename)
        mine = not any(f.startswith(tuple(d.rstrip("/") + "/" for d in LIBRARY))
                       or fnmatch.fnmatchcase(f, "<frozen *>") for f in (file, origin) if f)
        if any(matches(p, module, file) for p in self.exclude):
            return False
        if any(matches(p, module, file) for p in self.include):
            return True
        return mine if self.only_mine else not self.include

    def callback(self, event):
        ph, kind = KINDS[event]

        def on(code, *_):
            if event == "PY_START":
                self.starts[code.co_qualname] += 1
            if code not in self.chosen:
                self.chosen[code] = self.selects(code, sys._getframe(1))
            if not self.chosen[code]:
                return MON.DISABLE if self.turn_off and event not in UNSTOPPABLE else None
            tid = threading.get_native_id() & 0xFFFFFFFF
            if ph == "E" and self.depth[tid] == 0:  # begun before: no trace shows its end
                return
            self.depth[tid] += ph == "B"
            if self.depth[tid] <= self.limit:
                self.events[tid].append((ph, code.co_qualname, code.co_filename, code.co_firstlineno, kind))
            self.depth[tid] -= ph == "E"
        return on


def both(path, body, turn_off=False, **selection):
    # Runs body() traced into `path` and watched; the decoded trace and the watcher.
    watcher = Watcher(**selection, turn_off=turn_off)
    mask = sum(getattr(MON.events, e) for e in KINDS)
    MON.use_tool_id(WATCHER, "watcher")
    try:
        for event in KINDS:
            MON.register_callback(WATCHER, getattr(MON.events, event), watcher.callback(event))
        with fennik.Tracer(str(path), format="json", **selection):
            MON.set_events(WATCHER, mask)
            body()
            MON.set_events(WATCHER, 0)
    finally:
        MON.free_tool_id(WATCHER)
    trace = read_json(path)
    assert trace.dropped == 0
    return trace, watcher


def recorded(trace):  # the functions' events: collections are the tracer's own
    return {t.tid: [(e.ph, e.name, e.file, e.line, e.kind) for e in t.events if e.kind != "span"]
            for t in trace.incarnations() if t.events}


def json_tests():
    # A real program: CPython's own JSON tests (loaded beforehand, so their imports are not traced).
    suite = unittest.defaultTestLoader.loadTestsFromNames(
        [f"test.test_json.{m}" for m in ("test_decode", "test_fail", "test_scanstring", "test_dump")])
    return lambda: unittest.TextTestRunner(stream=io.StringIO()).run(suite)


@pytest.mark.parametrize("selection", [
    dict(include=["test.test_json"], only_my_code=True),
    dict(include=["test.test_json.*", "json"], exclude=["json.encoder"], max_depth=7),
    dict(exclude=["unittest", "<frozen *>", "*/json/decoder.py"], max_depth=6),
    dict(include=["*/unittest/case.py", "test.test_json.test_fail"], max_depth=3),
])
def test_a_real_program_records_what_the_rules_select(tmp_path, selection):
    # The watcher turns off what it leaves out, as the tracer does: each
    # tool's choice holds for itself alone.
    trace, watcher = both(tmp_path / "out.json", json_tests(), turn_off=True, **selection)
    assert recorded(trace) == watcher.events and sum(map(len, watcher.events.values())) > 100


@pytest.mark.parametrize("depth", [1, 2, 3, 5])
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_depth_across_generators_unwinds_and_throws(tmp_path, scenario, depth):
    trace, watcher = both(tmp_path / "out.json", SCENARIOS[scenario][0], max_depth=depth)
    assert recorded(trace) == watcher.events


def hook(d): return d


@pytest.mark.parametrize("exclude, names", [
    ("json", ["<lambda>", "hook", "hook", "<lambda>"]),
    ("json.*", ["<lambda>", "loads", "hook", "hook", "loads", "<lambda>"]),
])
def test_a_function_called_through_a_left_out_one_nests_under_the_nearest_recorded(tmp_path, exclude, names):
    trace, watcher = both(tmp_path / "out.json", lambda: json.loads('{"a": 1}', object_hook=hook),
                          exclude=[exclude])
    ((tid, events),) = recorded(trace).items()
    assert [name.split("<locals>.")[-1] for _, name, *_ in events] == names
    assert {tid: events} == watcher.events


def test_a_function_left_out_is_recorded_by_a_later_session(tmp_path):
    def calls(): [hook(i) for i in range(3)]
    left_out, watcher = both(tmp_path / "1.json", calls, exclude=["*/test_selection.py"])
    assert recorded(left_out) == {} and watcher.starts["hook"] == 3  # another tool still sees each call
    again, watcher = both(tmp_path / "2.json", calls)
    (events,) = recorded(again).values()
    assert [name for _, name, *_ in events].count("hook") == 6
    assert recorded(again) == watcher.events


APP = """
import subprocess, sys, mid
def top(): return mid.through(inner)
def inner(): return deeper()
def deeper(): return 1
top()
if sys.argv[1:]:
    subprocess.run([sys.executable, __file__], check=True)
"""


def test_the_command_line_s_selection_reaches_child_processes(tmp_path):
    (tmp_path / "app.py").write_text(APP)
    (tmp_path / "mid.py").write_text("def through(f): return f()\n")
    done = fennik_cmd(tmp_path, "run", "-o", "out.json", "--only-my-code", "--exclude", "mid",
                      "--max-depth", "3", "--min-duration", "0.001us", "app.py", "child")
    assert done.returncode == 0, done.stderr
    trace = read_json(tmp_path / "out.json")
    assert [ns for _, ns in trace.short] == [1, 1]  # each process says it left out short calls
    app = str(tmp_path / "app.py")
    seqs = {t.tid: [(e.ph, e.name) for e in t.events if e.file in ("app.py", app)] for t in trace.incarnations()}
    assert sorted(trace.pids) == sorted(seqs) and len(seqs) == 2
    assert all(seq == [("B", "<module>"), ("B", "top"), ("B", "inner"), ("E", "inner"), ("E", "top"),
                       ("E", "<module>")] for seq in seqs.values()), seqs
    assert {e.file for t in trace.incarnations() for e in t.events if e.kind != "span"} == {
        "app.py", app}  # and the tracer's collections


@pytest.mark.parametrize("option, value, message", [
    ("--include", "", "invalid value '' for '--include <PATTERN>': an empty pattern matches nothing"),
    ("--exclude", "", "invalid value '' for '--exclude <PATTERN>'"),
    ("--max-depth", "0", "invalid value '0' for '--max-depth <N>': a whole number of calls, at least 1"),
    ("--max-depth", "-2", "invalid value '-2' for '--max-depth <N>'"),
    ("--max-depth", "3x", "invalid value '3x' for '--max-depth <N>'"),
    ("--min-duration", "50", "invalid value '50' for '--min-duration <DURATION>': a duration needs a unit"),
    ("--min-duration", "1.2.3ms", "invalid value '1.2.3ms' for '--min-duration <DURATION>': a number with"),
])
def test_bad_selections_are_refused_before_anything_is_touched(project, option, value, message):  # noqa: F811
    done = fennik_cmd(project, "run", "-o", "x.pb", option, value, "app.py")
    assert done.returncode == 2 and done.stderr.startswith(f"error: {message}"), done.stderr
    assert not (project / "x.pb").exists()


@pytest.mark.parametrize("kwargs, error", [
    (dict(include=[""]), "Tracer() argument 'include' holds '': an empty pattern matches nothing"),
    (dict(exclude=["a", 3]), "Tracer() argument 'exclude' must be str or an iterable of str, not int"),
    (dict(max_depth=0), "Tracer() argument 'max_depth' must be at least 1, not 0"),
    (dict(max_depth=-(2**70)), "Tracer() argument 'max_depth' must be at least 1, not -1180591620717411303424"),
    (dict(max_depth=True), "Tracer() argument 'max_depth' must be int or None, not bool"),
    (dict(only_my_code=1), "Tracer() argument 'only_my_code' must be bool, not int"),
    (dict(c_calls=None), "Tracer() argument 'c_calls' must be bool, not NoneType"),
    (dict(min_duration_us=-0.5), "Tracer() argument 'min_duration_us' must be from 0 to 1000000000000 microseconds, not -0.5"),
    (dict(min_duration_us="50"), "Tracer() argument 'min_duration_us' must be int, float or None, not str"),
])
def test_bad_selections_in_the_api(tmp_path, kwargs, error):
    with pytest.raises((TypeError, ValueError)) as e:
        fennik.Tracer(str(tmp_path / "x.pb"), **kwargs)
    assert str(e.value) == error and not list(tmp_path.iterdir())


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_traced_program_leaves_out_its_short_calls_and_says_so(tmp_path, decode, fmt):
    def work():
        for n in range(30):
            SCENARIOS["recursion"][0]()
            json.dumps(list(range(n * 100)))
    whole, short, spent = tmp_path / f"whole.{fmt}", tmp_path / f"short.{fmt}", 0
    for path, limit in ((whole, None), (short, 20)):
        with fennik.Tracer(str(path), format=fmt, min_duration_us=limit):
            spent = -time.perf_counter_ns()
            work()
            spent += time.perf_counter_ns()
    whole, short = decode(whole, fmt), decode(short, fmt)
    ((left_out, ns),) = short.short
    assert ns == 20_000 and left_out > 0 and whole.short == []
    if fmt == "pprof":  # all of work's time, less of it in the calls' own frames
        assert sum(short.samples.values()) > 0.9 * spent
        return
    slices = [e for t in short.incarnations() for e in t.events]
    assert len(slices) < sum(len(t.events) for t in whole.incarnations())
    for t in short.incarnations():  # every call that went out lasted at least 20 µs
        stack = []
        for e in t.events:
            if e.ph == "B":
                stack.append(e.ts)
            elif e.ph == "E":
                assert e.ts - stack.pop() >= ns


def test_a_function_at_the_address_of_a_freed_left_out_one_is_recorded(tmp_path):
    # Left-out code objects are freed, recorded ones kept: a new one may take
    # the memory of one that was left out.
    def run():
        kept = []
        for i in range(400):
            code = compile("lambda: 0", "<left>" if i % 2 else "<kept>", "eval")
            f = eval(code)
            f()
            kept += [] if i % 2 else [(code, f)]
            del code, f
    path = tmp_path / "out.json"
    with fennik.Tracer(str(path), exclude=["<left>"]):
        run()
    files = collections.Counter(e.file for t in read_json(path).incarnations() for e in t.events
                                if e.ph == "B" and e.name == "<lambda>")
    assert files == {"<kept>": 200}
