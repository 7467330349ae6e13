"""Targets, the markdown table and the chart of a benchmark run, all from the results dict.

Every ratio is computed here from numbers measured in the same run; nothing is typed in.
"""
from __future__ import annotations

from pathlib import Path

MiB = 1024 * 1024


def _get(d, *keys):
    for k in keys:
        if not isinstance(d, dict) or k not in d:
            return None
        d = d[k]
    return d


def _ratio(a, b):
    if a is None or b is None or not b:
        return None
    return a / b


def _x(v, digits=2):
    return "n/a" if v is None else f"{v:.{digits}f}x"


def _num(v, digits=1):
    if v is None:
        return "n/a"
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    return f"{v:.{digits}f}"


def _label(res, name):
    return _get(res, "systems", name, "label") or name


def _echo_label(res, kind, largest=True):
    """The label of the largest (or smallest) echo size of that kind in this run."""
    sizes = [s for s in res.get("config", {}).get("echo_sizes", []) if s[2] == kind]
    if not sizes:
        return None, None
    label, size, _ = max(sizes, key=lambda s: s[1]) if largest else min(sizes, key=lambda s: s[1])
    return label, size


def _clients(res, want):
    """`want` clients if this run measured them, else the most it measured."""
    clients = res.get("config", {}).get("clients", [])
    if not clients:
        return None
    return want if want in clients else max(clients)


def _mib(size):
    if not size:
        return "?"
    for unit, scale in (("GiB", 1024 * MiB), ("MiB", MiB), ("KiB", 1024)):
        if size >= scale:
            v = size / scale
            return f"{v:g} {unit}" if v == int(v) else f"{v:.1f} {unit}"
    return f"{size} B"


def evaluate_targets(res) -> list[dict]:
    """The claims of the run, each with its measured ratio, its limit and met / missed / n/a."""
    out = []

    def target(claim, value, op, limit, detail=""):
        met = None if value is None else (value <= limit if op == "<=" else value >= limit)
        out.append({"claim": claim, "value": value, "op": op, "limit": limit, "met": met,
                    "detail": detail})

    lat = res.get("latency", {})
    lp = _get(lat, "lumo", "pinned", "p50_us")
    lu = _get(lat, "lumo", "unpinned", "p50_us")
    target("pinned small-call p50: lumo / C floor", _ratio(lp, _get(lat, "c", "pinned", "p50_us")),
           "<=", 1.25)
    target("pinned small-call p50: lumo / multiprocessing.connection",
           _ratio(lp, _get(lat, "mpconn", "pinned", "p50_us")), "<=", 0.5)
    target("unpinned small-call p50: lumo / raw-socket Python RPC",
           _ratio(lu, _get(lat, "rawpy", "unpinned", "p50_us")), "<=", 1.0)

    echo = res.get("echo", {})
    nlabel, nsize = _echo_label(res, "numpy")
    blabel, bsize = _echo_label(res, "bytes")
    lumo_np = _get(echo, "lumo", nlabel, "mb_s")
    bulk = _get(res, "bulk", "c", "mb_s")
    half = bulk / 2 if bulk else None
    target(f"{_mib(nsize)} numpy echo: lumo / (C bulk bandwidth / 2)", _ratio(lumo_np, half),
           ">=", 0.8, f"lumo {_num(lumo_np)} MB/s, C bulk {_num(bulk)} MB/s one way")
    target(f"{_mib(nsize)} numpy echo: lumo / multiprocessing.connection",
           _ratio(lumo_np, _get(echo, "mpconn", nlabel, "mb_s")), ">=", 5.0)
    target(f"{_mib(bsize)} bytes echo: lumo / multiprocessing.connection",
           _ratio(_get(echo, "lumo", blabel, "mb_s"), _get(echo, "mpconn", blabel, "mb_s")),
           ">=", 2.0)

    calls = res.get("calls", {})
    k = _clients(res, 16)
    target(f"{k} client processes, calls/s: lumo / multiprocessing.connection",
           _ratio(_get(calls, "lumo", "processes", str(k), "calls_s"),
                  _get(calls, "mpconn", "processes", str(k), "calls_s")), ">=", 1.5)
    k = _clients(res, 64)
    run = _get(calls, "lumo", "threads", str(k))
    wrong = None
    if run and run.get("calls"):
        wrong = run["errors"]
    target(f"{k} client threads: wrong or failed lumo calls", wrong, "<=", 0,
           "" if not run else f"{run.get('calls', 0):,} calls checked")
    mem = _get(res, "memory", "lumo")
    growth = _ratio(mem["growth"], mem["payload"]) if mem else None
    size = res.get("config", {}).get("memory_size")
    target(f"server memory added during the {_mib(size)} echo / payload",
           growth, "<=", 3.0,
           "" if not mem else f"idle {_mib(mem['baseline_rss'])}, peak {_mib(mem['peak_rss'])}")
    return out


