"""A small program worth tracing: named worker threads, a generator
pipeline, a recursive function and an exception that is caught.

    python3 -m fennik run -o OUTPUT examples/demo.py
    python3 examples/demo.py OUTPUT [FORMAT] [RECORD_LAST_MB]

The first is traced by the command line; the second traces itself into OUTPUT in FORMAT (protobuf, json or pprof). Given
RECORD_LAST_MB, it keeps only that many megabytes of the latest events and
writes them, when it ends, as one dump file in the directory OUTPUT.
"""

import sys
import threading

import fennik


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def numbers(limit):
    for i in range(limit):
        yield i


def squares(values):
    for v in values:
        yield v * v


def parse(text):
    return int(text)


def parse_or_default(text, default=0):
    try:
        return parse(text)
    except ValueError:
        return default


def worker(rounds):
    total = 0
    for _ in range(rounds):
        total += sum(squares(numbers(50)))
        total += parse_or_default("not a number")
    return total


def main():
    threads = [
        threading.Thread(target=worker, args=(200,), name=f"worker-{i}") for i in range(2)
    ]
    for t in threads:
        t.start()
    fib(18)
    for t in threads:
        t.join()


if __name__ == "__main__":
    if len(sys.argv) < 2:  # run by `fennik run`, which traces it
        main()
        sys.exit()
    output = sys.argv[1]
    fmt = sys.argv[2] if len(sys.argv) > 2 else "protobuf"
    record_last_mb = int(sys.argv[3]) if len(sys.argv) > 3 else None
    with fennik.Tracer(output, format=fmt, record_last_mb=record_last_mb):
        main()
