"""What overhead.py measures a workload under: no tracer, fennik in each format,
the reference callbacks; and where it imports fennik and them from."""

from __future__ import annotations

import importlib
import os
import re
import sys
import time
from dataclasses import dataclass
from pathlib import Path

now = time.perf_counter_ns


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
