"""The workloads overhead.py times, and the pure-Python counter of their events."""

from __future__ import annotations

import itertools
import statistics
import sys
import threading
import time
from dataclasses import dataclass

from overhead_tracers import timed


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
            once = statistics.median(timed(w.run)[0] for _ in range(3))
            w.repeat = max(1, -(-int(STEADY_SESSION_S * 1e9) // max(1, once)))


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
