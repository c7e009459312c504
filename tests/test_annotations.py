# Annotations from the program (spans, instants, counters) and garbage
# collections, as the decoded outputs of real traced programs show them.

import gc
import pathlib
import random
import subprocess
import threading

import pytest

import fennik
from decoders import FORMATS, TRACE_FORMATS

HERE = __file__
TRACE_PROCESSOR = (pathlib.Path(__file__).resolve().parents[2]
                   / "shared/tools/perfetto/trace_processor_shell")


# ---- traced code --------------------------------------------------------------

def fn(plan): run(plan)


@fennik.span("decorated", via="decorator")
def deco(plan): run(plan)


def run(plan):
    for kind, sub in plan:
        if kind == "fn":
            fn(sub)
        elif kind == "span":
            with fennik.span("block", width=len(sub)):
                run(sub)
        elif kind == "deco":
            deco(sub)
        elif kind == "instant":
            fennik.instant("mark", n=sub)
        else:
            fennik.counter("level", sub)


def make_plan(rng, depth=0):
    plan = []
    for _ in range(rng.randrange(1, 4)):
        kind = rng.choice(["fn", "span", "deco", "instant", "counter"] if depth < 4 else
                          ["instant", "counter"])
        if kind in ("fn", "span", "deco"):
            plan.append((kind, make_plan(rng, depth + 1)))
        else:
            plan.append((kind, rng.choice([rng.randrange(-10**6, 10**6), rng.random()])))
    return plan


def expect(plan, events, counters):
    # The (phase, name, args) sequence the plan records, and its counter values.
    for kind, sub in plan:
        if kind == "fn":
            events.append(("B", "fn", None)), expect(sub, events, counters)
            events.append(("E", "fn", None))
        elif kind == "span":
            events.append(("B", "block", {"width": len(sub)})), expect(sub, events, counters)
            events.append(("E", "block", None))
        elif kind == "deco":
            events += [("B", "decorated", {"via": "decorator"}), ("B", "deco", None)]
            expect(sub, events, counters)
            events += [("E", "deco", None), ("E", "decorated", None)]
        elif kind == "instant":
            events.append(("I", "mark", {"n": sub}))
        else:
            counters.append(sub)


def shown(events):  # what the plan made: its functions and annotations, no collections
    return [(e.ph, e.name, e.args) for e in events
            if (e.file == HERE and e.name in ("fn", "deco")) or
            (e.kind in ("span", "instant") and not e.name.startswith("gc: "))]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("mode", [{}, {"record_last_mb": 16}, {"min_duration_us": 0.001},
                                  {"min_duration_us": 10**6}],
                         ids=["streamed", "dumped", "filtered", "all short"])
def test_spans_nest_exactly_with_functions(trace, fmt, mode):
    # Random programs of functions, spans (blocks and decorated functions),
    # instants and counter values: every format shows exactly what ran, in
    # order and nested (the decoders pair each end with the innermost begin).
    # With every call short, spans go with the functions, their arguments
    # too; instants and counter values stay.
    rng = random.Random(7)
    plans = [make_plan(rng) for _ in range(20)]
    decoded = trace(fmt, lambda: [run(p) for p in plans], **mode)
    main = threading.get_native_id() & 0xFFFFFFFF
    events, counters = [], []
    for p in plans:
        expect(p, events, counters)
    all_short = mode.get("min_duration_us") == 10**6
    assert shown(decoded.threads[main].events) == [e for e in events if e[0] == "I" or not all_short]
    ((key, values),) = decoded.counters.items()
    assert key == (decoded.pids[0], "level") and [v for _, v in values] == counters


def test_spans_are_frames_of_the_profile(tmp_path, decode):
    # pprof: a span is a frame of the stacks it encloses; instants and
    # counter values are left out, and a comment counts them.
    path = tmp_path / "out.pprof"
    with fennik.Tracer(str(path)):
        run([("span", [("fn", [("instant", 1), ("counter", 2)])]), ("deco", [("fn", [])])])
    profile = decode(path, "pprof")
    stacks = {tuple(name for name, _ in s if name in ("block", "decorated", "fn", "deco"))
              for s in profile.samples}
    assert {("block", "fn"), ("decorated", "deco", "fn")} <= stacks and profile.marks == 2


