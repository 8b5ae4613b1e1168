"""The Python renditions in renditions/ stand where the compiled modules' tables say: each
function's first line, the line of each step, its local names and the module-level
statements; and each rendition returns what its compiled function returns."""

import ast
import importlib
import importlib.util
import sys

import pandas as pd
import pytest

from quorvex.datasets import DATASETS
from source_tables import PIPELINE, SOURCE_ROOT, source_of, table

RENDITIONS = SOURCE_ROOT / "renditions"

pytestmark = pytest.mark.skipif(
    not (SOURCE_ROOT / "frame").is_dir() or not RENDITIONS.is_dir(),
    reason="the C++ sources and renditions are not next to the tests (an installed package)",
)

# module (dotted): its public function; one rendition each
MODULES = {
    **{dataset.module: dataset.function for dataset in DATASETS.values()},
    "quorvex.config.require_session": "require_session",
}
# Module-level statements of a rendition that its compiled module has not: the import of
# the renditions' own helpers, the binding's exact-str check, and `__test__` (which the
# compiled module binds too, after the statements its tables list).
RENDITION_ONLY = ("renditions.answers", "get_pricebars = exact_str(get_pricebars)", "__test__ = {}")


def rendition_path(module):
    return RENDITIONS / (module.rsplit(".", 1)[1] + ".py")


def parse(module):
    return ast.parse(rendition_path(module).read_text(encoding="utf-8"))


def function_node(tree, name):
    (node,) = [n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef) and n.name == name]
    return node


def first_line(node):
    """The line a function's code starts at: its first decorator's, else its `def`'s."""
    return min([node.lineno] + [d.lineno for d in node.decorator_list])


def cited_lines(module):
    """{step: line} of every line the module's tables cite for its function's steps."""
    path = source_of(module)
    if module.endswith("require_session"):
        return table(path, "step_lines")
    try:
        series = table(path, "series")
    except LookupError:
        return {**table(path, "endpoint")["lines"], **table(path, "step_lines")}
    regroup, scaling = series["regroup"], series.get("scaling", {})
    lines = {**series["endpoint"]["lines"], "regroup": regroup["line"], "ticker": regroup["ticker_line"]}
    for key, step in (("dict_line", "aggregations"), ("filter_line", "filter")):
        if key in regroup:
            lines[step] = regroup[key]
    if scaling:
        lines.update(cols=scaling["list_line"], scale=scaling["line"])
    return lines


def _calls(node, attribute):
    return [n for n in ast.walk(node) if isinstance(n, ast.Call) and getattr(n.func, "attr", None) == attribute]


def _assigned(node, name):
    return [n for n in ast.walk(node) if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == name]


def _compares(node, text):
    return [n for n in ast.walk(node) if isinstance(n, ast.Compare) and text in ast.unparse(n)]


def _get_call(fn):
    return [n for n in _calls(fn, "get") if ast.unparse(n.func) == "requests.get"]


def _table_call(fn):
    """The outermost call that decodes the answer: the one that makes the table."""
    calls = [n for n in ast.walk(fn) if isinstance(n, ast.Call) and "response.json()" in ast.unparse(n)]
    return calls[:1]


# How a step is found in a rendition's function: the nodes it may be (exactly one).
LOCATE = {
    "client": lambda fn: _assigned(fn, "client"),
    "headers": lambda fn: _assigned(fn, "headers"),
    "url": lambda fn: _assigned(fn, "url"),
    "params": lambda fn: _assigned(fn, "params"),
    "get": _get_call,
    "get_kwargs": lambda fn: [call.keywords[0] for call in _get_call(fn)],
    "status": lambda fn: _compares(fn, "response.status_code == 200"),
    "table": lambda fn: _table_call(fn),
    "to_datetime": lambda fn: _calls(fn, "to_datetime"),
    "set_index": lambda fn: _calls(fn, "set_index"),
    "period": lambda fn: _compares(fn, "period != 'D'"),
    "regroup": lambda fn: _calls(fn, "resample"),
    "aggregations": lambda fn: [call.args[0] for call in _calls(fn, "agg")],
    "filter": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Attribute) and n.attr == "loc"],
    "ticker": lambda fn: _calls(fn, "insert"),
    "cols": lambda fn: _assigned(fn, "cols"),
    "scale": lambda fn: _assigned(fn, "data[cols]"),
    "fail": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Raise)],
    "replace": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Attribute) and ast.unparse(n) == "np.nan"],
    # the login guard
    "closure": lambda fn: [fn],
    "wraps": lambda fn: [d for n in ast.walk(fn) if isinstance(n, ast.FunctionDef) for d in n.decorator_list],
    "token": lambda fn: _compares(fn, "client.token is None"),
    "refusal": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Raise)],
    "call": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Return) and "func(" in ast.unparse(n)],
}


def local_names(fn):
    """A function's local names in the order its code object lists them: parameters, then
    names as they are first bound (the names its inner functions only read stay out)."""
    args = fn.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    names += [a.arg for a in (args.vararg, args.kwarg) if a]
    nested = [child for child in fn.body if isinstance(child, ast.FunctionDef)]
    inner = {id(n) for child in nested for n in ast.walk(child) if n is not child}
    for node in sorted(
        (n for n in ast.walk(fn) if id(n) not in inner and n is not fn),
        key=lambda n: (getattr(n, "lineno", 0), getattr(n, "col_offset", 0)),
    ):
        stored = isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store)
        name = node.id if stored else node.name if isinstance(node, ast.FunctionDef) else None
        if name and name not in names:
            names.append(name)
    return names


