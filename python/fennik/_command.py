"""The `fennik` command: `fennik run -o trace.pb app.py ARGS...`."""

import sys

from fennik._core import cli_main

# Frames of these modules stand between the interpreter and the target; a
# traceback of the target's own exception leaves them out, as plain python does.
_RUNNER_MODULES = frozenset({__name__, "runpy"})


def main() -> None:
    try:
        status = cli_main(sys.argv)
    except (SystemExit, KeyboardInterrupt):
        raise
    except BaseException as e:
        tb = e.__traceback__
        while tb is not None and tb.tb_frame.f_globals.get("__name__") in _RUNNER_MODULES:
            tb = tb.tb_next
        sys.excepthook(type(e), e.with_traceback(tb), tb)
        sys.exit(1)
    sys.exit(status)
