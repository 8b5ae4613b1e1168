"""Build of quorvex's extension modules.

One table maps each module's dotted name to its own source; the frame and, for the data
modules, the request pipeline are compiled into every module, so no module loads another.
Compiler flags are chosen per compiler family when the build starts (GCC and Clang take
the same ones; MSVC has its own), and a build that cannot succeed on this machine (an
unsupported or free-threaded interpreter, no C++ compiler, no Python headers) stops with
one line that says what is missing.
"""

import os
import platform
import shutil
import sys
import sysconfig

# The language standard the sources are written in, used for the flags and the messages.
CXX_STANDARD = 20
# The CPython versions whose C API the frame's compatibility layer knows.
PYTHON_VERSIONS = [(3, 9), (3, 10), (3, 11), (3, 12), (3, 13), (3, 14), (3, 15)]


def _version_text(version):
    return ".".join(map(str, version))


def check_interpreter():
    """Stops on a Python the compatibility layer has not been written for, before any
    metadata is read, so that an sdist install says why in one line."""
    running = sys.version_info[:2]
    supported = f"CPython {_version_text(PYTHON_VERSIONS[0])} to {_version_text(PYTHON_VERSIONS[-1])}"
    if platform.python_implementation() != "CPython" or running not in PYTHON_VERSIONS:
        raise SystemExit(
            f"error: quorvex supports {supported}; this is {platform.python_implementation()} {_version_text(running)}"
        )
    # The modules rely on the GIL (process-wide state and types) and have not been tested
    # without it.
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        raise SystemExit(
            f"error: quorvex supports {supported} with the GIL; this is the free-threaded "
            f"CPython {_version_text(running)}t, use the standard build"
        )


check_interpreter()

# setuptools provides distutils (the standard library's is gone from 3.12 on).
from distutils.ccompiler import new_compiler  # noqa: E402
from distutils.sysconfig import customize_compiler  # noqa: E402

from setuptools import Extension, setup  # noqa: E402  (after the interpreter check)
from setuptools.command.build import build  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402

FRAME = ["frame/module_frame.cpp", "frame/function_object.cpp"]
PIPELINE = ["quorvex/process_stock/pipeline/request_pipeline.cpp"]
HEADERS = [
    "frame/compat.h",
    "frame/ref.h",
    "frame/module_frame.h",
    "frame/function_object.h",
    "quorvex/process_stock/pipeline/request_pipeline.h",
]


def _registry():
    """quorvex/datasets.py, read by path: the package cannot be imported before it is built."""
    import importlib.util

    here = os.path.dirname(os.path.abspath(__file__))
    spec = importlib.util.spec_from_file_location("_quorvex_datasets", os.path.join(here, "quorvex", "datasets.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Each data set of the registry is one module of the pipeline; the login guard has the frame alone.
MODULES = {
    **{
        dataset.module: [dataset.module.replace(".", "/") + ".cpp"] + PIPELINE
        for dataset in _registry().DATASETS.values()
    },
    "quorvex.config.require_session": ["quorvex/config/require_session.cpp"],
}
# The decoder of download's bulk path: plain C++ of its own (no frame, no pipeline), also
# built alone under a fuzzer (scripts/fuzz.sh).
DECODER = {"quorvex._rows": ["quorvex/_rows.cpp", "decoder/rows.cpp"]}
DECODER_HEADERS = ["decoder/rows.h", "frame/ref.h"]

WHEELS_HINT = "or install a prebuilt wheel: pip install --only-binary=quorvex quorvex"


def _executable(command):
    """The program a compiler command line runs, past launchers such as ccache."""
    words = command.split() if isinstance(command, str) else list(command or [])
    while words and os.path.basename(words[0]) in ("ccache", "sccache", "distcc", "env"):
        words = words[1:]
    return words[0] if words else None


def check_toolchain(compiler):
    """Stops the build with one line when the C++ compiler or Python.h is missing."""
    needs = (
        f"building quorvex from source needs a C++{CXX_STANDARD} compiler and the "
        f"Python headers (on Debian or Ubuntu: apt-get install g++ python3-dev), "
        f"{WHEELS_HINT}"
    )
    if compiler.compiler_type == "unix":
        # The commands that compile and link C++: their own attributes in newer
        # setuptools, the C compiler's and `compiler_cxx` in older ones.
        names = (
            ["compiler_so_cxx", "linker_so_cxx"]
            if hasattr(compiler, "compiler_so_cxx")
            else ["compiler_so", "compiler_cxx"]
        )
        programs = [_executable(getattr(compiler, name)) for name in names]
        missing = [program for program in programs if program and not shutil.which(program)]
        if missing:
            raise SystemExit(f"error: no compiler '{missing[0]}' on PATH: {needs}")
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        raise SystemExit(f"error: no Python.h in {include}: {needs}")


def compile_flags(compiler_type):
    """Compile and link flags for a compiler family, from the QUORVEX_* environment."""
    werror = os.environ.get("QUORVEX_WERROR") == "1"
    if compiler_type == "msvc":
        flags = [f"/std:c++{CXX_STANDARD}", "/permissive-", "/Zc:__cplusplus", "/utf-8", "/W4"]
        return flags + (["/WX"] if werror else []), []
    flags = [
        f"-std=c++{CXX_STANDARD}",
        "-fvisibility=hidden",
        "-Wall",
        "-Wextra",
        "-Wpedantic",
        "-Wshadow",
        "-Wconversion",
        # Sized operator delete is a newer C++ runtime symbol (CXXABI_1.3.9) than the
        # manylinux2014 wheels may need; the plain one frees the same memory.
        "-fno-sized-deallocation",
    ]
    link = []
    if werror:
        flags.append("-Werror")
    if os.environ.get("QUORVEX_SANITIZE") == "1":
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
        link += ["-fsanitize=address,undefined"]
    if os.environ.get("QUORVEX_DEBUG") == "1":
        flags += ["-O0", "-g", "-UNDEBUG"]
    return flags, link


class Build(build):
    def run(self):
        # Before build_py, so that a refusal is the last line of the build's output.
        compiler = new_compiler(compiler=self.get_finalized_command("build_ext").compiler)
        customize_compiler(compiler)
        check_toolchain(compiler)
        super().run()


class BuildExt(build_ext):
    def build_extensions(self):
        check_toolchain(self.compiler)
        flags, link = compile_flags(self.compiler.compiler_type)
        for extension in self.extensions:
            extension.extra_compile_args = flags
            extension.extra_link_args = link
        super().build_extensions()


setup(
    cmdclass={"build": Build, "build_ext": BuildExt},
    ext_modules=[
        Extension(name, sources=sources + FRAME, depends=HEADERS, language="c++") for name, sources in MODULES.items()
    ]
    + [Extension(name, sources=sources, depends=DECODER_HEADERS, language="c++") for name, sources in DECODER.items()],
)
