"""A source build that cannot succeed stops with one line saying what to do: on an
interpreter the package does not support (another version, or a free-threaded build), and
on a machine without a C++ compiler."""

import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

SOURCE_ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_FILES = ["setup.py", "pyproject.toml", "README.md", "LICENSE", "MANIFEST.in"]
BUILD_DIRS = ["quorvex", "frame"]
# Compiler and preprocessor names, bare, versioned or with a target prefix
# (x86_64-linux-gnu-g++-14).
COMPILERS = re.compile(r"(^|-)(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|clang-cpp)(-[\d.]+)?$")

pytestmark = pytest.mark.skipif(
    not (SOURCE_ROOT / "setup.py").exists(), reason="the build files are not next to the tests"
)


@pytest.fixture
def source_copy(tmp_path):
    """The files a source build reads, copied, so that a build writes nothing into the tree."""
    for name in BUILD_FILES:
        shutil.copy(SOURCE_ROOT / name, tmp_path / name)
    for name in BUILD_DIRS:
        shutil.copytree(
            SOURCE_ROOT / name, tmp_path / name, ignore=shutil.ignore_patterns("*.so", "*.o", "__pycache__")
        )
    return tmp_path


def unsupported_pythons():
    """CPython interpreters on this machine outside 3.9 to 3.15."""
    found = {}
    for minor in (6, 7, 8, 16):
        pyenv = sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/3.{minor}.*/bin/python3.{minor}")))
        candidates = [shutil.which(f"python3.{minor}"), *pyenv]
        paths = [path for path in candidates if path]
        if paths:  # one interpreter per version: the last one found
            found[minor] = paths[-1]
    return sorted(found.values())


@pytest.mark.timeout(120)
def test_unsupported_interpreter_is_refused_in_one_line(source_copy):
    pythons = unsupported_pythons()
    if not pythons:
        pytest.skip("no CPython outside 3.9 to 3.15 on this machine")
    for python in pythons:
        command = [python, "setup.py", "build_ext"]
        done = subprocess.run(command, cwd=source_copy, capture_output=True, text=True, timeout=60)
        assert done.returncode == 1 and done.stdout == "", done
        refusal = r"error: quorvex supports CPython 3\.9 to 3\.15; this is CPython 3\.\d+\n"
        assert re.fullmatch(refusal, done.stderr), done.stderr


# setup.py run as pip runs it, on this interpreter made to look free-threaded.
FREE_THREADED = """
import runpy, sys, sysconfig
real = sysconfig.get_config_var
sysconfig.get_config_var = lambda name: 1 if name == "Py_GIL_DISABLED" else real(name)
sys.argv = ["setup.py", "build_ext"]
runpy.run_path("setup.py", run_name="__main__")
"""


@pytest.mark.timeout(120)
def test_free_threaded_interpreter_is_refused_in_one_line(source_copy):
    command = [sys.executable, "-c", FREE_THREADED]
    done = subprocess.run(command, cwd=source_copy, capture_output=True, text=True, timeout=60)
    version = "%d.%d" % sys.version_info[:2]
    assert (done.returncode, done.stdout) == (1, ""), done
    assert done.stderr == (
        f"error: quorvex supports CPython 3.9 to 3.15 with the GIL; this is the free-threaded "
        f"CPython {version}t, use the standard build\n"
    )
    assert not (source_copy / "build").exists()


def test_compiler_names_are_recognised():
    compilers = ["cc", "g++", "gcc-12", "clang++-18", "cpp", "clang-cpp-16", "x86_64-linux-gnu-g++"]
    compilers += ["x86_64-linux-gnu-gcc-14", "aarch64-linux-gnu-cpp", "x86_64-linux-gnu-c++"]
    others = ["ccache", "distcc", "gcc-ar", "gcc-nm-12", "x86_64-linux-gnu-ld", "python3.14", "g++fix"]
    assert [name for name in compilers if not COMPILERS.search(name)] == []
    assert [name for name in others if COMPILERS.search(name)] == []


@pytest.mark.timeout(600)
@pytest.mark.skipif(sys.version_info < (3, 12), reason="one build on the newest interpreters is enough")
def test_source_build_without_compiler_names_what_to_install(source_copy, tmp_path_factory):
    bin_dir = tmp_path_factory.mktemp("bin")
    for entry in os.environ["PATH"].split(os.pathsep):
        for program in glob.glob(os.path.join(entry, "*")):
            name = os.path.basename(program)
            if not COMPILERS.search(name) and not (bin_dir / name).exists() and os.access(program, os.X_OK):
                os.symlink(program, bin_dir / name)
    env = {key: value for key, value in os.environ.items() if key not in ("CC", "CXX")}
    env.update(PATH=str(bin_dir), PIP_DISABLE_PIP_VERSION_CHECK="1")
    wheel_dir = tmp_path_factory.mktemp("wheel")
    done = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheel_dir), str(source_copy)],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=540,
        env=env,
    )
    assert done.returncode != 0
    lines = [line.strip() for line in done.stdout.splitlines()]
    # The build's own output, as pip frames it, ends with the refusal.
    refusal = lines[lines.index("[end of output]") - 1]
    assert re.fullmatch(
        r"error: no compiler '\S*g\+\+' on PATH: building quorvex from source "
        r"needs a C\+\+\d\d compiler and the Python headers \(on Debian or Ubuntu: "
        r"apt-get install g\+\+ python3-dev\), or install a prebuilt wheel: "
        r"pip install --only-binary=quorvex quorvex",
        refusal,
    ), done.stdout
