# The command line, through real interpreters: the target runs as plain
# python would run it, exit statuses and tracebacks are the target's, and the
# summary line counts the events the output holds.

import json
import os
import re
import subprocess
import sys

import pytest

from conftest import clean_env

APP = """
import json, sys, helper, threading
print(json.dumps([sys.argv, __name__, sys.path[0]]))
if sys.argv[-1] == "raise":
    helper.fail()
threading.Thread(target=helper.late).start()  # still running when the script ends
sys.exit(None if sys.argv[-1] == "none" else int(sys.argv[-1]))
"""
DATA = {"a": [1, 2, {"b": None}]}


@pytest.fixture
def project(tmp_path):
    # Scripts run from sub/ (their directory first on sys.path), modules from here.
    for folder in (tmp_path, tmp_path / "sub"):
        folder.mkdir(exist_ok=True)
        (folder / "app.py").write_text(APP)
        (folder / "helper.py").write_text("import time\ndef fail():\n    raise ValueError('from the target')\n"
                                          "def late():\n    time.sleep(0.2)\n    finish()\n"
                                          "def finish():\n    pass\n")
    (tmp_path / "data.json").write_text(json.dumps(DATA))
    return tmp_path


def fennik(cwd, *args):
    return subprocess.run([sys.executable, "-m", "fennik", *args], cwd=cwd, env=clean_env(),
                          capture_output=True, text=True, timeout=120)


CASES = {  # arguments of run, exit status, output
    "script": (["-o", "out.pb", "sub/app.py", "-x", "--output", "7"], 7, "out.pb"),
    "module": (["-o", "out.pb", "-m", "app", "app.py", "-x", "0"], 0, "out.pb"),
    "exit-none": (["-f", "json", "-o", "out.json", "sub/app.py", "none"], 0, "out.json"),
    "raises": (["--output=out.pb", "sub/app.py", "raise"], 1, "out.pb"),
    "recorder": (["--record-last-mb", "8", "-o", "dumps", "sub/app.py", "0"], 0, "dumps"),
    "stdlib": (["-f", "json", "-o", "out.json", "-m", "json.tool", "data.json"], 0, "out.json"),
    "end-fails": (["-o", "/dev/full", "app.py", "0"], 1, None),
    "end-fails-too": (["-o", "/dev/full", "app.py", "3"], 3, None),
}


@pytest.mark.parametrize("case", CASES)
def test_runs_the_target_as_python_would(project, decode, case):
    args, status, output = CASES[case]
    done = fennik(project, "run", *args)
    assert done.returncode == status, done.stderr
    if output is None:  # the end of the trace failed: never reported as success
        assert "No space left" in done.stderr and "fennik: wrote" not in done.stderr
        assert ("could not be finished" in done.stderr) == (status != 1)
        return
    out = project / output
    if case == "recorder":
        (out,) = out.iterdir()
        assert out.name.endswith("-exit.pb")
    trace = decode(out, "json" if "json" in args else "protobuf")
    written = re.search(r"^fennik: wrote (\d+) events \(0 dropped\) to (.*?);", done.stderr, re.M)
    assert written[2].endswith(out.name)
    assert int(written[1]) == sum(len(t.events) for t in trace.threads.values())
    if case == "stdlib":
        assert json.loads(done.stdout) == DATA and {"main", "load", "loads", "JSONDecoder.decode"} <= trace.names()
        return
    assert ("finish" in trace.names()) == (case != "raises")
    argv, name, first_path = json.loads(done.stdout.splitlines()[0])
    module = "-m" in args
    target_at = args.index("app" if module else "sub/app.py")
    assert argv == [str(project / "app.py") if module else "sub/app.py", *args[target_at + 1:]]
    assert name == "__main__" and first_path == os.path.realpath(project / ("" if module else "sub"))
    if case == "raises":  # the target's frames, none of the runner's
        assert 'File "sub/app.py", line 5' in done.stderr and "ValueError: from the target" in done.stderr
        assert "runpy" not in done.stderr and "fennik" not in done.stderr.split("Traceback")[1]


def test_sys_is_restored_on_every_path(project, run_python):
    run_python("""
        import sys
        from fennik._core import cli_main
        before = list(sys.argv), list(sys.path)
        for args, outcome in [(["sub/app.py", "0"], SystemExit), (["sub/app.py", "raise"], ValueError),
                              (["-m", "app", "3"], SystemExit), (["-f", "x", "app.py"], 2)]:
            try:
                got = cli_main(["fennik", "run", "-q", "-o", "out.pb", *args])
            except BaseException as e:
                got = type(e)
            assert got == outcome and (sys.argv, sys.path) == before, (args, got, sys.argv)
    """)


MB_ERRORS = ["12x", "-1", "", "+3", str(2**44), str(2**64)]


@pytest.mark.parametrize("args", [
    ["-h"], ["run", "--help"], ["run", "-o", "x", "-h", "app.py"],  # help: status 0
    [], ["walk"], ["--bogus"], ["run", "app.py"], ["run", "-o", "x"], ["run", "-o", "x", "-m"],
    ["run", "-o", "x", "-f", "yaml", "app.py"], ["run", "-o", "x", "missing.py"], ["run", "--quiet=1", "-o", "x", "app.py"],
    *(["run", "-o", "x", "--record-last-mb", mb, "app.py"] for mb in MB_ERRORS)])
def test_help_and_parse_errors_create_nothing(project, args):
    done = fennik(project, *args)
    helped = "-h" in args or "--help" in args
    assert done.returncode == (0 if helped else 2)
    text, silent = (done.stdout, done.stderr) if helped else (done.stderr, done.stdout)
    assert ("Usage: python -m fennik" in text or "missing.py" in args) and not silent
    assert helped or text.startswith("error: ")
    assert sorted(p.name for p in project.iterdir()) == ["app.py", "data.json", "helper.py", "sub"]
