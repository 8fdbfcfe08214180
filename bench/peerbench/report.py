"""Turns suite results into the results page, the targets tables and the chart.

Every figure is a ratio measured in the same run: for speed, throughput of
the library over pytricia's (above 1 is faster); for memory, library bytes
over pytricia's (below 1 is smaller); against the default variant, a named
variant's throughput over the default's.  The page:

  headline (realistic setting)   per workload: single calls (every library),
                                 batch calls (netrove against pytricia's loop),
                                 named variants against the default, and for
                                 the IPv4 table two threads and save/open
  targets                        one table per issue (peerbench.targets)
  frozen setting                 the rows of earlier runs, their format
  how it is measured             method, records, streams, machine state
"""

from __future__ import annotations

import math

from . import targets as tg
from .suite import LibResult, WorkloadResult
from .targets import BASELINE, DEFAULT, Results, memory_ratio, vs_lib

SINGLE_COLS = [("build", "build"), ("inside", "lookup, in table"), ("random", "lookup, random"),
               ("skewed", "lookup, skewed"), ("dropped", "lookup, in table, dropped"),
               ("contains", "contains"), ("value", "lookup_value"), ("remove", "remove")]
BATCH_COLS = [("insert_many", "insert_many"), ("many", "lookup_many"), ("values", "lookup_values"),
              ("contains_many", "contains_many"), ("packed_contains", "packed contains_many"),
              ("packed_values", "packed lookup_values")]
VARIANT_COLS = [("inside", "lookup, in table"), ("random", "lookup, random"), ("skewed", "lookup, skewed"),
                ("contains", "contains"), ("value", "lookup_value"), ("many", "lookup_many"),
                ("values", "lookup_values"), ("contains_many", "contains_many"),
                ("packed_contains", "packed contains_many"), ("packed_values", "packed lookup_values"),
                ("build", "build"), ("insert_many", "insert_many"), ("remove", "remove")]
FROZEN_COLS = [("build", "build"), ("inside", "lookup, in table"), ("random", "lookup, random"),
               ("skewed", "lookup, skewed"), ("dropped", "lookup, in table, dropped"),
               ("contains", "contains"), ("remove", "remove")]
THREAD_TITLES = {"many": "`lookup_many` (str)", "values": "`lookup_values` (str)",
                 "packed_contains": "`contains_many` (packed)", "packed_values": "`lookup_values` (packed)",
                 "control": "control: `hashlib.sha256` of 32 MiB (runs without the lock)"}
WORKLOAD_TITLES = {"ipv4": "IPv4 table", "both": "IPv4 and IPv6 together", "ipv6": "IPv6 table"}
ALL_OPS = dict(SINGLE_COLS + BATCH_COLS + [("pickle_dumps", "pickle.dumps"), ("pickle_loads", "pickle.loads"),
                                          ("ipobj_lookup", "lookup(IPv4Address)"),
                                          ("ipobj_contains", "contains(IPv4Address)")])


def _fmt(r: float | None) -> str:
    return "–" if r is None else f"{r:.2f}"


def _cell(w: WorkloadResult, lib: str, op: str, base: str | None = None) -> str:
    r = vs_lib(w, lib, op, base)
    if r is not None:
        return f"{r:.2f}"
    return "n/m" if op in w.libs[lib].missing else "–"


def _anchor(w: WorkloadResult, base: LibResult, cols, memory: bool = True) -> str:
    """The baseline's own figures, so the ratios can be read as rates."""
    parts = []
    for op, title in cols:
        t = base.seconds.get(op)
        if t:
            ns = t / base.counts[op] * 1e9
            parts.append(f"{title} {ns:,.0f} ns")
    if memory and base.mem_per_prefix is not None:
        parts.append(f"memory {base.mem_per_prefix:.0f} B/prefix")
    return ", ".join(parts)


