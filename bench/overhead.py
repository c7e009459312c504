#!/usr/bin/env python3
"""What tracing costs a traced program: fennik against no tracing, two reference
callbacks, cProfile and yappi.

Run it from the top of the checkout after a build (inside tools/toolbox where the
machine has no CPython 3.14):

    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENNIK_TESTS=OFF
    cmake --build build/bench
    python3 bench/overhead.py                      # about 2 minutes on 2 cores
    python3 bench/overhead.py --build-dir build/x --quick

The build directory (--build-dir, or $FENNIK_BUILD_DIR, default build/bench) gives
both modules: fennik from <build>/python and the reference callbacks
(fennik_refcb) from <build>/bench. Either may also come from PYTHONPATH.

Workloads: recursive fib(N), a generator pipeline, a method-call-heavy loop, and
two threads each running fib(N-1). Tracers:

    untraced          nothing enabled
    fennik-protobuf   fennik.Tracer(path, format="protobuf"), streaming to a temp dir
    fennik-json       the same, format="json"
    fennik-pprof      the same, format="pprof"
    noop              a C callback that returns None at once: sys.monitoring's floor
    recorder          a C callback that stores rdtsc in a thread-local ring: the floor
                      of a recorder of fennik's design
    cProfile          cProfile.Profile().enable() / disable()
    yappi             wall clock, yappi.start() / stop() / clear_stats()

Every (workload, tracer) pair runs once per round; rounds repeat --reps times with
the tracer order rotated, and the figures are medians. The time is the workload
alone with the tracer already on; fennik's session start and end (its exporter
thread starting, the last drain and write) are shown apart. The events of a
workload (PY_START, PY_RETURN, PY_YIELD, PY_RESUME, PY_UNWIND, PY_THROW) are
counted once by a pure-Python sys.monitoring counter; ns/event is
(traced - untraced) / events.

Figures are noisy on a loaded machine: the load average is printed with them.
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import importlib
import itertools
import os
import re
import statistics
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


def fib_threads(n: int) -> None:
    threads = [threading.Thread(target=fib, args=(n,)) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@dataclass
class Workload:
    name: str
    run: object  # a callable taking no argument
    events: int = 0


def make_workloads(fib_n: int, selected: list[str] | None) -> list[Workload]:
    all_workloads = [
        Workload(f"fib({fib_n})", lambda: fib(fib_n)),
        Workload("generators", lambda: pipeline(60_000)),
        Workload("methods", lambda: methods(600)),
        Workload(f"2 thr fib({fib_n - 1})", lambda: fib_threads(fib_n - 1)),
    ]
    if not selected:
        return all_workloads
    keys = ["fib", "generators", "methods", "threads"]
    return [w for key, w in zip(keys, all_workloads) if key in selected]


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
    size: int | None = None  # output bytes (fennik)
    dropped: int | None = None  # events fennik reported dropped


class Untraced:
    name = "untraced"

    def measure(self, run) -> Sample:
        t0 = now()
        run()
        t1 = now()
        return Sample(t1 - t0, t1 - t0)


class EnableDisable:
    """A tracer switched on and off by two calls."""

    def __init__(self, name, enable, disable) -> None:
        self.name = name
        self._enable = enable
        self._disable = disable

    def measure(self, run) -> Sample:
        s0 = now()
        self._enable()
        t0 = now()
        run()
        t1 = now()
        self._disable()
        s1 = now()
        return Sample(t1 - t0, s1 - s0)


def cprofile_tracer() -> EnableDisable:
    holder = []

    def enable():
        p = cProfile.Profile()
        holder.append(p)
        p.enable()

    def disable():
        holder.pop().disable()

    return EnableDisable("cProfile", enable, disable)


def yappi_tracer(yappi) -> EnableDisable:
    def disable():
        yappi.stop()
        yappi.clear_stats()

    return EnableDisable("yappi", yappi.start, disable)


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
    m = DROPPED_PATTERNS[fmt].search(tail)
    return int(m.group(1)) if m else 0


class Fennik:
    def __init__(self, fennik, fmt: str, out_dir: str) -> None:
        self.name = f"fennik-{fmt}"
        self._fennik = fennik
        self._fmt = fmt
        self._path = os.path.join(out_dir, f"trace.{fmt}")

    def measure(self, run) -> Sample:
        s0 = now()
        with self._fennik.Tracer(self._path, format=self._fmt):
            t0 = now()
            run()
            t1 = now()
        s1 = now()
        size = os.path.getsize(self._path)
        dropped = read_dropped(self._path, self._fmt)
        os.unlink(self._path)
        return Sample(t1 - t0, s1 - s0, size, dropped)


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
    try:
        yappi = importlib.import_module("yappi")
    except ImportError:
        yappi = None
    return fennik, refcb, yappi


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
    print("events per run (counted once by a pure-Python sys.monitoring counter)")
    short = ["start", "return", "yield", "resume", "unwind", "throw"]
    print(f"  {'workload':<20}{'total':>10}" + "".join(f"{s:>9}" for s in short))
    for w in workloads:
        c = counts[w.name]
        print(f"  {w.name:<20}{w.events:>10}" + "".join(f"{c[k]:>9}" for k in EVENT_KINDS))
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


def ns_per_event(results, workload: Workload, tracer: str) -> float:
    base = median(s.inner_ns for s in results[workload.name, "untraced"])
    traced = median(s.inner_ns for s in results[workload.name, tracer])
    return (traced - base) / workload.events


# ---------------------------------------------------------------- main


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Overhead of fennik against the reference callbacks, cProfile and yappi.")
    p.add_argument("--build-dir", type=Path,
                   default=Path(os.environ.get("FENNIK_BUILD_DIR", "build/bench")),
                   help="CMake build directory (default: $FENNIK_BUILD_DIR or build/bench)")
    p.add_argument("--reps", type=int, default=61,
                   help="rounds of every (workload, tracer) pair (default 61)")
    p.add_argument("--quick", action="store_true",
                   help="3 rounds and one drop check: a smoke run, not figures to quote")
    p.add_argument("--fib", type=int, default=25, help="N of the fib workloads (default 25)")
    p.add_argument("--drop-fib", type=int, default=27,
                   help="N of the protobuf drop check (default 27)")
    p.add_argument("--drop-runs", type=int, default=3,
                   help="runs of the drop check (default 3)")
    p.add_argument("--workloads", default="",
                   help="comma-separated subset of fib,generators,methods,threads")
    p.add_argument("--tracers", default="",
                   help="comma-separated subset of tracer names (untraced always runs)")
    p.add_argument("--tmp-dir", default=None, help="where fennik writes (default: system temp)")
    args = p.parse_args(argv)
    if args.quick:
        args.reps = 3
        args.drop_runs = 1
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    fennik, refcb, yappi = import_modules(args.build_dir)
    workloads = make_workloads(args.fib, [s for s in args.workloads.split(",") if s])
    load_start = load_average()

    with tempfile.TemporaryDirectory(prefix="fennik-overhead-", dir=args.tmp_dir) as out_dir:
        tracers = [
            Untraced(),
            Fennik(fennik, "protobuf", out_dir),
            Fennik(fennik, "json", out_dir),
            Fennik(fennik, "pprof", out_dir),
            EnableDisable("noop", refcb.enable_noop, refcb.disable),
            EnableDisable("recorder", refcb.enable_recorder, refcb.disable),
            cprofile_tracer(),
        ]
        if yappi is not None:
            yappi.set_clock_type("wall")
            tracers.append(yappi_tracer(yappi))
        if args.tracers:
            keep = set(args.tracers.split(",")) | {"untraced"}
            tracers = [t for t in tracers if t.name in keep]

        print(f"fennik overhead: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
              f"load average {load_start}")
        print(f"{args.reps} interleaved rounds, medians; fennik writes to {out_dir}")
        if yappi is None:
            print("yappi is not installed: its row is left out")
        print()

        counts = {}
        for w in workloads:
            counts[w.name] = count_events(w.run)
            w.events = sum(counts[w.name].values())
        print_events(workloads, counts)

        # A check that the recorder fires: on one thread it stores a word per event.
        for w in workloads:
            if "thr" in w.name or not any(t.name == "recorder" for t in tracers):
                continue
            before = refcb.recorded()
            refcb.enable_recorder()
            w.run()
            refcb.disable()
            stored = refcb.recorded() - before
            if stored != w.events:
                print(f"warning: the recorder stored {stored} words on {w.name}, "
                      f"{w.events} events were counted")

        # One unmeasured round: imports, instrumentation and caches settle.
        for w in workloads:
            for t in tracers:
                gc.collect()
                t.measure(w.run)

        results = {(w.name, t.name): [] for w in workloads for t in tracers}
        started = time.monotonic()
        for rep in range(args.reps):
            order = tracers[rep % len(tracers):] + tracers[:rep % len(tracers)]
            for w in workloads:
                for t in order:
                    gc.collect()
                    results[w.name, t.name].append(t.measure(w.run))
            print(f"\rround {rep + 1}/{args.reps} ({time.monotonic() - started:.0f} s)",
                  end="", file=sys.stderr, flush=True)
        print(file=sys.stderr)

        print_table(workloads, tracers, results)
        if {"fennik-protobuf", "recorder"} <= {t.name for t in tracers}:
            ratios = []
            for w in workloads:
                floor = ns_per_event(results, w, "recorder")
                ours = ns_per_event(results, w, "fennik-protobuf")
                ratios.append(f"{w.name} {ours / floor:.2f}x" if floor > 0 else f"{w.name} n/a")
            print("fennik-protobuf ns/event over the recorder's: " + ", ".join(ratios) + "\n")
        if any(t.name.startswith("fennik-") for t in tracers):
            print_fennik(workloads, tracers, results)

        drop_events = 2 * fib_calls(args.drop_fib)
        drops = []
        for _ in range(args.drop_runs):
            gc.collect()
            s = Fennik(fennik, "protobuf", out_dir).measure(lambda: fib(args.drop_fib))
            drops.append(s.dropped)

    print(f"load average {load_start} at the start, {load_average()} at the end")
    fib_w = next((w for w in workloads if w.name.startswith("fib(")), None)
    names = {t.name for t in tracers}
    summary = []
    if fib_w is not None and {"fennik-protobuf", "recorder"} <= names:
        ours = ns_per_event(results, fib_w, "fennik-protobuf")
        floor = ns_per_event(results, fib_w, "recorder")
        ratio = f"{ours / floor:.2f}x" if floor > 0 else "n/a (recorder floor <= 0)"
        summary.append(f"{fib_w.name}: fennik-protobuf {ours:.1f} ns/event vs minimal "
                       f"recorder {floor:.1f} ns/event = {ratio} (target <= 1.15x)")
    runs = f"{len(drops)} run" + ("s" if len(drops) != 1 else "")
    summary.append(f"fib({args.drop_fib}) streaming protobuf ({drop_events} events): "
                   f"dropped {max(drops)} (max of {runs}; target 0)")
    print("summary: " + "; ".join(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
