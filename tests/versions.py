# What the supported CPython versions (3.13 to 3.15) differ in, as the tests
# meet it: a test that needs what its interpreter lacks skips, saying why.

import sys

import pytest


def since(version, what):
    return pytest.mark.skipif(sys.version_info < version,
                              reason=f"{what} is new in {version[0]}.{version[1]}")


SUBINTERPRETERS = since((3, 14), "concurrent.interpreters (3.13 has only the private _interpreters)")
REMOTE_EXEC = since((3, 14), "sys.remote_exec")