def _missing_note(w: WorkloadResult, cols) -> str:
    """One line per reason a netrove figure was not measured."""
    keys = {op for op, _ in cols} & (set(w.ops) | {"insert_many", "build", "remove"})
    why: dict[str, set[str]] = {}
    for lib in w.libs.values():
        for op, reason in lib.missing.items():
            if op in keys:
                why.setdefault(reason, set()).add(ALL_OPS.get(op, op))
    if not why:
        return ""
    return "n/m: not measured (" + "; ".join(f"{', '.join(sorted(ops))}: {r}" for r, ops in why.items()) + ")."


def _hidden(name: str) -> bool:
    """A later group's pytricia: its peers' ratios are to it, no row of its own."""
    return name.startswith(BASELINE) and name != BASELINE


def _groups_note(w: WorkloadResult) -> str:
    others = sorted({l.name for l in w.libs.values() if l.base != BASELINE and not _hidden(l.name)})
    if not others:
        return ""
    return (f"{', '.join(others)} were built and measured in a second group, after the first group's tables "
            "were dropped, beside a second pytricia to which their ratios are: py-radix keeps a tracked "
            "dict per prefix (`node.data`), a million objects that would otherwise sit in the heap "
            "netrove's answers are collected over.")


def _table(head: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)] + ["| " + " | ".join(r) + " |" for r in rows]


def single_table(w: WorkloadResult, cols=SINGLE_COLS, memory: bool = True) -> list[str]:
    head = ["library", "version"] + [t for _, t in cols] + (["memory / prefix"] if memory else []) + ["notes"]
    rows = []
    for name, lib in w.libs.items():
        if _hidden(name):
            continue
        cells = [name, lib.version] + [_cell(w, name, op) for op, _ in cols]
        if memory:
            cells.append("–" if lib.mem_error else _fmt(memory_ratio(w, name)))
        notes = list(lib.notes)
        if lib.mem_error and memory:
            notes.append(f"memory not measured: {lib.mem_error}")
        if lib.wrong:
            notes.append("**WRONG ANSWERS**: " + "; ".join(lib.wrong))
        cells.append("; ".join(notes))
        rows.append(cells)
    for name, why in w.unavailable.items():
        rows.append([name, "not measured"] + ["–"] * (len(cols) + (1 if memory else 0)) + [why])
    return _table(head, rows)


def _planned(w: WorkloadResult, cols):
    """The columns of `cols` this workload measured or meant to."""
    return [(op, t) for op, t in cols if op in w.ops or op in ("build", "insert_many", "remove")]


def batch_table(w: WorkloadResult) -> list[str]:
    cols = _planned(w, BATCH_COLS)
    if not any("insert_many" in l.seconds or "insert_many" in l.missing for l in w.libs.values()):
        cols = [c for c in cols if c[0] != "insert_many"]
    head = ["library"] + [t for _, t in cols]
    rows = []
    for name in w.libs:
        if name == BASELINE or name.startswith("netrove"):
            rows.append([name if name != BASELINE else "pytricia (its loop)"]
                        + [_cell(w, name, op) for op, _ in cols])
    return _table(head, rows)


def variant_table(w: WorkloadResult) -> list[str]:
    cols = [(op, t) for op, t in _planned(w, VARIANT_COLS)
            if any(op in l.seconds for n, l in w.libs.items() if n.startswith("netrove "))]
    head = ["variant"] + [t for _, t in cols] + ["cache hit rate, skewed stream"]
    rows = []
    for name, lib in w.libs.items():
        if not name.startswith("netrove ") or name == DEFAULT:
            continue
        rows.append([name] + [_cell(w, name, op, DEFAULT) for op, _ in cols]
                    + ["–" if lib.hit_rate is None else f"{lib.hit_rate:.0%}"])
    return _table(head, rows)


def threads_table(w: WorkloadResult) -> list[str]:
    head = ["call (netrove default, in-table stream)", "one thread", "two threads", "two / one"]
    rows = []
    for key, title in THREAD_TITLES.items():
        if key in w.threads:
            one, two = w.threads[key]
            rows.append([title, f"{one * 1e3:,.0f} ms", f"{two * 1e3:,.0f} ms", f"{one / two:.2f}"])
        elif key in w.thread_notes:
            rows.append([title, "–", "–", f"not measured: {w.thread_notes[key]}"])
    return _table(head, rows)


