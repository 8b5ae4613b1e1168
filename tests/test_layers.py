"""The layering of the package, imports by name included: every import, of a Python file
or through a compiled module's string table, goes to a lower layer, and the compiled
sources name the modules they import by name in their opening comment."""

import ast
import re

import pytest

from source_tables import SOURCE_ROOT

# The layers, lowest first; a module belongs to the longest prefix that names it.
LAYERS = [
    # tables, the address and the answer decoder: no quorvex import
    ["quorvex.datasets", "quorvex.config.config", "quorvex._rows"],
    ["quorvex"],  # the package root: the registry, the rest loaded on first use
    ["quorvex.process_client.login"],
    ["quorvex.store"],  # rows kept per login user
    ["quorvex.config.require_session", "quorvex.process_stock"],  # the compiled modules
    ["quorvex.remote.steps"],  # a call as steps
    ["quorvex.remote.multi"],  # many calls' steps at once
    ["quorvex.bulk"],  # download's bulk path
    # configure and download, by job: the policy, libcurl and requests' terms over it,
    # answers, one attempt, the configured client, configure, download, the package
    ["quorvex.remote.policy"],
    ["quorvex.remote.outcome"],
    ["quorvex.remote.curl"],
    ["quorvex.remote.transport"],
    ["quorvex.remote.answers"],
    ["quorvex.remote.attempt"],
    ["quorvex.remote.client"],
    ["quorvex.remote.configuration"],
    ["quorvex.remote.downloading"],
    ["quorvex.remote", "quorvex.service", "quorvex.chart"],
    ["quorvex.cli"],  # its modules import one another
    ["quorvex.__main__"],
]
RANK = {name: rank for rank, names in enumerate(LAYERS) for name in names}
# A string-table entry naming a module that the module imports when it is executed.
BY_NAME = re.compile(r'\.slot = &str_\w+_module,\s*\.utf8 = "([\w.]+)"')

pytestmark = pytest.mark.skipif(
    not (SOURCE_ROOT / "frame").is_dir(), reason="the C++ sources are not next to the tests (an installed package)"
)


def rank(module):
    parts = module.split(".")
    for end in range(len(parts), 0, -1):
        if ".".join(parts[:end]) in RANK:
            return RANK[".".join(parts[:end])]
    raise LookupError(module)


def dotted(path):
    relative = path.relative_to(SOURCE_ROOT).with_suffix("")
    parts = list(relative.parts)
    if parts[-1] == "__init__":
        parts.pop()
    if "pipeline" in parts:  # compiled into each data module
        parts = parts[: parts.index("pipeline")] + ["pipeline"]
    return ".".join(parts)


def python_imports(path):
    """The quorvex modules a Python file imports at run time (not those it names for type
    checkers only)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    typing_only = {
        id(inner)
        for node in ast.walk(tree)
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)
        for inner in ast.walk(node)
    }
    found = set()
    for node in ast.walk(tree):
        if id(node) in typing_only:
            continue
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            for alias in node.names:
                submodule = f"{node.module}.{alias.name}"
                base = SOURCE_ROOT / submodule.replace(".", "/")
                known = base.with_suffix(".py").exists() or (base / "__init__.py").exists()
                found.add(submodule if known else node.module)
    return {name for name in found if name == "quorvex" or name.startswith("quorvex.")}


def compiled_sources():
    return sorted((SOURCE_ROOT / "quorvex").rglob("*.cpp")) + sorted((SOURCE_ROOT / "quorvex").rglob("*.h"))


def edges():
    for path in sorted((SOURCE_ROOT / "quorvex").rglob("*.py")):
        for target in python_imports(path):
            yield dotted(path), target, path
    for path in compiled_sources():
        for target in BY_NAME.findall(path.read_text(encoding="utf-8")):
            yield dotted(path), target, path


def test_every_import_goes_down():
    seen = list(edges())
    assert len(seen) > 30
    for source, target, path in seen:
        if source.startswith("quorvex.cli") and target.startswith("quorvex.cli"):
            continue
        assert rank(target) < rank(source), f"{path.relative_to(SOURCE_ROOT)}: {source} imports {target}"


def test_the_frame_imports_nothing_of_the_package():
    for path in sorted((SOURCE_ROOT / "frame").iterdir()):
        assert not BY_NAME.findall(path.read_text(encoding="utf-8")), path.name


def test_imports_by_name_are_told_in_the_opening_comment():
    told = 0
    for path in compiled_sources():
        text = path.read_text(encoding="utf-8")
        by_name = BY_NAME.findall(text)
        header = path.with_suffix(".h") if path.suffix == ".cpp" and path.with_suffix(".h").exists() else path
        opening = " ".join(line[2:].strip() for line in header.read_text().splitlines() if line.startswith("//"))
        match = re.search(r"Imports, by name .*?: ([\w., ]+?)\.(?: |$)", opening)
        if by_name:
            assert match, f"{path.name} imports {by_name} by name without saying so"
            assert match[1].split(", ") == by_name, path.name
            told += 1
    assert told == 2  # the pipeline and the login guard
