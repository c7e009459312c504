# The command line, through real interpreters: the target runs as plain
# python would run it (what it prints, its status, its view of sys at exit),
# nothing of the runner's is traced, and the summary line counts the events
# the output holds.

import json
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import fennik
from conftest import clean_env

APP = """
import atexit, json, sys, helper, threading
print(json.dumps([sys.argv, sys.path[0], __name__, sys.modules["__main__"].__dict__ is globals(),
                  __spec__ and __spec__.name]))
atexit.register(lambda: helper.at_exit(json.dumps([sys.argv, sys.path[0]])))
if sys.argv[-1] in ("raise", "interrupt"):
    helper.fail(sys.argv[-1])
threading.Thread(target=helper.late).start()  # still running when the script ends
sys.exit(None if sys.argv[-1] == "none" else int(sys.argv[-1]))
"""
HELPER = """
import time
def fail(how):
    raise KeyboardInterrupt if how == "interrupt" else ValueError("from the target")
def late():
    time.sleep(0.2)
    finish()
def finish():
    pass
def at_exit(view):
    print(view)
"""
DATA = {"a": [1, 2, {"b": None}]}
PACKAGE = pathlib.Path(fennik.__file__).resolve().parent


@pytest.fixture
def project(tmp_path):
    # Scripts run from sub/ (their directory first on sys.path), modules from
    # here; pkg/ is run as a directory and as a package.
    for folder, main in ((tmp_path, "app.py"), (tmp_path / "sub", "app.py"), (tmp_path / "pkg", "__main__.py")):
        folder.mkdir(exist_ok=True)
        (folder / main).write_text(APP)
        (folder / "helper.py").write_text(HELPER)
    (tmp_path / "data.json").write_text(json.dumps(DATA))
    return tmp_path


def python(cwd, *args, **env):
    return subprocess.run([sys.executable, *args], cwd=cwd, env=clean_env(**env),
                          capture_output=True, text=True, timeout=120)


def fennik_cmd(cwd, *args, **env):
    return python(cwd, "-m", "fennik", *args, **env)


CASES = {  # arguments of run, exit status, output, its format
    "script": (["-o", "out.pb", "sub/app.py", "-x", "--output", "7"], 7, "out.pb", "protobuf"),
    "module": (["-o", "out.pb", "-m", "app", "app.py", "-x", "0"], 0, "out.pb", "protobuf"),
    "named-json": (["-o", "out.json", "sub/app.py", "none"], 0, "out.json", "json"),
    "contradicted": (["-f", "pb", "-o", "out.json", "sub/app.py", "0"], 0, "out.json", "protobuf"),
    "raises": (["--output=out.pb", "sub/app.py", "raise"], 1, "out.pb", "protobuf"),
    "recorder": (["--record-last-mb", "8", "-o", "d.json", "sub/app.py", "0"], 0, "d.json", "protobuf"),
    "recorder-raises": (["--record-last-mb", "8", "-o", "d", "sub/app.py", "raise"], 1, "d", "protobuf"),
    "interrupted": (["--record-last-mb", "8", "-o", "d", "sub/app.py", "interrupt"], -2, "d", "protobuf"),
    "directory": (["-o", "out.pb", "pkg", "0"], 0, "out.pb", "protobuf"),
    "package": (["-o", "out.pb", "-m", "pkg", "5"], 5, "out.pb", "protobuf"),
    "stdlib": (["-f", "json", "-o", "out.json", "-m", "json.tool", "data.json"], 0, "out.json", "json"),
    "end-fails": (["-o", "/dev/full", "app.py", "0"], 1, None, None),
    "end-fails-too": (["-o", "/dev/full", "app.py", "3"], 3, None, None),
}
DUMP_REASONS = {"recorder": "exit", "recorder-raises": "exception-ValueError",
                "interrupted": "exception-KeyboardInterrupt"}


