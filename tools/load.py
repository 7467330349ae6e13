#!/usr/bin/env python3
"""Load: many concurrent clients against one server for a bounded time; calls/s and latency.

    python tools/load.py                       # 64 client threads, then 64 client processes, 10 s each
    python tools/load.py --clients 16 --seconds 5 --mode processes
    python tools/load.py --json load.json

The server is the soak server (tools/soak.py: a child process, 127.0.0.1, free port). Each
client connects and makes one call before the clock starts, so connecting is not measured;
then all clients call add(i, 1) in a loop until the time is up (or --max-calls each),
checking every result. Reported per mode: total calls, calls/s, latency p50/p90/p99/max of
single calls (perf_counter_ns around each call), and wrong results (exit status 1 if any).
"""

import argparse
import json
import multiprocessing
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402


def client_loop(port, start_at, stop_at, max_calls, seed):
    """Calls until stop_at (time.time() seconds, shared across processes); returns (latencies ns, wrong)."""
    soak.logging_off()
    proxy = soak.connect(port)
    if proxy.add(seed, 0) != seed:
        return [], ["first call failed"]
    while time.time() < start_at:  # every client is connected before the clock starts
        time.sleep(0.001)
    lat = []
    wrong = []
    clock = time.perf_counter_ns
    i = seed
    for _ in range(max_calls):
        if time.time() >= stop_at:
            break
        t = clock()
        got = proxy.add(i, 1)
        lat.append(clock() - t)
        if got != i + 1:
            wrong.append(f"add({i}, 1) -> {got!r}")
            break
        i += 1
    proxy._client._connection.close()
    return lat, wrong


def _process_main(args, queue):
    queue.put(client_loop(*args))


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, max(0, round(q / 100 * (len(sorted_values) - 1))))
    return sorted_values[k]


def run_mode(port, mode, clients, seconds, max_calls, settle=2.0):
    start_at = time.time() + settle + (clients * 0.05 if mode == "processes" else 0.0)
    stop_at = start_at + seconds
    results = []
    if mode == "threads":
        lock = threading.Lock()

        def work(j):
            r = client_loop(port, start_at, stop_at, max_calls, j * 1_000_000)
            with lock:
                results.append(r)

        threads = [threading.Thread(target=work, args=(j,)) for j in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(stop_at - time.time() + 120)
    else:
        ctx = multiprocessing.get_context("fork")
        queue = ctx.Queue()
        procs = [ctx.Process(target=_process_main, args=((port, start_at, stop_at, max_calls, j * 1_000_000), queue))
                 for j in range(clients)]
        for p in procs:
            p.start()
        for _ in procs:
            results.append(queue.get(timeout=stop_at - time.time() + 120))
        for p in procs:
            p.join(60)
    lat = sorted(x for r, _ in results for x in r)
    wrong = [w for _, ws in results for w in ws]
    total = len(lat)
    return {
        "mode": mode, "clients": clients, "seconds": seconds, "calls": total,
        "calls_per_second": round(total / seconds), "p50_us": round(percentile(lat, 50) / 1000, 1),
        "p90_us": round(percentile(lat, 90) / 1000, 1), "p99_us": round(percentile(lat, 99) / 1000, 1),
        "max_us": round(lat[-1] / 1000, 1) if lat else None, "clients_reporting": len(results),
        "wrong": wrong[:10],
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--clients", type=int, default=64)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--max-calls", type=int, default=1_000_000, help="bound on each client's calls")
    ap.add_argument("--mode", choices=("threads", "processes", "both"), default="both")
    ap.add_argument("--json", help="also write the results here")
    args = ap.parse_args(argv)
    soak.logging_off()
    modes = ("threads", "processes") if args.mode == "both" else (args.mode,)
    rows = []
    for mode in modes:
        server = soak.ServerProcess()
        try:
            row = run_mode(server.port, mode, args.clients, args.seconds, args.max_calls)
        finally:
            server.stop()
        rows.append(row)
        print(f"load: {row['clients']} client {mode:<9} {row['seconds']:.0f} s: {row['calls']} calls, "
              f"{row['calls_per_second']} calls/s, latency p50 {row['p50_us']} us, p90 {row['p90_us']} us, "
              f"p99 {row['p99_us']} us, max {row['max_us']} us; clients reporting {row['clients_reporting']}/"
              f"{row['clients']}; wrong {len(row['wrong'])}", flush=True)
    info = {"cpus": os.cpu_count(), "python": sys.version.split()[0], "rows": rows}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(info, f, indent=2)
    bad = any(r["wrong"] or r["clients_reporting"] != r["clients"] for r in rows)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
