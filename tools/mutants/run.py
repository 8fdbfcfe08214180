"""Applies each deliberate fault of tools/mutants/ to a scratch copy of the
tree, rebuilds it incrementally and runs the test suite (ctest, then pytest
-x).  A fault is "caught" when any test fails, crashes or times out, and
"does not build" when the build fails.  Results: tools/mutants/results.json
(kept across partial runs) and the table tools/mutants/results.md.

The working tree is never modified: faults are applied in a detached git
worktree (default /tmp/mutants-tree) at the committed HEAD and reverted
there after each run, also on Ctrl-C.  One build folder (default
/tmp/mutants-build) is reused, so every rebuild is incremental.
"""
from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
VENV = ROOT / ".venv" / "bin"
RESULTS_JSON = HERE / "results.json"
RESULTS_MD = HERE / "results.md"


def log(msg: str) -> None:
    print(msg, flush=True)


class Interrupted(Exception):
    pass


def _on_term(signum, frame):  # SIGTERM / SIGHUP behave like Ctrl-C
    raise KeyboardInterrupt


def run(cmd, *, cwd=None, env=None, timeout=None, logfile=None, nice=True, stop_on=None):
    """Runs cmd in its own process group, its output to `logfile`; returns
    (rc, output, timed_out, stop_line).  The group is killed on a time-out,
    on an interrupt, and as soon as an output line matches `stop_on` (that
    line is returned as stop_line)."""
    if nice:
        cmd = ["nice", "-n", "19", *cmd]
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
    expired = threading.Event()

    def kill():
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def on_timeout():
        expired.set()
        kill()

    timer = threading.Timer(timeout, on_timeout) if timeout else None
    stop_line = None
    chunks = []
    try:
        if timer:
            timer.start()
        for line in p.stdout:
            chunks.append(line)
            if stop_on is not None and stop_line is None and stop_on.search(line.decode(errors="replace")):
                stop_line = line.decode(errors="replace").rstrip()
                kill()
        rc = p.wait()
    except BaseException:
        kill()
        p.wait()
        raise
    finally:
        if timer:
            timer.cancel()
        text = b"".join(chunks).decode(errors="replace")
        if logfile:
            Path(logfile).write_text(text)
    return rc, text, expired.is_set(), stop_line


def git(*args, cwd=ROOT, check=True):
    return subprocess.run(["git", *args], cwd=cwd, check=check, capture_output=True, text=True)


def patch_info(path: Path) -> dict:
    """The header lines of a patch (before the diff): 'Breaks:' and the
    optional 'Would-catch:' (a test that would catch it, for missed ones)."""
    info = {"breaks": "", "would_catch": ""}
    for line in path.read_text().splitlines():
        if line.startswith("diff --git"):
            break
        if line.startswith("Breaks:"):
            info["breaks"] = line[len("Breaks:"):].strip()
        elif line.startswith("Would-catch:"):
            info["would_catch"] = line[len("Would-catch:"):].strip()
    return info


def prepare_tree(tree: Path) -> str:
    head = git("rev-parse", "HEAD").stdout.strip()
    if (tree / ".git").exists():
        git("reset", "-q", "--hard", cwd=tree)
        git("checkout", "-q", "--detach", head, cwd=tree)
    else:
        git("worktree", "prune")
        git("worktree", "add", "-q", "--detach", str(tree), head)
    return head


def revert(tree: Path) -> None:
    git("checkout", "-q", "--", ".", cwd=tree, check=False)
    git("clean", "-fdq", cwd=tree, check=False)


def configure(tree: Path, build: Path, nice: bool) -> None:
    if (build / "build.ninja").exists():
        return
    cmd = [str(VENV / "cmake"), "-S", str(tree), "-B", str(build), "-G", "Ninja",
           f"-DCMAKE_MAKE_PROGRAM={VENV / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
           "-DNETROVE_BUILD_PYTHON=ON", f"-DPython_EXECUTABLE={VENV / 'python'}"]
    rc, text, _, _ = run(cmd, logfile=build.parent / f"{build.name}-configure.log", nice=nice)
    if rc != 0:
        sys.exit(f"configure failed:\n{text[-3000:]}")


def build_tree(build: Path, jobs: int, logfile: Path, nice: bool) -> bool:
    rc, _, _, _ = run([str(VENV / "cmake"), "--build", str(build), "-j", str(jobs)], logfile=logfile, nice=nice)
    return rc == 0


