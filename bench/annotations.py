#!/usr/bin/env python3
"""What annotations cost: ns per call with no tracer running and while tracing.

Run from the top of the checkout after a build (inside tools/toolbox where the
machine has no CPython 3.14):

    PYTHONPATH=build/bench/python python3 bench/annotations.py --tmp-dir build/bench/out

Each figure is ns per call beyond an empty loop (timeit's own loop, so no
Python frame per call), the median of --reps rounds with the spread
(smallest and largest) beside it. The targets: at most 50 ns per call of an
annotation with no tracer running (a user leaves them in production code),
at most 300 ns for a span (a `with fennik.span(...)` block) while tracing.

    idle       no tracer: fennik.instant, fennik.counter, fennik.span(...)
               made, a whole `with fennik.span(...)` block, and a call of a
               function decorated with a span against the plain function
    tracing    the same while a Tracer streams Perfetto protobuf into a file
               (the recording thread's CPU time; the output thread's is not
               counted)
    gc         the garbage collection slices: a workload that collects
               nothing, with fennik's callback in gc.callbacks and without
               (a callback only runs when a collection does), and the cost
               the slices add to one gc.collect(0)
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

import fennik

SETUP = "import fennik\nspan = fennik.span('block', n=1)\n"
CASES = {
    "instant(name)": "fennik.instant('mark')",
    "instant(name, n=1)": "fennik.instant('mark', n=1)",
    "counter(name, 1)": "fennik.counter('queued', 1)",
    "span(name) made": "fennik.span('block')",
    "with span(name): pass": "with fennik.span('block'): pass",
    "with span(name, n=1): pass": "with fennik.span('block', n=1): pass",
    "with span (made once): pass": "with span: pass",
}


def plain(x):
    return x


@fennik.span("decorated")
def decorated(x):
    return x


def per_call(stmt: str, number: int, reps: int, setup: str = SETUP) -> tuple[float, float, float]:
    rounds = []
    for _ in range(reps):
        base = timeit.Timer("pass", setup, timer=time.thread_time_ns).timeit(number)
        spent = timeit.Timer(stmt, setup, timer=time.thread_time_ns, globals=globals()).timeit(number)
        rounds.append((spent - base) / number)
    return statistics.median(rounds), min(rounds), max(rounds)


def show(label: str, figures: tuple[float, float, float]) -> None:
    median, low, high = figures
    print(f"  {label:<34} {median:7.1f} ns   ({low:.1f} .. {high:.1f})")


def section(title: str, number: int, reps: int) -> None:
    print(title)
    for label, stmt in CASES.items():
        show(label, per_call(stmt, number, reps))
    show("decorated(1) - plain(1)",
         tuple(d - p for d, p in zip(per_call("decorated(1)", number, reps),
                                     per_call("plain(1)", number, reps))))


def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def cpu_ns(run) -> int:
    start = time.thread_time_ns()
    run()
    return time.thread_time_ns() - start


def gc_section(tmp: Path, reps: int) -> None:
    print("gc")
    # A workload that allocates nothing the collector tracks: no collection
    # runs, so gc.callbacks are never looked at. Rounds alternate.
    with fennik.Tracer(str(tmp / "gc.pb")):
        ours = list(gc.callbacks)
    assert len(ours) == 1, "fennik adds one callback while it traces"
    without, with_ = [], []
    for _ in range(reps):
        without.append(cpu_ns(lambda: fib(24)))
        gc.callbacks.extend(ours)
        with_.append(cpu_ns(lambda: fib(24)))
        gc.callbacks.remove(ours[0])
    print(f"  fib(24), no collection: {statistics.median(without) / 1e6:.2f} ms without the"
          f" callback, {statistics.median(with_) / 1e6:.2f} ms with it"
          f" (spread {min(without) / 1e6:.2f}..{max(without) / 1e6:.2f} and"
          f" {min(with_) / 1e6:.2f}..{max(with_) / 1e6:.2f})")
    # One young collection, traced with and without the slices' callback.
    plain_, sliced = [], []
    with fennik.Tracer(str(tmp / "gc2.pb")):
        for _ in range(reps * 20):
            sliced.append(cpu_ns(lambda: gc.collect(0)))
            gc.callbacks.remove(ours[0])
            plain_.append(cpu_ns(lambda: gc.collect(0)))
            gc.callbacks.extend(ours)
    print(f"  gc.collect(0) while tracing: {statistics.median(plain_) / 1e3:.1f} us without the"
          f" slice, {statistics.median(sliced) / 1e3:.1f} us with it")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tmp-dir", type=Path, default=None)
    ap.add_argument("--number", type=int, default=200_000, help="calls per round")
    ap.add_argument("--reps", type=int, default=7)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.tmp_dir) as tmp_name:
        tmp = Path(tmp_name)
        print(f"python {sys.version.split()[0]}; ns per call beyond an empty loop,"
              f" median of {args.reps} (smallest .. largest)")
        section("idle (no tracer)", args.number, args.reps)
        with fennik.Tracer(str(tmp / "trace.pb")):
            section("tracing (Perfetto protobuf, streamed)", args.number, args.reps)
        gc_section(tmp, args.reps)


if __name__ == "__main__":
    main()