def save_open_table(w: WorkloadResult) -> list[str]:
    rows = []
    for op, title in (("pickle_dumps", "`pickle.dumps`"), ("pickle_loads", "`pickle.loads`")):
        b = w.libs.get(BASELINE)
        n = w.libs.get(DEFAULT)
        bt = b.seconds.get(op) if b else None
        nt = n.seconds.get(op) if n else None
        why = (n.missing.get(op) if n else "") or ""
        rows.append([title + " of the whole table", "–" if bt is None else f"{bt:.2f} s",
                     "–" if nt is None else f"{nt:.2f} s",
                     _fmt(bt / nt) if bt and nt else ("not measured: " + why if why else "–")])
    r = w.redis
    if "open" in r:
        rows.append(["`RadixEngine.from_redis(url)` against a local `insert_many` (netrove default)",
                     f"local {r['local']:.2f} s", f"from_redis {r['open']:.2f} s",
                     f"{r['local'] / r['open']:.2f} (from_redis takes {r['open'] / r['local']:.2f}x)"])
    elif r:
        rows.append(["`RadixEngine.from_redis(url)`", "–", "–",
                     "not measured: " + (r.get("skipped") or r.get("error") or "?")])
    return _table(["figure", "pytricia", "netrove default", "speed ratio (netrove / pytricia)"], rows)


def ipobj_table(w: WorkloadResult) -> list[str]:
    n = w.libs.get(DEFAULT)
    if n is None:
        return []
    rows = []
    for op, base, title in (("ipobj_lookup", "inside", "`lookup`"), ("ipobj_contains", "contains", "`contains`")):
        v = vs_lib(w, DEFAULT, op, DEFAULT, base)
        rows.append([title, _fmt(v) if v is not None else "not measured: " + n.missing.get(op, "?")])
    return _table(["call (netrove default, in-table stream)", "IPv4Address / str throughput"], rows)


def targets_section(res: Results, ref: Results | None, ref_meta: dict | None) -> list[str]:
    out = ["## Targets of the open issues", ""]
    if ref_meta and ref_meta.get("self"):
        out.append("This run is the reference run (bench/reference.json), the \"today\" of the targets "
                   "that compare with it: they are judged in later runs.")
    elif ref_meta and ref_meta.get("unlike"):
        out.append(f"The reference run ({ref_meta.get('date', '?')}) measured another table size or stream "
                   "length, so the figures against \"today\" are not judged.")
    elif ref_meta:
        out.append(f"Reference run (\"today\" in the issues' words): {ref_meta.get('date', '?')}, "
                   f"netrove at {ref_meta.get('commit', '?')}.")
    else:
        out.append("Reference run: none given (`--reference`), so the figures against \"today\" are not judged.")
    out.append("")
    ts = tg.computed(res, ref)
    for issue, title in ((23, "Issue 23: answers at the cost of a pointer"),
                         (24, "Issue 24: a lookup cache that pays for itself"),
                         (25, "Issue 25: writes at pytricia's pace"),
                         (26, "Issue 26: the peers' idioms")):
        rows = []
        for t in ts:
            if t.issue != issue:
                continue
            met = {True: "yes", False: "**no**", None: "not measured" if t.value is None else "–"}[t.met]
            bound = "–" if t.bound_used is None else (("≥ " if t.at_least else "≤ ") + f"{t.bound_used:.2f}")
            val = "–" if t.value is None else (f"{t.value:.0f}" if t.text.startswith(("No other", "the str"))
                                                else f"{t.value:.2f}")
            rows.append([t.text, bound, val, met, t.detail])
        met_n = sum(1 for t in ts if t.issue == issue and t.met)
        judged = sum(1 for t in ts if t.issue == issue and t.met is not None)
        out += [f"### {title} ({met_n} of {judged} judged targets met)", ""]
        out += _table(["target (the issue's words)", "bound", "measured", "met", "notes"], rows)
        out.append("")
    d = tg.drops(res, ref)
    if ref is not None:
        out += ["### Figures below the reference run", ""]
        if d:
            out.append(f"netrove ratios to pytricia (realistic setting) more than {1 - tg.NOISE:.0%} "
                       "below the same ratio in the reference run (two runs on the shared machine differ by "
                       "10 to 20%: candidates to re-measure side by side with bench/ab_python_bench.py):")
            out.append("")
            out += _table(["figure", "now", "reference"], [[l, f"{a:.2f}", f"{b:.2f}"] for l, a, b in d])
        else:
            out.append(f"None: no netrove ratio fell more than {1 - tg.NOISE:.0%} below the reference run.")
        out.append("")
    return out


