"""Code objects that come and go during a session, and the limit on how many
one session names (FENNIK_CODE_CAPACITY)."""

import gc
import queue
import threading
import types

import pytest

from decoders import FORMATS, TRACE_FORMATS

HERE = __file__
ROUNDS = 300


def churn_exec(addresses):
    """Compiles, runs and frees one function per round; each has its own
    name and file, and its code objects die before the next round starts."""
    for i in range(ROUNDS):
        module = compile(f"def churn_{i}():\n    return {i}\n", f"<churn {i}>", "exec")
        namespace = {}
        exec(module, namespace)
        fn = namespace[f"churn_{i}"]
        addresses.append(id(fn.__code__))
        fn()
        namespace.clear()  # the function and its globals hold each other
        del module, namespace, fn


def template():
    return 0


def churn_replace(addresses):
    """The same through types.FunctionType over renamed copies of one code."""
    for i in range(ROUNDS):
        code = template.__code__.replace(co_name=f"made_{i}", co_qualname=f"made_{i}",
                                         co_filename=f"<made {i}>")
        addresses.append(id(code))
        types.FunctionType(code, {})()
        del code


def churn_expected(prefix, with_module):
    files, expected = [], []
    for i in range(ROUNDS):
        file = f"<{prefix} {i}>"
        files.append(file)
        if with_module:
            expected.append((file, [("B", "<module>"), ("E", "<module>")]))
        expected.append((file, [("B", f"{prefix}_{i}"), ("E", f"{prefix}_{i}")]))
    return files, expected


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    "churn, prefix, with_module",
    [(churn_exec, "churn", True), (churn_replace, "made", False)],
    ids=["exec", "FunctionType"],
)
def test_short_lived_code_objects_keep_their_own_names(trace, fmt, churn, prefix, with_module):
    gc.collect()
    addresses = []
    decoded = trace(fmt, lambda: churn(addresses))
    # The point of the exercise: freed code objects' memory went to new ones.
    assert len(set(addresses)) < len(addresses)

    files, expected = churn_expected(prefix, with_module)
    files = set(files)
    if fmt == "pprof":
        # One function per code object, each under its own name and file.
        made = sorted((file, name) for name, file, _ in decoded.functions.values() if file in files)
        assert made == sorted((file, pairs[0][1]) for file, pairs in expected)
        return
    calls = {}
    for t in decoded.threads.values():
        for e in t.events:
            if e.file in files:
                calls.setdefault(t.tid, []).append((e.file, e.ph, e.name))
    assert len(calls) == 1
    got = next(iter(calls.values()))
    assert got == [(file, ph, name) for file, pairs in expected for ph, name in pairs]


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_code_freed_on_one_thread_and_reused_on_another(trace, fmt):
    """A worker calls functions that the main thread creates and frees, so the
    worker's cached ids must be dropped when another thread frees code."""
    jobs, done = queue.Queue(), queue.Queue()
    tids = []

    def worker():
        tids.append(threading.get_native_id() & 0xFFFFFFFF)
        while (fn := jobs.get()) is not None:
            fn()
            del fn
            done.put(None)

    def run():
        t = threading.Thread(target=worker, name="caller")
        t.start()
        for i in range(ROUNDS):
            code = template.__code__.replace(co_name=f"made_{i}", co_qualname=f"made_{i}",
                                             co_filename=f"<made {i}>")
            jobs.put(types.FunctionType(code, {}))
            del code
            done.get()
        jobs.put(None)
        t.join()

    decoded = trace(fmt, run)
    files, expected = churn_expected("made", False)
    files = set(files)
    (tid,) = tids
    got = [(e.file, e.ph, e.name) for e in decoded.threads[tid].events if e.file in files]
    assert got == [(file, ph, name) for file, pairs in expected for ph, name in pairs]


CAPACITY_SCRIPT = """
import sys
import atexit, os, signal, threading  # imported now, not during the session
import fennik

def f0(): pass
def f1(): pass
def f2(): pass
def f3(): pass

with fennik.Tracer(sys.argv[1], format=sys.argv[2]):
    f0(); f1(); f2(); f3(); f0()
"""


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    "value, named",
    [
        ("1", ["f0"]),
        ("0", ["f0"]),
        ("+2", ["f0", "f1"]),
        ("3", ["f0", "f1", "f2"]),
        ("abc", None),
        ("-5", None),
        (" 5", None),
        ("5 ", None),
        ("+", None),
        ("", None),
        ("4294967295", None),
        ("4294967296", None),
        ("20000000", None),
    ],
)
def test_code_capacity(run_python, decode, tmp_path, fmt, value, named):
    """With room for N codes only the first N code objects the session sees
    get events; a value that does not parse leaves the session unlimited."""
    out = tmp_path / f"out.{fmt}"
    run_python(CAPACITY_SCRIPT, out, fmt, env={"FENNIK_CODE_CAPACITY": value})
    mine = {"f0", "f1", "f2", "f3"}
    decoded = decode(out, fmt)
    if fmt == "pprof":
        seen = {name for name, _, _ in decoded.functions.values()}
    else:
        seen = decoded.names()
        f0_slices = sum(e.ph == "B" and e.name == "f0"
                        for t in decoded.threads.values() for e in t.events)
        assert f0_slices == 2
    if named is None:
        # Unlimited: the tracer's own exit work in os is there as well.
        assert mine <= seen and len(seen) > len(mine)
    else:
        assert seen == set(named)
