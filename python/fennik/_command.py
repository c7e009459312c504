"""The `fennik` command: `fennik run -o trace.pb app.py ARGS...`."""

import sys

from fennik._core import cli_main

# Frames of these modules stand between the interpreter and the target; a
# traceback of the target's own exception leaves them out, as plain python does.
_RUNNER_MODULES = frozenset({__name__, "runpy"})


def _trimmed(e):
    tb = e.__traceback__
    while tb is not None and tb.tb_frame.f_globals.get("__name__") in _RUNNER_MODULES:
        tb = tb.tb_next
    return tb


def main() -> None:
    try:
        status = cli_main(sys.argv)
    except SystemExit:
        raise
    except KeyboardInterrupt as e:
        # Left to the interpreter, which then dies of SIGINT as plain python
        # does; the frames the interrupt passes on its way out are not shown.
        def show(kind, value, traceback, shown=e, tb=_trimmed(e), hook=sys.excepthook):
            if value is shown:
                value, traceback = value.with_traceback(tb), tb
            hook(kind, value, traceback)

        sys.excepthook = show
        raise
    except BaseException as e:
        tb = _trimmed(e)
        sys.excepthook(type(e), e.with_traceback(tb), tb)
        sys.exit(1)
    sys.exit(status)
