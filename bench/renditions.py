"""Plain-Python renditions of the package's functions, the benchmark's Python side: the
files of renditions/ at the source root (one per compiled module, the same steps in the
same order at the lines the compiled tables cite, which tests/test_renditions.py holds
them to), run here in this module's namespace. The benchmark binds this module's globals
(`Client`, `base_url`, `requests`, `pd`, `np`) to the same objects as the compiled
modules' globals before it measures, and every rendition reads them from here.

The source root is not put on sys.path: its quorvex sources would shadow the installed
package. The renditions' shared helpers (renditions/answers.py) are loaded by path under
their own name, which the renditions import."""

import importlib.util
import os
import sys

from quorvex.datasets import DATASETS

ROOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "renditions")
# One file per registered data set, named as its module, and the login guard's.
MODULES = [dataset.module.rsplit(".", 1)[1] for dataset in DATASETS.values()] + ["require_session"]


def _helpers():
    """The module renditions.answers, loaded from its file unless already loaded."""
    name = "renditions.answers"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, os.path.join(ROOT, "answers.py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


_helpers()
for _name in MODULES:
    _path = os.path.join(ROOT, _name + ".py")
    with open(_path, encoding="utf-8") as _source:
        exec(compile(_source.read(), _path, "exec"), globals())
del _name, _path, _source
