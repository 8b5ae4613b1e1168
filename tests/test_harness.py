"""The leak check reports the faults it exists for: a leaked reference and a leaked object."""

import ctypes
import sys

import pytest

from helpers import LeakCheck
from test_leaks import _heap_frozen  # noqa: F401 (collections walk only the checks' objects)

_api = ctypes.pythonapi
_api.Py_IncRef.argtypes, _api.Py_IncRef.restype = [ctypes.py_object], None
_api.PyBytes_FromStringAndSize.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
_api.PyBytes_FromStringAndSize.restype = ctypes.c_void_p  # never released


@pytest.mark.parametrize(
    "leak, complaint",
    [
        (lambda value: _api.Py_IncRef(value), "refcount of argument"),
        pytest.param(
            lambda value: _api.PyBytes_FromStringAndSize(None, 64),
            "allocated blocks grew",
            marks=pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="no block count under PYTHONMALLOC=malloc"),
        ),
    ],
)
def test_leaks_are_reported(leak, complaint):
    with pytest.raises(AssertionError, match=complaint):
        LeakCheck(calls=40, max_rounds=6, warmup=2, settle=0)(leak, ["fresh", "list"])
    LeakCheck(calls=40, settle=0)(len, ["fresh", "list"])
