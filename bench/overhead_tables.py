"""overhead.py's tables: medians, ratios against the recorder and their spread."""

from __future__ import annotations

import statistics

from overhead_workloads import EVENT_KINDS, STEADY_SESSION_S, Workload


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
