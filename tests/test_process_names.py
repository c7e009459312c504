# Each process of a multi-process trace named as users know it: its command
# line, its multiprocessing name, its parent; and children record C calls
# when their parent does.

import os
import subprocess
import sys

import pytest

from conftest import clean_env

SCRIPT = """
import multiprocessing as mp, sys, time

def work(x):
    time.sleep(0)
    return x

if __name__ == "__main__":
    pool = mp.get_context(sys.argv[1]).Pool(2)
    pool.map(work, range(4))
    pool.close()  # workers that end, rather than terminated ones, finish their output
    pool.join()
    p = mp.get_context("fork").Process(target=work, args=(1,), name="Forked-7")
    p.start()
    p.join()
"""


@pytest.mark.parametrize("fmt", ["protobuf", "json", "pprof"])
def test_pool_processes_are_named(tmp_path, decode, fmt):
    method = "spawn"
    (tmp_path / "app.py").write_text(SCRIPT)
    out = tmp_path / f"out.{fmt}"
    done = subprocess.run([sys.executable, "-m", "fennik", "run", "-q", "--c-calls", "-f", fmt,
                           "-o", out.name, "app.py", method], cwd=tmp_path, env=clean_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    main_line = f"python app.py {method}"
    if fmt == "pprof":  # a profile per process, which names it in its comments
        main = decode(out, fmt)
        assert main.process == {"command line": main_line, "parent pid": str(os.getpid())}
        children = [decode(p, fmt) for p in tmp_path.glob(f"out.{fmt}.*")]
        roles = sorted(c.process.get("multiprocessing name", "") for c in children)
        assert "Forked-7" in roles and sum(r.startswith("SpawnPoolWorker-") for r in roles) == 2
        assert all(c.process["parent pid"] != str(os.getpid()) for c in children)
        return
    decoded = decode(out, fmt)
    main_pid, *child_pids = decoded.pids
    processes = decoded.processes
    # A name, and the command line (unless it is the name) and parent as labels.
    names = {pid: p["process_name"] for pid, p in processes.items()}
    labels = {pid: p["process_labels"] for pid, p in processes.items()}
    if fmt == "json":
        labels = {pid: text.rsplit("; ", 1) for pid, text in labels.items()}
    else:
        assert processes[main_pid]["cmdline"] == [main_line]
    parent = {pid: int(text[-1].removeprefix("parent pid ")) for pid, text in labels.items()}
    assert all(len(labels[pid]) == 1 + (not names[pid].startswith("python ")) for pid in child_pids)
    assert names[main_pid] == main_line and parent[main_pid] == os.getpid()
    workers = [pid for pid in child_pids if names[pid].startswith("SpawnPoolWorker-")]
    assert len(workers) == 2 and [names[pid] for pid in child_pids].count("Forked-7") == 1
    # Pool workers are the children of the main process, or of the fork server.
    assert all(parent[pid] in (main_pid, *child_pids) for pid in child_pids)
    # The option reached the children: they record their C calls.
    slept = {pid for pid in child_pids for e in decoded.threads[pid].events if e.name == "time.sleep"}
    assert [pid for pid in child_pids if names[pid] == "Forked-7"][0] in slept
    assert slept & set(workers), slept
