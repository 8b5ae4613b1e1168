"""Benchmark of quorvex's compiled functions against plain-Python renditions of the same
steps, with requests, pandas, numpy and the login client replaced by the same trivial
Python stubs for both.

    python bench/bench.py [--short] [--json FILE] [CASE ...]

runs, with the interpreter that runs it and the quorvex installed for it:
  * per case, the median time per call of each (compiled, Python) and their ratio
    (skipped with --short);
  * per case, instructions per call of each counted with valgrind's callgrind, and their
    ratio (with --short: fewer calls; CI gates on these), with the compiled side's own
    share (its modules' machine code) and the floor: the ratio were that share zero;
  * the real-pandas scenario: both with real pandas at 10, 1,000 and 100,000 rows
    (skipped with --short), showing that the package adds nothing that grows with rows.
It prints a table and exits with status 1 when an instruction ratio is above its target
(at most 0.7 of the rendition before CPython 3.11, at most 1.0 from 3.11 on); with
`--margin M` (CI) the gate is instead that no case's ratio is more than M above its floor
counted in the same run, that is that the package's own code costs at most M times the
rendition's count.
`bench/run.sh` runs it on CPython 3.9 and 3.12 in fresh virtual environments.

The measuring itself runs in child processes (`worker`), one per kind of measurement."""

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases as case_table  # noqa: E402

STUBBED = ("requests", "pandas", "numpy")


def target_ratio(version=sys.version_info):
    """Largest allowed ratio of compiled to Python cost: from 3.11 the interpreter runs
    calls from bytecode inline and specialised, so there the bar is parity."""
    return 1.0 if version >= (3, 11) else 0.7


# --- the measured process -------------------------------------------------------------


def load(stubbed):
    """Imports the compiled modules and the renditions; with `stubbed`, requests, pandas
    and numpy are the stubs already at import, and every module's globals point at the
    stubs. Returns ({module name: compiled module}, renditions module)."""
    import importlib

    import stubs

    if stubbed:
        for name in STUBBED:
            sys.modules[name] = {"requests": stubs.requests, "pandas": stubs.pd, "numpy": stubs.np}[name]
    compiled = {}
    from quorvex.datasets import DATASETS

    for short, dataset in DATASETS.items():
        compiled[short] = importlib.import_module(dataset.module)
    compiled["require_session"] = importlib.import_module("quorvex.config.require_session")
    import renditions

    for module in (*compiled.values(), renditions):
        stubs.rebind(module)
    if not stubbed:
        import numpy
        import pandas

        for module in (*compiled.values(), renditions):
            for name, value in (("pd", pandas), ("np", numpy)):
                if hasattr(module, name):
                    setattr(module, name, value)
    return compiled, renditions


def guarded_target(ticker, count, unit=None):
    return ticker


def make_loops(case, compiled, renditions):
    """Two functions `loop(n)` making the case's call n times: compiled, then Python."""
    loops = []
    for impl in (getattr(compiled[case.module], case.function), getattr(renditions, case.function)):
        fn = impl(guarded_target) if case.module == "require_session" else impl
        if case.raises:
            body = f"        try:\n            {case.call}\n        except {case.raises.__name__}:\n            pass\n"
        else:
            body = f"        {case.call}\n"
        namespace = {"fn": fn}
        exec(f"def loop(n):\n    for _ in range(n):\n{body}", namespace)
        loops.append(namespace["loop"])
    return loops


def check_loop(case, loop):
    """Runs the case once, making sure it ends as the case says."""
    try:
        loop(1)
    except Exception as error:  # a broken setting would make every figure meaningless
        raise SystemExit(f"case {case.name!r} raised {error!r}") from error


def median_times(loops, calls, repeats):
    """Median seconds per call of each loop, run in turns against drift."""
    samples = [[] for _ in loops]
    for _ in range(repeats):
        for loop, sample in zip(loops, samples):
            start = time.perf_counter()
            loop(calls)
            sample.append((time.perf_counter() - start) / calls)
    return [statistics.median(sample) for sample in samples]


# Calls made before a loop is measured. CPython 3.9 and 3.10 turn on the caches of a code
# object's global and attribute reads only after its 1,024th call, and from 3.11 the
# interpreter specialises after a few; past this many calls every code object involved,
# the renditions' and the stubs', runs as it will from then on.
WARM_UP_CALLS = 1_100


def worker_time(selected, calls, repeats):
    """Median seconds per call of each implementation, per case."""
    import stubs

    compiled, renditions = load(stubbed=True)
    results = {}
    for case in selected:
        stubs.answer(case.answer)
        loops = make_loops(case, compiled, renditions)
        for loop in loops:
            check_loop(case, loop)
            loop(max(calls, WARM_UP_CALLS))  # warm-up: caches, specialisation
        gc.disable()
        results[case.name] = median_times(loops, calls, repeats)
        gc.enable()
    return results


