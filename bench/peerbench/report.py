"""Turns suite results into ratios, the Markdown table, the targets and the chart.

Every figure is a ratio to the baseline library (pytricia) measured in the
same run: for speed, baseline time / library time (above 1 is faster); for
memory, library bytes / baseline bytes (below 1 is smaller).
"""

from __future__ import annotations

from dataclasses import dataclass

from .suite import OPS, LibResult, WorkloadResult

BASELINE = "pytricia"


def speed_ratio(lib: LibResult, base: LibResult, op: str) -> float | None:
    """Throughput of `lib` over that of `base` for `op`, or None if unmeasured."""
    t, b = lib.seconds.get(op), base.seconds.get(op)
    if not t or not b:
        return None
    return (lib.counts[op] / t) / (base.counts[op] / b)


def memory_ratio(lib: LibResult, base: LibResult) -> float | None:
    if lib.mem_per_prefix is None or not base.mem_per_prefix or base.mem_per_prefix <= 0:
        return None
    return lib.mem_per_prefix / base.mem_per_prefix


def baseline_of(w: WorkloadResult) -> LibResult | None:
    """pytricia when it was measured, otherwise the first library measured."""
    if BASELINE in w.libs:
        return w.libs[BASELINE]
    return next(iter(w.libs.values()), None)


@dataclass
class Target:
    text: str
    lib: str
    op: str          # an OPS key or "memory"
    bound: float
    at_least: bool   # True: ratio >= bound; False: ratio <= bound
    ratio: float | None = None

    @property
    def met(self) -> bool | None:
        if self.ratio is None:
            return None
        return self.ratio >= self.bound if self.at_least else self.ratio <= self.bound


def targets(w: WorkloadResult) -> list[Target]:
    """The goals on the IPv4 table, each with its measured ratio."""
    ts = [
        Target("lookup, in table, default variant, >= 4x pytricia get", "netrove default", "inside", 4.0, True),
        Target("lookup, random, default variant, >= 4x", "netrove default", "random", 4.0, True),
        Target("contains, default variant, >= 6x pytricia `in`", "netrove default", "contains", 6.0, True),
    ]
    for v in ("standard", "lockfree", "adaptive"):
        ts.append(Target(f"lookup, skewed, {v} (cached), >= 4x", f"netrove {v}", "skewed", 4.0, True))
        for op, title in (("inside", "in table"), ("random", "random")):
            ts.append(Target(f"lookup, {title}, {v} (cached), >= 3x", f"netrove {v}", op, 3.0, True))
    ts.append(Target("build, default variant, >= 1.5x", "netrove default", "build", 1.5, True))
    for v in ("default", "standard", "lockfree", "adaptive"):
        ts.append(Target(f"remove, {v}, >= 1x", f"netrove {v}", "remove", 1.0, True))
    ts += [
        Target("memory per prefix, default variant, <= 1.2x", "netrove default", "memory", 1.2, False),
        Target("memory per prefix, lockfree, <= 2x", "netrove lockfree", "memory", 2.0, False),
        Target("lookup_many, in table, >= 10x pytricia get per address", "netrove batch", "inside", 10.0, True),
        Target("lookup_many, random, >= 10x", "netrove batch", "random", 10.0, True),
        Target("contains_many, >= 15x pytricia `in`", "netrove batch", "contains", 15.0, True),
        Target("insert_many of the whole table, >= 3x pytricia's build", "netrove batch", "build", 3.0, True),
    ]
    base = baseline_of(w)
    for t in ts:
        lib = w.libs.get(t.lib)
        if lib is None or base is None or base.name != BASELINE:
            continue
        t.ratio = memory_ratio(lib, base) if t.op == "memory" else speed_ratio(lib, base, t.op)
    return ts


def _fmt(r: float | None) -> str:
    return "–" if r is None else f"{r:.2f}"


def _anchor(base: LibResult) -> str:
    """The baseline's own figures, so the ratios can be read as rates."""
    parts = []
    for op, title in OPS:
        if base.seconds.get(op):
            rate = base.counts[op] / base.seconds[op]
            parts.append(f"{title} {rate / 1e6:.2f} M/s")
    if base.mem_per_prefix is not None:
        parts.append(f"memory {base.mem_per_prefix:.0f} B/prefix")
    return ", ".join(parts)