def _verdict(t):
    return "n/a" if t["met"] is None else ("met" if t["met"] else "missed")


def _fmt_target_value(t):
    if t["value"] is None:
        return "n/a"
    if "wrong" in t["claim"]:
        return f"{t['value']:,}"
    return _x(t["value"])


def _fmt_limit(t):
    return f"{t['op']} {t['limit']:g}" + ("" if "wrong" in t["claim"] else "x")


def targets_text(res) -> str:
    lines = ["Targets (ratios measured in this run):"]
    for t in res.get("targets", []):
        lines.append(f"  {t['claim']} = {_fmt_target_value(t)} (target {_fmt_limit(t)}): "
                     f"{_verdict(t)}")
    return "\n".join(lines)


def _table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def markdown(res) -> str:
    meta, cfg = res.get("meta", {}), res.get("config", {})
    systems = res.get("systems", {})
    avail = [n for n, s in systems.items() if s.get("available")]
    has_lumo = "lumo" in avail
    md = ["# lumo benchmarks", ""]
    md.append(f"Run of {meta.get('date', '?')}, {'quick' if meta.get('quick') else 'full'} mode, "
              f"{meta.get('duration_s', '?')} s. Machine: {meta.get('cpu_model', '?')}, "
              f"{meta.get('cpus', '?')} CPUs, "
              f"{(meta.get('mem_total_bytes') or 0) / 2**30:.0f} GiB, {meta.get('platform', '?')}; "
              f"Python {meta.get('python', '?')}. Load average at start "
              f"{_loads(meta.get('loadavg_start'))}, at end {_loads(meta.get('loadavg_end'))}.")
    before = (meta.get("loadavg_start") or [0])[0]
    if meta.get("cpus") and before > meta["cpus"] / 2:
        md += ["", f"Other work was running when this run began (load average {before:.1f} on "
               f"{meta['cpus']} CPUs): expect noisy numbers, the unpinned and multi-client ones "
               "most."]
    if meta.get("quick"):
        md += ["", "Quick mode: few iterations, small payloads and few clients. Its ratios check "
               "that the harness works; they are not the claims."]
    if not has_lumo:
        md += ["", "**lumo was not measured in this run** "
               f"({_get(systems, 'lumo', 'reason') or 'not requested'}); every lumo ratio is n/a."]
    md += ["", "Servers and clients run in separate processes on 127.0.0.1. Ratios read "
           "`lumo / this`: for latencies and times below 1 means lumo is faster, for MB/s and "
           "calls/s above 1 means lumo is faster.", ""]

    md += ["## Systems", ""]
    md += _table(["system", "version", "how it is used", "status"],
                 [[s.get("label", n), s.get("version", ""), s.get("notes", ""),
                   "measured" if s.get("available") else f"skipped: {s.get('reason', '')}"]
                  for n, s in systems.items()])

    md += ["", "## Targets", ""]
    md += _table(["claim (same run)", "measured", "target", "result", "detail"],
                 [[t["claim"], _fmt_target_value(t), _fmt_limit(t), _verdict(t), t["detail"]]
                  for t in res.get("targets", [])])

    lat = res.get("latency", {})
    md += ["", "## Small-call latency: `add(1, 2)`, microseconds", "",
           f"Pinned: server and client both on CPU {cfg.get('pin_cpu', 0)} "
           "(`sched_setaffinity`), so the pinned figures show the CPU cost of a call. The C "
           f"floor is a 16-byte ping-pong. The time was split into {cfg.get('latency_rounds', 1)} "
           "round(s) that visit every system in turn; percentiles are over the pooled samples, "
           "and the p50 of each round shows how much the machine moved.", ""]
    rows = []
    for n in avail:
        if n not in lat:
            continue
        u, p = lat[n].get("unpinned", {}), lat[n].get("pinned", {})
        rows.append([_label(res, n), _num(u.get("p50_us")), _num(u.get("p99_us")),
                     _num(p.get("p50_us")), _num(p.get("p99_us")),
                     _x(_ratio(_get(lat, "lumo", "unpinned", "p50_us"), u.get("p50_us"))),
                     _x(_ratio(_get(lat, "lumo", "pinned", "p50_us"), p.get("p50_us"))),
                     _rounds(u) + " / " + _rounds(p), _errors(u, p)])
    md += _table(["system", "unpinned p50", "unpinned p99", "pinned p50", "pinned p99",
                  "lumo / this, unpinned p50", "lumo / this, pinned p50",
                  "p50 by round, unpinned / pinned", "wrong results"], rows)

    echo = res.get("echo", {})
    labels = [s[0] for s in cfg.get("echo_sizes", [])]
    md += ["", "## Payload echo, MB/s", "",
           "`echo(x)` returns its argument: MB/s is payload bytes (one way) divided by the median "
           "round trip, MB = 10^6 bytes. Peers that cannot carry a numpy array (xmlrpc, rpyc, "
           "Pyro5) send its raw bytes and rebuild it; xmlrpc sends `Binary` (base64).", ""]
    rows = []
    for n in avail:
        if n in echo:
            rows.append([_label(res, n)] + [_echo_cell(_get(echo, n, lb)) for lb in labels]
                        + [_errors(*echo[n].values())])
    md += _table(["system"] + labels + ["wrong results"], rows)
    if has_lumo and "lumo" in echo:
        md += ["", "lumo / this:", ""]
        md += _table(["system"] + labels,
                     [[_label(res, n)] + [_x(_ratio(_get(echo, "lumo", lb, "mb_s"),
                                                    _get(echo, n, lb, "mb_s"))) for lb in labels]
                      for n in avail if n in echo and n != "lumo"])
    bulk = _get(res, "bulk", "c")
    if bulk:
        md += ["", f"C bulk floor: {_mib(bulk['bytes'])} in {_mib(bulk['chunk'])} "
               f"writes, {_num(bulk['mb_s'])} MB/s one way; an echo moves every byte twice, so "
               f"the echo-equivalent floor is {_num(bulk['mb_s'] / 2)} MB/s."]

    calls = res.get("calls", {})
    ks = [str(k) for k in cfg.get("clients", [])]
    md += ["", "## Aggregate calls/s, `add(i, j)`, every result checked", "",
           "Processes: one client process each, all calling at once. Threads: that many "
           "threads in one process, a client each.", ""]
    rows = []
    for n in avail:
        if n not in calls:
            continue
        c = calls[n]
        runs = list(c["processes"].values()) + list(c["threads"].values())
        rows.append([_label(res, n)]
                    + [_num(_get(c, "processes", k, "calls_s"), 0) for k in ks]
                    + [_num(_get(c, "threads", k, "calls_s"), 0) for k in ks]
                    + [_errors(*runs)])
    md += _table(["system"] + [f"{k} proc" for k in ks] + [f"{k} thr" for k in ks]
                 + ["wrong results"], rows)
    if has_lumo and "lumo" in calls:
        md += ["", "lumo / this:", ""]
        md += _table(["system"] + [f"{k} proc" for k in ks] + [f"{k} thr" for k in ks],
                     [[_label(res, n)]
                      + [_x(_ratio(_get(calls, "lumo", "processes", k, "calls_s"),
                                   _get(calls, n, "processes", k, "calls_s"))) for k in ks]
                      + [_x(_ratio(_get(calls, "lumo", "threads", k, "calls_s"),
                                   _get(calls, n, "threads", k, "calls_s"))) for k in ks]
                      for n in avail if n in calls and n != "lumo"])

    conn = res.get("connect", {})
    md += ["", "## Connect plus first call, milliseconds", "",
           "From no client to the first result, a new client each time.", ""]
    md += _table(["system", "p50", "p99", "lumo / this (p50)", "wrong results"],
                 [[_label(res, n), _num(conn[n]["p50_ms"], 2), _num(conn[n]["p99_ms"], 2),
                   _x(_ratio(_get(conn, "lumo", "p50_ms"), conn[n]["p50_ms"])),
                   _errors(conn[n])] for n in avail if n in conn])

    mem = res.get("memory", {})
    md += ["", f"## Server memory during one {_mib(cfg.get('memory_size', 0))} bytes echo", "",
           "A fresh server process: resident set before the call (idle, numpy imported) and its "
           "peak (VmHWM) after it; the growth is what the echo added.", ""]
    md += _table(["system", "idle RSS MiB", "peak RSS MiB", "growth MiB", "growth / payload"],
                 [[_label(res, n), _num(m["baseline_rss"] / MiB), _num(m["peak_rss"] / MiB),
                   _num(m["growth"] / MiB), _x(m["growth"] / m["payload"])]
                  for n, m in mem.items()])

    md += ["", "## Instructions per round trip, `add(1, 2)`", ""] + instructions_lines(
        res.get("instructions") or {})

    errs = res.get("errors", {})
    if errs:
        md += ["", "## Failed measurements", ""]
        for n, msgs in errs.items():
            for m in msgs:
                md.append(f"- {_label(res, n)}: {_one_line(m)}")
    return "\n".join(md) + "\n"