class Odd:
    def __repr__(self): return "odd " + "r" * 300


class Failing:
    def __repr__(self): raise ValueError("no repr")


VALUES = {"text": "h\u00e9 \u2603 \U0001f600", "small": -7, "wide": -2**40, "top": 2**63 - 1,
          "huge": 2**70, "real": 2.5, "yes": True, "no": False, "none": None, "odd": Odd(),
          "failing": Failing(), "long": "x" * 300, "lone": "a\udcff"}
SHOWN = {"text": "h\u00e9 \u2603 \U0001f600", "small": -7, "wide": -2**40, "top": 2**63 - 1,
         "huge": str(2**70), "real": 2.5, "yes": True, "no": False, "none": None,
         "odd": ("odd " + "r" * 300)[:200], "failing": "<repr failed>", "long": "x" * 200,
         "lone": "a\ufffd"}


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_argument_values_of_each_type(trace, fmt):
    # Strings, ints, floats, bools and None as they are (None is "None" in
    # Perfetto, which has no null); anything else, and ints wider than 64
    # bits, by repr; every text cut to 200 characters. Values that do not
    # all fit one annotation are cut further, never past a character.
    def body():
        with fennik.span("all", **VALUES):
            fennik.instant("all", **VALUES)
            fennik.instant("crowded", **{f"k{i}": "\u00e9" * 200 for i in range(4)})

    events = trace(fmt, body).threads[threading.get_native_id() & 0xFFFFFFFF].events
    want = SHOWN | ({"none": "None"} if fmt == "protobuf" else {})
    (span,) = [e for e in events if e.ph == "B" and e.name == "all"]
    (instant, crowded) = [e for e in events if e.ph == "I"]
    assert span.args == want and instant.args == want
    values = list(crowded.args.values())
    assert all(set(v) == {"\u00e9"} for v in values) and values[0] == "\u00e9" * 200
    assert len(values) == 4 and 400 < sum(len(v) for v in values) < 4 * 200


def garbage():
    for _ in range(50):
        a = []
        a.append(a)


def collect():
    garbage()
    return gc.collect()


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_collection_is_a_slice_of_the_thread_that_ran_it(trace, fmt):
    # gc.collect() inside a function: a slice "gc: generation 2" nested in
    # it, with the counts on its end (a profile: a frame).
    decoded = trace(fmt, collect)
    if fmt == "pprof":
        assert ("collect", "gc: generation 2") in {tuple(n for n, _ in s) for s in decoded.samples}
        return
    events = [e for e in decoded.threads[threading.get_native_id() & 0xFFFFFFFF].events
              if e.name in ("collect", "gc: generation 2")]
    assert [(e.ph, e.name) for e in events] == [
        ("B", "collect"), ("B", "gc: generation 2"), ("E", "gc: generation 2"), ("E", "collect")]
    assert events[1].args is None and events[2].args["uncollectable"] == 0
    assert events[2].args["collected"] >= 50


def leave_open(where):
    fennik.span("left open", where=where).__enter__()


def suspended():
    with fennik.span("across a yield"):
        yield 1
        fennik.instant("after")


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_a_span_ends_with_the_frame_or_the_session_it_was_left_open_in(tmp_path, decode, fmt):
    # A function that returns, or a generator that yields, ends the spans it
    # opened; the span's own end after that closes nothing. What is open when
    # the session ends stays open as the calls around it do (readers end it
    # with the trace).
    path = tmp_path / f"out.{fmt}"
    with fennik.Tracer(str(path)):
        worker = threading.Thread(target=leave_open, args=("thread",), name="worker")
        worker.start()
        worker.join()
        leave_open("frame")
        list(suspended())
        fennik.span("left open", where="session").__enter__()
    decoded = decode(path, fmt)
    names = ("leave_open", "left open", "suspended", "across a yield", "after")
    seqs = {t.name: [(e.ph, e.name) for e in t.events if e.name in names]
            for t in decoded.threads.values()}
    frame = [("B", "leave_open"), ("B", "left open"), ("E", "left open"), ("E", "leave_open")]
    assert seqs == {"worker": frame, "MainThread": frame + [
        ("B", "suspended"), ("B", "across a yield"), ("E", "across a yield"), ("E", "suspended"),
        ("B", "suspended"), ("I", "after"), ("E", "suspended"), ("B", "left open")]}


