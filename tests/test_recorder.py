# The flight recorder: which events each kind of dump holds, how dumps are
# named, and what users see when one cannot be written.

import concurrent.futures
import os
import pathlib
import re
import shutil
import signal
import threading
import time

import pytest
from fennik._core import Snapshot, Tracer

from decoders import EXTENSIONS, FORMATS, read_varint

HERE = __file__


def before(): return 0
def inside(): return 1
def middle(): return 2
def after(): return 3


@pytest.mark.parametrize("fmt", FORMATS)
def test_each_dump_holds_its_window(tmp_path, monkeypatch, decode, fmt):
    # A relative directory stays where it was when the session began.
    monkeypatch.chdir(tmp_path)
    t = Tracer("dumps", format=fmt, record_last_mb=16)
    with t:
        os.chdir("/")
        before()
        with t.snapshot("block") as snap:
            assert snap.path is None
            inside()
        start = t.now_ns()
        middle()
        windowed = t.snapshot("window", start, t.now_ns())
        reason = "slow request /x?y=ü " + "z" * 300
        whole = t.dump(reason)
        after()
        assert snap.__exit__(None, None, None) is False  # exited already: nothing sent
    ext = EXTENSIONS[fmt]
    names = {re.sub(r"^\d+-", "", p.name) for p in (tmp_path / "dumps").iterdir()}
    cut = re.sub(r"[^A-Za-z0-9._-]", "-", reason)[:100]
    assert names == {f"block.{ext}", f"window.{ext}", f"{cut}.{ext}", f"exit.{ext}"}
    exit_dump = next((tmp_path / "dumps").glob(f"*-exit.{ext}"))
    expect = [["inside"], ["middle"], ["before", "inside", "middle"],
              ["before", "inside", "middle", "after"]]
    for path, functions in zip([snap.path, windowed, whole, exit_dump], expect):
        assert decode(path, fmt).began([HERE]) == (sorted(functions) if fmt == "pprof" else
                                                   functions)


def test_requests_from_many_threads_and_sessions(tmp_path, decode):
    # Every request gets its own file, also when they arrive together; a
    # block that raises names the last dump after its exception.
    t = Tracer(str(tmp_path), record_last_mb=4)
    paths = []

    def ask(i):
        with t.snapshot(f"s{i}") as s:
            inside()
        paths.extend([s.path, t.dump(f"d{i}")])

    with pytest.raises(KeyError):
        with t:
            snap = t.snapshot("across sessions").__enter__()
            with concurrent.futures.ThreadPoolExecutor(6) as pool:
                list(pool.map(ask, range(6)))
            raise KeyError
    assert len(set(paths)) == 12 and all(decode(p, "protobuf").began([HERE]) for p in paths)
    assert len(list(tmp_path.glob("*-exception-KeyError.pb"))) == 1
    with t:
        # Its window began in the session that ended.
        with pytest.raises(RuntimeError, match="^the tracer is not running$"):
            snap.__exit__(None, None, None)
        with t.snapshot("again") as again:
            pass
        first = again.path
        with again:
            inside()
        assert os.path.exists(first) and again.path != first
    with pytest.raises(TypeError):
        Snapshot()


def test_a_window_never_exited_does_not_keep_the_ring(tmp_path, decode):
    # Entered twice, or dropped without an exit, a window must not keep what
    # it saw for the rest of the session: the ring keeps its budget's worth.
    with Tracer(str(tmp_path), record_last_mb=1) as t:
        before()
        with t.snapshot("twice") as twice:
            with pytest.raises(RuntimeError, match="^the snapshot is already open$"):
                twice.__enter__()
        t.snapshot("dropped").__enter__()
        # Within what an open window could keep: twice the budget.
        for _ in range(CALLS_PAST_BUDGET):
            inside()
        # A dump keeps what it asked for while it waits, so what the recorder
        # had not taken in yet would be in it: the first one settles the ring.
        t.dump("settle")
        path = t.dump("latest")
    began = decode(path, "protobuf").began([HERE])
    assert set(began) == {"inside"} and len(began) < CALLS_PAST_BUDGET * 3 // 4, len(began)


# Calls whose events fill 1 MB nearly twice over.
CALLS_PAST_BUDGET = 120_000


