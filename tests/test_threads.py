# Threads in the outputs: one track (or tid) per thread, named with the name
# `threading` gave it when the thread first recorded.

import _thread
import pathlib
import struct
import threading

import pytest

import fennik._core

from decoders import TRACE_FORMATS

HERE = __file__


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


# The static TLS the C library keeps spare for modules loaded late (glibc's
# default).
SPARE_STATIC_TLS = 512
PT_TLS = 7


def test_thread_local_block_fits_the_spare_static_tls():
    # Only then is the per-thread state reached through a constant offset from
    # the thread pointer; past it, every event pays for the dynamic TLS path.
    # What the ELF program headers say the module's block takes, at most, with
    # its alignment (where it lands also depends on what was loaded before):
    elf = pathlib.Path(fennik._core.__file__).read_bytes()
    assert elf[:6] == b"\x7fELF\x02\x01"  # 64-bit, little-endian
    (start,), (size, count) = struct.unpack_from("<Q", elf, 0x20), struct.unpack_from(
        "<HH", elf, 0x36)
    headers = [elf[start + i * size:start + (i + 1) * size] for i in range(count)]
    (tls,) = [h for h in headers if struct.unpack_from("<I", h)[0] == PT_TLS]
    mem, align = struct.unpack_from("<QQ", tls, 0x28)
    assert mem + align - 1 <= SPARE_STATIC_TLS, (mem, align)
