# Threads in the outputs: one track (or tid) per thread, named with the name
# `threading` gave it when the thread first recorded.

import _thread
import queue
import threading

import pytest

from decoders import FORMATS, TRACE_FORMATS

HERE = __file__


def step():
    return 1


def work(n):
    for _ in range(n):
        step()


def tid_of_current():
    return threading.get_native_id() & 0xFFFFFFFF


def only(calls, *names):
    return [c for c in calls if c[1] in names]


class NameRaises(threading.Thread):
    name = property(lambda self: 1 / 0, lambda self, value: None)


class NameIsNumber(threading.Thread):
    name = property(lambda self: 42, lambda self, value: None)


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_threads_are_named_from_threading(trace, fmt):
    # Each thread by the first threading name it recorded under; unnamed when
    # its name cannot be read or threading did not start it (300 calls: past
    # the naming attempts a thread gets); a name that is no string by its str().
    runs = [  # (thread class, name given, name expected, calls of step)
        (threading.Thread, "worker-1", "worker-1", 3),
        (threading.Thread, 'wörker "2"\t\\', 'wörker "2"\t\\', 5),
        (threading.Thread, "Dummy", "Dummy", 7),
        (threading.Thread, "before", "before", 0),  # renamed to "after" while it runs
        (NameRaises, None, None, 300),
        (NameIsNumber, None, "42", 4),
        (None, None, None, 300),  # started by _thread
    ]
    tids = []

    def body(n):
        tids.append(tid_of_current())
        work(n or 1)
        if n == 0:
            threading.current_thread().name = "after"
            work(2)

    def run():
        for cls, name, _, n in runs:
            if cls is None:
                done = threading.Event()
                _thread.start_new_thread(lambda: (body(n), done.set()), ())
                assert done.wait(30)
            else:
                t = cls(target=body, args=(n,), **({"name": name} if name else {}))
                t.start()
                t.join()
        work(2)

    decoded = trace(fmt, run)
    runs.append((None, None, "MainThread", 2))
    for (_, _, name, n), tid in zip(runs, tids + [tid_of_current()]):
        assert decoded.threads[tid].name == name
        assert only(decoded.calls([HERE], tid=tid), "step") == [("B", "step"), ("E", "step")] * (
            n or 3)


@pytest.mark.parametrize("fmt", FORMATS)
def test_concurrent_threads_keep_their_events_apart(trace, fmt):
    barrier = threading.Barrier(4)
    tids = {}

    def body(i):
        tids[i] = tid_of_current()
        barrier.wait()
        work(500 + i)

    def run():
        threads = [threading.Thread(target=body, args=(i,), name=f"t{i}") for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    decoded = trace(fmt, run)
    if fmt == "pprof":
        # The four threads ran the same stacks: one sample each.
        body_name = "test_concurrent_threads_keep_their_events_apart.<locals>.body"
        assert {(body_name, "work"), (body_name, "work", "step")} <= set(decoded.stacks([HERE]))
        return
    for i, tid in tids.items():
        assert decoded.threads[tid].name == f"t{i}"
        assert only(decoded.calls([HERE], tid=tid), "step") == [("B", "step"), ("E", "step")] * (
            500 + i)


def alpha():
    return "a"


def beta():
    return "b"


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_thread_alive_across_sessions(tmp_path, decode, fmt):
    # A thread that outlives a session is named again in the next one, and its
    # functions get that session's ids, not ids cached from the last one.
    import fennik

    jobs, done, tids = queue.Queue(), queue.Queue(), []

    def serve():
        tids.append(tid_of_current())
        while (job := jobs.get()) is not None:
            for fn in job:
                fn()
            done.put(None)

    worker = threading.Thread(target=serve, name="long-lived")
    worker.start()
    orders = [(alpha, beta), (beta, alpha), (beta, alpha, beta)]
    try:
        for i, order in enumerate(orders):
            with fennik.Tracer(str(tmp_path / f"{i}.{fmt}"), format=fmt):
                for fn in order:  # the main thread alternates too
                    fn()
                jobs.put(order)
                done.get()
    finally:
        jobs.put(None)
        worker.join()
    for i, order in enumerate(orders):
        decoded = decode(tmp_path / f"{i}.{fmt}", fmt)
        expected = [(ph, fn.__name__) for fn in order for ph in "BE"]
        assert decoded.threads[tids[0]].name == "long-lived"
        for t in (tids[0], tid_of_current()):
            assert only(decoded.calls([HERE], tid=t), "alpha", "beta") == expected
