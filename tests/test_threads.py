# Threads in the outputs: one track (or tid) per thread, named with the name
# `threading` gave it when the thread first recorded.

import _thread
import platform
import threading

import pytest

from decoders import TRACE_FORMATS

HERE = __file__
# Static TLS lies just below the thread pointer: a few KB of it in all.
STATIC_TLS_REACH = 64 * 1024


def step(): return 1


def work(n):
    for _ in range(n):
        step()


def tid_of_current(): return threading.get_native_id() & 0xFFFFFFFF


@pytest.mark.parametrize("fmt", TRACE_FORMATS)
def test_threads_are_named_from_threading(trace, fmt):
    # Each thread by the first threading name it recorded under ("before" is
    # renamed while it runs); unnamed when threading did not start it (None:
    # 300 calls, past the naming attempts a thread gets).
    runs = [("worker-1", 3), ('wörker "2"\t\\', 5), ("Dummy", 7), ("before", 0), (None, 300)]
    tids = []

    def body(n):
        tids.append(tid_of_current())
        work(n or 1)
        if n == 0:
            threading.current_thread().name = "after"
            work(2)

    def run():
        for name, n in runs:
            if name is None:
                done = threading.Event()
                _thread.start_new_thread(lambda: (body(n), done.set()), ())
                assert done.wait(30)
            else:
                t = threading.Thread(target=body, args=(n,), name=name)
                t.start()
                t.join()
        work(2)

    decoded = trace(fmt, run)
    for (name, n), tid in zip(runs + [("MainThread", 2)], tids + [tid_of_current()]):
        assert decoded.threads[tid].name == name
        steps = [c for c in decoded.calls([HERE], tid=tid) if c[1] == "step"]
        assert steps == [("B", "step"), ("E", "step")] * (n or 3)


# Where the C library put the extension's thread-local block for a thread
# started after the import: its distance below the thread pointer (x86-64),
# small when it is in static TLS. (The importing thread's own table of blocks
# is brought up to date only by a dynamic access, so it may not say.)
TLS_PLACE = r"""
import ctypes, sys, threading, fennik, fennik._core

class Info(ctypes.Structure):
    _fields_ = [("addr", ctypes.c_uint64), ("name", ctypes.c_char_p), ("phdr", ctypes.c_void_p),
                ("phnum", ctypes.c_uint16), ("adds", ctypes.c_ulonglong),
                ("subs", ctypes.c_ulonglong), ("tls_modid", ctypes.c_size_t),
                ("tls_data", ctypes.c_void_p)]

VISIT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Info), ctypes.c_size_t, ctypes.c_void_p)
LIBC = ctypes.CDLL(None)
ARCH_PRCTL, ARCH_GET_FS = 158, 0x1003

def place():
    blocks = []
    def visit(info, size, _):
        if (info.contents.name or b"").decode() == fennik._core.__file__:
            blocks.append(info.contents.tls_data or 0)
        return 0
    LIBC.dl_iterate_phdr(VISIT(visit), None)
    tp = ctypes.c_uint64()
    assert LIBC.syscall(ARCH_PRCTL, ARCH_GET_FS, ctypes.byref(tp)) == 0
    return tp.value - blocks[0]

def traced():
    with fennik.Tracer(sys.argv[1]):
        sum(range(10))
    print(place())

worker = threading.Thread(target=traced)
worker.start()
worker.join()
"""


@pytest.mark.skipif(platform.machine() != "x86_64" or not platform.libc_ver()[0] == "glibc",
                    reason="reads the x86-64 thread pointer; glibc's placement")
def test_thread_local_state_is_in_static_tls(run_python, tmp_path):
    # The recording path reaches its per-thread state at a fixed offset from
    # the thread pointer only while the module's whole thread-local block fits
    # the static TLS the C library keeps spare for modules loaded late; past
    # it, every event pays a call into the dynamic TLS path.
    distance = int(run_python(TLS_PLACE, tmp_path / "t.pb").stdout)
    assert 0 < distance <= STATIC_TLS_REACH, hex(distance)