@pytest.mark.parametrize("case", CASES)
def test_runs_the_target_as_python_would(project, decode, case):
    args, status, output, fmt = CASES[case]
    done = fennik_cmd(project, "run", *args, FENNIK_BUFFER_MB="abc")
    target = args[args.index("-m") if "-m" in args else [a in ("pkg", "app.py", "sub/app.py") for a in args].index(True):]
    plain = python(project, *target)
    assert (done.returncode, done.stdout) == (status, plain.stdout), done.stderr
    assert plain.returncode == status or output is None
    # Environment settings are warned of as lines of ours, not as warnings pointing into fennik.
    assert "fennik: FENNIK_BUFFER_MB=abc is not a whole number" in done.stderr and "Warning" not in done.stderr
    assert ("asks for json" in done.stderr) == (case == "contradicted")
    if status in (1, -2) and output:  # the traceback is the target's, none of the runner's frames
        assert done.stderr.split("Traceback (most recent call last):\n")[1].startswith('  File "sub/app.py", line')
    if output is None:  # the end of the trace failed: never reported as success
        assert "No space left" in done.stderr and "fennik: wrote" not in done.stderr
        assert ("could not be finished" in done.stderr) == (status != 1)
        return
    out = project / output
    if case in DUMP_REASONS:
        (out,) = out.iterdir()
        assert out.name.endswith(f"-{DUMP_REASONS[case]}.pb")
    trace = decode(out, fmt)
    written = re.search(r"^fennik: wrote (\d+) events \(0 dropped\) to (.*?);", done.stderr, re.M)
    assert written[2].endswith(out.name)
    assert int(written[1]) == sum(len(t.events) for t in trace.threads.values())
    # Recording starts at the target's own code and lasts through its exit functions.
    first = trace.threads[trace.pids[0]].events[0]
    assert (first.ph, first.name) == ("B", "<module>") and first.file.endswith(("app.py", "tool.py", "__main__.py"))
    files = {e.file for t in trace.threads.values() for e in t.events if e.file}
    assert not {f for f in files if "runpy" in f or f.startswith(str(PACKAGE))}
    if case != "stdlib":
        started = target[-1] not in ("raise", "interrupt")
        assert {"at_exit", "finish"} & trace.names() == {"at_exit", *["finish"] * started}


@pytest.mark.parametrize("last", ["raise KeyError('from the target')", "sys.exit(0)"])
def test_our_failures_at_the_end_keep_the_target_outcome(project, last):
    # The target leaves a sys.modules that refuses to take __main__ back, and
    # the trace cannot be finished.
    (project / "hostile.py").write_text(
        "import sys\n"
        "class Refusing(dict):\n"
        "    def __setitem__(self, key, value):\n"
        "        if key == '__main__': raise LookupError('refused')\n"
        "        super().__setitem__(key, value)\n"
        f"sys.modules = Refusing(sys.modules)\n{last}\n")
    done = fennik_cmd(project, "run", "-o", "/dev/full", "hostile.py")
    assert done.returncode == 1 and "No space left" in done.stderr and "LookupError: refused" in done.stderr
    if "KeyError" in last:
        assert done.stderr.count("Traceback") == 1 and done.stderr.rstrip().endswith("KeyError: 'from the target'")
    else:  # a successful exit gives way to our failures, chained in their order
        assert re.search("SystemExit.*OSError.*LookupError: refused$", done.stderr.replace("\n", " ").rstrip())


@pytest.mark.parametrize("args", [
    ["sub/app.py", "0"], ["sub/app.py", "raise"], ["-m", "app", "3"], ["-f", "x", "app.py"]])
def test_sys_is_restored_on_every_path(project, args):
    done = python(project, "-c", f"""if True:
        import sys
        from fennik._core import cli_main
        main = sys.modules["__main__"]
        before = list(sys.argv), list(sys.path)
        try:
            got = cli_main(["fennik", "run", "-q", "-o", "out.pb", *{args!r}])
        except BaseException as e:
            got = type(e).__name__
        assert (sys.argv, sys.path) == before and sys.modules["__main__"] is main, sys.argv
        print(got)""")
    assert done.returncode == 0 and done.stdout.splitlines()[-1] == {
        "0": "SystemExit", "raise": "ValueError", "3": "SystemExit", "app.py": "2"}[args[-1]], done.stderr


def test_warning_filters_see_the_script_as_python_does(project):
    # Compiling the script, 3.15 matches SyntaxWarning filters against __main__.
    (project / "warns.py").write_text('print("\\d")\n')
    flags = ["-W", "error::SyntaxWarning:__main__"]
    plain = python(project, *flags, "warns.py")
    done = python(project, *flags, "-m", "fennik", "run", "-q", "-o", "out.pb", "warns.py")
    outcome = lambda d: (d.returncode, d.stdout, d.stderr.splitlines()[-1])  # noqa: E731
    assert outcome(done) == outcome(plain)