def ctest_supports_stop() -> bool:
    r = subprocess.run([str(VENV / "ctest"), "--help"], capture_output=True, text=True)
    return "--stop-on-failure" in r.stdout


FAILED_CTEST = re.compile(r"^\s*\d+\s+-\s+(\S+)\s+\(([^)]*)\)", re.M)
FAILED_PYTEST = re.compile(r"^(?:FAILED|ERROR) (\S+)", re.M)
CTEST_FAILURE = re.compile(r"\*\*\*(Failed|Exception|Timeout|Not Run)")
CTEST_LINE = re.compile(r"Test\s+#\d+: (\S+) \.*\s*\*\*\*(.*?)\s+[\d.]+ sec")
RUNNING_PYTEST = re.compile(r"^(tests/python/\S+::\S+)", re.M)


def run_suite(tree: Path, build: Path, args, logdir: Path, name: str) -> tuple[str, str]:
    """('caught', by what) or ('missed', '')."""
    cmd = [str(VENV / "ctest"), "--test-dir", str(build), "--output-on-failure", "-j", str(args.jobs),
           "--timeout", str(args.test_timeout)]
    if args.stop_on_failure:
        cmd.append("--stop-on-failure")
    # A C++ test can take a minute (time-out tests): the run is stopped at
    # the first failure reported, not when the tests still running end.
    rc, text, timed_out, stop = run(cmd, cwd=tree, timeout=args.suite_timeout, logfile=logdir / f"{name}.ctest.log",
                                    nice=args.nice, stop_on=CTEST_FAILURE)
    if timed_out:
        return "caught", "ctest: whole run timed out"
    if stop:
        m = CTEST_LINE.search(stop)
        return "caught", f"ctest: {m.group(1)} ({m.group(2)})" if m else f"ctest: {stop.strip()}"
    if rc != 0:
        tail = text.split("The following tests FAILED:", 1)
        fails = FAILED_CTEST.findall(tail[1]) if len(tail) == 2 else []
        if fails:
            return "caught", "ctest: " + ", ".join(f"{t} ({why})" for t, why in fails[:3])
        return "caught", f"ctest: exit {rc}"
    env = dict(os.environ, PYTHONPATH=str(build / "python"), PYTHONFAULTHANDLER="1")
    cmd = [str(VENV / "python"), "-m", "pytest", "-x", "-v", "-rfE", "-p", "no:cacheprovider", "tests/python"]
    rc, text, timed_out, _ = run(cmd, cwd=tree, env=env, timeout=args.suite_timeout,
                              logfile=logdir / f"{name}.pytest.log", nice=args.nice)
    if rc == 0:
        return "missed", ""
    running = RUNNING_PYTEST.findall(text)
    last = running[-1] if running else "?"
    if timed_out:
        return "caught", f"pytest: timeout in {last}"
    if rc < 0:
        return "caught", f"pytest: crash ({signal.Signals(-rc).name}) in {last}"
    fails = FAILED_PYTEST.findall(text)
    if fails:
        return "caught", "pytest: " + fails[0]
    return "caught", f"pytest: exit {rc} ({last})"


def load_results() -> dict:
    return json.loads(RESULTS_JSON.read_text()) if RESULTS_JSON.exists() else {}


