"""The results page: per workload, single calls (every library), batch calls
(netrove against pytricia's loop), named variants against the default, two
threads, save/open and ipaddress objects; then the open issues' targets.
Speed ratios are throughput over pytricia's in the same run (above 1 is
faster); memory ratios bytes over pytricia's (below 1 is smaller).
"""

from __future__ import annotations


from . import targets as tg
from .suite import LibResult, WorkloadResult
from .targets import BASELINE, DEFAULT, Results, memory_ratio, vs_lib

SINGLE_COLS = [("build", "build"), ("inside", "lookup, in table"), ("random", "lookup, random"),
               ("skewed", "lookup, skewed"), ("dropped", "lookup, in table, dropped"),
               ("contains", "contains"), ("value", "lookup_value"), ("remove", "remove")]
BATCH_COLS = [("insert_many", "insert_many"), ("insert_many_gen", "insert_many, generator"), ("many", "lookup_many"),
              ("values", "lookup_values"), ("contains_many", "contains_many"),
              ("packed_contains", "packed contains_many"), ("packed_values", "packed lookup_values")]
VARIANT_COLS = [c for c in SINGLE_COLS + BATCH_COLS if c[0] != "dropped"]
THREAD_TITLES = {"many": "`lookup_many` (str)", "values": "`lookup_values` (str)",
                 "packed_contains": "`contains_many` (packed)", "packed_values": "`lookup_values` (packed)",
                 "control": "control: `hashlib.sha256` of 32 MiB (runs without the lock)"}
ISSUES = {34: "Issue 34: loading at the machine's pace and half the memory",
          35: "Issue 35: lookups at the speed of DPDK's LPM"}
WRITE_OPS = {"build", "insert_many", "insert_many_gen", "remove"}
WORKLOAD_TITLES = {"ipv4": "IPv4 table", "both": "IPv4 and IPv6 together", "ipv6": "IPv6 table"}

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
    head = ["library", "version"] + [t for _, t in cols] + (["memory / prefix (bytes)"] if memory else []) + ["notes"]
    rows = []
    for name, lib in w.libs.items():
        if _hidden(name):
            continue
        cells = [name, lib.version] + [_cell(w, name, op) for op, _ in cols]
        if memory:
            m = memory_ratio(w, name)
            cells.append("–" if lib.mem_error or m is None else f"{m:.2f} ({lib.mem_per_prefix:.0f} B)")
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
    return [(op, t) for op, t in cols if op in w.ops or op in WRITE_OPS]


def batch_table(w: WorkloadResult) -> list[str]:
    cols = _planned(w, BATCH_COLS)
    cols = [c for c in cols if c[0] not in WRITE_OPS
            or any(c[0] in l.seconds or c[0] in l.missing for l in w.libs.values())]
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
    for issue, title in ISSUES.items():
        rows = []
        for t in ts:
            if t.issue != issue:
                continue
            met = {True: "yes", False: "**no**", None: "not measured" if t.value is None else "–"}[t.met]
            bound = "–" if t.bound is None else (("≥ " if t.at_least else "≤ ") + f"{t.bound:.2f}")
            val = "–" if t.value is None else (f"{t.value:.0f}" if t.text.startswith("no other")
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
                       "10 to 20%: candidates to re-measure side by side with `--ab`):")
            out.append("")
            out += _table(["figure", "now", "reference"], [[l, f"{a:.2f}", f"{b:.2f}"] for l, a, b in d])
        else:
            out.append(f"None: no netrove ratio fell more than {1 - tg.NOISE:.0%} below the reference run.")
        out.append("")
    return out


def markdown(res: Results, meta: dict, ref: Results | None = None,
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
    out.append("")
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
        if any(l.name.startswith("netrove") for l in w.libs.values()):
            out += ["", "### Batch calls, against pytricia's loop over the same addresses", ""]
            out += batch_table(w)
            if base is not None:
                out += ["", f"pytricia's loop in this run, per address: {_anchor(w, base, BATCH_COLS, False)}."]
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
        out += ["## Targets of the open issues", ""]
        for issue, title in ISSUES.items():
            mine = [t for t in tg.computed(res, ref) if t.issue == issue]
            out.append(f"- {title}: {sum(1 for t in mine if t.met)} of {sum(1 for t in mine if t.met is not None)} "
                       f"judged targets met; {sum(1 for t in mine if t.value is None)} of {len(mine)} not measured.")
        out += ["", f"The targets one by one and how every figure is measured: "
                    f"[{page}]({page}).", ""]
        return "\n".join(out) + "\n"
    out += targets_section(res, ref, ref_meta)
    out += how_measured(res, meta)
    return "\n".join(out) + "\n"


def how_measured(res: Results, meta: dict) -> list[str]:
    """This run's own facts; the method is in bench/README.md."""
    w = res.get(("realistic", "ipv4")) or next(iter(res.values()), None)
    out = ["## This run", "", "How every figure is measured: bench/README.md, *The peers mode*.", ""]
    if meta.get("origins_detail"):
        out.append("- **Records**: " + meta["origins_detail"])
    if w:
        out.append(f"- **Streams**: {w.stream_len:,} addresses each; the skewed one {w.pool:,} distinct "
                   f"addresses of which {w.hot:,} take 90% of the lookups; {w.removed:,} prefixes removed.")
    out.append(f"- **Rounds**: best of {meta['repeats']} read rounds, {meta.get('build_repeats', 1)} builds "
               f"by single inserts, {meta.get('bulk_repeats', 2)} bulk loads and "
               f"{meta.get('remove_repeats', 1)} removals per library.")
    out.append("- **Runtime**: " + ", ".join(f"{k} {v:.0f} s" for k, v in meta.get("phase_seconds", {}).items())
               + ".")
    if meta.get("unavailable_note"):
        out.append("- " + meta["unavailable_note"])
    return out + [""]


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