def test_dump_directory_removed(tmp_path):
    # A dump that cannot be written fails its own request, with the reason
    # as its cause; the recorder goes on, and the last dump's failure is
    # what the session's end reports.
    dumps = tmp_path / "dumps"
    t = Tracer(str(dumps), record_last_mb=1)
    with pytest.raises(FileNotFoundError):
        with t:
            shutil.rmtree(dumps)
            with pytest.raises(RuntimeError, match="^the recorder did not finish the dump$") as e:
                t.dump("lost")
            assert isinstance(e.value.__cause__, FileNotFoundError)
            assert e.value.__cause__.filename == str(dumps)
            dumps.mkdir()
            assert os.path.exists(t.dump("kept"))
            shutil.rmtree(dumps)
    assert not dumps.exists()


def test_a_directory_named_in_other_bytes(tmp_path):
    # Dump directories are byte paths: a name that is not UTF-8 takes dumps,
    # and the paths come back as open() would take them.
    dumps = os.fsencode(tmp_path) + b"/caf\xe9"
    t = Tracer(dumps, record_last_mb=1)
    with t:
        inside()
        path = t.dump("here")
    assert os.fsencode(path).startswith(dumps + b"/") and len(os.listdir(dumps)) == 2


def test_a_dump_after_an_interrupted_one_is_whole(tmp_path):
    # Ctrl-C ends the wait for a dump, not the dump: the recorder goes on
    # writing it while threads record, and a dump asked for meanwhile
    # still holds all the ring held when it was asked.
    t, stop = Tracer(str(tmp_path), record_last_mb=RING_MB), threading.Event()

    def loop():
        while not stop.is_set():
            inside()

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with t:
            for _ in range(RING_EVENTS):  # two events a call: the ring is full
                inside()
            for _ in range(2):
                threading.Thread(target=loop).start()
            with pytest.raises(KeyboardInterrupt):
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                t.dump("interrupted")
                while True:  # the dump was quicker than the timer
                    time.sleep(0.001)
            second = t.dump("second")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        stop.set()
        signal.signal(signal.SIGALRM, previous)
    (first,) = tmp_path.glob("*-interrupted.pb")
    assert packets(first) >= RING_EVENTS and packets(second) >= RING_EVENTS


def packets(path):
    # A protobuf trace's packets, one at least per event: framing read only.
    data, i, n = pathlib.Path(path).read_bytes(), 0, 0
    while i < len(data):
        assert data[i] == 0x0A, f"no packet at {i}"
        length, i = read_varint(data, i + 1)
        i, n = i + length, n + 1
    return n


# The events a ring of RING_MB holds at least: its budget, less a batch, in
# batches of 1,024 events costing 8 KiB and a little more each.
RING_MB = 8
RING_EVENTS = ((RING_MB << 20) // (8 * 1024 + 256) - 1) * 1024


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer holds freed memory back")
def test_memory_stays_within_the_budget(run_python, decode):
    # A loop making millions of calls for seconds under a 1 MB recorder: the
    # process grows by the budget and a fixed overhead at most, and a dump
    # holds the latest calls only.
    done = run_python("""
        import os, sys, time
        from fennik._core import Tracer

        def rss():
            with open("/proc/self/status") as f:
                return int(next(l for l in f if l.startswith("VmRSS")).split()[1]) * 1024

        def early(): pass
        def work(): pass
        def late(): pass

        base = rss()
        t = Tracer("dumps", record_last_mb=1)
        with t:
            early()
            peak, end = 0, time.monotonic() + 3
            while time.monotonic() < end:
                for _ in range(10000):
                    work()
                peak = max(peak, rss())
            late()
            path = t.dump("latest")
        print(peak - base, path)
    """, timeout=120)
    grown, path = done.stdout.split()
    assert decode(path, "protobuf").names() & {"early", "work", "late"} == {"work", "late"}
    assert int(grown) < (1 << 20) + FIXED_OVERHEAD, f"grew by {int(grown) >> 10} KiB"


# What a session costs besides its ring: the threads' lists the recorder
# drains (up to 4 MB), the exporter thread's stack, code and thread tables.
# About 3 MB was measured.
FIXED_OVERHEAD = 8 << 20
