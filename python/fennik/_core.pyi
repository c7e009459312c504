import os
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Literal, Self, overload

class Tracer:
    """Traces every Python function on every thread while entered."""

    def __new__(
        cls,
        output: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        format: str | None = None,
        trace_subprocesses: bool = True,
        record_last_mb: int | None = None,
        include: str | Iterable[str] | None = None,
        exclude: str | Iterable[str] | None = None,
        only_my_code: bool = False,
        max_depth: int | None = None,
        min_duration_us: float | None = None,
        c_calls: bool = False,
    ) -> Self: ...
    def __enter__(self) -> Self: ...
    def _enter_as_child(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
    @overload
    def snapshot(self, reason: str) -> Snapshot: ...
    @overload
    def snapshot(self, reason: str, start: int, end: int) -> str: ...
    def dump(self, reason: str) -> str: ...
    def now_ns(self) -> int: ...

class Snapshot:
    """A window of the flight recorder's time, dumped on exit; made by Tracer.snapshot(reason)."""

    @property
    def path(self) -> str | None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

def clock() -> str:
    """The clock a session started now would use, and why."""

def cli_main(argv: list[str]) -> int:
    """Runs `fennik run ...` (argv[0] is the program); the exit status, or the target's exception.

    The program's end happens inside, as at the interpreter's exit (threads joined, atexit
    handlers run), so it is the last thing a process does."""

class span:
    """A span: a context manager (its block) and a decorator (each call of the function)."""

    def __init__(self, name: str, /, **args: object) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
    def __call__[F: Callable[..., object]](self, func: F, /) -> F: ...

def instant(name: str, /, **args: object) -> None:
    """An instant on the calling thread's track."""

def counter(name: str, value: int | float, /) -> None:
    """A value of the process's counter `name`."""
