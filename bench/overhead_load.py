"""A competing CPU-bound load, and the CPU and wake-ups of fennik's own threads."""

from __future__ import annotations

import contextlib
import gc
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

from overhead_workloads import fib, fib_calls
from overhead_tables import median


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
