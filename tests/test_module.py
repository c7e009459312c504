"""The extension module as Python sees it, and what importing it must not do."""

import inspect
import json

import pytest

import fennik
import fennik._core as core

# Everything the module offers besides the interpreter's own attributes.
PUBLIC_NAMES = ["Tracer"]

TRACER_SIGNATURE = "(output, format=..., trace_subprocesses=True, record_last_mb=None)"
METHOD_SIGNATURES = {
    "__enter__": "($self)",
    "_enter_as_child": "($self)",
    "__exit__": "($self, exc_type, _exc_val, _exc_tb)",
    "snapshot": "($self, reason, start=None, end=None)",
    "dump": "($self, reason)",
    "now_ns": "($self)",
}


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def test_module_attributes():
    assert sorted(n for n in dir(core) if not is_dunder(n)) == sorted(PUBLIC_NAMES)
    assert core.__name__ == "fennik._core"
    assert not core.__doc__


def test_package_exports_the_tracer():
    assert fennik.Tracer is core.Tracer


def test_tracer_type_identity():
    assert core.Tracer.__module__ == "fennik._core"
    assert core.Tracer.__name__ == core.Tracer.__qualname__ == "Tracer"
    assert core.Tracer.__text_signature__ == TRACER_SIGNATURE
    assert core.Tracer.__doc__ in ("", None)
    params = inspect.signature(core.Tracer).parameters
    assert list(params) == ["output", "format", "trace_subprocesses", "record_last_mb"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


@pytest.mark.parametrize("method", METHOD_SIGNATURES)
def test_method_signatures(method):
    fn = getattr(core.Tracer, method)
    assert fn.__text_signature__ == METHOD_SIGNATURES[method]
    assert not fn.__doc__


IMPORT_PROBE = """
import ctypes, json, os, signal, sys, threading

def c_environ():
    libc = ctypes.CDLL(None)
    env = ctypes.POINTER(ctypes.c_char_p).in_dll(libc, "environ")
    out, i = [], 0
    while env[i]:
        out.append(env[i].split(b"=", 1)[0].decode(errors="replace"))
        i += 1
    return sorted(out)

def signal_masks():
    with open("/proc/self/status") as f:
        return sorted(l.strip() for l in f if l.startswith(("SigBlk", "SigIgn", "SigCgt")))

def state():
    handlers = {}
    for s in sorted(signal.valid_signals()):
        try:
            h = signal.getsignal(s)
        except (OSError, ValueError):
            h = "unavailable"
        handlers[int(s)] = repr(h)
    return {
        "python_threads": threading.active_count(),
        "os_threads": len(os.listdir("/proc/self/task")),
        "fennik_env": sorted(k for k in os.environ if k.startswith("FENNIK")),
        "c_environ": c_environ(),
        "handlers": handlers,
        "masks": signal_masks(),
    }

before = state()
import fennik._core
after = state()
print(json.dumps({"before": before, "after": after}))
"""


def test_importing_has_no_side_effects(run_python):
    done = run_python(IMPORT_PROBE)
    report = json.loads(done.stdout)
    before, after = report["before"], report["after"]
    assert after["os_threads"] == before["os_threads"] == 1
    assert after["python_threads"] == before["python_threads"] == 1
    assert after == before