def write_results(results: dict, patches: list[Path]) -> None:
    RESULTS_JSON.write_text(json.dumps(results, indent=1, sort_keys=True) + "\n")
    rows, missed, notrun = [], [], []
    for p in patches:
        info = patch_info(p)
        r = results.get(p.stem)
        if not r:
            notrun.append(p.stem)
            continue
        status = r["status"]
        by = r.get("caught_by", "")
        if status == "missed":
            missed.append((p.stem, info["would_catch"]))
        by = by.replace("|", "\\|")
        rows.append(f"| {p.stem} | {info['breaks']} | {status} | {by} | {r['build_s']:.0f} + {r['test_s']:.0f} |")
    caught = sum(1 for p in patches if results.get(p.stem, {}).get("status") == "caught")
    out = ["# Deliberate faults against the test suite", "",
           "Written by `tools/mutants/run` (see README.md).  Time: seconds to rebuild + seconds of tests.", ""]
    commits = sorted({r.get("commit", "")[:10] for r in results.values() if r.get("commit")})
    if commits:
        out += [f"Tree measured: commit {', '.join(commits)}.", ""]
    out += [f"Caught {caught} of {len(patches)}; missed {len(missed)}; not run {len(notrun)}.", "",
            "| fault | what it breaks | result | caught by | time (s) |",
            "| --- | --- | --- | --- | --- |", *rows, ""]
    if missed:
        out += ["## Missed: a test that would catch each", ""]
        out += [f"- **{n}**: {w or '(no note yet)'}" for n, w in missed]
        out.append("")
    if notrun:
        out += ["## Not run", "", *[f"- {n}" for n in notrun], ""]
    RESULTS_MD.write_text("\n".join(out))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("faults", nargs="*", help="patch names (with or without .patch); default: all")
    ap.add_argument("--tree", default="/tmp/mutants-tree", help="scratch worktree (default %(default)s)")
    ap.add_argument("--build", default="/tmp/mutants-build", help="build folder, reused (default %(default)s)")
    ap.add_argument("--jobs", type=int, default=2, help="build and ctest parallelism (default %(default)s)")
    ap.add_argument("--test-timeout", type=int, default=600, help="seconds per ctest test (default %(default)s)")
    ap.add_argument("--suite-timeout", type=int, default=1200,
                    help="seconds for all of ctest, and for all of pytest (default %(default)s)")
    ap.add_argument("--no-baseline", action="store_true", help="skip running the suite on the unmodified tree")
    ap.add_argument("--no-nice", dest="nice", action="store_false", help="do not run under nice -n 19")
    ap.add_argument("--list", action="store_true", help="list the faults and exit")
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, _on_term)
    signal.signal(signal.SIGHUP, _on_term)

    every = sorted(HERE.glob("*.patch"))
    if args.list:
        for p in every:
            log(f"{p.stem}: {patch_info(p)['breaks']}")
        return 0
    if args.faults:
        wanted = [HERE / (f if f.endswith(".patch") else f + ".patch") for f in args.faults]
        for p in wanted:
            if not p.exists():
                sys.exit(f"no such fault: {p.name}")
    else:
        wanted = every

    tree, build = Path(args.tree), Path(args.build)
    build.mkdir(parents=True, exist_ok=True)
    logdir = Path(f"{build}-logs")
    logdir.mkdir(exist_ok=True)
    lock = open(build / ".mutants.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"another run holds {build}")
    args.stop_on_failure = ctest_supports_stop()

    results = load_results()
    head = prepare_tree(tree)
    try:
        configure(tree, build, args.nice)
        log(f"tree {tree} at {head[:10]}, build {build}, logs {logdir}")
        t0 = time.monotonic()
        if not build_tree(build, args.jobs, logdir / "baseline.build.log", args.nice):
            sys.exit(f"the unmodified tree does not build: {logdir / 'baseline.build.log'}")
        log(f"baseline build {time.monotonic() - t0:.0f}s")
        if not args.no_baseline:
            t0 = time.monotonic()
            status, by = run_suite(tree, build, args, logdir, "baseline")
            if status != "missed":
                sys.exit(f"the unmodified tree fails its own suite: {by}")
            log(f"baseline suite passes ({time.monotonic() - t0:.0f}s)")
        for p in wanted:
            name = p.stem
            r = {"commit": head, "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
            if git("apply", "--check", str(p), cwd=tree, check=False).returncode != 0:
                r.update(status="does not apply", caught_by="", build_s=0, test_s=0)
            else:
                try:
                    git("apply", str(p), cwd=tree)
                    t0 = time.monotonic()
                    built = build_tree(build, args.jobs, logdir / f"{name}.build.log", args.nice)
                    t1 = time.monotonic()
                    if built:
                        status, by = run_suite(tree, build, args, logdir, name)
                    else:
                        status, by = "does not build", ""
                    r.update(status=status, caught_by=by, build_s=t1 - t0, test_s=time.monotonic() - t1)
                finally:
                    revert(tree)
            results[name] = r
            write_results(results, every)
            log(f"{name:45s} {r['status']:14s} {r['caught_by']}  ({r['build_s']:.0f}s + {r['test_s']:.0f}s)")
    except KeyboardInterrupt:
        log("interrupted: tree reverted; results so far kept")
        return 130
    finally:
        revert(tree)
    write_results(results, every)
    log(f"table: {RESULTS_MD}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
