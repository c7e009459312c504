"""Threads in the outputs: one track (or tid) per thread, named with the name
`threading` gave it when the thread first recorded."""

import _thread
import threading
import time

import pytest

from decoders import FORMATS, TRACE_FORMATS

HERE = __file__


def work(n):
    for _ in range(n):
        step()


def step():
    return 1


def other_step():
    return 2


def tid_of_current():
    return threading.get_native_id() & 0xFFFFFFFF


def in_threads(specs):
    """Runs work(n) on threads named as given, one after another; returns
    their thread ids in the same order."""
    tids = []

    def body(n):
        tids.append(tid_of_current())
        work(n)

    for name, n in specs:
        t = threading.Thread(target=body, args=(n,), name=name)
        t.start()
        t.join()
    return tids


def only(calls, *names):
    return [c for c in calls if c[1] in names]


def slices_of(decoded, tid, name):
    return decoded.calls([HERE], tid=tid).count(("B", name))


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_threads_are_named_from_threading(trace, fmt):
    specs = [("worker-1", 3), ('wörker "two"\t\\', 5), ("Dummy", 7)]
    tids = []
    decoded = trace(fmt, lambda: (tids.extend(in_threads(specs)), work(2)))
    main = tid_of_current()
    assert decoded.threads[main].name == "MainThread"
    assert slices_of(decoded, main, "step") == 2
    for (name, n), tid in zip(specs, tids):
        assert decoded.threads[tid].name == name
        assert slices_of(decoded, tid, "step") == n
        assert slices_of(decoded, tid, "work") == 1
    if fmt == "json":
        named = sorted(m["tid"] for m in decoded.metadata if m["name"] == "thread_name")
        assert named == sorted([main, *tids])


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_thread_started_outside_threading_is_unnamed(trace, fmt):
    # Well past the naming attempts a thread gets, so the later events take
    # the path for a thread that will never be named.
    calls = 300
    done = threading.Event()
    tids = []

    def body():
        tids.append(tid_of_current())
        try:
            work(calls)
        finally:
            done.set()

    def run():
        _thread.start_new_thread(body, ())
        assert done.wait(30)

    decoded = trace(fmt, run)
    (tid,) = tids
    assert decoded.threads[tid].name is None
    assert only(decoded.calls([HERE], tid=tid), "work", "step") == [("B", "work")] + [
        ("B", "step"), ("E", "step")
    ] * calls + [("E", "work")]
    if fmt == "json":
        assert tid not in {m["tid"] for m in decoded.metadata}


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_renaming_a_registered_thread_is_ignored(trace, fmt):
    tids = []
    renamed = []

    def body():
        tids.append(tid_of_current())
        step()
        threading.current_thread().name = "after"
        renamed.append(threading.current_thread().name)
        other_step()

    def run():
        t = threading.Thread(target=body, name="before")
        t.start()
        t.join()

    decoded = trace(fmt, run)
    assert renamed == ["after"]
    (tid,) = tids
    assert decoded.threads[tid].name == "before"
    assert only(decoded.calls([HERE], tid=tid), "step", "other_step") == [
        ("B", "step"), ("E", "step"), ("B", "other_step"), ("E", "other_step")
    ]


