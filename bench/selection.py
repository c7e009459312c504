#!/usr/bin/env python3
"""What leaving functions out saves: figures for include, exclude and max_depth.

Run from the top of the checkout after a build (inside tools/toolbox where the
machine has no CPython 3.14):

    PYTHONPATH=build/bench/python python3 bench/selection.py --tmp-dir build/bench/out
    PYTHONPATH=build/bench/python python3 bench/selection.py --quick   # a part of test_json

Sections:

Times are CPU times (the workload's thread; the child processes' user and
system time), which a loaded machine disturbs less than wall time.

    excluded   a CPU-bound workload untraced, traced with every one of its
               functions excluded (the interpreter stops reporting them), and
               traced whole: the slowdowns, medians of --reps rounds
    depth      ns per event that counting the depth adds: max_depth set far
               deeper than the workload goes, against no limit
    short      16 threads each running fib(15) for 1 s, written as JSON whole and
               with min_duration_us=50: the sizes of the files
    only-mine  CPython's test_json run by unittest under `fennik run`, whole and
               with --only-my-code --include test.test_json: CPU time and size
               of the protobuf file, against the untraced run
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import fennik


def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def fib_events(n: int) -> int:
    """PY_START and PY_RETURN events of fib(n): two per call, 2 * F(n + 1) - 1 calls."""
    a, b = 0, 1
    for _ in range(n + 1):
        a, b = b, a + b
    return 2 * (2 * a - 1)


def timed(run, tracer=None) -> int:
    if tracer is None:
        start = time.thread_time_ns()
        run()
        return time.thread_time_ns() - start
    with tracer:  # the session's start and end are not the workload's cost
        start = time.thread_time_ns()
        run()
        elapsed = time.thread_time_ns() - start
    return elapsed


def rounds(kinds: dict, reps: int, run) -> dict[str, float]:
    # Each round runs every kind once, in turn; medians of the rounds.
    times = {k: [] for k in kinds}
    for _ in range(reps):
        for kind, make in kinds.items():
            times[kind].append(timed(run, make()))
    return {k: statistics.median(v) for k, v in times.items()}


def excluded_section(out: Path, reps: int, n: int) -> None:
    path = str(out / "excluded.pb")
    med = rounds({
        "untraced": lambda: None,
        "all excluded": lambda: fennik.Tracer(path, exclude=[__name__]),
        "recorded": lambda: fennik.Tracer(path),
    }, reps, lambda: fib(n))
    base = med["untraced"]
    print(f"excluded: fib({n}), {fib_events(n):,} events, median of {reps} rounds")
    for kind, t in med.items():
        print(f"  {kind:<14} {t / 1e6:8.1f} ms  {t / base:5.2f}x")


def depth_section(out: Path, reps: int, n: int) -> None:
    path = str(out / "depth.pb")
    med = rounds({
        "no limit": lambda: fennik.Tracer(path),
        "limit": lambda: fennik.Tracer(path, max_depth=1_000_000),
    }, reps, lambda: fib(n))
    added = (med["limit"] - med["no limit"]) / fib_events(n)
    print(f"depth: fib({n}) recorded whole, median of {reps} rounds: no limit "
          f"{med['no limit'] / 1e6:.1f} ms, a limit never reached {med['limit'] / 1e6:.1f} ms, "
          f"{added:+.2f} ns per event")


def short_section(out: Path) -> None:
    from overhead import THREAD_COUNT, THREAD_FIB, THREAD_SECONDS, recursive_threads

    sizes = {}
    for limit in (None, 50):
        path = out / f"short-{limit}.json"
        with fennik.Tracer(str(path), min_duration_us=limit):
            recursive_threads(THREAD_COUNT, THREAD_SECONDS, THREAD_FIB)
        sizes[limit] = path.stat().st_size
        path.unlink()
    print(f"short: {THREAD_COUNT} threads x {THREAD_SECONDS:g} s of fib({THREAD_FIB}) as JSON: "
          f"whole {sizes[None] / 1e6:.1f} MB, calls under 50 us left out {sizes[50] / 1e6:.2f} MB, "
          f"{sizes[None] / sizes[50]:.0f}x smaller")


def only_mine_section(out: Path, quick: bool) -> None:
    target = ["-m", "unittest", "-q"] + (["test.test_json.test_decode", "test.test_json.test_fail"]
                                         if quick else ["test.test_json"])
    runs = {"untraced": None, "whole": [],
            "only my code": ["--only-my-code", "--include", "test.test_json"]}
    print(f"only-mine: python {' '.join(target)}")
    base = None
    for name, options in runs.items():
        path = out / f"only-mine-{name.replace(' ', '-')}.pb"
        path.unlink(missing_ok=True)
        command = [sys.executable, *(["-m", "fennik", "run", "-q", "-o", str(path), *options]
                                     if options is not None else []), *target]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(command, check=True, capture_output=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        elapsed = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        base = base or elapsed
        size = f"{path.stat().st_size / 1e6:10.1f} MB" if path.exists() else " " * 13
        print(f"  {name:<13} {elapsed:7.2f} s  {elapsed / base:5.2f}x  {size}")
        path.unlink(missing_ok=True)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--reps", type=int, default=31, help="rounds of the in-process sections")
    p.add_argument("--fib", type=int, default=27, help="N of fib(N) (default 27)")
    p.add_argument("--quick", action="store_true", help="fewer rounds, a part of test_json")
    p.add_argument("--sections", default="excluded,depth,short,only-mine")
    p.add_argument("--tmp-dir", default=None, help="where fennik writes (default: system temp)")
    args = p.parse_args()
    reps = 5 if args.quick else args.reps
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}, "
          f"{os.cpu_count()} CPUs; python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory(dir=args.tmp_dir) as tmp:
        out = Path(tmp)
        sections = args.sections.split(",")
        if "excluded" in sections:
            excluded_section(out, reps, args.fib)
        if "depth" in sections:
            depth_section(out, reps, args.fib)
        if "short" in sections:
            short_section(out)
        if "only-mine" in sections:
            only_mine_section(out, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
