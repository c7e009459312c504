# Fixtures shared by the Python tests: the decoders, a way to trace a piece
# of code into each format, and clean subprocesses.

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import decoders
from decoders import CHILD_VARS, EXTENSIONS


@pytest.fixture(scope="session")
def decode():
    """decode(path, format) -> decoders.Trace, or decoders.Profile for pprof."""
    return lambda path, fmt: getattr(decoders, f"read_{fmt}")(path)


@pytest.fixture
def trace(tmp_path, decode):
    # trace(fmt, body) runs body() under a fresh tracer writing `fmt` and
    # returns the decoded output; with record_last_mb, the dump made at exit.
    import fennik

    def run(fmt, body, **kwargs):
        path = tmp_path / f"out-{len(list(tmp_path.iterdir()))}.{fmt}"
        with fennik.Tracer(str(path), format=fmt, **kwargs):
            body()
        if "record_last_mb" in kwargs:
            (path,) = path.iterdir()
            assert path.name.endswith(f"-exit.{EXTENSIONS[fmt]}"), path
        return decode(path, fmt)

    return run


def clean_env(**extra):
    # The environment for a child interpreter: ours without any fennik
    # setting, plus `extra`; it imports the package this process imported.
    import fennik

    env = {k: v for k, v in os.environ.items()
           if k not in CHILD_VARS and k != "FENNIK_CODE_CAPACITY"}
    env["PYTHONPATH"] = str(pathlib.Path(fennik.__file__).resolve().parent.parent)
    return env | extra


@pytest.fixture
def run_python(tmp_path):
    # run_python(source, *args, env=None, timeout=60) runs a script in a fresh
    # interpreter in tmp_path and returns the CompletedProcess.

    def run(source, *args, env=None, timeout=60, check=True):
        script = tmp_path / "script.py"
        script.write_text(textwrap.dedent(source))
        done = subprocess.run([sys.executable, str(script), *map(str, args)], cwd=tmp_path,
                              env=clean_env(**(env or {})), capture_output=True, text=True,
                              timeout=timeout)
        assert not check or done.returncode == 0, done.stderr
        return done

    return run


@pytest.fixture(autouse=True)
def isolated_session(monkeypatch):
    # Every test runs without advertisement variables, leaves them as it found
    # them, and leaves the profiler slot free.
    for k in CHILD_VARS:
        monkeypatch.setenv(k, "")  # teardown restores what was there
        monkeypatch.delenv(k)
    yield
    if (tool := sys.monitoring.get_tool(sys.monitoring.PROFILER_ID)) is not None:
        sys.monitoring.free_tool_id(sys.monitoring.PROFILER_ID)
        pytest.fail(f"the profiler slot was left taken by {tool!r}")


# Seconds the slowest tests (or cases) take each on a quiet 2-core machine;
# any other counts as SECONDS_OF_OTHERS. Only the shards' balance hangs on them.
SLOW_TESTS = {
    "test_one_byte_iids_run_out": 10, "test_often_run_codes_take_one_byte_iids": 9, "test_memory_stays_within_the_budget": 7,
    "test_pool_processes_are_named": 7, "test_pprof_of_deep_recursion": 7, "test_fennik_dump_asks_a_running_recorder": 5,
    "test_a_damaged_file_is_read_or_refused_never_a_crash": 5, "test_signals_arriving_while_the_handlers_change": 3,
    "test_a_window_never_exited_does_not_keep_the_ring": 3, "test_figures_are_pstats_figures_of_what_was_written": 2,
    "test_event_streams_read_back_as_the_model": 2, "test_a_traced_program_reads_alike[dumps]": 8}
SECONDS_OF_OTHERS = 0.5


def pytest_collection_modifyitems(config, items):
    # FENNIK_TEST_SHARD=K/N keeps the K-th of N shards, which run side by
    # side: the slowest tests first, each to the shard with the least so far.
    if shard := os.environ.get("FENNIK_TEST_SHARD"):
        k, n = map(int, shard.split("/"))
        cost = lambda t: SLOW_TESTS.get(t.name, SLOW_TESTS.get(t.originalname, SECONDS_OF_OTHERS))  # noqa: E731
        loads, mine = [0.0] * n, set()
        for i in sorted(range(len(items)), key=lambda i: -cost(items[i])):
            least = loads.index(min(loads))
            loads[least] += cost(items[i])
            if least == k:
                mine.add(i)
        config.hook.pytest_deselected(items=[t for i, t in enumerate(items) if i not in mine])
        items[:] = [t for i, t in enumerate(items) if i in mine]
