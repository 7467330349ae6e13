"""`python -m bench.workers`: lumo with one and with two worker processes (lumo.workers) under
16 client processes, then a worker killed with SIGKILL under that load.

    python -m bench.workers                    3 rounds of 3 s per worker count, then the kill
    python -m bench.workers --rounds 5 --seconds 2 --clients 16 --out FILE
    python -m bench.workers --rounds 0       only the kill

The worker counts alternate within each round (1, 2, then 2, 1), so that a change in the load
of the machine hits both alike; the claim is the ratio of the medians, measured in one run.
The kill: every client process calls add() in a loop; a third into the window one worker gets
SIGKILL; the run reports how long it took until its replacement answered a new connection, the
calls that came back as ConnectionError values and on which clients, and whether each client's
call after an error succeeded.

    python -m bench.workers --serve W PORT     (internal) serve bench.calc with W workers
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import statistics
import sys
import time
from pathlib import Path

from bench import measure

ROUNDS, SECONDS, CLIENTS = 3, 3.0, 16
MAX_CALLS = 10_000_000


def _listening(pid: int, port: int) -> bool:
    import psutil

    try:
        return any(c.status == psutil.CONN_LISTEN and c.laddr.port == port
                   for c in psutil.Process(pid).net_connections("tcp"))
    except psutil.NoSuchProcess:
        return False


def workers_listening(parent: int, port: int, count: int, timeout: float = 30.0,
                      gone: int = 0) -> list[int]:
    """The pids of PARENT's COUNT workers once every one of them listens on PORT (and the
    worker GONE is no longer among them)."""
    import psutil

    deadline = time.monotonic() + timeout
    for _ in range(100_000):
        kids = [p.pid for p in psutil.Process(parent).children()]
        if len(kids) == count and gone not in kids and all(_listening(k, port) for k in kids):
            return kids
        if time.monotonic() > deadline:
            break
        time.sleep(0.005)  # polling interval of a readiness probe, bounded by the deadline
    raise TimeoutError(f"{count} workers of pid {parent} not listening on {port} in {timeout} s")


def answering(port: int, pid: int, tries: int = 1000) -> None:
    """Returns once a new connection is answered by the worker PID (the kernel picks the
    worker of each connection, so this takes a few connections)."""
    from lumo.client import connect

    for _ in range(tries):
        proxy = connect("calc", host="127.0.0.1", port=port, timeout=10.0)
        answer = proxy.getpid()
        proxy._client.close()
        if isinstance(answer, tuple) and answer[0] == pid:
            return
    raise RuntimeError(f"worker {pid} answered none of {tries} connections")


def server(reg: measure.Registry, workers: int):
    return measure.server(reg, lambda port: [sys.executable, "-m", "bench.workers", "--serve",
                                             str(workers), str(port)], f"workers-{workers}")


def calls_round(reg: measure.Registry, workers: int, clients: int, seconds: float) -> dict:
    with server(reg, workers) as (port, proc):
        workers_listening(proc.pid, port, workers)
        load = os.getloadavg()[0]
        out = measure.worker(reg, "procs", {"target": "lumo", "port": port, "clients": clients,
                                            "seconds": seconds, "max_calls": MAX_CALLS},
                             seconds + 300)
    out.update(workers=workers, loadavg_1min_before=load)
    return out


# --- the kill under load -------------------------------------------------------------------------

def _kill_client(i: int, port: int, start_at: float, stop_at: float, results) -> None:
    from bench.targets import PYTHON_TARGETS

    client = PYTHON_TARGETS["lumo"].client(port, 10.0)
    worker = client.proxy.getpid()[0]
    salt = i * 1000003
    calls = errors = wrong = unrecovered = 0
    error_times = []
    texts: dict = {}
    last_failed = False
    for _ in range(30):  # wait for the common start, bounded
        if time.monotonic() >= start_at:
            break
        time.sleep(max(0.0, min(0.1, start_at - time.monotonic())))
    for n in range(MAX_CALLS):
        r = client.add(n, salt)
        calls += 1
        if isinstance(r, ConnectionError):
            errors += 1
            error_times.append(time.monotonic())
            texts[str(r)[:120]] = texts.get(str(r)[:120], 0) + 1
            unrecovered += last_failed  # the call after an error failed too
            last_failed = True
        else:
            wrong += r != n + salt
            last_failed = False
        if time.monotonic() > stop_at:
            break
    results.put({"worker": worker, "calls": calls, "errors": errors, "wrong": wrong,
                 "unrecovered": unrecovered + last_failed, "error_times": error_times,
                 "texts": texts})


def kill_under_load(reg: measure.Registry, clients: int, seconds: float) -> dict:
    """16 clients calling; one of two workers SIGKILLed a third into the window."""
    import multiprocessing as mp

    from bench.targets import PYTHON_TARGETS, quiet_logging

    PYTHON_TARGETS["lumo"].version()
    quiet_logging()
    ctx = mp.get_context("fork")
    with server(reg, 2) as (port, proc):
        before = workers_listening(proc.pid, port, 2)
        results = ctx.SimpleQueue()
        start_at = time.monotonic() + 2.0
        stop_at = start_at + seconds
        procs = [ctx.Process(target=_kill_client, args=(i, port, start_at, stop_at, results),
                             daemon=True) for i in range(clients)]
        for p in procs:
            p.start()
        try:
            time.sleep(max(0.0, start_at + seconds / 3 - time.monotonic()))
            victim = before[0]
            killed_at = time.monotonic()
            os.kill(victim, signal.SIGKILL)
            after = workers_listening(proc.pid, port, 2, timeout=10.0, gone=victim)
            replacement = next(pid for pid in after if pid not in before)
            answering(port, replacement)
            back_in = time.monotonic() - killed_at
            for p in procs:
                p.join(max(0.0, stop_at + 60 - time.monotonic()))
            done = [results.get() for p in procs if p.exitcode == 0]
        finally:
            for p in procs:
                if p.is_alive():
                    p.kill()
    on_victim = [r for r in done if r["worker"] == victim]
    times = [t - killed_at for r in done for t in r["error_times"]]
    return {"clients": clients, "reported": len(done), "seconds": seconds,
            "back_within_s": round(back_in, 3),
            "calls": sum(r["calls"] for r in done),
            "clients_on_killed_worker": len(on_victim),
            "errors": sum(r["errors"] for r in done),
            "errors_on_killed_workers_clients": sum(r["errors"] for r in on_victim),
            "wrong_results": sum(r["wrong"] for r in done),
            "errors_not_followed_by_a_success": sum(r["unrecovered"] for r in done),
            "error_times_after_kill_s": [round(t, 4) for t in sorted(times)],
            "error_texts": _merged([r["texts"] for r in done])}


def _merged(counts: list) -> dict:
    out: dict = {}
    for c in counts:
        for text, n in c.items():
            out[text] = out.get(text, 0) + n
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.workers",
                                 description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--seconds", type=float, default=SECONDS)
    ap.add_argument("--clients", type=int, default=CLIENTS)
    ap.add_argument("--out", type=Path,
                    default=Path(__file__).resolve().parent / "results" / "workers.json")
    ap.add_argument("--serve", nargs=2, type=int, metavar=("WORKERS", "PORT"),
                    help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.serve:
        from bench import calc
        from bench.targets import quiet_logging
        from lumo.workers import serve

        quiet_logging()
        serve(calc, "calc", port=args.serve[1], workers=args.serve[0])
        return 0

    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    reg = measure.Registry()
    res: dict = {"machine": {"cpus": os.cpu_count(), "loadavg_start": os.getloadavg()},
                 "rounds": []}
    try:
        for r in range(args.rounds):
            for workers in ((1, 2) if r % 2 == 0 else (2, 1)):
                out = calls_round(reg, workers, args.clients, args.seconds)
                res["rounds"].append(out)
                print(f"round {r + 1}, {workers} worker(s): {out['calls_s']:,.0f} calls/s "
                      f"({out['errors']} errors, load {out['loadavg_1min_before']:.2f})",
                      flush=True)
        res["kill"] = kill_under_load(reg, args.clients, args.seconds)
    finally:
        reg.close()
        shutil.rmtree(reg.workdir, ignore_errors=True)
    res["machine"]["loadavg_end"] = os.getloadavg()
    if res["rounds"]:
        median = {w: statistics.median(o["calls_s"] for o in res["rounds"] if o["workers"] == w)
                  for w in (1, 2)}
        res["median_calls_s"] = median
        res["ratio_2_to_1"] = median[2] / median[1]
        print(f"median calls/s, {args.clients} client processes: 1 worker {median[1]:,.0f}, "
              f"2 workers {median[2]:,.0f}: {res['ratio_2_to_1']:.2f}x")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(res, indent=1) + "\n")
    kill = dict(res["kill"])
    kill.pop("error_times_after_kill_s")
    kill.pop("error_texts")
    print("kill under load: " + json.dumps(kill))
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