def worker_count(selected, calls):
    """Runs under callgrind with --dump-before=getppid: each case's loop of each
    implementation lies between two os.getppid() calls, so it gets a dump of its own.
    Returns the order of the measured loops and the directory of the compiled modules."""
    import stubs

    import quorvex

    compiled, renditions = load(stubbed=True)
    order = []
    gc.disable()
    for case in selected:
        stubs.answer(case.answer)
        for impl, loop in zip(("compiled", "python"), make_loops(case, compiled, renditions)):
            check_loop(case, loop)
            loop(WARM_UP_CALLS)  # in the dump before the marker
            os.getppid()
            loop(calls)
            os.getppid()
            order.append([case.name, impl])
    return {"order": order, "package": os.path.dirname(os.path.abspath(quorvex.__file__))}


def pandas_rows(count):
    """`count` hourly rows carrying every column the two pandas cases read (hours, so that
    100,000 rows stay within the years pandas' nanosecond timestamps reach)."""
    import datetime

    start = datetime.datetime(2000, 1, 3)
    rows = []
    for i in range(count):
        moment = start + datetime.timedelta(hours=i)
        rows.append(
            {
                "DateTime": moment.isoformat(),
                "Close": 100 + i % 7,
                "buyForeignVolume": i,
                "sellForeignVolume": i + 1,
                "buyForeignValue": 1e6 * i,
                "sellForeignValue": 2e6,
                "netForeignValue": 1e6 * i - 2e6,
                "buyCount": i % 5,
                "buyVolume": 10 * i,
                "sellCount": i % 3,
                "sellVolume": 7 * i,
            }
        )
    return rows


