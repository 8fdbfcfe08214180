"""The peer mode: netrove against pytricia, py-radix, pysubnettree and
radixtarget, side by side in one run.

In the realistic setting (collector on, nothing frozen, one record with
attributes per origin AS) on the IPv4 table, both families, and the IPv6
table.  Writes
results.md and results.json (raw times) to --out, and the same
page into the project README's results section when --out is bench/results.  A
library that cannot be loaded, or a netrove call this build lacks, is
listed as not measured; the run goes on.
"""

from __future__ import annotations

import json
import sys
import time
from dataclasses import asdict, fields
from pathlib import Path

from . import adapters, measure, origins, report, suite
from .adapters import READ_OPS, library_names, netrove_names
from .streams import make_streams
from .suite import LibResult, Plan, WorkloadResult
from .table import WORKLOADS, data_path

BENCH = Path(__file__).resolve().parent.parent
ROOT = BENCH.parent
def plans(args, libs: list[str]) -> list[tuple[str, Plan]]:
    """(workload, plan) in run order."""
    keep = lambda names: [n for n in names if n in libs]  # noqa: E731
    reads = lambda ops: tuple(op for op in ops if op in args.reads)  # noqa: E731
    mem = not args.no_memory
    # py-radix keeps a tracked dict per prefix: the peers run in a second
    # group, beside a second pytricia, so that netrove's answers are not
    # collected over a million of them.
    groups = [keep(["pytricia"] + netrove_names()), keep([n for n in library_names() if n not in netrove_names()])]
    table = {
        "ipv4": Plan(keep(library_names()), reads(READ_OPS), bulk=True, threads=True, pickle=True,
                     redis=not args.no_redis, memory=mem, groups=groups),
        # Both families: the single calls and the two batch calls earlier runs had.
        "both": Plan(keep(library_names()), reads(("inside", "random", "skewed", "dropped", "contains", "many",
                                                   "contains_many")), bulk=True, memory=mem, groups=groups),
        "ipv6": Plan(keep(["pytricia", "netrove default"]),
                     reads(op for op in READ_OPS if not op.startswith("ipobj")), remove=False, memory=False),
    }
    return [(w, table[w]) for w in args.workloads]


def load_results(path: Path) -> tuple[dict, dict] | tuple[None, None]:
    """(results, meta) of an earlier run's results.json, or (None, None)."""
    try:
        data = json.loads(path.read_text())
    except (OSError, ValueError):
        return None, None
    res = {}
    known = {f.name for f in fields(WorkloadResult)}
    for d in data.get("workloads", []):
        if d.get("setting") != "realistic":
            continue  # the frozen rows of earlier runs
        libs = {k: LibResult(**v) for k, v in d.pop("libs").items()}
        w = WorkloadResult(**{k: v for k, v in d.items() if k in known})
        w.libs = libs
        res[(w.setting, w.name)] = w
    return (res or None), data.get("meta")