def targets_summary(res: Results, ref: Results | None) -> list[str]:
    """One line per issue: how many of its targets this run meets."""
    ts = tg.computed(res, ref)
    out = ["## Targets of the open issues", ""]
    for issue in (23, 24, 25, 26):
        mine = [t for t in ts if t.issue == issue]
        met = sum(1 for t in mine if t.met)
        judged = sum(1 for t in mine if t.met is not None)
        out.append(f"- Issue {issue}: {met} of {judged} judged targets met; "
                   f"{sum(1 for t in mine if t.value is None)} of {len(mine)} not measured in this run.")
    return out


def markdown(res: Results, meta: dict, chart_name: str, ref: Results | None = None,
             ref_meta: dict | None = None, page: str | None = None) -> str:
    """The whole results page; with `page` (the path of the whole page from
    where this text goes), the READMEs' shorter version: the headline
    tables, one line per issue's targets, and a link for the rest."""
    out = ["# netrove against the Python prefix-matching libraries", ""]
    la = meta.get("load", {})
    out.append(f"Measured {meta['date']} on {meta['cpu']} ({meta['cores']} cores), Python {meta['python']}, "
               f"netrove {meta.get('netrove_version', '?')} at {meta['commit']}; the whole run took "
               f"{meta.get('minutes', 0):.0f} min. Machine state: load average {la.get('start', '?')} at the "
               f"start and {la.get('end', '?')} at the end (1/5/15 min), highest 1-minute figure seen "
               f"{la.get('max1', '?')}: other work was running beside the suite, so absolute times are not "
               "comparable between runs; every figure here is a ratio measured in this run.")
    out.append("")
    out.append(f"**Headline: the realistic setting.** The cyclic collector is on and nothing is frozen "
               f"while every figure is timed; every record has attributes: one record per origin AS, "
               f"`{{\"value\": \"AS<n>\", \"attributes\": {{\"asn\": \"<n>\"}}}}`, the same dict object for "
               f"every prefix of one AS, as a loader makes them ({meta.get('origins', '')}). The peers store "
               f"that same object. Best of {meta['repeats']} runs per stream of {meta['stream_len']:,} "
               f"addresses; ratios to pytricia in this run (speed: above 1.00 is faster; memory: below 1.00 "
               f"is smaller).")
    out += ["", f"![ratios to pytricia]({chart_name})", ""]
    for wname in ("ipv4", "both", "ipv6"):
        w = res.get(("realistic", wname))
        if w is None:
            continue
        out += [f"## {WORKLOAD_TITLES[wname]} ({w.prefixes:,} prefixes: {w.v4:,} IPv4, {w.v6:,} IPv6; "
                f"{w.records:,} records)", "",
                f"The heap the reads ran over: {w.heap_objects:,} objects tracked by the collector; one full "
                f"collection of it took {w.full_collect_ms:.0f} ms.", ""]
        cols = [c for c in _planned(w, SINGLE_COLS)
                if c[0] != "remove" or any("remove" in l.seconds for l in w.libs.values())]
        mem = any(l.mem_per_prefix is not None or l.mem_error for l in w.libs.values())
        out += ["### Single calls", ""] + single_table(w, cols, mem)
        base = w.libs.get(BASELINE)
        if base is not None:
            out += ["", f"pytricia in this run, per call: {_anchor(w, base, cols)}."]
        if _groups_note(w):
            out += ["", _groups_note(w)]
        if w.note:
            out += ["", w.note]
        if any(l.name.startswith("netrove") for l in w.libs.values()):
            out += ["", "### Batch calls, against pytricia's loop over the same addresses", ""]
            out += batch_table(w)
            if base is not None:
                out += ["", f"pytricia's loop in this run, per address: {_anchor(w, base, BATCH_COLS, False)}."]
            note = _missing_note(w, SINGLE_COLS + BATCH_COLS)
            if note:
                out += ["", note]
        if sum(1 for n in w.libs if n.startswith("netrove ")) > 1:
            out += ["", "### Named variants against the default variant (throughput ratio, same run)", ""]
            out += variant_table(w)
        if w.threads or w.thread_notes:
            out += ["", "### Two threads against one (same total work)", ""] + threads_table(w)
        if any(op in l.seconds or op in l.missing for l in w.libs.values()
               for op in ("pickle_dumps", "pickle_loads")) or w.redis:
            out += ["", "### Saving and opening the whole table", ""] + save_open_table(w)
            for n in w.pickle_notes:
                out += ["", n + "."]
        if "ipobj_lookup" in w.ops and DEFAULT in w.libs:
            out += ["", "### `ipaddress` objects against text (netrove default)", ""] + ipobj_table(w)
        out.append("")
    if page is not None:
        out += targets_summary(res, ref)
        out += ["", f"The targets one by one, the frozen rows of earlier runs and how every figure is measured: "
                    f"[{page}]({page}).", ""]
        return "\n".join(out) + "\n"
    out += targets_section(res, ref, ref_meta)
    frozen = [res[k] for k in (("frozen", "ipv4"), ("frozen", "both")) if k in res]
    if frozen:
        out += ["## Frozen heap, records without attributes (the rows of earlier runs)", "",
                "As earlier runs measured: answers kept with the collector on over the loop's own objects "
                "(everything older frozen by `gc.freeze()`), the other loops with the collector off; every "
                "prefix stores its own value `\"r<i>\"` (netrove: `{\"value\": \"r<i>\", \"attributes\": {}}`). "
                f"Streams of {frozen[0].stream_len:,} addresses as before, best of {frozen[0].repeats} runs. "
                "*netrove batch* is the default "
                "engine through `insert_many`, `lookup_many` and `contains_many`. Memory: netrove's measured "
                "with these records; a peer stores one pointer in either setting, so its figure is the "
                "headline's where the headline has one.", ""]
        for w in frozen:
            out += [f"### {WORKLOAD_TITLES[w.name]} ({w.prefixes:,} prefixes: {w.v4:,} IPv4, {w.v6:,} IPv6)", ""]
            out += single_table(w, FROZEN_COLS, True)
            base = w.libs.get(BASELINE)
            if base is not None:
                out += ["", f"pytricia in this run, per call: {_anchor(w, base, FROZEN_COLS)}."]
            out.append("")
    out += how_measured(res, meta)
    return "\n".join(out) + "\n"