def worker_pandas(repeats):
    """Median seconds per call with real pandas, per case and row count."""
    import stubs

    compiled, renditions = load(stubbed=False)
    results = {}
    for count in case_table.PANDAS_ROWS:
        stubs.OK._rows = pandas_rows(count)
        stubs.answer(True)
        calls = max(1, 2000 // count)
        for case in case_table.PANDAS_CASES:
            loops = make_loops(case, compiled, renditions)
            for loop in loops:
                check_loop(case, loop)
            results[f"{case.name} {count}"] = median_times(loops, calls, repeats)
    return results


# --- the driver -----------------------------------------------------------------------


def run_worker(kind, extra, under=()):
    command = [*under, sys.executable, os.path.abspath(__file__), "worker", kind, *extra]
    # Outside the source tree, whose quorvex sources would shadow the installed package.
    # A fixed hash seed: string hashes decide how often dict look-ups probe, and so the
    # instruction counts, which must repeat from run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(command, capture_output=True, text=True, cwd=tempfile.gettempdir(), timeout=3600, env=env)
    if done.returncode != 0:
        raise SystemExit(f"{kind} worker failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.splitlines()[-1])


def totals(path):
    with open(path) as dump:
        for line in dump:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise SystemExit(f"no totals in {path}")


def own_instructions(path, package):
    """Instructions a dump spent in the machine code of the compiled modules (the object
    files under `package`) themselves, not counting what they call: the part of the
    compiled side's count that the package's own code decides. Reads callgrind's format:
    `ob=` names the object of the cost lines that follow, and the cost line after a
    `calls=` line is a call's inclusive cost, which belongs to the callee. Object names
    are compressed to "(n)" after their first use, which may be on a `cob=` line (the
    object of a call's callee)."""
    names, current, own, call_cost = {}, "", 0, False
    with open(path) as dump:
        for line in dump:
            if line.startswith(("ob=", "cob=")):
                key, _, value = line.strip().partition("=")
                if value.startswith("("):
                    ref, _, name = value.partition(" ")
                    value = names.setdefault(ref, name)
                if key == "ob":
                    current = value
            elif line.startswith("calls="):
                call_cost = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if call_cost:
                    call_cost = False
                elif current.startswith(package + os.sep):
                    fields = line.split()
                    own += int(fields[1]) if len(fields) > 1 else 0
    return own


def count_instructions(names, calls):
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is needed for instruction counts")
    with tempfile.TemporaryDirectory(prefix="quorvex-bench-") as work:
        out = os.path.join(work, "cg.out")
        done = run_worker(
            "count",
            [*names, "--calls", str(calls)],
            under=("valgrind", "--tool=callgrind", "--dump-before=getppid", f"--callgrind-out-file={out}"),
        )
        results, own = {}, {}
        for index, (name, impl) in enumerate(done["order"]):
            # Dumps alternate: start-up or warm-up, then a measured loop.
            dump = f"{out}.{2 * index + 2}"
            results.setdefault(name, [0.0, 0.0])[impl == "python"] = totals(dump) / calls
            if impl == "compiled":
                own[name] = own_instructions(dump, done["package"]) / calls
    return results, own


def versions_line():
    import numpy
    import pandas
    import requests

    return (
        f"CPython {platform.python_version()}, pandas {pandas.__version__}, "
        f"numpy {numpy.__version__}, requests {requests.__version__}; "
        f"{platform.machine()}, {cpu_name()}"
    )


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def ratio(pair):
    return pair[0] / pair[1] if pair[1] else float("inf")


def own_shares(report):
    """Per case, ratio minus floor: the package's own instructions over the rendition's."""
    counts, own = report["instructions"], report.get("own", {})
    return {name: ratio((own[name], counts[name][1])) for name in counts if name in own}


def over_margin(report, margin):
    """The cases whose instruction ratio is more than `margin` above their floor."""
    return [name for name, share in own_shares(report).items() if share > margin]


def print_table(report, target, margin=None):
    print(f"\n{report['versions']}")
    print(f"target: compiled/Python at most {target:.1f}", end="")
    print(f"; gate: ratio - floor at most {margin:.2f}" if margin is not None else "")
    counts, own, times = report["instructions"], report.get("own", {}), report.get("times", {})
    shares = own_shares(report)
    print(
        f"{'case':30} {'instr C':>8} {'instr Py':>8} {'ratio':>6}  {'own C':>6} {'floor':>6} {'r-fl':>5}"
        f"   {'time C':>8} {'time Py':>8} {'ratio':>6}"
    )
    for name in counts:
        c = counts[name]
        line = f"{name:30} {c[0]:8.0f} {c[1]:8.0f} {ratio(c):6.2f}{'*' if ratio(c) > target else ' '}"
        if name in own:
            over = margin is not None and shares[name] > margin
            line += (
                f" {own[name]:6.0f} {ratio((c[0] - own[name], c[1])):6.2f} {shares[name]:5.3f}{'!' if over else ' '}"
            )
        if name in times:
            t = times[name]
            line += f"  {t[0] * 1e6:7.2f}µ {t[1] * 1e6:7.2f}µ {ratio(t):6.2f}{'*' if ratio(t) > target else ''}"
        print(line)
    if report.get("pandas"):
        print("\nreal pandas (stubbed requests): median per call")
        print(f"{'case':28} {'compiled':>10} {'Python':>10} {'C - Py':>9} {'ratio':>6}")
        for name, (c, p) in report["pandas"].items():
            print(f"{name:28} {c * 1e3:8.3f}ms {p * 1e3:8.3f}ms {(c - p) * 1e6:7.1f}µs {c / p:6.3f}")
    print(
        "(* over target; own C: instructions in the compiled modules' own machine code; floor: the\n"
        " instruction ratio if that code took none, with the same calls into CPython and the stubs;\n"
        " r-fl: ratio - floor, own C over the Python count; ! over the gate's margin)"
    )


def main_run(args):
    names = args.cases
    calls = 60 if args.short else 400
    report = {"versions": versions_line()}
    report["instructions"], report["own"] = count_instructions(names, calls)
    if not args.short:
        report["times"] = run_worker("time", [*names, "--calls", "2000", "--repeats", "15"])
        report["pandas"] = run_worker("pandas", ["--repeats", "7"])
    target = target_ratio()
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=1, ensure_ascii=False)
    print_table(report, target, args.margin)
    if args.margin is not None:
        over = over_margin(report, args.margin)
        if over:
            shares = own_shares(report)
            print(
                f"instruction ratio more than {args.margin:.2f} above its floor: "
                + ", ".join(f"{name} ({shares[name]:.3f})" for name in over)
            )
            return 1
        return 0
    ratios = {name: ratio(pair) for name, pair in report["instructions"].items()}
    over = [name for name, value in ratios.items() if value > target]
    if over:
        print(
            f"instruction ratio over its target {target:.1f}: "
            + ", ".join(f"{name} ({ratios[name]:.2f})" for name in over)
        )
        return 1
    return 0


def main_worker(args):
    selected = case_table.by_name(args.cases)
    if args.kind == "time":
        result = worker_time(selected, args.calls, args.repeats)
    elif args.kind == "count":
        result = worker_count(selected, args.calls)
    else:
        result = worker_pandas(args.repeats)
    print(json.dumps(result))
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["worker"]:
        worker = argparse.ArgumentParser(prog="bench.py worker")
        worker.add_argument("kind", choices=("time", "count", "pandas"))
        worker.add_argument("--calls", type=int, default=400)
        worker.add_argument("--repeats", type=int, default=9)
        worker.add_argument("cases", nargs="*")
        return main_worker(worker.parse_intermixed_args(argv[1:]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--short", action="store_true", help="instruction counts only, fewer calls (CI)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument(
        "--margin",
        type=float,
        help="gate on ratio - floor (own instructions over the rendition's) at most this, instead of the targets",
    )
    parser.add_argument("cases", nargs="*", help="only cases whose names contain these")
    return main_run(parser.parse_intermixed_args(argv))


if __name__ == "__main__":
    sys.exit(main())