def instructions_lines(inst: dict) -> list[str]:
    """The callgrind counts of bench.instructions as a paragraph and a table."""
    if not inst.get("rows"):
        return [f"Not counted: {inst.get('skipped') or 'no count succeeded in this run'}."]
    low, high = inst["calls"]
    lines = [f"Instructions executed per call (callgrind, {high:,} calls minus {low:,}, "
             f"Python {inst.get('python', '?')}): the client process, and on the server the "
             "connection's handler thread; the whole server process beside it (for lumo it "
             "also counts the serving loop's twice-a-second shutdown poll, which grows with "
             "the time valgrind takes).", ""]
    return lines + _table(["system", "client + server", "client", "server",
                           "whole server process"],
                          [[r["label"], f"{r['per_call']:,}", f"{r['client_per_call']:,}",
                            f"{r['server_per_call']:,}", f"{r['server_process_per_call']:,}"]
                           for r in inst.get("rows", {}).values()])


def _echo_cell(entry) -> str:
    if not entry:
        return "n/a"
    if entry.get("timeout_s"):
        return f"cut off: no result in {entry['timeout_s']:g} s"
    if entry.get("skipped"):
        return "skipped: a smaller payload was cut off"
    return _num(entry.get("mb_s"))


def _one_line(text: str, head: int = 160, tail: int = 340) -> str:
    """An error on one line: its start (what failed) and its end (the exception), for a log
    tail with a traceback in the middle."""
    text = " ".join(text.split()).replace("|", "/")
    return text if len(text) <= head + tail else f"{text[:head]} ... {text[-tail:]}"