def how_measured(res: Results, meta: dict) -> list[str]:
    w = res.get(("realistic", "ipv4")) or next(iter(res.values()), None)
    out = ["## How it is measured", ""]
    out += [
        "- **Realistic setting (headline).** Every figure is timed with the cyclic collector on and nothing "
        "frozen, after a full collection so that every library starts from the same heap. Loops that keep "
        "their answers keep them in a list until the clock stops, as a caller that uses them does; the "
        "collector then walks the table's records, the harness's objects and every answer kept. "
        "*dropped* drops each answer at once.",
        "- **Records.** The table has no AS data, so each prefix gets a synthetic origin AS "
        "(bench/peerbench/origins.py, deterministic): walking the prefixes in address order, a prefix keeps "
        "the AS of the one before it with probability 0.55, else draws one from a Zipf-like law (exponent "
        "0.85 over 85,000 ranks). " + (meta.get("origins_detail", "")) + " Every library is given the same "
        "per-AS dict objects: pytricia, pysubnettree and radixtarget store and return the object, py-radix "
        "keeps it in `node.data[\"value\"]` and returns the node, netrove converts and interns it and builds "
        "an answer dict per `lookup`.",
        "- **Streams** (the same texts for every library): *in table*: an address inside a prefix drawn "
        "uniformly from the table; *random*: uniformly random IPv4 addresses, and IPv6 addresses uniform "
        "in 2000::/3, in the table's family mix; *skewed*: "
        + (f"{w.pool:,} distinct in-table addresses of which {w.hot:,} (10%) take 90% of the lookups "
           "(the cached variants hold 10,000 entries). " if w else "")
        + "`contains`, `lookup_value` and every batch call run over the in-table stream.",
        "- **Calls timed.** pytricia `t[p] = v`, `t.get(ip)`, `ip in t`, `t.delete(p)`; py-radix "
        "`rt.add(p).data[\"value\"] = v`, `rt.search_best(ip)` (also for contains: it has no membership "
        "test), `rt.delete(p)`; pysubnettree `t[p] = v`, `t[ip]` with KeyError on a miss, `ip in t`, "
        "`t.remove(p)`; radixtarget `rt.insert(p, v)`, `rt.get(ip)`, `ip in rt`, `rt.delete(p)`; netrove "
        "`e.insert(p, record)`, `e.lookup(ip)`, `e.contains(ip)`, `e.remove(p)`, `e.lookup_value(ip)`, and "
        "one call per stream of `e.insert_many(pairs)` (a prebuilt list of (prefix, record) tuples, into a "
        "fresh engine), `e.lookup_many(ips)`, `e.lookup_values(ips)`, `e.contains_many(ips)`.",
        "- **Packed calls**: `e.contains_many(buf, family=4)` and `e.lookup_values(buf, family=4)` with "
        "`buf` an `array.array('I')` of the addresses' numbers; IPv6: `bytes` of 16-byte rows with "
        "`family=6`; both families: one call per family. Their pytricia figure is pytricia's loop over the "
        "same addresses as str (`ip in t`, `t.get(ip)` kept), timed in the same slot of the same round.",
        "- **Against pytricia.** For a call pytricia lacks (`lookup_value`, the batch calls), its figure is "
        "its own loop over the same addresses (`t.get(ip)` kept in a list, or `ip in t`), timed beside "
        "netrove's in every round; for `insert_many`, a second build of pytricia into fresh trees, timed "
        "beside. pytricia cannot hold both families in one tree, so with both it gets two trees and each "
        "address is routed by looking for \":\" inside the timed loop (counted against it).",
        "- **Rounds.** Each round runs every operation on every library in turn (the order reversed every "
        "other round); the best of the rounds is kept. Builds by single inserts: best of "
        f"{meta.get('build_repeats', 1)} per library; bulk loads (and pytricia's build beside them): best of "
        f"{meta.get('bulk_repeats', 2)}, the order reversed the second time (the first load after the builds "
        "takes fresh pages from the system).",
        "- **Two threads**: the in-table stream cut in two halves; one thread makes the two calls one after "
        "the other, two threads (`threading`, started together) make one each; best of the rounds, "
        "alternated. The packed halves are each repeated 10 times (3 ms calls are shorter than the few "
        "milliseconds by which a thread woken from the start barrier can trail the other). netrove releases "
        "the interpreter lock in its batch calls; the control shows what two threads could get on the machine "
        "at that moment.",
        "- **Pickling**: `pickle.dumps` of the whole table, then `pickle.loads` of it, each timed once, "
        "checked for the prefix count. pytricia pickles only a frozen tree (`freeze()` first, untimed and "
        "noted, `thaw()` after); py-radix pickles too but is not timed; pysubnettree and radixtarget "
        "cannot pickle.",
        "- **from_redis**: a private redis-server on a Unix socket in a temp folder (no TCP, no "
        "persistence) whose hash `netrove:entries` is filled through netrove "
        "(`from_redis(url, follow=False)` then `insert_many`); `RadixEngine.from_redis(url)` (following, "
        "the default) until it returns holding the whole table, against a local `insert_many` of the same "
        "pairs, alternated, best of 2; the server is stopped at the end.",
        "- **Removal**: " + (f"{w.removed:,} prefixes drawn at random (the same for every library), "
                             if w and w.removed else "")
        + "removed after the read rounds, so that caches are warm as in a live table; checked after.",
        "- **Memory per prefix**: each library built in a fresh interpreter from the same records; resident "
        "memory growth over the build, after freeing what can be freed, per prefix.",
        "- **Checked first**: before timing, every library's answers on the first 2,000 addresses of each "
        "stream (and netrove's other calls, packed forms included) are compared with a brute-force "
        "longest-prefix match; a library that answers wrongly is marked in the notes. In the frozen "
        "setting every prefix has its own value, so the check tells prefixes of one AS apart too.",
        "- **Runtime**: " + ", ".join(f"{k} {v:.0f} s" for k, v in meta.get("phase_seconds", {}).items()) + ".",
    ]
    if meta.get("unavailable_note"):
        out.append("- " + meta["unavailable_note"])
    out.append("")
    return out


