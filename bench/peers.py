#!/usr/bin/env python3
"""netrove against pytricia, py-radix, pysubnettree and radixtarget.

Runs from the bench environment (.venv-bench, made by bench/setup.sh) with
the built module on the path:

    PYTHONPATH=build/python .venv-bench/bin/python bench/peers.py

Writes bench/results/results.md, results.png and results.json (raw times).
A library that cannot be loaded is listed as not measured; the run goes on.
"""

from __future__ import annotations

import argparse
import datetime
import json
import platform
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

from peerbench import report, suite  # noqa: E402
from peerbench.adapters import library_names  # noqa: E402
from peerbench.streams import make_streams  # noqa: E402
from peerbench.table import data_path, load_tables  # noqa: E402


def machine() -> dict:
    cpu, cores = platform.processor() or "?", "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        cpu = fields.get("Model name", cpu).strip()
        cores = fields.get("CPU(s)", cores).strip()
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip() or "?"
    except OSError:
        commit = "?"
    return {"cpu": cpu, "cores": cores, "python": platform.python_version(), "commit": commit,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=Path, default=BENCH / "results", help="results folder")
    ap.add_argument("--workloads", default="ipv4,both", help="comma list of ipv4, both")
    ap.add_argument("--libs", default=",".join(library_names()),
                    help="comma list of libraries (default: all)")
    ap.add_argument("--lookups", type=int, default=200_000, help="addresses per stream")
    ap.add_argument("--pool", type=int, default=100_000,
                    help="distinct addresses of the skewed stream (10%% of them are hot)")
    ap.add_argument("--repeats", type=int, default=3, help="runs per stream (best kept)")
    ap.add_argument("--build-repeats", type=int, default=1,
                    help="builds and removals (best kept); 2 steadies them at twice the time")
    ap.add_argument("--remove-sample", type=int, default=10_000,
                    help="prefixes removed in the timed removal, drawn at random (0: all)")
    ap.add_argument("--limit", type=int, default=None, help="use only the first N lines of the table")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    ap.add_argument("--seed", type=int, default=20240607)
    args = ap.parse_args(argv)

    t0 = time.time()
    path = data_path(ROOT)
    tables = load_tables(path, args.limit)
    libs = [n.strip() for n in args.libs.split(",") if n.strip()]
    meta = machine()
    meta.update(repeats=args.repeats, build_repeats=args.build_repeats, stream_len=args.lookups)
    print(f"peer suite: {path}, {len(tables['both']):,} prefixes, libraries: {', '.join(libs)}", flush=True)

    results = []
    for wname in [w.strip() for w in args.workloads.split(",") if w.strip()]:
        table = tables[wname]
        streams = make_streams(table, args.lookups, args.pool, args.seed)
        print(f"workload {wname}: {len(table):,} prefixes", flush=True)
        results.append(suite.run_workload(table, streams, libs, repeats=args.repeats,
                                          build_repeats=args.build_repeats,
                                          remove_sample=args.remove_sample or None, seed=args.seed,
                                          memory=not args.no_memory))

    args.out.mkdir(parents=True, exist_ok=True)
    why: dict[str, list[str]] = {}
    for w in results:
        for n, reason in w.unavailable.items():
            if n not in why.setdefault(reason, []):
                why[reason].append(n)
    if why:
        meta["unavailable_note"] = "Not measured here: " + "; ".join(
            f"{', '.join(names)}: {reason}" for reason, names in why.items())
    md = report.markdown(results, meta, "results.png")
    (args.out / "results.md").write_text(md)
    (args.out / "results.json").write_text(json.dumps(
        {"meta": meta, "workloads": [asdict(w) for w in results]}, indent=1))
    # The READMEs that carry the results markers show the same page.
    if args.out.resolve() == (BENCH / "results").resolve():
        for readme, chart_path in ((BENCH / "README.md", "results/results.png"),
                                   (ROOT / "README.md", "bench/results/results.png")):
            report.embed(readme, report.markdown(results, meta, chart_path))
    try:
        report.chart(results, str(args.out / "results.png"))
    except ImportError as e:
        print(f"peer suite: no chart, matplotlib is missing ({e})", file=sys.stderr)
    print(md)
    print(f"peer suite: done in {time.time() - t0:.0f} s; results in {args.out}", flush=True)
    wrong = [n for w in results for n, lib in w.libs.items() if lib.wrong]
    if wrong:
        print(f"peer suite: wrong answers from {', '.join(sorted(set(wrong)))}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
