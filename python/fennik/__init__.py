"""fennik: a function-call tracer for Python.

    with fennik.Tracer("trace.pb"):
        main()

    tracer = fennik.Tracer("dumps", record_last_mb=64)  # keep the last 64 MB
    with tracer:
        serve()  # calls tracer.dump("why") when something goes wrong
"""

from fennik._core import Snapshot, Tracer, clock

__all__ = ["Snapshot", "Tracer", "clock"]