def write_pages(results: dict, meta: dict, out: Path, ref, ref_meta) -> str:
    """results.md in `out`, and the same page in the READMEs'
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
    md = report.markdown(results, meta, ref, ref_meta)
    (out / "results.md").write_text(md)
    if out.resolve() == (BENCH / "results").resolve():
        report.embed(ROOT / "README.md", report.markdown(results, meta, ref, ref_meta, page="bench/results/results.md"))
    return md


def add_arguments(ap) -> None:
    ap.add_argument("--workloads", default=",".join(WORKLOADS), help="comma list of ipv4, both, ipv6")
    ap.add_argument("--libs", default=",".join(library_names()), help="comma list of libraries (default: all)")
    ap.add_argument("--reads", default=",".join(READ_OPS),
                    help="comma list of the read operations to time; none: the writes alone")
    ap.add_argument("--ab", type=Path, metavar="FOLDER",
                    help="a second build's python/ folder: its variants run beside this one's as "
                         "'netrove <variant> (B)' (an A/B comparison of two builds in one run)")
    ap.add_argument("--lookups", type=int, default=300_000, help="addresses per stream")
    ap.add_argument("--pool", type=int, default=100_000,
                    help="distinct addresses of the skewed stream (10%% of them are hot)")
    ap.add_argument("--repeats", type=int, default=3, help="read rounds (best kept)")
    ap.add_argument("--build-repeats", type=int, default=3,
                    help="builds by single inserts per library (best kept; one sample moved 10-45%% between runs)")
    ap.add_argument("--bulk-repeats", type=int, default=2, help="bulk loads per library (best kept)")
    ap.add_argument("--remove-repeats", type=int, default=3,
                    help="removals of the sample per library, each from a fresh build after the first (best kept)")
    ap.add_argument("--remove-sample", type=int, default=60_000,
                    help="prefixes removed in the timed removal, drawn at random (0: all)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    ap.add_argument("--no-redis", action="store_true", help="skip from_redis")
    ap.add_argument("--reference", type=Path, default=BENCH / "reference.json",
                    help="results.json of an earlier run, the \"today\" of the issues' targets")
    ap.add_argument("--seed", type=int, default=20240607)
    ap.add_argument("--render", action="store_true",
                    help="measure nothing: write the pages again from the results.json in --out")


def run(args) -> int:
    if args.quick:
        args.lookups, args.pool, args.remove_sample = 5_000, 2_000, 2_000
        args.repeats = args.bulk_repeats = 1
        args.remove_repeats = min(args.remove_repeats, 2)  # two, so that a quick run tries the repeat path
    ref, ref_meta = load_results(args.reference) if args.reference else (None, None)
    if args.render:
        results, meta = load_results(args.out / "results.json")
        if results is None:
            raise SystemExit(f"no results in {args.out / 'results.json'}")
        write_pages(results, meta, args.out, ref, ref_meta)
        return 0
    args.workloads = [w for w in args.workloads.split(",") if w]
    args.reads = tuple(op for op in READ_OPS if op in args.reads.split(","))
    if set(args.workloads) - set(WORKLOADS):
        raise SystemExit(f"unknown workload in {args.workloads}")
    libs = [n.strip() for n in args.libs.split(",") if n.strip()]
    if args.ab:
        libs += adapters.add_build("B", args.ab)

    t0 = time.time()
    load_start = measure.load_average()
    path = data_path(ROOT)
    tables = origins.load_tables(path, args.limit)
    try:
        import netrove
    except ImportError:  # listed as not measured by the suite
        netrove = None
    meta = measure.machine(netrove)
    shape = origins.describe(tables["both"])
    meta.update(repeats=args.repeats, build_repeats=args.build_repeats, bulk_repeats=args.bulk_repeats,
                remove_repeats=args.remove_repeats, stream_len=args.lookups,
                origins=f"{origins.describe(tables['ipv4'])['ases']:,} ASes on the IPv4 table, "
                        f"{shape['ases']:,} on both families",
                origins_detail=(f"on both families together {shape['ases']:,} distinct ASes, the five busiest "
                                f"originating {' / '.join(f'{k:,}' for k in shape['top'])} prefixes, "
                                f"{shape['single']:.0%} of the ASes a single prefix, the median AS "
                                f"{shape['median']} prefixes."))
    phase = {"loading the table": time.time() - t0}
    print(f"peer suite: {path}, {len(tables['both']):,} prefixes, {shape['ases']:,} ASes; "
          f"libraries: {', '.join(libs)}; reference: {args.reference if ref else 'none'}", flush=True)

    results: dict[tuple[str, str], WorkloadResult] = {}
    for wname, plan in plans(args, libs):
        table = tables[wname]
        if not len(table):
            print(f"workload {wname}: no prefixes, skipped", flush=True)
            continue
        # Drawn again for each workload rather than kept: kept lists would
        # sit in the heap the collector walks while the next one is timed.
        st = make_streams(table, args.lookups, args.pool, args.seed)
        print(f"workload {wname}: {len(table):,} prefixes", flush=True)
        w = suite.run_workload(table, st, plan, repeats=args.repeats, build_repeats=args.build_repeats,
                               bulk_repeats=args.bulk_repeats, remove_sample=args.remove_sample or None,
                               remove_repeats=args.remove_repeats,
                               seed=args.seed)
        results[("realistic", wname)] = w
        del st
        phase[wname] = w.seconds

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
    (args.out / "results.json").write_text(json.dumps(
        {"meta": meta, "workloads": [asdict(w) for w in results.values()]}, indent=1))
    print(write_pages(results, meta, args.out, ref, ref_meta))
    print(f"peer suite: done in {time.time() - t0:.0f} s; results in {args.out}", flush=True)
    wrong = [n for w in results.values() for n, lib in w.libs.items() if lib.wrong]
    if wrong:
        print(f"peer suite: wrong answers from {', '.join(sorted(set(wrong)))}", file=sys.stderr)
    return 0
