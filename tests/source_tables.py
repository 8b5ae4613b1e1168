"""Values the tests share with the C++ sources, read from those sources.

The lines the login guard's steps report, the line of each `def` and of each module-level
statement are written once, in the designated initializers of the modules' static tables
(`.first_line = 9`, `.lines = {.client = 10, ...}`); the tests read them here rather than
repeating the numbers. So is the C++ standard, from setup.py. The lines of the data
functions' steps, which a user sees in every traceback, are written out in helpers.py."""

import ast
import functools
import pathlib
import re

SOURCE_ROOT = pathlib.Path(__file__).resolve().parent.parent
PIPELINE = "quorvex/process_stock/pipeline/request_pipeline.cpp"

CXX_STANDARD = "c++" + re.search(r"^CXX_STANDARD = (\d+)", (SOURCE_ROOT / "setup.py").read_text(), re.M)[1]


def source_of(module):
    """The C++ file of a module given by dotted name (or by its last part, for the data modules)."""
    dotted = module if "." in module else f"quorvex.process_stock.{module}"
    return dotted.replace(".", "/") + ".cpp"


@functools.lru_cache(maxsize=None)
def _tokens(path):
    text = (SOURCE_ROOT / path).read_text(encoding="utf-8")
    pattern = r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|[{}=,;]|\.\w+(?=\s*=)|[^\s{}=,;"/]+|/'
    return [t for t in re.findall(pattern, text, re.S) if not t.startswith(("//", "/*"))]


def table(path, name):
    """The initializer of the variable ``name`` in the C++ file ``path``, as Python values:
    a designated initializer gives a dict, a plain one a list, string literals (adjacent
    ones joined) a str, integer literals an int, anything else its source text."""
    tokens = _tokens(path)
    for at in range(len(tokens) - 2):
        if tokens[at] in (name, name + "[]") and tokens[at + 1] == "=" and tokens[at + 2] == "{":
            return _value(tokens, at + 2)[0]
    raise LookupError(f"no table {name} in {path}")


def _value(tokens, at):
    """(value, index after it) of the initializer or expression starting at tokens[at]."""
    if tokens[at] == "{":
        items, fields, at = [], {}, at + 1
        while tokens[at] != "}":
            if tokens[at].startswith(".") and tokens[at + 1] == "=":
                fields[tokens[at][1:]], at = _value(tokens, at + 2)
            else:
                value, at = _value(tokens, at)
                items.append(value)
            at += tokens[at] == ","
        return (fields if fields else items), at + 1
    parts = []
    while tokens[at] not in (",", "}", ";"):
        parts.append(tokens[at])
        at += 1
    if parts and all(p.startswith('"') for p in parts):
        return "".join(ast.literal_eval(p) for p in parts), at
    text = " ".join(parts)
    return (int(text) if re.fullmatch(r"-?\d+", text) else text), at


def def_line(module, function):
    """The line of ``function``'s `def` in ``module``."""
    return table(source_of(module), f"{function}_spec")["first_line"]


def guard_lines():
    """The lines the login guard's decorator and wrapper steps report."""
    return table(source_of("quorvex.config.require_session"), "step_lines")


def module_statements(module):
    """[(line, kind, imported module, name bound)] of the module-level import statements
    that ``module``'s tables list, its own and (for a data module) the pipeline's."""
    path = source_of(module)
    sources = [path] + ([PIPELINE] if "process_stock" in path else [])
    names = {
        entry["slot"]: entry["utf8"]
        for source in sources
        for entry in table(source, "own_strings" if source == path else "strings")
        if entry
    }
    return [
        (s["line"], s["kind"], names[s["module"]], names[s["name"]])
        for source, name in zip(sources, ("own_statements", "imports"))
        for s in _optional_table(source, name)
        if s
    ]


def statement_line(module, imported):
    """The line of the module-level statement of ``module`` that imports ``imported``
    (a module name, or the name taken from a module)."""
    found = [line for line, _, source, name in module_statements(module) if imported in (source, name)]
    assert len(found) == 1, (module, imported, found)
    return found[0]


def _optional_table(path, name):
    try:
        return table(path, name)
    except LookupError:
        return []
