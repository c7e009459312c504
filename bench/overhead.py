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
import gc
import os
import sys
import tempfile
import time
from pathlib import Path

from overhead_load import (BACKGROUND_FIB, BACKGROUND_LIMITS, BACKGROUND_RUNS,
                           background_section, competing, competitor_count)
from overhead_tables import (c_calls_line, cpu_per_event, ns_per_event, print_cpu_table,
                             print_events, print_fennik, print_table, ratio_line, runs_of,
                             spread_cell)
from overhead_targets import BIG_EVENTS, dumps_section, run_target, targets_section
from overhead_tracers import (EnableDisable, Fennik, FennikRecorder, Untraced, import_modules,
                              load_average)
from overhead_workloads import calibrate, count_events, make_workloads


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


SECTIONS = ("quiet", "background", "competing", "targets", "dumps")
COMPETING_TRACERS = ("untraced", "fennik-protobuf", "fennik-json", "fennik-record", "recorder")


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