def workload_table(w: WorkloadResult) -> str:
    base = baseline_of(w)
    head = ["library", "version"] + [t for _, t in OPS] + ["memory / prefix", "notes"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for name, lib in w.libs.items():
        cells = [name, lib.version]
        for op, _ in OPS:
            cells.append(_fmt(speed_ratio(lib, base, op)) if base else "–")
        if lib.mem_error:
            cells.append("–")
        else:
            cells.append(_fmt(memory_ratio(lib, base)) if base else "–")
        notes = list(lib.notes)
        if lib.mem_error:
            notes.append(f"memory not measured: {lib.mem_error}")
        if lib.wrong:
            notes.append("**WRONG ANSWERS**: " + "; ".join(lib.wrong))
        cells.append("; ".join(notes))
        lines.append("| " + " | ".join(cells) + " |")
    for name, why in w.unavailable.items():
        lines.append(f"| {name} | not measured | " + " | ".join(["–"] * (len(OPS) + 1)) + f" | {why} |")
    return "\n".join(lines)


def markdown(results: list[WorkloadResult], meta: dict, chart_name: str) -> str:
    """The whole results page."""
    out = ["# netrove against the Python prefix-matching libraries", ""]
    out.append(f"Measured {meta['date']} on {meta['cpu']} ({meta['cores']} cores), "
               f"Python {meta['python']}, netrove at {meta['commit']}. "
               f"Best of {meta['repeats']} runs per stream ({meta['stream_len']:,} addresses each); "
               + ("one timed build and removal per library." if meta["build_repeats"] <= 1 else
                  f"best of {meta['build_repeats']} builds and removals."))
    out.append("")
    out.append(f"![ratios to pytricia]({chart_name})")
    out.append("")
    out.append("Every figure is a ratio to pytricia measured in the same run. Speed columns: "
               "throughput relative to pytricia (above 1.00 is faster). Memory: resident memory "
               "growth per prefix relative to pytricia, each library built in a fresh process "
               "(below 1.00 is smaller).")
    for w in results:
        out += ["", f"## {'IPv4 table' if w.name == 'ipv4' else 'IPv4 and IPv6 together'} "
                    f"({w.prefixes:,} prefixes: {w.v4:,} IPv4, {w.v6:,} IPv6)", ""]
        out.append(workload_table(w))
        base = baseline_of(w)
        if base is not None:
            label = "pytricia" if base.name == BASELINE else f"{base.name} (pytricia missing)"
            out += ["", f"Baseline {label} in this run: {_anchor(base)}."]
    if results and results[0].name == "ipv4":
        out += ["", "## Targets (IPv4 table, ratio to pytricia)", "",
                "| target | measured | met |", "|---|---|---|"]
        for t in targets(results[0]):
            met = {True: "yes", False: "**no**", None: "not measured"}[t.met]
            out.append(f"| {t.text} | {_fmt(t.ratio)} | {met} |")
    w0 = results[0] if results else None
    out += ["", "## How it is measured", ""]
    out += [
        "- Every library stores one value per prefix and hands it back on lookup. pytricia, "
        "pysubnettree and radixtarget return the stored object; py-radix returns its stored node "
        "(the value sits in `node.data`); netrove stores a copy of the record "
        "`{\"value\": str, \"attributes\": {}}` and builds a new dict for each answer, which is its "
        "contract.",
        "- pytricia cannot hold both families in one tree (a 32-bit tree folds IPv6 keys onto IPv4 "
        "ones, a 128-bit tree folds IPv4 onto IPv6), so in the two-family workload it gets two trees "
        "and each address is routed by looking for \":\" inside the timed loop; that cost is counted "
        "against it. The others keep both families in one structure.",
        "- Idioms timed: pytricia `t[p] = v`, `t.get(ip)`, `ip in t`, `t.delete(p)`; py-radix "
        "`rt.add(p).data[\"value\"] = v`, `rt.search_best(ip)` (also for contains: it has no "
        "membership test), `rt.delete(p)`; pysubnettree `t[p] = v`, `t[ip]` with KeyError on a "
        "miss, `ip in t`, `t.remove(p)`; radixtarget `rt.insert(p, v)`, `rt.get(ip)`, `ip in rt`, "
        "`rt.delete(p)`; netrove `e.insert(p, record)`, `e.lookup(ip)`, `e.contains(ip)`, "
        "`e.remove(p)`.",
        "- netrove variants: default = `RadixEngine()` (uncached); `standard`, `lockfree` and "
        "`adaptive` put a 10,000-entry lookup cache in front of the trie. *netrove batch* is the "
        "default engine through the batch calls: `e.insert_many(zip(prefixes, records))` for the "
        "build, one `e.lookup_many(stream)` or `e.contains_many(stream)` per stream (the list of "
        "answers is built and then dropped), `e.remove(p)` per prefix.",
        "- Streams (same texts for every library): *in table*: an address inside a prefix drawn "
        "uniformly from the table; *random*: uniformly random IPv4 addresses, and IPv6 addresses "
        "uniform in 2000::/3, in the table's family mix; *skewed*: "
        + (f"{w0.pool:,} distinct in-table addresses of which {w0.hot:,} (10%) take 90% of the "
           f"lookups; " if w0 else "")
        + "*contains* and *in table, dropped*: the in-table stream.",
        "- The lookup streams keep every answer in a list, as a caller that uses them does, with the "
        "cyclic garbage collector running as in an application (objects alive before the loop are "
        "frozen out of its reach); *in table, dropped* drops each answer at once, with the collector "
        "off, which is the cost of the call alone.",
        "- Removal: "
        + (f"{w0.removed:,} prefixes drawn at random (the same for every library), "
           if w0 and w0.removed < w0.prefixes else "every prefix, ")
        + "removed after the lookup streams have run, so that caches are warm as in a live "
          "table; a cached netrove variant drops the cached answers inside each removed prefix "
          "(before it changes the table: the bucket lists of the prefix's leading bits).",
        "- Before timing, every library's answers on the first addresses of each stream are "
        "checked against a reference longest-prefix match; a library that answers wrongly is "
        "marked in the notes.",
    ]
    if meta.get("unavailable_note"):
        out += ["- " + meta["unavailable_note"]]
    out.append("")
    return "\n".join(out)


def chart(results: list[WorkloadResult], path: str) -> None:
    """Bar chart of every ratio, one row per workload: speed left, memory right."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    rows = len(results)
    fig, axes = plt.subplots(rows, 2, figsize=(15, 4.6 * rows), squeeze=False,
                             gridspec_kw={"width_ratios": [5, 1.3]})
    cmap = plt.get_cmap("tab10")
    for r, w in enumerate(results):
        base = baseline_of(w)
        names = list(w.libs)
        ax, mx = axes[r]
        width = 0.8 / max(1, len(names))
        for i, name in enumerate(names):
            lib = w.libs[name]
            vals = [speed_ratio(lib, base, op) or float("nan") for op, _ in OPS]
            xs = [k + (i - (len(names) - 1) / 2) * width for k in range(len(OPS))]
            ax.bar(xs, vals, width, label=name, color=cmap(i % 10))
            mval = memory_ratio(lib, base) or 0.0
            mx.bar([i], [mval], 0.8, color=cmap(i % 10))
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(OPS)), [t for _, t in OPS])
        title = "IPv4 table" if w.name == "ipv4" else "IPv4 + IPv6"
        ax.set_title(f"{title}: throughput relative to pytricia (higher is better)")
        ax.set_yscale("log")
        plain = matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_locator(matplotlib.ticker.LogLocator(subs=(2.0, 5.0)))
        ax.yaxis.set_minor_formatter(plain)
        ax.tick_params(axis="y", which="minor", labelsize=7)
        ax.grid(axis="y", alpha=0.3, which="both")
        mx.axhline(1.0, color="black", linewidth=0.8)
        mx.set_xticks(range(len(names)), names, rotation=60, ha="right", fontsize=8)
        mx.set_title("memory / prefix vs pytricia\n(lower is better)", fontsize=9)
        if r == 0:
            ax.legend(fontsize=8, ncol=len(names), loc="lower center", bbox_to_anchor=(0.5, 1.08),
                      frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
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
