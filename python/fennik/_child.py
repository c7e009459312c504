"""Start-up of a process whose parent traces its subprocesses.

fennik.pth imports this module while the interpreter starts, when the parent's
tracer has advertised its settings in the environment. The session it enters
is ended by the module's at-exit hook, so nothing here keeps the tracer. A bad
setting or a failing start costs the process its trace, never its start: the
reason is one line on stderr.
"""

import os
import sys


def _settings(environ):
    output = environ["FENNIK_CHILD_OUTPUT"]
    fmt = environ.get("FENNIK_CHILD_FORMAT")
    if not fmt:
        # A guess could append one format to a file of another.
        raise ValueError("FENNIK_CHILD_FORMAT is not set")
    mb = environ.get("FENNIK_CHILD_RECORD_MB")
    if mb and not (mb.isascii() and mb.isdigit()):
        raise ValueError(f"FENNIK_CHILD_RECORD_MB={mb} is not a whole number of megabytes")
    return output, fmt, int(mb) if mb else None


def _selection(environ):
    # What the parent records, passed on as the Tracer's arguments.
    depth, shortest = environ.get("FENNIK_CHILD_MAX_DEPTH"), environ.get("FENNIK_CHILD_MIN_DURATION_NS")
    for name, value in (("MAX_DEPTH", depth), ("MIN_DURATION_NS", shortest)):
        if value and not (value.isascii() and value.isdigit()):
            raise ValueError(f"FENNIK_CHILD_{name}={value} is not a whole number")
    return dict(include=environ.get("FENNIK_CHILD_INCLUDE", "").splitlines(),
                exclude=environ.get("FENNIK_CHILD_EXCLUDE", "").splitlines(),
                only_my_code=environ.get("FENNIK_CHILD_ONLY_MY_CODE") == "1",
                max_depth=int(depth) if depth else None,
                min_duration_us=int(shortest) / 1000 if shortest else None,
                c_calls=environ.get("FENNIK_CHILD_C_CALLS") == "1")


def _start():
    try:
        from fennik._core import Tracer

        output, fmt, mb = _settings(os.environ)
        Tracer(output, format=fmt, trace_subprocesses=True, record_last_mb=mb,
               **_selection(os.environ))._enter_as_child()
    except Exception as e:
        print("fennik: not tracing this process:", " ".join(str(e).splitlines()),
              file=sys.stderr)


_start()
