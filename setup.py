"""Build of quorvex's extension modules.

One table maps each module's dotted name to its own source; the frame and, for the data
modules, the request pipeline are compiled into every module, so no module loads another.
"""
import os

from setuptools import Extension, setup

FRAME = ["frame/module_frame.cpp", "frame/function_object.cpp"]
PIPELINE = ["pipeline/request_pipeline.cpp"]

MODULES = {
    "quorvex.process_stock.foreign": ["quorvex/process_stock/foreign.cpp"] + PIPELINE,
    "quorvex.process_stock.matchBook": ["quorvex/process_stock/matchBook.cpp"] + PIPELINE,
    "quorvex.process_stock.dealerDesk": ["quorvex/process_stock/dealerDesk.cpp"] + PIPELINE,
    "quorvex.process_stock.pricebars": ["quorvex/process_stock/pricebars.cpp"] + PIPELINE,
    "quorvex.process_stock.dividend": ["quorvex/process_stock/dividend.cpp"] + PIPELINE,
    "quorvex.config.require_session": ["quorvex/config/require_session.cpp"],
}

# The one place that names the language standard (tests/test_versions.py reads it here).
CXX_STANDARD = "c++20"
FLAGS = [f"-std={CXX_STANDARD}", "-fvisibility=hidden",
         "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion"]
LINK_FLAGS = []
if os.environ.get("QUORVEX_WERROR") == "1":
    FLAGS.append("-Werror")
if os.environ.get("QUORVEX_SANITIZE") == "1":
    FLAGS += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    LINK_FLAGS += ["-fsanitize=address,undefined"]
if os.environ.get("QUORVEX_DEBUG") == "1":
    FLAGS += ["-O0", "-g", "-UNDEBUG"]

setup(
    ext_modules=[
        Extension(
            name,
            sources=sources + FRAME,
            depends=["frame/compat.h", "frame/ref.h", "frame/module_frame.h",
                     "frame/function_object.h", "pipeline/request_pipeline.h"],
            extra_compile_args=FLAGS,
            extra_link_args=LINK_FLAGS,
            language="c++",
        )
        for name, sources in MODULES.items()
    ],
)
