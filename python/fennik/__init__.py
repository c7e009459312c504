"""fennik: a function-call tracer for Python.

    with fennik.Tracer("trace.pb"):
        main()
"""

from fennik._core import Tracer, clock

__all__ = ["Tracer", "clock"]
