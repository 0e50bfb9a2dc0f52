#!/usr/bin/env python3
"""Turns the benchmark's result rows into one table of medians and ratios,
followed by the goals and whether each one was met.

usage: summarize.py RESULTS_TSV [BIG_PAGE_BYTES]
Each row: key, label, tool, run, status (ok or a failure text), wall seconds,
user seconds, system seconds, max RSS in KiB, GNU time's wall seconds. Failed runs count in the
"runs ok" column only.
"""
import statistics
import sys

# "base": another quorvane build, when the benchmark was given one (BASE=).
# "splitN": quorvane with "@split=N"; "aria2-N": the segmented downloader
# with N connections (the split workload).
TOOLS = ["quorvane", "base", "curl", "wget", "split1", "split4", "split16", "aria2-4", "aria2-16"]
SPLIT_PAIRS = [("split4", "split1"), ("split16", "split1"), ("split4", "aria2-4"),
               ("split16", "aria2-16")]


def load(path):
    order = []
    labels = {}
    runs = {}
    with open(path) as f:
        for raw in f:
            cols = raw.rstrip("\n").split("\t")
            if len(cols) != 10:
                continue
            key, label, tool, _run, status, wall, user, sys_, rss, _gnu_wall = cols
            if key not in labels:
                order.append(key)
                labels[key] = label
            entry = runs.setdefault((key, tool), {"ok": [], "n": 0})
            entry["n"] += 1
            if status == "ok":
                entry["ok"].append((float(wall), float(user) + float(sys_), int(rss) / 1024.0))
    return order, labels, runs


def medians(entry):
    if not entry or not entry["ok"]:
        return None
    return tuple(statistics.median(r[i] for r in entry["ok"]) for i in range(3))


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt(value, digits=3, suffix=""):
    return "-" if value is None else "%.*f%s" % (digits, value, suffix)


def main():
    order, labels, runs = load(sys.argv[1])
    med = {k: medians(v) for k, v in runs.items()}
    rows = [("workload", "tool", "runs ok", "wall s", "CPU s", "max RSS MiB")]
    for key in order:
        tools = [t for t in TOOLS if (key, t) in runs]
        for tool in tools:
            entry = runs[(key, tool)]
            m = med[(key, tool)]
            rows.append((labels[key], tool, "%d/%d" % (len(entry["ok"]), entry["n"]),
                         fmt(m and m[0]), fmt(m and m[1]), fmt(m and m[2], 1)))
        # Each build against every other tool; the base build against curl.
        pairs = [("quorvane", t) for t in tools if "quorvane" in tools and t != "quorvane"]
        if "base" in tools and "curl" in tools:
            pairs.append(("base", "curl"))
        pairs += [p for p in SPLIT_PAIRS if p[0] in tools and p[1] in tools]
        for one, other in pairs:
            q, o = med.get((key, one)), med.get((key, other))
            cells = [ratio(q and q[i], o and o[i]) for i in range(3)]
            rows.append((labels[key], one + "/" + other, "",
                         fmt(cells[0], 2, "x"), fmt(cells[1], 2, "x"), fmt(cells[2], 2, "x")))
    big, small = med.get(("page-big", "quorvane")), med.get(("page-small", "quorvane"))
    if "page-big" in labels and "page-small" in labels:
        rows.append((labels["page-big"] + " / " + labels["page-small"], "quorvane", "",
                     fmt(ratio(big and big[0], small and small[0]), 2, "x"),
                     fmt(ratio(big and big[1], small and small[1]), 2, "x"),
                     fmt(ratio(big and big[2], small and small[2]), 2, "x")))

    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    def line(r):
        return "| " + " | ".join(c.ljust(w) if i < 3 else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(r, widths))) + " |"
    print(line(rows[0]))
    print("|" + "|".join("-" * (w + 2) if i < 3 else "-" * (w + 1) + ":"
                         for i, w in enumerate(widths)) + "|")
    for r in rows[1:]:
        print(line(r))

    print()
    print("Goals (medians):")
    def goal(text, value, limit):
        if value is None:
            verdict = "no data"
        else:
            verdict = "met" if value <= limit else "MISSED"
        print("  %-58s %8s  (goal <= %s)  %s" % (text, fmt(value, 2), limit, verdict))
    def get(key, tool, i):
        m = med.get((key, tool))
        return m[i] if m else None
    # Wall and CPU time against curl's: a plain body goes from the socket to
    # the file inside the kernel, a TLS body is written in 256 KiB pieces.
    for key, name, wall, cpu in (("plain", "plain", 0.45, 0.4), ("tls", "TLS", 0.72, 0.68)):
        if key in labels:
            goal("%s: wall quorvane/curl" % name,
                 ratio(get(key, "quorvane", 0), get(key, "curl", 0)), wall)
            goal("%s: CPU quorvane/curl" % name,
                 ratio(get(key, "quorvane", 1), get(key, "curl", 1)), cpu)
    # With the system's shared OpenSSL, its start-up alone keeps about 3 MiB
    # more resident than a plain download needs (docs/performance.md).
    for key, limit in (("plain", 3.8), ("tls", 6.9)):
        if key in labels:
            goal("%s: quorvane peak memory, MiB" % labels[key], get(key, "quorvane", 2), limit)
    if "page-big" in labels and "page-small" in labels:
        goal("buffering: wall %s / %s" % (labels["page-big"], labels["page-small"]),
             ratio(get("page-big", "quorvane", 0), get("page-small", "quorvane", 0)), 10.0)
    if "page-big" in labels and len(sys.argv) > 2:
        page_mib = int(sys.argv[2]) / 1048576.0
        goal("buffering: peak memory of %s, MiB" % labels["page-big"], get("page-big", "quorvane", 2),
             round(1.5 * page_mib + 4, 1))
    for key in ("growth-header", "growth-sum"):
        if key in labels:
            goal("%s: wall seconds" % labels[key], get(key, "quorvane", 0), 1.0)
    if "small" in labels:
        goal("small files: wall quorvane/curl (whole loop)",
             ratio(get("small", "quorvane", 0), get("small", "curl", 0)), 1.0)
    # Against a cap per connection, N connections should take about an Nth
    # of one's time, and no longer than the segmented downloader's; without
    # a cap, splitting must cost next to nothing.
    if "split-capped" in labels:
        for tool, limit in (("split4", 0.27), ("split16", 0.075)):
            goal("split: wall %s/split1 against a cap" % tool,
                 ratio(get("split-capped", tool, 0), get("split-capped", "split1", 0)), limit)
        for tool in ("split4", "split16"):
            peer = "aria2-" + tool[len("split"):]
            if ("split-capped", peer) in runs:
                goal("split: wall %s/%s against a cap" % (tool, peer),
                     ratio(get("split-capped", tool, 0), get("split-capped", peer, 0)), 1.0)
        goal("split: split16 peak memory, MiB", get("split-capped", "split16", 2), 6.0)
    if "split-full" in labels:
        goal("split: wall split4/split1 without a cap",
             ratio(get("split-full", "split4", 0), get("split-full", "split1", 0)), 1.05)
    failed = sum(v["n"] - len(v["ok"]) for v in runs.values())
    if failed:
        print()
        print("%d run(s) FAILED and were left out of the figures." % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
