# Threads in the outputs: one track (or tid) per thread, named with the name
# `threading` gave it when the thread first recorded.

import _thread
import threading

import pytest

from decoders import TRACE_FORMATS

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


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_threads_are_named_from_threading(trace, fmt):
    # Each thread by the first threading name it recorded under; unnamed when
    # threading did not start it (300 calls: past the naming attempts a thread
    # gets).
    runs = [  # (thread class, name given, name expected, calls of step)
        (threading.Thread, "worker-1", "worker-1", 3),
        (threading.Thread, 'wörker "2"\t\\', 'wörker "2"\t\\', 5),
        (threading.Thread, "Dummy", "Dummy", 7),
        (threading.Thread, "before", "before", 0),  # renamed to "after" while it runs
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


DUMMY = """
import _thread, sys, threading, time, fennik

def unregistered_thread_name():
    names = []
    _thread.start_new_thread(lambda: names.append(threading.current_thread().name), ())
    while not names:
        time.sleep(0.001)
    return names[0]

if len(sys.argv) > 1:
    with fennik.Tracer(sys.argv[1], format="json"):
        print(unregistered_thread_name())
else:
    print(unregistered_thread_name())
"""


def test_traced_program_sees_itself_as_untraced(run_python, decode, tmp_path):
    out = tmp_path / "out.json"
    assert run_python(DUMMY, out).stdout == run_python(DUMMY).stdout
    files = {e.file for t in decode(out, "json").threads.values() for e in t.events}
    # fennik's own start and end work (os.environ) is not the program's.
    assert str(tmp_path / "script.py") in files and "<frozen os>" not in files
