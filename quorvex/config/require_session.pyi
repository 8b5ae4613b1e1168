"""The login guard: a decorator that refuses calls while no one is logged in."""

from typing import Callable, TypeVar

from typing_extensions import ParamSpec

_P = ParamSpec("_P")
_R = TypeVar("_R")

__test__: dict[str, object]
"""Doctest's table of extra tests: empty."""

def require_session(func: Callable[_P, _R]) -> Callable[_P, _R]:
    """Wrap ``func`` so that each call first checks that a login token is held.

    Returns:
        A wrapper that takes the arguments of ``func`` and returns its result
        unchanged. It carries ``func``'s name, qualified name, module, docstring
        and annotations, and ``func`` as ``__wrapped__``.

    Every call of the wrapper makes a new ``Client()`` and reads its ``token``:
    while it is ``None`` the call raises ``Exception("Chưa đăng nhập. Vui lòng
    đăng nhập trước.")`` (exactly the built-in ``Exception``) and ``func`` is not
    called. Any other token, even an empty one, lets the call through. The check
    runs at every call, not when decorating; ``func`` is not checked either, so
    a non-callable fails only when a guarded call reaches it.

    Raises:
        TypeError: ``require_session`` called without exactly one argument
            ``func``.
    """
