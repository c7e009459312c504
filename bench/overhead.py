#!/usr/bin/env python3
"""What tracing costs a traced program, and what fennik's own threads cost.

Run it from the top of the checkout after a build (inside tools/toolbox where the
machine has no CPython 3.14):

    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENNIK_TESTS=OFF
    cmake --build build/bench
    python3 bench/overhead.py                      # a few minutes on 2 cores
    python3 bench/overhead.py --build-dir build/x --quick

The build directory (--build-dir, or $FENNIK_BUILD_DIR, default build/bench) gives
both modules: fennik from <build>/python and the reference callbacks
(fennik_refcb) from <build>/bench. Either may also come from PYTHONPATH.

Sections (--sections picks some of them):

    quiet       slowdown and added ns per event on the machine as it is
    background  CPU time of fennik's own threads per event and their wake-ups
                per second, busy (a traced CPU-bound program) and idle (a
                session open while the program sleeps)
    competing   the quiet table again while CPU-bound processes compete for
                the cores (one per core minus one, at least one)
    targets     dropped events and peak memory of the target programs, each in
                a fresh process, quiet and with the competing processes

Workloads of the tables: recursive fib(N), a generator pipeline, a method-call-heavy
loop, and two threads each running fib(N-1), each run again and again in one
session for at least 200 ms untraced (steady state: the output thread's rounds
and the batches' hand-over inside the timed part); and one fib(N) per session
as a separate row ("short"). Tracers:

    untraced          nothing enabled
    fennik-protobuf   fennik.Tracer(path, format="protobuf"), streaming to a temp dir
    fennik-json       the same, format="json"
    fennik-pprof      the same, format="pprof"
    fennik-c-calls    fennik-protobuf with c_calls=True (built-in calls as slices too)
    noop              a C callback that returns None at once: sys.monitoring's floor
    recorder          a C callback that stores rdtsc in a thread-local ring: the floor
                      of a recorder of fennik's design

Every (workload, tracer) pair runs once per round; rounds repeat --reps times with
the tracer order rotated, and the figures are medians; the rounds split into
--runs consecutive runs give the spread (the range of the runs' medians). The
traced threads' own CPU time is reported beside the wall time. The time is the workload
alone with the tracer already on; fennik's session start and end (its exporter
thread starting, the last drain and write) are shown apart. The events of a
workload (PY_START, PY_RETURN, PY_YIELD, PY_RESUME, PY_UNWIND, PY_THROW) are
counted once by a pure-Python sys.monitoring counter; ns/event is
(traced - untraced) / events.

Figures are noisy on a loaded machine: the load average is printed with them.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import itertools
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

now = time.perf_counter_ns


# ---------------------------------------------------------------- workloads


def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def fib_calls(n: int) -> int:
    """Calls made by fib(n): 2 * F(n + 1) - 1."""
    a, b = 0, 1
    for _ in range(n + 1):
        a, b = b, a + b
    return 2 * a - 1


def numbers(n):
    for i in range(n):
        yield i


def squares(xs):
    for x in xs:
        yield x * x


def evens(xs):
    for x in xs:
        if not x & 1:
            yield x


def pipeline(n: int) -> int:
    total = 0
    for x in evens(squares(numbers(n))):
        total += x
    return total


class Particle:
    __slots__ = ("x", "v")

    def __init__(self, x: float, v: float) -> None:
        self.x = x
        self.v = v

    def step(self, dt: float) -> None:
        self.x += self.v * dt

    def bounce(self) -> None:
        if self.x > 1.0 or self.x < 0.0:
            self.v = -self.v

    def energy(self) -> float:
        return 0.5 * self.v * self.v


def methods(rounds: int) -> float:
    particles = [Particle(i / 100, 0.5 + i / 1000) for i in range(100)]
    energy = 0.0
    for _ in range(rounds):
        for p in particles:
            p.step(0.01)
            p.bounce()
            energy += p.energy()
    return energy


def fib_threads(n: int) -> int:
    """Runs fib(n) on two threads; returns their CPU time, which the calling
    thread's (it only waits) leaves out."""
    cpu = [0, 0]

    def work(k: int) -> None:
        c0 = time.thread_time_ns()
        fib(n)
        cpu[k] = time.thread_time_ns() - c0

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(cpu)


# A steady-state session runs its workload again and again for at least this
# long untraced: several of the output thread's rounds (10 ms) fall inside
# the timed part, and the batches' hand-over with them.
STEADY_SESSION_S = 0.2


@dataclass
class Workload:
    name: str
    body: object  # a callable taking no argument
    repeat: int = 1  # runs of `body` per session (set by calibrate)
    events: int = 0  # per session
    steady: bool = True  # calibrated to a steady-state session
    threads_cpu: bool = False  # `body` returns the CPU ns of the threads it ran

    def run(self):
        """Runs the session's part; with threads_cpu, returns their CPU ns."""
        cpu = 0
        for _ in range(self.repeat):
            own = self.body()
            if self.threads_cpu:
                cpu += own
        return cpu if self.threads_cpu else None