def compiled_statements(module):
    """{line: statement} of the module-level statements the compiled module's import runs,
    as Python source, `def` included."""
    path = source_of(module)
    sources = [path] + ([PIPELINE] if "process_stock" in path else [])
    names = {
        entry["slot"]: entry["utf8"]
        for source in sources
        for entry in table(source, "own_strings" if source == path else "strings")
        if entry
    }
    statements = {}
    for source, name in zip(sources, ("own_statements", "imports")):
        try:
            rows = table(source, name)
        except LookupError:
            continue
        for row in filter(None, rows):
            imported, bound = names[row["module"]], names[row["name"]]
            if row["kind"].endswith("ImportFrom"):
                statements[row["line"]] = f"from {imported} import {bound}"
            else:
                statements[row["line"]] = f"import {imported}" + (f" as {bound}" if bound != imported else "")
    spec = table(path, f"{MODULES[module]}_spec")
    statements[spec["first_line"]] = f"def {MODULES[module]}"
    return statements


def rendition_statements(tree):
    found = {}
    for node in tree.body:
        text = f"def {node.name}" if isinstance(node, ast.FunctionDef) else ast.unparse(node)
        if not any(extra in text for extra in RENDITION_ONLY):
            found[first_line(node) if isinstance(node, ast.FunctionDef) else node.lineno] = text
    return found


@pytest.mark.parametrize("module", MODULES)
def test_rendition_stands_at_the_cited_lines(module):
    tree = parse(module)
    fn = function_node(tree, MODULES[module])
    spec = table(source_of(module), f"{MODULES[module]}_spec")
    assert (fn.lineno, first_line(fn)) == (spec["first_line"],) * 2
    assert rendition_statements(tree) == compiled_statements(module)
    found = {}
    for step in cited_lines(module):
        nodes = LOCATE[step](fn)
        assert nodes, f"no node for the step {step}"
        found[step] = sorted({n.lineno for n in nodes})
    assert found == {step: [line] for step, line in cited_lines(module).items()}


def test_guard_wrapper_stands_at_its_lines():
    tree = parse("quorvex.config.require_session")
    wrapper = function_node(tree, "wrapper")
    spec = table(source_of("quorvex.config.require_session"), "wrapper_spec")
    assert first_line(wrapper) == spec["first_line"]
    assert local_names(wrapper) == ["args", "kwargs", "client"]


def _varnames(module, function):
    return importlib.import_module(module).__dict__[function].__code__.co_varnames


@pytest.mark.parametrize("module", MODULES)
def test_rendition_names_the_compiled_locals(module, renditions):
    name = MODULES[module]
    compiled = _varnames(module, name)
    fn = function_node(parse(module), name)
    rendition = getattr(renditions[module], name)
    rendition = getattr(rendition, "__wrapped__", rendition)
    # The compiled decorator lists `wrapper` twice, as the code it was made from did; a
    # Python function lists each name once.
    expected = tuple(dict.fromkeys(compiled))
    assert tuple(local_names(fn)) == rendition.__code__.co_varnames == expected
    assert rendition.__code__.co_firstlineno == importlib.import_module(module).__dict__[name].__code__.co_firstlineno


# --- behaviour ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def renditions():
    """{dotted module name: its rendition, imported}. The renditions import their helpers
    from the package renditions/, which is put in sys.modules for that time only (the
    benchmark's own module of that name stays there)."""
    saved = sys.modules.get("renditions")
    spec = importlib.util.spec_from_file_location(
        "renditions", RENDITIONS / "__init__.py", submodule_search_locations=[str(RENDITIONS)]
    )
    package = sys.modules["renditions"] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(package)
    try:
        loaded = {}
        for module in MODULES:
            name = "renditions." + module.rsplit(".", 1)[1]
            sys.modules.pop(name, None)
            loaded[module] = importlib.import_module(name)
        return loaded
    finally:
        for module in MODULES:
            sys.modules.pop("renditions." + module.rsplit(".", 1)[1], None)
        if saved is None:
            sys.modules.pop("renditions", None)
        else:
            sys.modules["renditions"] = saved


UNIT = {dataset.module: 1e6 for dataset in DATASETS.values() if dataset.has_unit}
CALLS = [(d.module, period) for d in DATASETS.values() for period in (("D", "W") if d.has_period else (None,))]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("module, period", CALLS, ids=[f"{m.rsplit('.', 1)[1]}-{p}" for m, p in CALLS])
def test_rendition_returns_the_compiled_table(renditions, sample_service, monkeypatch, module, period):
    from quorvex.config import config
    from quorvex.process_client.login import Client

    compiled, rendition = importlib.import_module(module), renditions[module]
    for mod in (config, compiled, rendition):
        monkeypatch.setattr(mod, "base_url", sample_service)
    Client().login("demo", "demo")
    # FPT's dividend events of 2023 hold "-" cells, which both make NaN (NaT as dates).
    args = (
        ["FPT", "2023-07-01", "2024-03-31"] + ([period] if period else []) + ([UNIT[module]] if module in UNIT else [])
    )
    name = MODULES[module]
    pd.testing.assert_frame_equal(getattr(compiled, name)(*args), getattr(rendition, name)(*args))
