"""Module-level names are read at every call, whatever way the module's dict changes
between calls: each call site may cache a value only while the dict is unchanged."""

import builtins

import pytest

import quorvex.process_stock.matchBook as module
from helpers import run_python


class Used(Exception):
    pass


def stand_in(tag):
    class Client:
        def __init__(self):
            raise Used(tag)

    return Client


def client_used():
    with pytest.raises(Exception) as caught:
        module.get_match_book("FPT", "2024-01-01", "2024-01-31", "D")
    return caught.value.args[0] if caught.type is Used else caught.type


def shadow_builtin(namespace):
    del namespace["Client"]
    assert client_used() == "builtin"
    namespace["Client"] = stand_in("new")


CHANGES = {
    "set_attribute": lambda namespace: setattr(module, "Client", stand_in("new")),
    "update": lambda namespace: namespace.update(Client=stand_in("new")),
    "set_item": lambda namespace: namespace.__setitem__("Client", stand_in("new")),
    "shadow_builtin": shadow_builtin,
}


@pytest.mark.parametrize("name", CHANGES)
def test_change_takes_effect_at_the_next_call(monkeypatch, name):
    change = CHANGES[name]
    namespace = vars(module)
    monkeypatch.setitem(namespace, "Client", stand_in("old"))
    monkeypatch.setattr(builtins, "Client", stand_in("builtin"), raising=False)
    for _ in range(3):  # the call site's cache is warm
        assert client_used() == "old"
    change(namespace)
    assert client_used() == "new"
    del namespace["Client"]
    monkeypatch.delattr(builtins, "Client")
    assert client_used() is NameError


def test_without_a_free_dict_watcher_names_are_still_read_at_every_call():
    # From 3.12 the cache rests on a dict watcher; with every slot taken it is off.
    source = r"""
import ctypes, json, sys
taken = []
if sys.version_info >= (3, 12):
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p)(lambda *a: 0)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes, add.restype = [ctypes.c_void_p], ctypes.c_int
    while True:
        try:  # pythonapi raises the interpreter's error once no slot is left
            taken.append(add(ctypes.cast(callback, ctypes.c_void_p)))
        except RuntimeError:
            break
import quorvex.process_stock.matchBook as module
seen = []
for tag in ("a", "a", "b"):
    class Client:
        def __init__(self, tag=tag):
            raise LookupError(tag)
    if tag != "a" or not seen:
        module.Client = Client
    try:
        module.get_match_book("FPT", "x", "y", "D")
    except LookupError as error:
        seen.append(error.args[0])
print(json.dumps([seen, bool(taken) == (sys.version_info >= (3, 12))]))
"""
    assert run_python(source) == [["a", "a", "b"], True]