def test_a_dump_window_shows_the_spans_open_at_its_start_with_their_arguments(tmp_path, decode):
    tracer = fennik.Tracer(str(tmp_path / "dumps"), record_last_mb=16)
    with tracer:
        with fennik.span("around", request=42):
            fn([])
            with tracer.snapshot("window") as window:
                fn([("instant", 3)])
    events = [e for t in decode(window.path, "protobuf").threads.values() for e in t.events]
    assert [(e.ph, e.name, e.args) for e in events if e.name in ("around", "fn", "mark")] == [
        ("B", "around", {"request": 42}), ("B", "fn", None), ("I", "mark", {"n": 3}),
        ("E", "fn", None)]


class Service:
    @fennik.span("method")
    def handle(self, x):
        if x is None:
            raise KeyError(x)
        return x * 2


def test_decorator_keeps_the_function_and_ends_on_exceptions(trace):
    s = Service()
    assert Service.handle.__name__ == "handle" and Service.handle.__wrapped__.__qualname__ == \
        "Service.handle" and s.handle(2) == 4

    def body():
        s.handle(1)
        with pytest.raises(KeyError):
            s.handle(None)

    events = trace("json", body).threads[threading.get_native_id() & 0xFFFFFFFF].events
    assert [(e.ph, e.name) for e in events if e.name in ("method", "Service.handle")] == [
        ("B", "method"), ("B", "Service.handle"), ("E", "Service.handle"), ("E", "method")] * 2


def test_without_a_tracer_annotations_do_nothing_but_check_their_arguments():
    with fennik.span("idle", a=1) as s:
        fennik.instant("idle", b=[1])
        fennik.counter("idle", 1.5)
    assert repr(s) == "<fennik.span 'idle'>"
    for call in (lambda: fennik.span(1), lambda: fennik.instant(b"x"),
                 lambda: fennik.counter("c", "3"), lambda: fennik.counter("c"),
                 lambda: fennik.span("s")(3)):
        with pytest.raises(TypeError):
            call()


@pytest.mark.skipif(not TRACE_PROCESSOR.exists(), reason="no trace processor at hand")
def test_perfetto_reads_counters_slices_and_their_arguments(tmp_path):
    path = tmp_path / "out.pb"
    with fennik.Tracer(str(path)):
        for n in range(3):
            with fennik.span("request", n=n, path=f"/item/{n}"):
                fennik.counter("queued", 3 - n)
    query = tmp_path / "q.sql"
    query.write_text(
        "select count(*) from stats where value > 0 and severity in ('error', 'data_loss');\n"
        "select t.name, t.type, group_concat(cast(c.value as int)) from counter c "
        "join track t on c.track_id = t.id group by t.id;\n"
        "select s.name, group_concat(a.key || '=' || a.display_value) from slice s "
        "join args a using(arg_set_id) where s.name = 'request' group by s.id order by s.ts;\n")
    out = subprocess.run([TRACE_PROCESSOR, "-q", query, path], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out == ['"count(*)"', "0", '"name","type","group_concat(cast(c.value', 'as',
                   'int))"', '"queued","process_counter_track_event","3,2,1"',
                   '"name","group_concat(a.key', "||", "'='", "||", 'a.display_value)"'] + [
        f'"request","debug.n={n},debug.path=/item/{n}"' for n in range(3)]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_arguments_stay_with_their_annotation_through_a_dump(trace, fmt):
    # A dump is written in chunks of events: none may part an annotation
    # from its argument words.
    def body():
        for i in range(3000):
            fennik.instant("tick", n=i, s="ab")

    events = trace(fmt, body, record_last_mb=16).threads[
        threading.get_native_id() & 0xFFFFFFFF].events
    assert [e.args for e in events if e.ph == "I"] == [{"n": i, "s": "ab"} for i in range(3000)]
