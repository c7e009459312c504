"""What importing the extension module must not do."""

import json

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
