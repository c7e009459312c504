import os
from types import TracebackType
from typing import Literal, Self

class Tracer:
    """Traces every Python function on every thread while entered."""

    def __new__(
        cls,
        output: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        format: str = "protobuf",
        trace_subprocesses: bool = True,
        record_last_mb: int | None = None,
    ) -> Self: ...
    def __enter__(self) -> Self: ...
    def _enter_as_child(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
    def snapshot(self, reason: str, start: int | None = None, end: int | None = None) -> str: ...
    def dump(self, reason: str) -> str: ...
    def now_ns(self) -> int: ...

def clock() -> str:
    """The clock a session started now would use, and why."""