def _rounds(stats) -> str:
    return ", ".join(f"{v:.0f}" for v in stats.get("round_p50_us", [])) or "n/a"


def _loads(v):
    return "/".join(f"{x:.2f}" for x in v) if v else "?"


def _errors(*runs) -> str:
    """Wrong results summed over the runs, with the first one seen."""
    total = sum((r or {}).get("errors", 0) for r in runs)
    first = next((r.get("first_error") for r in runs if r and r.get("first_error")), None)
    return str(total) if not first else f"{total} ({first[:80]})"


def chart(res, path: Path):
    """A figure of four bar charts; returns its path, or None without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    systems = [n for n, s in res.get("systems", {}).items() if s.get("available")]
    labels = {n: _label(res, n) for n in systems}
    fig, axes = plt.subplots(2, 2, figsize=(15, 10))

    def bars(ax, groups, series, title, ylabel, log=False):
        """groups: names along x; series: [(legend, {group: value})]."""
        width = 0.8 / max(1, len(series))
        for i, (legend, values) in enumerate(series):
            xs = [g + i * width for g in range(len(groups))]
            ax.bar(xs, [values.get(g) or 0 for g in groups], width, label=legend)
        ax.set_xticks([g + 0.4 - width / 2 for g in range(len(groups))])
        ax.set_xticklabels([labels.get(g, g) for g in groups], rotation=20, ha="right",
                           fontsize=8)
        ax.set_title(title)
        ax.set_ylabel(ylabel)
        if log:
            ax.set_yscale("log")
        if series:
            ax.legend(fontsize=7)

    lat = res.get("latency", {})
    names = [n for n in systems if n in lat]
    bars(axes[0][0], names,
         [(m, {n: _get(lat, n, m, "p50_us") for n in names}) for m in ("unpinned", "pinned")],
         "add(1, 2) p50 latency (lower is better)", "microseconds", log=True)
    echo = res.get("echo", {})
    names = [n for n in systems if n in echo]
    bars(axes[0][1], names,
         [(s[0], {n: _get(echo, n, s[0], "mb_s") for n in names})
          for s in res.get("config", {}).get("echo_sizes", [])],
         "echo throughput (higher is better)", "MB/s", log=True)
    calls = res.get("calls", {})
    names = [n for n in systems if n in calls]
    for ax, mode in ((axes[1][0], "processes"), (axes[1][1], "threads")):
        bars(ax, names,
             [(f"{k} {mode}", {n: _get(calls, n, mode, str(k), "calls_s") for n in names})
              for k in res.get("config", {}).get("clients", [])],
             f"aggregate calls/s, client {mode} (higher is better)", "calls/s")
    meta = res.get("meta", {})
    fig.suptitle(f"lumo benchmarks, {meta.get('date', '')}, "
                 f"{'quick' if meta.get('quick') else 'full'} run")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return str(path)