MB_ERRORS = ["12x", "-1", "", "+3", str(2**44), str(2**64)]


@pytest.mark.parametrize("args", [
    ["-h"], ["run", "--help"], ["run", "-o", "x", "-h", "app.py"],  # help: status 0
    [], ["walk"], ["--bogus"], ["run", "app.py"], ["run", "-o", "x"], ["run", "-o", "x", "-m"],
    ["run", "-o", "x", "-f", "yaml", "app.py"], ["run", "-o", "x", "missing.py"], ["run", "--quiet=1", "-o", "x", "app.py"],
    ["run", "-o", "", "app.py"], ["run", "app.py", "-o", "x.pb"], ["run", "-m", "app", "--output=x.pb"],
    ["run", "-o", "x", "-m", "nosuch.module"], ["run", "-o", "x", "-m", "nosuch"], ["run", "-o", "x", "sub"],
    *(["run", "-o", "x", "--record-last-mb", mb, "app.py"] for mb in MB_ERRORS)])
def test_help_and_refusals_create_nothing(project, args):
    done = fennik_cmd(project, *args)
    helped = "-h" in args or "--help" in args
    refused = "nosuch" in " ".join(args) or args[-1:] == ["sub"]  # python's own one-line refusals
    assert done.returncode == (0 if helped else 1 if refused else 2)
    text, silent = (done.stdout, done.stderr) if helped else (done.stderr, done.stdout)
    assert not silent and (helped or text.startswith("error: "))
    assert ("Usage: python -m fennik" in text) == (not refused and "missing.py" not in args)
    assert ("tip: the options of run come before the" in text) == ("x.pb" in " ".join(args))
    if refused:
        assert text.count("\n") == 1 and re.search("No module named|can't find '__main__'", text)
    assert sorted(p.name for p in project.iterdir()) == ["app.py", "data.json", "helper.py", "pkg", "sub"]


@pytest.mark.parametrize("installed", [False, True])
def test_the_version_is_the_package_s(tmp_path, installed):
    # Metadata of a distribution named fennik; it is this package's only when
    # the package is where the distribution put it.
    (meta := tmp_path / "fennik-9.9.9.dist-info").mkdir()
    (meta / "METADATA").write_text("Metadata-Version: 2.1\nName: fennik\nVersion: 9.9.9\n")
    if installed:
        (tmp_path / "fennik").symlink_to(PACKAGE)
    built = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]["version"]
    path = f"{tmp_path}{os.pathsep}{clean_env()['PYTHONPATH']}"
    for args in (["-m", "fennik", "--version"], ["-c", "import fennik; print('fennik', fennik.__version__)"]):
        done = python(tmp_path, *args, PYTHONPATH=path)
        assert (done.returncode, done.stdout) == (0, f"fennik {'9.9.9' if installed else built}\n"), done.stderr


KIDS = """
import os, subprocess, sys
def leaf(): pass
for _ in range(3):
    subprocess.run([sys.executable, "-c", "def f(): pass\\nfor _ in range(100): f()"], check=True)
if os.fork() == 0:
    leaf()
    os._exit(0)
os.wait()
"""


@pytest.mark.parametrize("mode", ["json", "pprof", "recorder"])
def test_the_summary_says_what_child_processes_added(tmp_path, decode, mode):
    (tmp_path / "kids.py").write_text(KIDS)
    out = tmp_path / ("d" if mode == "recorder" else f"out.{mode}")
    done = fennik_cmd(tmp_path, "run", "-o", out.name, *["--record-last-mb", "4"] * (mode == "recorder"),
                      "kids.py", PYTHONWARNINGS="ignore")
    line = re.search(r"^fennik: wrote (\d+) events \(0 dropped\) to .*?; 4 child processes (.*?);",
                     done.stderr, re.M)
    assert done.returncode == 0 and line, done.stderr
    if mode == "json":
        added = re.fullmatch(r"added (\d+) events \(0 dropped\)", line[2])
        trace = decode(out, "json")
        assert len(trace.pids) == 5
        assert int(line[1]) + int(added[1]) == sum(len(t.events) for t in trace.threads.values())
    elif mode == "pprof":
        assert line[2] == f"wrote theirs beside it, as {out.name}.<pid>"
        assert len(list(tmp_path.glob(f"{out.name}.*"))) == 4
    else:
        assert line[2] == "wrote theirs there too" and len(list(out.iterdir())) == 5