def make_workloads(fib_n: int, selected: list[str] | None) -> list[Workload]:
    all_workloads = [
        Workload(f"fib({fib_n})", lambda: fib(fib_n)),
        Workload("generators", lambda: pipeline(60_000)),
        Workload("methods", lambda: methods(600)),
        Workload(f"2 thr fib({fib_n - 1})", lambda: fib_threads(fib_n - 1), threads_cpu=True),
        # One run per session, as short as the output thread's first round:
        # the session's start and end weigh on it.
        Workload(f"short fib({fib_n})", lambda: fib(fib_n), steady=False),
    ]
    if not selected:
        return all_workloads
    keys = ["fib", "generators", "methods", "threads", "short"]
    return [w for key, w in zip(keys, all_workloads) if key in selected]


def calibrate(workloads: list[Workload]) -> None:
    """Repeats each steady workload for at least STEADY_SESSION_S untraced."""
    for w in workloads:
        if w.steady:
            once = median(timed(w.run)[0] for _ in range(3))
            w.repeat = max(1, -(-int(STEADY_SESSION_S * 1e9) // max(1, once)))


# ---------------------------------------------------------------- event count

EVENT_KINDS = ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND", "PY_THROW")


def count_events(run) -> dict[str, int]:
    """Runs `run` once under a pure-Python counter on a free tool id."""
    mon = sys.monitoring
    tool = next((t for t in range(3, 6) if mon.get_tool(t) is None), None)
    if tool is None:
        raise RuntimeError("no free sys.monitoring tool id to count events with")
    counters = {kind: itertools.count() for kind in EVENT_KINDS}
    mask = 0
    mon.use_tool_id(tool, "fennik-bench-count")
    try:
        for kind in EVENT_KINDS:
            event = getattr(mon.events, kind)

            # itertools.count steps atomically, so threads lose no count.
            def on_event(*_args, _step=counters[kind].__next__):
                _step()

            mon.register_callback(tool, event, on_event)
            mask |= event
        mon.set_events(tool, mask)
        run()
    finally:
        mon.set_events(tool, 0)
        for kind in EVENT_KINDS:
            mon.register_callback(tool, getattr(mon.events, kind), None)
        mon.free_tool_id(tool)
    return {kind: next(c) for kind, c in counters.items()}


# ---------------------------------------------------------------- tracers


@dataclass
class Sample:
    inner_ns: int  # the workload alone, tracer on
    session_ns: int  # from switching the tracer on to having switched it off
    cpu_ns: int  # the calling thread's CPU time over the workload alone
    size: int | None = None  # output bytes (fennik)
    dropped: int | None = None  # events fennik reported dropped


def timed(run) -> tuple[int, int]:
    """Wall and traced-thread CPU nanoseconds of `run`: the calling thread's,
    unless `run` returns the CPU time of the threads it ran."""
    c0, t0 = time.thread_time_ns(), now()
    own = run()
    t1, c1 = now(), time.thread_time_ns()
    return t1 - t0, own if own is not None else c1 - c0


class Untraced:
    name = "untraced"

    def measure(self, run) -> Sample:
        wall, cpu = timed(run)
        return Sample(wall, wall, cpu)


class EnableDisable:
    """A tracer switched on and off by two calls."""

    def __init__(self, name, enable, disable) -> None:
        self.name = name
        self._enable = enable
        self._disable = disable

    def measure(self, run) -> Sample:
        s0 = now()
        self._enable()
        wall, cpu = timed(run)
        self._disable()
        s1 = now()
        return Sample(wall, s1 - s0, cpu)


DROPPED_PATTERNS = {
    "protobuf": re.compile(rb"fennik: (\d+) events dropped"),
    "pprof": re.compile(rb"fennik: (\d+) events dropped"),
    "json": re.compile(rb'"count":(\d+)\},"name":"fennik_dropped_events"'),
}
TAIL_BYTES = 1 << 20


def read_dropped(path: str, fmt: str) -> int:
    """The dropped count fennik wrote at the end of its output, 0 when absent."""
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        f.seek(0 if fmt == "pprof" else max(0, size - TAIL_BYTES))
        tail = f.read()
    # The session's total is the last record that names a count.
    found = DROPPED_PATTERNS[fmt].findall(tail)
    return int(found[-1]) if found else 0


class Fennik:
    def __init__(self, fennik, fmt: str, out_dir: str, c_calls: bool = False) -> None:
        self.name = "fennik-c-calls" if c_calls else f"fennik-{fmt}"
        self._fennik = fennik
        self._fmt = fmt
        self._path = os.path.join(out_dir, f"trace.{fmt}")
        self._options = {"c_calls": True} if c_calls else {}

    def measure(self, run) -> Sample:
        s0 = now()
        with self._fennik.Tracer(self._path, format=self._fmt, **self._options):
            wall, cpu = timed(run)
        s1 = now()
        size = os.path.getsize(self._path)
        dropped = read_dropped(self._path, self._fmt)
        os.unlink(self._path)
        return Sample(wall, s1 - s0, cpu, size, dropped)


class FennikRecorder:
    """A flight-recorder session: nothing is written until its dump at exit."""

    def __init__(self, fennik, out_dir: str) -> None:
        self.name = "fennik-record"
        self._fennik = fennik
        self._dir = os.path.join(out_dir, "dumps")

    def measure(self, run) -> Sample:
        s0 = now()
        with self._fennik.Tracer(self._dir, record_last_mb=RECORD_MB):
            wall, cpu = timed(run)
        s1 = now()
        (name,) = os.listdir(self._dir)
        path = os.path.join(self._dir, name)
        size, dropped = os.path.getsize(path), read_dropped(path, "protobuf")
        os.unlink(path)
        return Sample(wall, s1 - s0, cpu, size, dropped)


RECORD_MB = 64


# ---------------------------------------------------------------- set-up


def import_modules(build_dir: Path):
    """fennik and fennik_refcb, from PYTHONPATH or else from the build directory."""
    for sub in ("python", "bench"):
        d = str(build_dir / sub)
        if d not in sys.path:
            sys.path.append(d)
    try:
        fennik = importlib.import_module("fennik")
        refcb = importlib.import_module("fennik_refcb")
    except ImportError as e:
        sys.exit(
            f"overhead.py: {e}\n"
            f"build first (cmake --build {build_dir}) or pass --build-dir: fennik is "
            f"looked for in {build_dir}/python, fennik_refcb in {build_dir}/bench"
        )
    return fennik, refcb


def load_average() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "n/a"


# ---------------------------------------------------------------- report


def median(values) -> float:
    return statistics.median(values)


def half_iqr(values) -> float:
    """Half the interquartile range: the noise around a median."""
    values = list(values)
    if len(values) < 2:
        return 0.0
    q1, _, q3 = statistics.quantiles(values, n=4)
    return (q3 - q1) / 2


def fmt_ms(ns: float) -> str:
    return f"{ns / 1e6:.1f} ms"


def print_events(workloads: list[Workload], counts: dict[str, dict[str, int]]) -> None:
    print("events per session (counted once by a pure-Python sys.monitoring counter; "
          f"runs of the workload per session: at least {STEADY_SESSION_S * 1e3:.0f} ms "
          "untraced)")
    short = ["start", "return", "yield", "resume", "unwind", "throw"]
    print(f"  {'workload':<20}{'runs':>6}{'total':>11}" + "".join(f"{s:>9}" for s in short))
    for w in workloads:
        c = counts[w.name]
        print(f"  {w.name:<20}{w.repeat:>6}{w.events:>11}"
              + "".join(f"{c[k]:>9}" for k in EVENT_KINDS))
    print()


def print_table(workloads, tracers, results) -> None:
    name_w, cell_w = 17, 20
    print("slowdown (traced / untraced) and added ns per event; medians "
          "(untraced: time, ± half the interquartile range)")
    print(f"  {'':<{name_w}}" + "".join(f"{w.name:>{cell_w}}" for w in workloads))
    print(f"  {'tracer':<{name_w}}" + f"{'x':>10}{'ns/event':>10}" * len(workloads))
    base = {w.name: median(s.inner_ns for s in results[w.name, "untraced"]) for w in workloads}
    for t in tracers:
        cells = []
        for w in workloads:
            if t.name == "untraced":
                spread = half_iqr(s.inner_ns for s in results[w.name, t.name]) / base[w.name]
                cells.append(f"{fmt_ms(base[w.name]) + f' ±{spread:.0%}':>{cell_w}}")
                continue
            traced = median(s.inner_ns for s in results[w.name, t.name])
            slowdown = traced / base[w.name]
            per_event = (traced - base[w.name]) / w.events
            cells.append(f"{slowdown:>9.2f}x{per_event:>10.1f}")
        print(f"  {t.name:<{name_w}}" + "".join(cells))
    print()


def print_cpu_table(workloads, tracers, results) -> None:
    """The traced thread's own CPU time: what recording costs it, without the
    time it waited for a core, which on a busy machine blurs the wall clock."""
    single = workloads
    print("added CPU time of the traced threads per event (ns; medians; over the "
          "recorder's in brackets)")
    print(f"  {'tracer':<17}" + "".join(f"{w.name:>20}" for w in single))
    for t in tracers:
        if t.name == "untraced":
            continue
        cells = []
        for w in single:
            ours = cpu_per_event(results, w, t.name)
            floor = cpu_per_event(results, w, "recorder") if ("recorder" in
                                                                 {x.name for x in tracers}) else 0
            cells.append(f"{ours:.1f}" + (f" ({ours / floor:.2f}x)" if floor > 0 else ""))
        print(f"  {t.name:<17}" + "".join(f"{c:>20}" for c in cells))
    print()


def cpu_per_event(results, workload: Workload, tracer: str, rounds=slice(None)) -> float:
    base = median(s.cpu_ns for s in results[workload.name, "untraced"][rounds])
    traced = median(s.cpu_ns for s in results[workload.name, tracer][rounds])
    return (traced - base) / workload.events


def print_fennik(workloads, tracers, results) -> None:
    print("fennik streaming: output per event, dropped events, session start + end")
    print(f"  {'format':<17}{'workload':<20}{'bytes/event':>12}{'dropped max':>13}"
          f"{'runs dropping':>15}{'start+end':>12}")
    for t in tracers:
        if not t.name.startswith("fennik-"):
            continue
        for w in workloads:
            samples = results[w.name, t.name]
            # Per event written: a run that dropped events wrote fewer.
            per_event = median(s.size / max(1, w.events - s.dropped) for s in samples)
            dropping = sum(1 for s in samples if s.dropped)
            extra = median(s.session_ns - s.inner_ns for s in samples)
            print(f"  {t.name:<17}{w.name:<20}{per_event:>12.{2 if per_event >= 1 else 4}f}"
                  f"{max(s.dropped for s in samples):>13}"
                  f"{f'{dropping}/{len(samples)}':>15}{fmt_ms(extra):>12}")
    print()


def ns_per_event(results, workload: Workload, tracer: str, rounds=slice(None)) -> float:
    base = median(s.inner_ns for s in results[workload.name, "untraced"][rounds])
    traced = median(s.inner_ns for s in results[workload.name, tracer][rounds])
    return (traced - base) / workload.events


def runs_of(results, runs: int) -> list[slice]:
    """The rounds split into `runs` consecutive runs (at least one round each)."""
    reps = len(next(iter(results.values())))
    runs = max(1, min(runs, reps))
    return [slice(i * reps // runs, (i + 1) * reps // runs) for i in range(runs)]


def ratio(results, w, tracer: str, per_event, rounds=slice(None)) -> float | None:
    floor = per_event(results, w, "recorder", rounds)
    return per_event(results, w, tracer, rounds) / floor if floor > 0 else None


def spread_cell(results, w, tracer: str, per_event, runs: int) -> str:
    """The ratio over the recorder's over all rounds, and its range over the runs."""
    whole = ratio(results, w, tracer, per_event)
    each = [ratio(results, w, tracer, per_event, r) for r in runs_of(results, runs)]
    if whole is None or None in each:
        return f"{w.name} n/a (recorder floor <= 0)"
    return f"{w.name} {whole:.2f}x ({min(each):.2f}-{max(each):.2f})"


def ratio_line(workloads, results, runs: int, tracer: str = "fennik-protobuf") -> str:
    lines = []
    for kind, per_event in (("wall", ns_per_event), ("traced threads' CPU", cpu_per_event)):
        cells = [spread_cell(results, w, tracer, per_event, runs) for w in workloads]
        lines.append(f"{tracer} added ns/event over the recorder's, {kind} (range over "
                     f"{len(runs_of(results, runs))} runs): " + ", ".join(cells))
    return "\n".join(lines)


def c_calls_line(workloads, results, counts) -> str:
    # What c_calls adds per Python call (PY_START), wall and traced-thread
    # CPU: CALL's callback on every call, and the C calls' own events where
    # the workload makes any. A workload of resumes makes few calls.
    parts = []
    for w in workloads:
        calls = counts[w.name]["PY_START"]
        if calls * 10 < w.events:
            parts.append(f"{w.name} n/a ({calls} calls)")
            continue
        added = [(median(getattr(s, field) for s in results[w.name, "fennik-c-calls"]) -
                  median(getattr(s, field) for s in results[w.name, "fennik-protobuf"])) / calls
                 for field in ("inner_ns", "cpu_ns")]
        parts.append(f"{w.name} {added[0]:.1f} wall, {added[1]:.1f} CPU")
    return "c_calls adds, ns per Python call over fennik-protobuf: " + "; ".join(parts)


def run_rounds(workloads, tracers, reps: int, label: str):
    """Every (workload, tracer) pair once per round, the tracer order rotated."""
    # One unmeasured round: imports, instrumentation and caches settle.
    for w in workloads:
        for t in tracers:
            gc.collect()
            t.measure(w.run)
    results = {(w.name, t.name): [] for w in workloads for t in tracers}
    started = time.monotonic()
    for rep in range(reps):
        order = tracers[rep % len(tracers):] + tracers[:rep % len(tracers)]
        for w in workloads:
            for t in order:
                gc.collect()
                results[w.name, t.name].append(t.measure(w.run))
        print(f"\r{label}: round {rep + 1}/{reps} ({time.monotonic() - started:.0f} s)",
              end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    return results


# ---------------------------------------------------------------- competing load

# A CPU-bound process that never sleeps; one per core but one (at least one), so
# that the traced program and fennik's threads share what is left.
COMPETITOR_CODE = "while True: pass"
COMPETITOR_SETTLE_S = 0.2


def competitor_count() -> int:
    return max(1, (os.cpu_count() or 1) - 1)


@contextlib.contextmanager
def competing(count: int):
    procs = [subprocess.Popen([sys.executable, "-c", COMPETITOR_CODE]) for _ in range(count)]
    try:
        time.sleep(COMPETITOR_SETTLE_S)
        yield
    finally:
        for p in procs:
            p.send_signal(signal.SIGKILL)
        for p in procs:
            p.wait()


# ---------------------------------------------------------------- fennik's own threads

THREAD_PREFIX = "fennik-"
IDLE_SECONDS = 2.0
BACKGROUND_RUNS = 3
BACKGROUND_FIB = 30  # long enough a busy window to count wake-ups over


def fennik_threads() -> tuple[int, int]:
    """CPU ns (clock-tick resolution) and context switches of the live fennik-* threads."""
    tick_ns = 1_000_000_000 // os.sysconf("SC_CLK_TCK")
    cpu = switches = 0
    for task in os.listdir("/proc/self/task"):
        d = f"/proc/self/task/{task}"
        try:
            with open(f"{d}/comm") as f:
                if not f.read().startswith(THREAD_PREFIX):
                    continue
            with open(f"{d}/stat") as f:
                stat = f.read()
            with open(f"{d}/status") as f:
                status = f.read()
        except FileNotFoundError:  # the thread ended meanwhile
            continue
        fields = stat[stat.rindex(")") + 2:].split()  # from field 3 (state) on
        cpu += (int(fields[11]) + int(fields[12])) * tick_ns  # utime, stime
        for line in status.splitlines():
            if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                switches += int(line.split()[1])
    return cpu, switches


@dataclass
class Background:
    cpu_ns: int  # fennik's threads, the whole session: start and last drain included
    switches: int  # theirs, while `run` ran
    window_s: float  # how long `run` ran


def measure_background(fennik, fmt: str, path: str, run) -> Background:
    """fennik's threads' CPU is the process's less the calling thread's: exact,
    and it keeps the threads' work up to their exit, which /proc cannot see."""
    gc.collect()
    p0, m0 = time.process_time_ns(), time.thread_time_ns()
    with fennik.Tracer(path, format=fmt):
        _, c0 = fennik_threads()
        w0 = time.monotonic()
        run()
        w1 = time.monotonic()
        _, c1 = fennik_threads()
    p1, m1 = time.process_time_ns(), time.thread_time_ns()
    os.unlink(path)
    return Background((p1 - p0) - (m1 - m0), c1 - c0, w1 - w0)


# (label, format, file suffix): gzip-compressed JSON is asked for by the name.
BACKGROUND_OUTPUTS = [("protobuf", "protobuf", "pb"), ("json", "json", "json"),
                      ("json.gz", "json", "json.gz"), ("pprof", "pprof", "pprof")]
# What the output side may take per event (ns), for the formats that have a target.
BACKGROUND_LIMITS = {"protobuf": 8, "json": 40}


def background_section(fennik, out_dir: str, fib_n: int, runs: int) -> dict:
    events = 2 * fib_calls(fib_n)
    figures = {}
    print(f"fennik's own threads ({THREAD_PREFIX}*): CPU time (the process's less the "
          f"program's) and wake-ups (context switches); medians of {runs} sessions")
    print(f"  {'format':<10}{'busy: fib(' + str(fib_n) + f') {events} events':>34}"
          f"{'idle: ' + format(IDLE_SECONDS, '.1f') + ' s asleep':>34}")
    print(f"  {'':<10}{'ns/event':>12}{'wake-ups/s':>12}{'run s':>10}"
          f"{'CPU ms':>12}{'wake-ups/s':>12}{'window s':>10}")
    for label, fmt, suffix in BACKGROUND_OUTPUTS:
        path = os.path.join(out_dir, f"background.{suffix}")
        busy = [measure_background(fennik, fmt, path, lambda: fib(fib_n)) for _ in range(runs)]
        idle = [measure_background(fennik, fmt, path, lambda: time.sleep(IDLE_SECONDS))
                for _ in range(runs)]
        per_event = median(b.cpu_ns / events for b in busy)
        busy_wakeups = median(b.switches / b.window_s for b in busy)
        idle_cpu_ms = median(b.cpu_ns for b in idle) / 1e6
        idle_wakeups = median(b.switches / b.window_s for b in idle)
        figures[label] = (per_event, busy_wakeups, idle_wakeups)
        print(f"  {label:<10}{per_event:>12.1f}{busy_wakeups:>12.0f}"
              f"{median(b.window_s for b in busy):>10.2f}"
              f"{idle_cpu_ms:>12.2f}{idle_wakeups:>12.0f}"
              f"{median(b.window_s for b in idle):>10.2f}")
    print("  (idle CPU covers the whole session, its start and end included)\n")
    return figures


# ---------------------------------------------------------------- target programs

# Each runs in a fresh process (this script with --target), so that its peak RSS
# is its own.
TARGET_FIB = 27
THREAD_COUNT = 16
THREAD_SECONDS = 1.0
THREAD_FIB = 15  # small, so that each thread looks at the time often
# The long program: calls of small functions, two events each.
BIG_EVENTS = 100_000_000
GEN_DEPTH = 5_000
GEN_ITEMS = 1_000
RECURSION_HEADROOM = 1_000


def small_a(x):
    return x + 1


def small_b(x):
    return x ^ 1


def small_c(x):
    return x - 1


def small_calls(events: int) -> int:
    rounds = events // 6
    for i in range(rounds):
        small_a(i)
        small_b(i)
        small_c(i)
    return 6 * rounds


def nested(depth: int, items: int):
    if depth == 0:
        yield from range(items)
    else:
        yield from nested(depth - 1, items)


def generator_nesting(depth: int, items: int) -> int:
    sys.setrecursionlimit(max(sys.getrecursionlimit(), depth + RECURSION_HEADROOM))
    for _ in nested(depth, items):
        pass
    # Every item resumes and suspends each level; the end resumes and returns each.
    return 2 * (depth + 1) * (items + 1)


def recursive_threads(count: int, seconds: float, n: int) -> int:
    rounds = [0] * count
    start = threading.Barrier(count)

    def work(k: int) -> None:
        start.wait()
        deadline = time.perf_counter() + seconds
        done = 0
        while time.perf_counter() < deadline:
            fib(n)
            done += 1
        rounds[k] = done

    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return 2 * fib_calls(n) * sum(rounds)


def fib_target() -> int:
    fib(TARGET_FIB)
    return 2 * fib_calls(TARGET_FIB)


def target_program(name: str, big_events: int):
    """The program and a function giving its event count (fib's loop counted
    exactly, the others up to the few events of their own scaffolding)."""
    if name == "fib":
        return fib_target
    if name == "threads":
        return lambda: recursive_threads(THREAD_COUNT, THREAD_SECONDS, THREAD_FIB)
    if name == "calls":
        return lambda: small_calls(big_events)
    if name == "generators":
        return lambda: generator_nesting(GEN_DEPTH, GEN_ITEMS)
    raise SystemExit(f"overhead.py: unknown target {name}")


def peak_rss_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def run_target(args) -> int:
    """The child side: runs one program under one format, prints one JSON line."""
    fennik, _ = import_modules(args.build_dir)
    program = target_program(args.target, args.big_events)
    gc.collect()
    before = peak_rss_mb()
    t0 = now()
    with fennik.Tracer(args.out, format=args.format):
        events = program()
    t1 = now()
    print(json.dumps({
        "events": events, "dropped": read_dropped(args.out, args.format),
        "seconds": (t1 - t0) / 1e9, "rss_before_mb": before, "peak_rss_mb": peak_rss_mb(),
        "bytes": os.path.getsize(args.out),
    }))
    return 0


TARGETS = [  # (label, program, format)
    (f"fib({TARGET_FIB})", "fib", "protobuf"),
    (f"fib({TARGET_FIB})", "fib", "json"),
    (f"{THREAD_COUNT} thr x {THREAD_SECONDS:g} s fib", "threads", "protobuf"),
    (f"{THREAD_COUNT} thr x {THREAD_SECONDS:g} s fib", "threads", "json"),
    ("small calls", "calls", "protobuf"),
    (f"{GEN_DEPTH}-deep generators", "generators", "pprof"),
]


def spawn_target(args, program: str, fmt: str, out_dir: str) -> dict:
    out = os.path.join(out_dir, f"target.{fmt}")
    cmd = [sys.executable, os.path.abspath(__file__), "--build-dir", str(args.build_dir),
           "--target", program, "--format", fmt, "--out", out,
           "--big-events", str(args.big_events)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(out)
    if done.returncode != 0:
        return {"error": f"exit status {done.returncode}: {done.stderr.strip()[-200:]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def targets_section(args, out_dir: str) -> list[str]:
    print("target programs, each in a fresh process: events dropped (target 0) and peak "
          "RSS (the process's high-water mark; before the session in brackets)")
    head = f"{'dropped':>11}{'peak RSS MB':>16}{'time s':>8}"
    print(f"  {'program':<26}{'format':<10}{'events':>11}  quiet{head}"
          f"  competing{head}")
    summary = []
    for label, program, fmt in TARGETS:
        cells, dropped, peaks = [], [], []
        events = None
        for load in (False, True):
            with competing(competitor_count()) if load else contextlib.nullcontext():
                r = spawn_target(args, program, fmt, out_dir)
            if "error" in r:
                cells.append(f"{'failed':>35}")
                dropped.append(r["error"])
                continue
            events = r["events"]
            rss = f"{r['peak_rss_mb']:.0f} ({r['rss_before_mb']:.0f})"
            cells.append(f"{r['dropped']:>11}{rss:>16}{r['seconds']:>8.1f}")
            dropped.append(str(r["dropped"]))
            peaks.append(f"{r['peak_rss_mb']:.0f}")
        print(f"  {label:<26}{fmt:<10}{events if events is not None else '-':>11}  "
              f"{'':5}{cells[0]}  {'':9}{cells[1]}", flush=True)
        summary.append(f"{label} {fmt}: dropped {dropped[0]} quiet, {dropped[1]} competing "
                       f"(target 0); peak RSS MB {' and '.join(peaks) or '-'}")
    print(f"  (competing: {competitor_count()} CPU-bound process(es); small calls: "
          f"{args.big_events} events)\n")
    return summary


# ---------------------------------------------------------------- main

SECTIONS = ("quiet", "background", "competing", "targets", "dumps")
COMPETING_TRACERS = ("untraced", "fennik-protobuf", "fennik-json", "fennik-record", "recorder")


def dumps_section(fennik, out_dir: str, quick: bool) -> list[str]:
    """The time to write a dump of a full ring, in each format."""
    mb = RECORD_MB // 16 if quick else RECORD_MB
    # Half as many again as a full ring holds (8 bytes and a share of a
    # batch's header per event), so that the oldest have been evicted.
    events = (mb << 20) // 8 * 3 // 2
    print(f"a dump of a full {mb} MB ring ({events / 1e6:.0f} M small calls made)")
    lines = []
    for fmt in ("protobuf", "json", "pprof"):
        d = os.path.join(out_dir, f"dumps-{fmt}")
        t = fennik.Tracer(d, format=fmt, record_last_mb=mb)
        with t:
            small_calls(events)
            s0 = now()
            path = t.dump("full")
            took = now() - s0
            size = os.path.getsize(path)
        shutil.rmtree(d)
        line = f"dump of a full {mb} MB ring, {fmt}: {fmt_ms(took)}, {size / 1e6:.0f} MB written"
        print("  " + line)
        lines.append(line)
    print()
    return lines


REPS = 20
RUNS = 5


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Overhead of fennik against reference callbacks, its own threads' "
                    "cost, and its target programs.")
    p.add_argument("--build-dir", type=Path,
                   default=Path(os.environ.get("FENNIK_BUILD_DIR", "build/bench")),
                   help="CMake build directory (default: $FENNIK_BUILD_DIR or build/bench)")
    p.add_argument("--reps", type=int, default=REPS,
                   help=f"rounds of every (workload, tracer) pair (default {REPS})")
    p.add_argument("--runs", type=int, default=RUNS,
                   help=f"runs the rounds are split into for the spread (default {RUNS})")
    p.add_argument("--quick", action="store_true",
                   help="3 rounds, one background session, a tenth of the long program: "
                        "a smoke run, not figures to quote")
    p.add_argument("--fib", type=int, default=25, help="N of the fib workloads (default 25)")
    p.add_argument("--background-fib", type=int, default=BACKGROUND_FIB,
                   help=f"N of the busy background run (default {BACKGROUND_FIB})")
    p.add_argument("--big-events", type=int, default=BIG_EVENTS,
                   help=f"events of the long target program (default {BIG_EVENTS})")
    p.add_argument("--workloads", default="",
                   help="comma-separated subset of fib,generators,methods,threads")
    p.add_argument("--tracers", default="",
                   help="comma-separated subset of tracer names (untraced always runs)")
    p.add_argument("--sections", default=",".join(SECTIONS),
                   help=f"comma-separated subset of {','.join(SECTIONS)}")
    p.add_argument("--tmp-dir", default=None, help="where fennik writes (default: system temp)")
    # The child side of the target programs.
    p.add_argument("--target", help=argparse.SUPPRESS)
    p.add_argument("--format", help=argparse.SUPPRESS)
    p.add_argument("--out", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.quick:
        args.reps = 3
        args.runs = 3
        args.big_events //= 10
    args.sections = [s for s in args.sections.split(",") if s]
    unknown = set(args.sections) - set(SECTIONS)
    if unknown:
        p.error(f"unknown sections: {','.join(sorted(unknown))}")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.target:
        return run_target(args)
    fennik, refcb = import_modules(args.build_dir)
    workloads = make_workloads(args.fib, [s for s in args.workloads.split(",") if s])
    load_start = load_average()
    summary = []

    with tempfile.TemporaryDirectory(prefix="fennik-overhead-", dir=args.tmp_dir) as out_dir:
        tracers = [
            Untraced(),
            Fennik(fennik, "protobuf", out_dir),
            Fennik(fennik, "json", out_dir),
            Fennik(fennik, "pprof", out_dir),
            Fennik(fennik, "protobuf", out_dir, c_calls=True),
            FennikRecorder(fennik, out_dir),
            EnableDisable("noop", refcb.enable_noop, refcb.disable),
            EnableDisable("recorder", refcb.enable_recorder, refcb.disable),
        ]
        if args.tracers:
            keep = set(args.tracers.split(",")) | {"untraced"}
            tracers = [t for t in tracers if t.name in keep]
        names = {t.name for t in tracers}

        print(f"fennik overhead: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
              f"load average {load_start}")
        print(f"{args.reps} interleaved rounds, medians; fennik writes to {out_dir}")
        print()

        if {"quiet", "competing"} & set(args.sections):
            calibrate(workloads)
            counts = {}
            for w in workloads:
                counts[w.name] = count_events(w.run)
                w.events = sum(counts[w.name].values())
            print_events(workloads, counts)

            # A check that the recorder fires: on one thread it stores a word per event.
            for w in workloads:
                if "thr" in w.name or "recorder" not in names:
                    continue
                before = refcb.recorded()
                refcb.enable_recorder()
                w.run()
                refcb.disable()
                stored = refcb.recorded() - before
                if stored != w.events:
                    print(f"warning: the recorder stored {stored} words on {w.name}, "
                          f"{w.events} events were counted")

        compare = {"fennik-protobuf", "recorder"} <= names

        def steady_summary(results, label: str, target: str) -> list[str]:
            """Each steady row against the recorder, its range over the runs, and
            the traced threads' own CPU per event on fib."""
            lines = []
            for kind, per_event in (("wall", ns_per_event), ("CPU", cpu_per_event)):
                cells = [spread_cell(results, w, "fennik-protobuf", per_event, args.runs)
                         for w in workloads if w.steady]
                lines.append(f"{label}, fennik-protobuf added ns/event over the recorder's "
                             f"({kind}; range over runs; target <= {target} in every run): "
                             + ", ".join(cells))
            for w in workloads:
                if w.steady and w.name.startswith("fib("):
                    each = [cpu_per_event(results, w, "fennik-protobuf", r)
                            for r in runs_of(results, args.runs)]
                    lines.append(f"{label}, {w.name}: traced thread's added CPU "
                                 f"{cpu_per_event(results, w, 'fennik-protobuf'):.1f} ns/event "
                                 f"({min(each):.1f}-{max(each):.1f} over runs; target <= 12)")
            return lines

        def report(ran, results, label: str, target: str) -> None:
            print_table(workloads, ran, results)
            print_cpu_table(workloads, ran, results)
            if {"fennik-protobuf", "recorder"} <= names:
                print(ratio_line(workloads, results, args.runs) + "\n")
            if {"fennik-protobuf", "fennik-c-calls"} <= names and label == "quiet":
                summary.append(c_calls_line(workloads, results, counts))
                print(summary[-1] + "\n")
            if any(t.name.startswith("fennik-") for t in ran):
                print_fennik(workloads, ran, results)
            if compare:
                summary.extend(steady_summary(results, label, target))

        if "quiet" in args.sections:
            report(tracers, run_rounds(workloads, tracers, args.reps, "quiet"), "quiet", "1.2x")

        if "background" in args.sections:
            figures = background_section(fennik, out_dir, args.background_fib,
                                         1 if args.quick else BACKGROUND_RUNS)
            for label, (per_event, _, idle_wakeups) in figures.items():
                limit = BACKGROUND_LIMITS.get(label)
                target = f" (target <= {limit})" if limit else ""
                summary.append(f"background {label}: {per_event:.1f} ns/event{target}, "
                               f"{idle_wakeups:.0f} wake-ups/s idle (target <= 100)")

        if "competing" in args.sections:
            busy_tracers = [t for t in tracers if t.name in COMPETING_TRACERS]
            n = competitor_count()
            print(f"with {n} competing CPU-bound process(es) (one per CPU but one, at least "
                  f"one), load average {load_average()}")
            with competing(n):
                results = run_rounds(workloads, busy_tracers, args.reps, "competing")
            report(busy_tracers, results, "competing", "1.5x")

        if "targets" in args.sections:
            summary.extend(targets_section(args, out_dir))

        if "dumps" in args.sections:
            summary.extend(dumps_section(fennik, out_dir, args.quick))

    print(f"load average {load_start} at the start, {load_average()} at the end")
    print("summary:\n  " + "\n  ".join(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
