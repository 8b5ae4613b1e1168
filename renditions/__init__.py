"""The Python that quorvex's compiled modules behave like, one file per module.

Each file stands at the lines that the module's C++ tables cite: the `def` of its
function, every step the function reports in a traceback, and the module-level
statements its import runs. The files are read by the tests (`tests/test_renditions.py`)
and measured by the benchmark; they travel in the sdist, never in a wheel, and are not
imported as a package by anything installed."""
