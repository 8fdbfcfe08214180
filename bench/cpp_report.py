#!/usr/bin/env python3
"""Collects the Google Benchmark JSON files of a results folder into cpp.md.

Usage: cpp_report.py RESULTS_DIR

One table per program (`<name>_bench.json`): every benchmark with its time
per iteration, and its rate where the benchmark counts items.  Within a
program, each row also shows its rate relative to the program's first
benchmark, the figure to quote (both measured in the same run).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def _time_ns(b: dict) -> float:
    return b["real_time"] * UNIT_NS.get(b.get("time_unit", "ns"), 1.0)


def program_table(data: dict) -> list[str]:
    rows = [b for b in data.get("benchmarks", []) if b.get("run_type", "iteration") == "iteration"
            and "error_occurred" not in b]
    if not rows:
        return ["(no benchmark results)"]
    first = rows[0]
    out = ["| benchmark | time / iteration | items / s | threads | rate vs first row |",
           "|---|---|---|---|---|"]
    for b in rows:
        t = _time_ns(b)
        items = b.get("items_per_second")
        if items and first.get("items_per_second"):
            rel = items / first["items_per_second"]
        else:
            rel = _time_ns(first) / t if t else None
        out.append("| {} | {} | {} | {} | {} |".format(
            b["name"], f"{t:,.1f} ns", f"{items / 1e6:,.2f} M" if items else "–",
            b.get("threads", 1), f"{rel:.2f}" if rel else "–"))
    return out


def main(argv: list[str]) -> int:
    folder = Path(argv[1] if len(argv) > 1 else "bench/results")
    files = sorted(folder.glob("*_bench.json"))
    lines = ["# netrove engine benchmarks (C++, Google Benchmark)", ""]
    if not files:
        lines.append("No benchmark program wrote results.")
    for f in files:
        try:
            data = json.loads(f.read_text())
        except (OSError, ValueError) as e:
            lines += [f"## {f.stem}", "", f"unreadable: {e}", ""]
            continue
        ctx = data.get("context", {})
        lines += [f"## {f.stem}", "",
                  f"{ctx.get('date', '?')}, {ctx.get('num_cpus', '?')} CPUs at "
                  f"{ctx.get('mhz_per_cpu', '?')} MHz, library build {ctx.get('library_build_type', '?')}.", ""]
        lines += program_table(data)
        lines.append("")
    (folder / "cpp.md").write_text("\n".join(lines))
    print(f"C++ results: {folder / 'cpp.md'} ({len(files)} programs)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
