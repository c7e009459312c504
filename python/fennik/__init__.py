"""fennik: a function-call tracer for Python.

    with fennik.Tracer("trace.pb"):
        main()

    tracer = fennik.Tracer("dumps", record_last_mb=64)  # keep the last 64 MB
    with tracer:
        serve()  # calls tracer.dump("why") when something goes wrong

    with fennik.span("request", path="/users/42"):  # free when nothing traces
        fennik.counter("queued", len(queue))
"""

from fennik._core import Snapshot, Tracer, clock, counter, instant, span

__all__ = ["Snapshot", "Tracer", "clock", "counter", "instant", "span"]


def __getattr__(name):
    # __version__ is looked up when asked for: reading package metadata costs
    # more than the start of every traced child process should.
    if name == "__version__":
        return _version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _version():
    # The installed distribution's version when this package is the one it
    # installed; else (a build tree) the version the build read from
    # pyproject.toml.
    import importlib.metadata
    import pathlib

    try:
        dist = importlib.metadata.distribution(__name__)
        if pathlib.Path(dist.locate_file(f"{__name__}/__init__.py")).resolve() == \
                pathlib.Path(__file__).resolve():
            return dist.version
    except importlib.metadata.PackageNotFoundError:
        pass
    from fennik._build_version import VERSION

    return VERSION
