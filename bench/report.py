#!/usr/bin/env python3
"""The benchmark's report: table.py's two tables for every server, Spoolmere's extra
scenarios (q, g, f), and the targets as ratios against the sink and the peers measured
in the same run.

  report.py results/spoolmere.json results/sink.json results/cups.json [results/lprng.json]

Labels are taken from the files: spoolmere, sink, cups-lpd, lprng. A target whose
reference was not measured in this run is shown as "not run".
"""
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import table  # noqa: E402

MIB = 1 / 1024


def runs(d, scen):
    return [r for r in d["runs"] if r["scenario"] == scen] if d else []


def med(vals):
    vals = [v for v in vals if v is not None]
    return statistics.median(vals) if vals else None


def get(d, scen, *path):
    out = []
    for r in runs(d, scen):
        v = r
        for k in path:
            v = v.get(k) if isinstance(v, dict) else None
        out.append(v)
    return med(out)


def pooled_under_load(d):
    """Latencies of the queue-state requests sent while (b) ran, over all runs of (q)."""
    vals = []
    for r in runs(d, "q"):
        vals += r.get("queries", {}).get("under_load_ms", [])
    vals.sort()
    if not vals:
        return None, None, 0
    p = lambda q: vals[max(0, min(len(vals) - 1, -(-q * len(vals) // 100) - 1))]  # noqa: E731
    return p(50), p(99), len(vals)


def fmt(v, f="%.1f"):
    return "–" if v is None else f % v


def main(argv):
    data = {}
    for fn in argv:
        d = json.load(open(fn))
        data[d["label"]] = d
    table.main(argv)
    sm, sink, cups, lprng = (data.get(k) for k in ("spoolmere", "sink", "cups-lpd", "lprng"))
    if not sm:
        return 0

    print("\nSpoolmere's own scenarios (medians of runs)\n")
    print("| scenario | figure |")
    print("|---|---|")
    if runs(sm, "q"):
        p50, p99, n = pooled_under_load(sm)
        print("| (d) queue state while (b) runs: p50 / p99 ms (requests sent during (b), all runs) | %s / %s (%d) |"
              % (fmt(p50, "%.2f"), fmt(p99, "%.2f"), n))
        print("| (d) the same, all requests of a run (the rest meet the printing of what (b) left) | %s / %s |" % (
            fmt(get(sm, "q", "queries", "lat_p50_ms"), "%.2f"), fmt(get(sm, "q", "queries", "lat_p99_ms"), "%.2f")))
        print("| (b) beside it: jobs/s, delivered | %s, %s |" % (
            fmt(get(sm, "q", "jobs_per_s")), table.delivery(runs(sm, "q"))))
    if runs(sm, "g"):
        base = get(sm, "g", "server", "base_rss_kib")
        peak = get(sm, "g", "server", "peak_rss_kib")
        print("| (e) 1 GiB job: RSS before / peak MiB, growth | %s / %s, %s |" % (
            fmt(base and base * MIB), fmt(peak and peak * MIB),
            fmt(peak - base if peak is not None and base is not None else None, "%.0f KiB")))
        print("| (e) 1 GiB job: MB/s, delivered | %s, %s |" % (fmt(get(sm, "g", "mb_per_s")),
                                                          table.delivery(runs(sm, "g"))))
    for scen, what in (("f", "(f) close -> print start, paced jobs"), ("a", "(f) during (a)"),
                       ("b", "(f) during (b)")):
        if get(sm, scen, "start_latency", "n"):
            print("| %s: p50 / p99 / max ms (n) | %s / %s / %s (%s) |" % (
                what, fmt(get(sm, scen, "start_latency", "p50_ms"), "%.0f"),
                fmt(get(sm, scen, "start_latency", "p99_ms"), "%.0f"),
                fmt(get(sm, scen, "start_latency", "max_ms"), "%.0f"),
                fmt(get(sm, scen, "start_latency", "n"), "%.0f")))
    print("| peak PSS during (b), MiB: spoolmere / lprng / cups-lpd (shared pages split) | %s / %s / %s |" % (
        fmt(get(sm, "b", "server", "peak_pss_kib") and get(sm, "b", "server", "peak_pss_kib") * MIB),
        fmt(get(lprng, "b", "server", "peak_pss_kib") and get(lprng, "b", "server", "peak_pss_kib") * MIB),
        fmt(get(cups, "b", "server", "peak_pss_kib") and get(cups, "b", "server", "peak_pss_kib") * MIB)))

    print("\nTargets (ratios within this run; medians of its rounds)\n")
    print("| target | spoolmere | reference | ratio | wanted | met |")
    print("|---|---|---|---|---|---|")

    def row(name, mine, ref_label, ref, wanted, op, unit="%.1f"):
        if mine is None:
            print("| %s | – | | | %s | not run |" % (name, wanted))
            return
        if ref_label is None:
            ok = op(mine)
            print("| %s | %s | | | %s | %s |" % (name, unit % mine, wanted, "yes" if ok else "NO"))
            return
        if ref is None:
            print("| %s | %s | %s not run | | %s | not run |" % (name, unit % mine, ref_label, wanted))
            return
        ratio = mine / ref if ref else float("inf")
        ok = op(ratio)
        print("| %s | %s | %s %s | %.2f | %s | %s |" % (name, unit % mine, ref_label, unit % ref, ratio,
                                                       wanted, "yes" if ok else "NO"))

    b_mine = get(sm, "b", "jobs_per_s")
    row("(b) received jobs/s vs cups-lpd", b_mine, "cups-lpd", get(cups, "b", "jobs_per_s"), ">= 3x",
        lambda x: x >= 3)
    row("(b) received jobs/s vs sink", b_mine, "sink", get(sink, "b", "jobs_per_s"), ">= 0.65",
        lambda x: x >= 0.65)
    row("(a) printed end to end jobs/s vs cups-lpd", get(sm, "a", "delivered_jobs_per_s"), "cups-lpd",
        get(cups, "a", "delivered_jobs_per_s"), ">= 3x", lambda x: x >= 3)
    c_mine = get(sm, "c", "mb_per_s")
    row("(c) 50 MiB MB/s vs LPRng", c_mine, "lprng", get(lprng, "c", "mb_per_s"), ">= 1x", lambda x: x >= 1)
    row("(c) 50 MiB MB/s vs sink", c_mine, "sink", get(sink, "c", "mb_per_s"), ">= 0.6", lambda x: x >= 0.6)
    row("(d) queue state p99 ms, idle", get(sm, "d", "lat_p99_ms"), None, None, "<= 12", lambda v: v <= 12,
        "%.2f")
    row("(d) queue state p99 ms, while (b) runs", pooled_under_load(sm)[1], None, None,
        "<= 12", lambda v: v <= 12, "%.2f")
    rss = get(sm, "b", "server", "peak_rss_kib")
    ref = get(lprng, "b", "server", "peak_rss_kib")
    row("(e) peak RSS MiB during (b) vs LPRng's tree", rss and rss * MIB, "lprng", ref and ref * MIB,
        "<= 0.33", lambda x: x <= 1 / 3)
    base = get(sm, "g", "server", "base_rss_kib")
    peak = get(sm, "g", "server", "peak_rss_kib")
    grow = (peak - base) * MIB if peak is not None and base is not None else None
    row("(e) RSS growth MiB during the 1 GiB job", grow, None, None, "flat (< 4 MiB)", lambda v: v < 4, "%.1f")
    row("(f) close -> print start p99 ms, paced jobs", get(sm, "f", "start_latency", "p99_ms"), None, None,
        "<= 1200", lambda v: v <= 1200, "%.0f")
    bad = sum(r.get("jobs_ok", 0) - r.get("delivered", 0) for r in sm["runs"] if r.get("verified"))
    bad += sum(r.get("corrupt", 0) for r in sm["runs"])
    print("\nSpoolmere delivery: %s acknowledged jobs missing or not byte-exact over all its runs." % bad)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
