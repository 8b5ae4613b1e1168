"""Runs mutmut's mutants of one or more files on several copies of the checkout at once.

mutmut 2 tests one mutant at a time, changing the file in place; the network tests
spend most of their time waiting on sockets, so several copies of the checkout, each
testing its own share of the mutants, use the machine far better. Each mutant is made
by mutmut itself (its mutation operators, its ``# pragma: no mutate``), written into a
copy, and checked by pytest run in that copy: a failing run or one past the time-out
kills it.

Each mutant is first checked by the tests that ran its line (found once with coverage's
per-test contexts; a line run only at import or only in another thread gets them all),
and a mutant those let live is checked again by all of ``--tests`` before it counts as a
survivor. The results are kept in ``--results`` (JSON) so that ``--again survived``
checks only the survivors after tests were added. Several ``--file``s (each with its
``--results``) share one run of the tests without mutants and one under coverage.

    python scripts/mutants.py --file quorvex/remote/policy.py --tests "tests/test_remote.py -k 'not slow'" \
        --results build/mutants/remote.json [--jobs 3] [--timeout 120] [--again survived]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import difflib
import hashlib
import json
import os
import queue
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from mutmut import ALL, Context, list_mutations, mutate

SKIP = {".git", "build", "dist", ".mutmut-cache", "__pycache__", ".pytest_cache"}


def copy_checkout(root: str, target: str) -> None:
    def ignore(directory, names):
        return [name for name in names if name in SKIP or name.startswith(".venv")]

    shutil.copytree(root, target, ignore=ignore, symlinks=True)
    for name in os.listdir(root):
        if name.startswith(".venv"):
            os.symlink(os.path.join(root, name), os.path.join(target, name))


def key(mutation) -> str:
    line = hashlib.sha1(mutation.line.encode()).hexdigest()[:10]
    return f"{mutation.line_number + 1}:{mutation.index}:{line}"


def pytest(arguments) -> list:
    return [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *arguments]


def tests_by_line(copy: str, files_measured, arguments, timeout: float) -> dict:
    """{file: {line: [test node ids]}} from one run of all the tests under coverage."""
    rc = os.path.join(copy, ".mutants-coveragerc")
    data = os.path.join(copy, ".mutants-coverage")
    with open(rc, "w") as out:
        out.write(f"[run]\ndynamic_context = test_function\ninclude = {','.join(files_measured)}\ndata_file = {data}\n")
    command = [
        sys.executable,
        "-m",
        "coverage",
        "run",
        f"--rcfile={rc}",
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
    ]
    subprocess.run([*command, *arguments], cwd=copy, stdout=subprocess.DEVNULL, timeout=timeout * 4, check=False)
    import coverage

    measured = coverage.CoverageData(data)
    measured.read()
    # A context is "<test module>.<test function>"; the module is one of the files given.
    files = {os.path.splitext(os.path.basename(a))[0]: a for a in arguments if a.endswith(".py")}
    every = {}
    for file in files_measured:
        found = every[file] = {}
        path = os.path.realpath(os.path.join(copy, file))
        for line, contexts in measured.contexts_by_lineno(path).items():
            names = set()
            for context in contexts:
                if not context:
                    names.add("")  # import time, a fixture or another thread: no test of its own
                    continue
                module, _, function = context.rpartition(".")
                known = files.get(module.rpartition(".")[2])
                names.add(f"{known}::{function}" if known else "")
            found[line] = sorted(names)
    return every


def run(command, cwd: str, timeout: float) -> str:
    process = subprocess.Popen(
        command,
        cwd=cwd,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
        # No bytecode: a mutant of the same size written within the same second as the
        # one before would otherwise be run from the older one's cache.
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"),
    )
    try:
        code = process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)  # the runner and every child it started
        process.wait()
        return "timeout"
    # pytest's statuses: 0 passed, 1 a test failed, 2 interrupted (a module that no longer
    # imports), 3 internal error; 4 and 5 (usage, nothing collected) say nothing of the mutant.
    if code == 0:
        return "survived"
    return "error" if code in (4, 5) else "killed"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file", required=True, action="append", help="the file to mutate (repeat it for several)")
    parser.add_argument("--tests", required=True, help="pytest arguments: the tests of these files")
    parser.add_argument("--results", required=True, action="append", help="one results file per --file, in order")
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--again", choices=["all", "survived"], default="all")
    parser.add_argument("--offset", type=int, default=0, help="with --every: the first mutant of the sample")
    parser.add_argument(
        "--every", type=int, default=1, help="check every n-th mutant only (a sample, for a quick score)"
    )
    options = parser.parse_args()
    # Ended from outside: the copies are removed all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    # A run started in the background (nohup, "&" in a script) has SIGINT ignored, which
    # every test run would inherit, and the tests of Ctrl-C would fail without any mutant.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    if len(options.results) != len(options.file):
        parser.error("give one --results per --file")
    root = os.getcwd()
    scratch = tempfile.mkdtemp(prefix="quorvex-mutants-")
    copies: queue.Queue[str] = queue.Queue()
    try:
        for number in range(options.jobs):
            target = os.path.join(scratch, str(number))
            copy_checkout(root, target)
            copies.put(target)
        arguments = shlex.split(options.tests)
        # One run without mutants and one under coverage serve every file.
        baseline = copies.get()
        started = time.monotonic()
        if run(pytest(arguments), baseline, options.timeout * 4) != "survived":
            print("the tests fail without any mutant: fix them first", file=sys.stderr)
            return 1
        print(f"unmutated run: {time.monotonic() - started:.1f} s", flush=True)
        covered = tests_by_line(baseline, options.file, arguments, options.timeout)
        copies.put(baseline)
        for file, results_path in zip(options.file, options.results):
            mutate_file(options, file, results_path, covered[file], arguments, copies)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


def mutate_file(options, file: str, results_path: str, covered: dict, arguments, copies) -> None:
    """Check the mutants of ``file`` (those of the sample, or its last survivors) and
    write the results to ``results_path``."""
    with open(file) as source_file:
        source = source_file.read()
    mutations = list_mutations(Context(source=source, mutation_id=ALL, filename=file))
    previous = {}
    if os.path.exists(results_path):
        with open(results_path) as stored:
            previous = json.load(stored)
    sample = mutations[options.offset :: options.every]
    if options.again == "survived":
        todo = [m for m in sample if previous.get(key(m), {}).get("status") not in ("killed", "timeout")]
    else:
        todo = list(sample)
    # A sample is scored on its own.
    results = {key(m): previous[key(m)] for m in sample if key(m) in previous}
    print(f"{file}: {len(mutations)} mutants, {len(todo)} to check on {options.jobs} copies", flush=True)

    def selection(line: int):
        # The tests of the nearest line run at or above it (a statement over several
        # lines is recorded at one of them); all of them when no test ran it.
        for above in range(line, max(0, line - 15), -1):
            if above in covered:
                return [name for name in covered[above] if name] or None
        return None

    def check(mutation) -> tuple:
        copy = copies.get()
        path = os.path.join(copy, file)
        try:
            context = Context(source=source, mutation_id=mutation, filename=file)
            mutated, count = mutate(context)
            assert count == 1, mutation
            with open(path, "w") as out:
                out.write(mutated)
            chosen = selection(mutation.line_number + 1)
            status = "survived"
            if chosen:
                status = run(pytest(chosen), copy, options.timeout)
            if status in ("survived", "error"):
                status = run(pytest(arguments), copy, options.timeout)
        finally:
            with open(path, "w") as out:
                out.write(source)
            copies.put(copy)
        diff = "".join(difflib.unified_diff(source.splitlines(True), mutated.splitlines(True), file, file, n=1))
        return mutation, status, diff

    def save() -> None:
        os.makedirs(os.path.dirname(results_path) or ".", exist_ok=True)
        with open(results_path, "w") as out:
            json.dump(results, out, indent=1, sort_keys=True)

    done = 0
    with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
        for mutation, status, diff in pool.map(check, todo):
            done += 1
            results[key(mutation)] = {"status": status, "line": mutation.line_number + 1, "diff": diff}
            if status == "survived":
                print(f"[{done}/{len(todo)}] survived line {mutation.line_number + 1}", flush=True)
            if done % 20 == 0:
                save()
    save()

    counts = {}
    for entry in results.values():
        counts[entry["status"]] = counts.get(entry["status"], 0) + 1
    killed = counts.get("killed", 0) + counts.get("timeout", 0)
    total = len(results)
    print(
        f"{file}: killed {killed} of {total} ({100 * killed / max(total, 1):.1f} %; "
        f"{counts.get('timeout', 0)} by time-out), {counts.get('survived', 0)} survived, "
        f"{counts.get('error', 0)} not run (pytest usage error)",
        flush=True,
    )


if __name__ == "__main__":
    sys.exit(main())
