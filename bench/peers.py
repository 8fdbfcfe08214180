#!/usr/bin/env python3
"""netrove against pytricia, py-radix, pysubnettree and radixtarget.

Runs from the bench environment (.venv-bench, made by bench/setup.sh) with
the built module on the path:

    PYTHONPATH=build/python .venv-bench/bin/python bench/peers.py [options]

Headline: the realistic setting (collector on, nothing frozen, one record
with attributes per origin AS) on the IPv4 table, both families, and the
IPv6 table; then the frozen, attribute-free rows of earlier runs.  Writes
bench/results/results.md, results.png and results.json (raw times), and the
same page into the READMEs' results sections.  A library that cannot be
loaded, or a netrove call this build lacks, is listed as not measured; the
run goes on.

Quick look:  --limit 100000 --lookups 20000
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

from peerbench import measure, origins, report, suite  # noqa: E402
from peerbench.adapters import READ_OPS, library_names  # noqa: E402
from peerbench.records import SETTINGS  # noqa: E402
from peerbench.streams import Streams, make_streams  # noqa: E402
from peerbench.suite import LibResult, Plan, WorkloadResult  # noqa: E402
from peerbench.table import WORKLOADS, data_path, load_tables  # noqa: E402

FROZEN_OPS = ("inside", "random", "skewed", "dropped", "contains")
DEFAULT_REFERENCE = BENCH / "reference.json"


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
    try:
        import netrove
        version = netrove.version()
    except Exception:
        version = "?"
    return {"cpu": cpu, "cores": cores, "python": platform.python_version(), "commit": commit,
            "netrove_version": version,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def plans(args, libs: list[str]) -> list[tuple[str, str, Plan]]:
    """(setting, workload, plan) in run order (see the module comment)."""
    want = set(libs)
    keep = lambda names: [n for n in names if n in want]  # noqa: E731
    netrove_libs = tuple(n for n in library_names(batch=True) if n.startswith("netrove"))
    every = keep(library_names())
    no_ipobj = tuple(op for op in READ_OPS if not op.startswith("ipobj"))
    # Both families: the single calls and the two batch calls earlier runs had.
    both_ops = ("inside", "random", "skewed", "dropped", "contains", "many", "contains_many")
    mem = not args.no_memory
    netrove_group = ["pytricia"] + [n for n in library_names() if n.startswith("netrove")]
    peer_group = [n for n in library_names() if not n.startswith("netrove")]
    groups = [keep(netrove_group), keep(peer_group)]
    table = {
        ("realistic", "ipv4"): Plan(every, READ_OPS, bulk=True, threads=True, pickle=True,
                                    redis=not args.no_redis, memory=mem, groups=groups),
        # The other peers' two-family figures are in the frozen rows; leaving
        # them out here keeps the run short.
        ("realistic", "both"): Plan(keep(netrove_group), both_ops, bulk=True, memory=mem,
                                    note="py-radix, pysubnettree and radixtarget on both families: see the "
                                         "frozen rows below."),
        ("realistic", "ipv6"): Plan(keep(["pytricia", "netrove default"]), no_ipobj, remove=False, memory=False),
        # A peer stores one pointer in either setting, so its memory is the
        # headline's; only netrove's storage differs.
        ("frozen", "ipv4"): Plan(keep(library_names(batch=True)), FROZEN_OPS, memory=mem,
                                 memory_libs=netrove_libs),
        ("frozen", "both"): Plan(keep(library_names(batch=True)), FROZEN_OPS, memory=mem,
                                 memory_libs=netrove_libs),
    }
    out = []
    for s in args.settings:
        for w in args.workloads:
            if (s, w) in table:
                out.append((s, w, table[(s, w)]))
    return out


def shorter(streams: Streams, n: int) -> Streams:
    """The first `n` addresses of each stream (the frozen rows' length)."""
    if n >= len(streams.inside):
        return streams
    return Streams(streams.inside[:n], streams.random[:n], streams.skewed[:n], streams.pool, streams.hot)


def load_results(path: Path) -> tuple[dict, dict] | tuple[None, None]:
    """(results, meta) of an earlier run's results.json, or (None, None)."""
    try:
        data = json.loads(path.read_text())
    except (OSError, ValueError):
        return None, None
    res = {}
    for d in data.get("workloads", []):
        if "setting" not in d:
            continue  # a run before the settings existed
        libs = {k: LibResult(**v) for k, v in d.pop("libs").items()}
        w = WorkloadResult(**d)
        w.libs = libs
        res[(w.setting, w.name)] = w
    return (res or None), data.get("meta")


def write_pages(results: dict, meta: dict, out: Path, ref, ref_meta) -> str:
    """results.md and results.png in `out`, and the same page in the READMEs'
    results sections when `out` is bench/results.  Returns the page."""
    if ref_meta and (ref_meta.get("date"), ref_meta.get("commit")) == (meta.get("date"), meta.get("commit")):
        # This run is the reference itself: nothing to compare with.
        ref, ref_meta = None, {**ref_meta, "self": True}
    elif ref:
        # Ratios from another table size or stream length are not comparable
        # (a quick look against a whole run, say).
        differ = [k for k, w in results.items() if k in ref
                  and (w.prefixes, w.stream_len) != (ref[k].prefixes, ref[k].stream_len)]
        if differ:
            ref, ref_meta = None, {**ref_meta, "unlike": True}
    md = report.markdown(results, meta, "results.png", ref, ref_meta)
    (out / "results.md").write_text(md)
    if out.resolve() == (BENCH / "results").resolve():
        for readme, folder in ((BENCH / "README.md", "results/"), (ROOT / "README.md", "bench/results/")):
            report.embed(readme, report.markdown(results, meta, folder + "results.png", ref, ref_meta,
                                                 page=folder + "results.md"))
    try:
        report.chart(results, str(out / "results.png"))
    except ImportError as e:
        print(f"peer suite: no chart, matplotlib is missing ({e})", file=sys.stderr)
    return md


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=Path, default=BENCH / "results", help="results folder")
    ap.add_argument("--workloads", default=",".join(WORKLOADS), help="comma list of ipv4, both, ipv6")
    ap.add_argument("--settings", default="realistic,frozen",
                    help="comma list of realistic (the headline), frozen (the rows of earlier runs)")
    ap.add_argument("--libs", default=",".join(library_names(batch=True)),
                    help="comma list of libraries (default: all)")
    ap.add_argument("--lookups", type=int, default=300_000, help="addresses per stream")
    ap.add_argument("--frozen-lookups", type=int, default=200_000,
                    help="addresses per stream in the frozen setting (earlier runs' length)")
    ap.add_argument("--pool", type=int, default=100_000,
                    help="distinct addresses of the skewed stream (10%% of them are hot)")
    ap.add_argument("--repeats", type=int, default=3, help="runs per stream (best kept)")
    ap.add_argument("--frozen-repeats", type=int, default=2,
                    help="runs per stream in the frozen setting (best kept)")
    ap.add_argument("--build-repeats", type=int, default=1,
                    help="builds by single inserts per library (best kept); 2 steadies them at twice the time")
    ap.add_argument("--bulk-repeats", type=int, default=2,
                    help="bulk loads (insert_many; pytricia's build beside it) per library, best kept")
    ap.add_argument("--remove-sample", type=int, default=60_000,
                    help="prefixes removed in the timed removal, drawn at random (0: all)")
    ap.add_argument("--limit", type=int, default=None,
                    help="use about N lines of the table (the first of each family, in the file's mix)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    ap.add_argument("--no-redis", action="store_true", help="skip from_redis")
    ap.add_argument("--reference", type=Path, default=DEFAULT_REFERENCE,
                    help="results.json of an earlier run, the \"today\" of the issues' targets "
                         "(default: bench/reference.json when present)")
    ap.add_argument("--seed", type=int, default=20240607)
    ap.add_argument("--render", action="store_true",
                    help="measure nothing: write the pages again from the results.json in --out")
    args = ap.parse_args(argv)
    if args.render:
        results, meta = load_results(args.out / "results.json")
        if results is None:
            ap.error(f"no results in {args.out / 'results.json'}")
        ref, ref_meta = load_results(args.reference) if args.reference else (None, None)
        write_pages(results, meta, args.out, ref, ref_meta)
        return 0
    args.workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    args.settings = [s.strip() for s in args.settings.split(",") if s.strip()]
    for s in args.settings:
        if s not in SETTINGS:
            ap.error(f"unknown setting {s!r}")
    for w in args.workloads:
        if w not in WORKLOADS:
            ap.error(f"unknown workload {w!r}")

    t0 = time.time()
    load_start = measure.load_average()
    phase: dict[str, float] = {}
    path = data_path(ROOT)
    tables = load_tables(path, args.limit)
    libs = [n.strip() for n in args.libs.split(",") if n.strip()]
    meta = machine()
    shape = origins.describe(tables["both"])
    meta.update(repeats=args.repeats, frozen_repeats=args.frozen_repeats, build_repeats=args.build_repeats,
                bulk_repeats=args.bulk_repeats,
                stream_len=args.lookups,
                origins=f"{origins.describe(tables['ipv4'])['ases']:,} ASes on the IPv4 table, "
                        f"{shape['ases']:,} on both families",
                origins_detail=(f"On both families together: {shape['ases']:,} distinct ASes, the five busiest "
                                f"originating {' / '.join(f'{k:,}' for k in shape['top'])} prefixes, "
                                f"{shape['single']:.0%} of the ASes a single prefix, the median AS "
                                f"{shape['median']} prefixes."))
    ref, ref_meta = load_results(args.reference) if args.reference else (None, None)
    phase["loading the table"] = time.time() - t0
    print(f"peer suite: {path}, {len(tables['both']):,} prefixes, {shape['ases']:,} ASes; "
          f"libraries: {', '.join(libs)}; reference: {args.reference if ref else 'none'}", flush=True)

    results: dict[tuple[str, str], WorkloadResult] = {}
    for sname, wname, plan in plans(args, libs):
        table = tables[wname]
        if not len(table):
            print(f"workload {wname}: no prefixes, skipped", flush=True)
            continue
        # Made again for each setting rather than kept: the same seed gives
        # the same addresses, and kept lists would sit in the heap the
        # collector walks while the next workload is timed.
        t1 = time.time()
        st = make_streams(table, args.lookups, args.pool, args.seed)
        if sname == "frozen":
            st = shorter(st, args.frozen_lookups)
        phase["drawing the streams"] = phase.get("drawing the streams", 0.0) + time.time() - t1
        print(f"workload {wname}, {sname} setting: {len(table):,} prefixes", flush=True)
        head = results.get(("realistic", wname))
        if sname == "frozen" and plan.memory_libs is not None:
            # A peer with no headline figure for this workload is measured here.
            plan.memory_libs = tuple(n for n in plan.libs if n in plan.memory_libs or head is None
                                     or head.libs.get(n) is None or head.libs[n].mem_per_prefix is None)
        reps = args.frozen_repeats if sname == "frozen" else args.repeats
        w = suite.run_workload(table, st, SETTINGS[sname], plan, repeats=reps,
                               build_repeats=args.build_repeats, bulk_repeats=args.bulk_repeats,
                               remove_sample=args.remove_sample or None, seed=args.seed)
        results[(sname, wname)] = w
        del st
        if sname == "frozen" and head is not None:
            for name, lib in w.libs.items():
                h = head.libs.get(name)
                if lib.mem_per_prefix is None and not lib.mem_error and h is not None:
                    lib.mem_per_prefix, lib.mem_error = h.mem_per_prefix, h.mem_error
        phase[f"{wname} {sname}"] = w.seconds

    meta["minutes"] = (time.time() - t0) / 60
    meta["phase_seconds"] = phase
    meta["load"] = {"start": "/".join(f"{x:.1f}" for x in load_start),
                    "end": "/".join(f"{x:.1f}" for x in measure.load_average()),
                    "max1": f"{max(suite.LOAD_SEEN or [float('nan')]):.1f}"}
    why: dict[str, list[str]] = {}
    for w in results.values():
        for n, reason in w.unavailable.items():
            if n not in why.setdefault(reason, []):
                why[reason].append(n)
    if why:
        meta["unavailable_note"] = "Not measured here: " + "; ".join(
            f"{', '.join(names)}: {reason}" for reason, names in why.items())

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.json").write_text(json.dumps(
        {"meta": meta, "workloads": [asdict(w) for w in results.values()]}, indent=1))
    md = write_pages(results, meta, args.out, ref, ref_meta)
    print(md)
    print(f"peer suite: done in {time.time() - t0:.0f} s; results in {args.out}", flush=True)
    wrong = [n for w in results.values() for n, lib in w.libs.items() if lib.wrong]
    if wrong:
        print(f"peer suite: wrong answers from {', '.join(sorted(set(wrong)))}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