def chart(res: Results, path: str) -> None:
    """Bar chart of the headline ratios, one row per workload: speed left,
    memory right."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    ws = [res[("realistic", k)] for k in ("ipv4", "both", "ipv6") if ("realistic", k) in res]
    if not ws:
        return
    fig, axes = plt.subplots(len(ws), 2, figsize=(17, 4.8 * len(ws)), squeeze=False,
                             gridspec_kw={"width_ratios": [6, 1.2]})
    cmap = plt.get_cmap("tab10")
    for r, w in enumerate(ws):
        cols = [(op, t) for op, t in SINGLE_COLS + BATCH_COLS
                if any(vs_lib(w, n, op) is not None for n in w.libs if n != BASELINE)]
        names = [n for n in w.libs if not _hidden(n)]
        ax, mx = axes[r]
        width = 0.8 / max(1, len(names))
        for i, name in enumerate(names):
            vals = [vs_lib(w, name, op) or math.nan for op, _ in cols]
            xs = [k + (i - (len(names) - 1) / 2) * width for k in range(len(cols))]
            ax.bar(xs, vals, width, label=name, color=cmap(i % 10))
            mx.bar([i], [memory_ratio(w, name) or 0.0], 0.8, color=cmap(i % 10))
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(cols)), [t for _, t in cols], rotation=20, ha="right", fontsize=8)
        ax.set_title(f"{WORKLOAD_TITLES[w.name]}: throughput relative to pytricia (higher is better; "
                     "collector on, nothing frozen, records with attributes)", fontsize=10)
        ax.set_yscale("log")
        plain = matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_locator(matplotlib.ticker.LogLocator(subs=(2.0, 5.0)))
        ax.yaxis.set_minor_formatter(plain)
        ax.tick_params(axis="y", which="minor", labelsize=7)
        ax.grid(axis="y", alpha=0.3, which="both")
        mx.axhline(1.0, color="black", linewidth=0.8)
        if all(memory_ratio(w, n) is None for n in names):
            mx.text(0.5, 0.5, "not measured", ha="center", va="center", transform=mx.transAxes)
        mx.set_xticks(range(len(names)), names, rotation=60, ha="right", fontsize=8)
        mx.set_title("memory / prefix vs pytricia\n(lower is better)", fontsize=9)
        if r == 0:
            ax.legend(fontsize=8, ncol=len(names), loc="lower center", bbox_to_anchor=(0.5, 1.1),
                      frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


START, END = "<!-- peer-results:start -->", "<!-- peer-results:end -->"


def embed(readme_path, page: str) -> bool:
    """Replaces the text between the results markers of a README with `page`.

    The page's headings move one level down so that they sit under the
    README's own.  Returns False (and leaves the file alone) when the file
    or either marker is missing.
    """
    try:
        text = open(readme_path, encoding="utf-8").read()
    except OSError:
        return False
    i, j = text.find(START), text.find(END)
    if i < 0 or j < i:
        return False
    body = "\n".join("#" + line if line.startswith("#") else line for line in page.splitlines())
    new = text[: i + len(START)] + "\n" + body.strip() + "\n" + text[j:]
    if new != text:
        with open(readme_path, "w", encoding="utf-8") as f:
            f.write(new)
    return True
