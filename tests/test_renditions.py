"""The Python renditions in renditions/ stand where the compiled modules' tables say: each
function's first line, the line of each step, its local names and the module-level
statements (what each rendition returns: tests/test_bench.py)."""

import ast
import importlib
import importlib.util

import pytest

from quorvex.datasets import DATASETS
from source_tables import SOURCE_ROOT, module_statements, source_of, table

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


def parse(module):
    return ast.parse((RENDITIONS / (module.rsplit(".", 1)[1] + ".py")).read_text(encoding="utf-8"))


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
    **{name: lambda fn, name=name: _assigned(fn, name) for name in ("client", "headers", "url", "params", "cols")},
    "get": _get_call,
    "get_kwargs": lambda fn: [call.keywords[0] for call in _get_call(fn)],
    "status": lambda fn: _compares(fn, "response.status_code == 200"),
    "table": _table_call,
    "to_datetime": lambda fn: _calls(fn, "to_datetime"),
    "set_index": lambda fn: _calls(fn, "set_index"),
    "period": lambda fn: _compares(fn, "period != 'D'"),
    "regroup": lambda fn: _calls(fn, "resample"),
    "aggregations": lambda fn: [call.args[0] for call in _calls(fn, "agg")],
    "filter": lambda fn: [n for n in ast.walk(fn) if isinstance(n, ast.Attribute) and n.attr == "loc"],
    "ticker": lambda fn: _calls(fn, "insert"),
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
    statements = {}
    for line, kind, imported, bound in module_statements(module):
        if kind.endswith("ImportFrom"):
            statements[line] = f"from {imported} import {bound}"
        else:
            statements[line] = f"import {imported}" + (f" as {bound}" if bound != imported else "")
    spec = table(source_of(module), f"{MODULES[module]}_spec")
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


@pytest.mark.parametrize("module", MODULES)
def test_rendition_names_the_compiled_locals(module, renditions):
    name = MODULES[module]
    compiled = importlib.import_module(module).__dict__[name].__code__
    fn = function_node(parse(module), name)
    rendition = getattr(renditions, name)
    rendition = getattr(rendition, "__wrapped__", rendition)
    # The compiled decorator lists `wrapper` twice, as the code it was made from did; a
    # Python function lists each name once.
    expected = tuple(dict.fromkeys(compiled.co_varnames))
    assert tuple(local_names(fn)) == rendition.__code__.co_varnames == expected
    assert rendition.__code__.co_firstlineno == compiled.co_firstlineno


@pytest.fixture(scope="module")
def renditions():
    """The renditions, run as the benchmark runs them (bench/renditions.py)."""
    from test_bench import bench_module

    return bench_module("renditions")
