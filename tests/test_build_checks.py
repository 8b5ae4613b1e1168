"""What the compiler refuses: a module whose function has more parameters than the binding
buffer holds does not build."""

import os
import re
import shutil
import subprocess
import sysconfig

import pytest

from source_tables import CXX_STANDARD, SOURCE_ROOT

MAX_PARAMS = int(
    re.search(r"constexpr int max_params = (\d+);", (SOURCE_ROOT / "frame/function_object.h").read_text())[1]
)

# A module description with one function of {argcount} parameters, made the way every
# module makes its own: through the pipeline's data_module or the frame's checked.
MODULE = """
#include "quorvex/process_stock/pipeline/request_pipeline.h"

namespace trial {{
PyObject *str_name, *code;
PyObject **const varnames[] = {{nullptr}};
constexpr quorvex::frame::FunctionSpec spec = {{
    .name = &str_name,
    .qualname = &str_name,
    .varnames = varnames,
    .argcount = {argcount},
    .flags = 0,
    .first_line = 1,
    .traceback_name = "trial.f",
    .code = &code,
}};
}}  // namespace trial

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = {make}({{
    .short_name = "trial",
    .dotted_name = "trial",
    {first_line}.function = &trial::spec,
}});
"""
MAKERS = {"data_module": ("pipeline::data_module", ""), "checked": ("checked", ".first_line = 1,\n    ")}


@pytest.mark.timeout(300)
@pytest.mark.parametrize("maker", MAKERS)
@pytest.mark.parametrize("argcount, builds", [(MAX_PARAMS, True), (MAX_PARAMS + 1, False)])
def test_parameter_count_is_checked_while_compiling(tmp_path, maker, argcount, builds):
    compiler = shutil.which("g++")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("needs g++ and Python.h")
    make, first_line = MAKERS[maker]
    source = tmp_path / "trial.cpp"
    source.write_text(MODULE.format(argcount=argcount, make=make, first_line=first_line))
    done = subprocess.run(
        [compiler, f"-std={CXX_STANDARD}", "-fsyntax-only", f"-I{include}", f"-I{SOURCE_ROOT}", str(source)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert (done.returncode == 0) == builds, done.stderr
    assert builds or "more parameters than the binding buffer holds" in done.stderr