@pytest.mark.parametrize("fmt", FORMATS)
def test_concurrent_threads_keep_their_events_apart(trace, fmt):
    barrier = threading.Barrier(4)
    tids = {}

    def body(i):
        tids[i] = tid_of_current()
        barrier.wait()
        for _ in range(500 + i):
            step()

    def run():
        threads = [threading.Thread(target=body, args=(i,), name=f"t{i}") for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    decoded = trace(fmt, run)
    if fmt == "pprof":
        # The four threads ran the same stacks: one sample each.
        body = "test_concurrent_threads_keep_their_events_apart.<locals>.body"
        assert {(body,), (body, "step")} <= set(decoded.stacks([HERE]))
        return
    for i, tid in tids.items():
        assert decoded.threads[tid].name == f"t{i}"
        assert only(decoded.calls([HERE], tid=tid), "step") == [("B", "step"), ("E", "step")] * (
            500 + i
        )


def alpha():
    return "a"


def beta():
    return "b"


def gamma():
    return "c"


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_thread_alive_across_sessions(tmp_path, decode, fmt):
    """A thread that outlives a session starts afresh in the next one: it is
    named again and its functions get this session's names, not ids cached
    from the last one."""
    import queue

    import fennik

    jobs, done = queue.Queue(), queue.Queue()
    tids = []

    def serve():
        tids.append(tid_of_current())
        while (job := jobs.get()) is not None:
            for fn in job:
                fn()
            done.put(None)

    worker = threading.Thread(target=serve, name="long-lived")
    worker.start()
    orders = [(alpha, beta, gamma), (gamma, beta, alpha), (beta, gamma, alpha)]
    try:
        outputs = []
        for i, order in enumerate(orders):
            out = tmp_path / f"session-{i}.{fmt}"
            with fennik.Tracer(str(out), format=fmt):
                for fn in order:  # the main thread alternates too
                    fn()
                jobs.put(order)
                done.get()
            outputs.append(out)
    finally:
        jobs.put(None)
        worker.join()

    (tid,) = tids
    main = tid_of_current()
    for out, order in zip(outputs, orders):
        decoded = decode(out, fmt)
        expected = [(ph, fn.__name__) for fn in order for ph in "BE"]
        assert decoded.threads[tid].name == "long-lived"
        assert decoded.threads[main].name == "MainThread"
        for t in (tid, main):
            assert only(decoded.calls([HERE], tid=t), "alpha", "beta", "gamma") == expected


class NameRaises(threading.Thread):
    @property
    def name(self):
        raise RuntimeError("no name today")

    @name.setter
    def name(self, value):
        pass


class NameIsNumber(threading.Thread):
    @property
    def name(self):
        return 42

    @name.setter
    def name(self, value):
        pass


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
@pytest.mark.parametrize("cls, expected", [(NameRaises, None), (NameIsNumber, "42")])
def test_thread_whose_name_misbehaves(trace, fmt, cls, expected):
    """A name that cannot be read leaves the thread unnamed without the thread
    noticing; one that is not a string is named by its str()."""
    tids, outcome = [], []

    def body():
        tids.append(tid_of_current())
        try:
            work(100)
            outcome.append("ran")
        except BaseException as e:  # an error leaked from the tracer
            outcome.append(e)

    def run():
        t = cls(target=body)
        t.start()
        t.join()

    decoded = trace(fmt, run)
    assert outcome == ["ran"]
    (tid,) = tids
    assert decoded.threads[tid].name == expected
    assert slices_of(decoded, tid, "step") == 100


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_thread_still_running_when_the_session_ends(tmp_path, decode, fmt):
    """What a busy thread recorded up to the end of the session is in the
    output, whole events only, and it carries on unharmed afterwards."""
    import fennik

    started, stop = threading.Event(), threading.Event()
    tids, counts = [], []

    def spin():
        tids.append(tid_of_current())
        n = 0
        while not stop.is_set():
            step()
            n += 1
            if n == 2000:
                started.set()
            if n % 64 == 0:
                time.sleep(0)  # let the main thread get on with ending the session
        counts.append(n)

    out = tmp_path / f"out.{fmt}"
    worker = threading.Thread(target=spin, name="spinner")
    with fennik.Tracer(str(out), format=fmt):
        worker.start()
        assert started.wait(30)
    stop.set()
    worker.join()

    decoded = decode(out, fmt)
    (tid,) = tids
    assert decoded.threads[tid].name == "spinner"
    calls = only(decoded.calls([HERE], tid=tid), "step")
    pairs, rest = divmod(len(calls), 2)
    assert 2000 <= pairs <= counts[0]
    assert calls == [("B", "step"), ("E", "step")] * pairs + [("B", "step")] * rest
