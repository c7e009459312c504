"""overhead.py's target programs, each in a fresh process, and the dumps of
full flight-recorder rings."""

from __future__ import annotations

import contextlib
import gc
import json
import os
import shutil
import subprocess
import sys
import threading
import time

from overhead_load import competing, competitor_count
from overhead_tables import fmt_ms
from overhead_tracers import RECORD_MB, import_modules, now, read_dropped
from overhead_workloads import fib, fib_calls

# The target programs run in this benchmark's own script, with --target.
OVERHEAD_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "overhead.py")


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
    cmd = [sys.executable, OVERHEAD_SCRIPT, "--build-dir", str(args.build_dir),
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
