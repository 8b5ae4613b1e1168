"""help(quorvex) is a page a person reads: short, naming every public name, without the
methods every exception inherits nor the package's own machinery; hiding those loses
no name a caller uses."""

import inspect
import pydoc
import re

import pytest

import quorvex

# A screenful or three: the function list plus the public functions' own summaries.
MAX_LINES = 200


@pytest.fixture(scope="module")
def page():
    return pydoc.render_doc(quorvex, renderer=pydoc.plaintext)


def section(page, title):
    """The lines of the page's ``title`` section (up to the next heading)."""
    found = re.search(rf"^{title}\n(.*?)(?=^[A-Z][A-Z ]+\n|\Z)", page, re.MULTILINE | re.DOTALL)
    return found.group(1) if found else ""


def test_the_page_is_short_and_names_every_public_name(page):
    """A new public name missing from the overview, or the page growing back into
    hundreds of lines, is caught."""
    lines = page.splitlines()
    assert len(lines) <= MAX_LINES, len(lines)
    overview = section(page, "DESCRIPTION")
    missing = [name for name in quorvex.__all__ if not re.search(rf"\b{name}\b", overview)]
    assert not missing
    documented = set(re.findall(r"^    (\w+)\(", section(page, "FUNCTIONS"), re.MULTILINE))
    functions = {name for name in quorvex.__all__ if inspect.isroutine(getattr(quorvex, name))}
    assert documented == functions


@pytest.mark.parametrize(
    "noise",
    [
        "inherited from",  # an exception class's inherited methods, ~85 lines of them
        "Method resolution order",
        "__dir__(",
        "__getattr__(",
        "__annotations__",
        "_datasets",  # a private import listed as a submodule
    ],
)
def test_the_page_has_no_machinery(page, noise):
    assert noise not in page


def test_every_public_name_is_still_reachable():
    """Hiding a name from the page must not take it from callers: star imports, ``dir``
    for completion (the exception class aside) and attribute access all still work."""
    namespace = {}
    exec("from quorvex import *", namespace)
    assert set(quorvex.__all__) <= set(namespace)
    assert issubclass(namespace["DownloadError"], Exception)
    assert quorvex.DownloadError is namespace["DownloadError"]
    listed = dir(quorvex)
    assert set(quorvex.__all__) - {"DownloadError"} <= set(listed)
    assert "__version__" in listed and "__all__" in listed
