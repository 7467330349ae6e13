"""Pipelined asyncio calls against blocking calls and grpc.aio, all in one run.

    python -m bench.aio [--seconds S] [--rounds N] [--batch B] [--out DIR]
    python -m bench.aio --grpc-server PORT      the grpc.aio server of a run (started by the run)

Against one lumo server process (bench.servers lumo) the client process measures `add` calls/s:
lumo.aio with B calls in flight at once from one event loop over one connection; the blocking
lumo.client over one connection; the blocking client on 16 threads with a connection each. And
against one grpc.aio server process (generic handler, pickled arguments, no protoc), grpc.aio
unary calls with B in flight over one channel. The measures alternate in every round; the
figures are the medians of the rounds, and the claims are ratios within this run. Results go to
OUT/aio.json and OUT/aio.md.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import pickle
import statistics
import sys
import threading
import time
from pathlib import Path

from bench.measure import Registry, python_server, server

THREADS = 16


def _check(results, salt):
    bad = [r for i, r in enumerate(results) if r != i + salt]
    if bad:
        raise RuntimeError(f"{len(bad)} wrong results, the first: {bad[0]!r}")


async def _in_flight(add, seconds: float, batch: int) -> float:
    """Calls/s of `batch` calls of add(i, salt) at a time, gathered, for `seconds`."""
    _check(await asyncio.gather(*(add(i, 7) for i in range(batch))), 7)
    calls = 0
    start = time.perf_counter()
    deadline = start + seconds
    while time.perf_counter() < deadline:
        _check(await asyncio.gather(*(add(i, calls) for i in range(batch))), calls)
        calls += batch
    return calls / (time.perf_counter() - start)


def aio_pipelined(port: int, seconds: float, batch: int) -> float:
    import lumo.aio

    async def run():
        async with await lumo.aio.connect("calc", port=port, timeout=60.0) as calc:
            return await _in_flight(calc.add, seconds, batch)

    return asyncio.run(run())


def _blocking_loop(add, salt: int, deadline: float) -> int:
    calls = 0
    while time.perf_counter() < deadline:
        if add(calls, salt) != calls + salt:
            raise RuntimeError("wrong result")
        calls += 1
    return calls


def blocking_one(port: int, seconds: float) -> float:
    from lumo.client import connect

    calc = connect("calc", port=port, timeout=60.0)
    add = calc.add
    add(1, 2)
    start = time.perf_counter()
    calls = _blocking_loop(add, 3, start + seconds)
    rate = calls / (time.perf_counter() - start)
    calc._client.close()
    return rate


def blocking_threads(port: int, seconds: float, k: int = THREADS) -> float:
    from lumo.client import connect

    counts = [None] * k
    window = {}

    def started():
        window["start"] = time.perf_counter()

    barrier = threading.Barrier(k, action=started)

    def run(tid):
        calc = connect("calc", port=port, timeout=60.0)
        add = calc.add
        try:
            add(tid, 1)
            barrier.wait(timeout=60)
            counts[tid] = _blocking_loop(add, tid, window["start"] + seconds)
        except Exception:
            barrier.abort()
            raise
        finally:
            calc._client.close()

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(k)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 120)
    if any(c is None for c in counts):
        raise RuntimeError("a client thread failed or hung")
    return sum(counts) / (time.perf_counter() - window["start"])


def grpc_aio(port: int, seconds: float, batch: int) -> float:
    import grpc

    async def run():
        async with grpc.aio.insecure_channel(f"127.0.0.1:{port}") as channel:
            add = channel.unary_unary("/calc.Calc/add", request_serializer=pickle.dumps,
                                      response_deserializer=pickle.loads)

            def one(i, salt):
                return add((i, salt), timeout=60.0)

            return await _in_flight(one, seconds, batch)

    return asyncio.run(run())


def grpc_server(port: int) -> None:
    import grpc

    async def add(request, context):
        a, b = request
        return a + b

    async def main():
        srv = grpc.aio.server()
        handler = grpc.method_handlers_generic_handler("calc.Calc", {
            "add": grpc.unary_unary_rpc_method_handler(add, request_deserializer=pickle.loads,
                                                       response_serializer=pickle.dumps)})
        srv.add_generic_rpc_handlers((handler,))
        srv.add_insecure_port(f"127.0.0.1:{port}")
        await srv.start()
        await srv.wait_for_termination()

    asyncio.run(main())


def _grpc_version():
    try:
        import grpc
    except ImportError:
        return None
    return grpc.__version__


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.aio")
    ap.add_argument("--seconds", type=float, default=2.0, help="window of each measure")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--batch", type=int, default=1000, help="calls in flight at once")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    ap.add_argument("--grpc-server", type=int, metavar="PORT", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.grpc_server:
        grpc_server(args.grpc_server)
        return 0

    from bench.targets import quiet_logging

    quiet_logging()
    import lumo.client

    grpc_version = _grpc_version()
    runs = {"aio_pipelined": [], "blocking_one": [], "blocking_16_threads": [], "grpc_aio": []}
    reg = Registry()
    try:
        with python_server(reg, "lumo") as (port, _):
            grpc_cm = (server(reg, lambda p: [sys.executable, "-m", "bench.aio", "--grpc-server", str(p)],
                              "server-grpc") if grpc_version else None)
            with grpc_cm if grpc_cm else _nothing() as grpc_info:
                for r in range(args.rounds):
                    runs["aio_pipelined"].append(aio_pipelined(port, args.seconds, args.batch))
                    runs["blocking_one"].append(blocking_one(port, args.seconds))
                    runs["blocking_16_threads"].append(blocking_threads(port, args.seconds))
                    if grpc_info:
                        runs["grpc_aio"].append(grpc_aio(grpc_info[0], args.seconds, args.batch))
                    print(f"round {r + 1}: " + ", ".join(f"{k} {v[-1]:.0f}/s" for k, v in runs.items() if v),
                          file=sys.stderr)
    finally:
        reg.close()

    median = {k: statistics.median(v) for k, v in runs.items() if v}
    res = {
        "what": f"add calls/s; lumo.aio and grpc.aio with {args.batch} calls in flight on one connection",
        "seconds": args.seconds, "rounds": args.rounds, "batch": args.batch,
        "grpc_version": grpc_version,
        "blocking_spin": "set_spin not available: the blocking client does not spin on receive"
        if not hasattr(lumo.client, "set_spin") else "set_spin(False)",
        "runs": runs, "median_calls_s": median,
        "ratio_aio_to_blocking_one": median["aio_pipelined"] / median["blocking_one"],
        # the same ratio within each round, whose two measures ran seconds apart
        "round_ratios_aio_to_blocking_one": [a / b for a, b in zip(runs["aio_pipelined"], runs["blocking_one"])],
        "ratio_aio_to_blocking_16_threads": median["aio_pipelined"] / median["blocking_16_threads"],
        "ratio_aio_to_grpc_aio": median["aio_pipelined"] / median["grpc_aio"] if "grpc_aio" in median else None,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "aio.json").write_text(json.dumps(res, indent=2) + "\n")
    rows = [("lumo.aio, pipelined, one connection", "aio_pipelined"),
            ("lumo.client, one connection", "blocking_one"),
            (f"lumo.client, {THREADS} threads, a connection each", "blocking_16_threads"),
            ("grpc.aio unary, one channel", "grpc_aio")]
    lines = ["| client | calls/s (median) | lumo.aio is |", "|---|---:|---:|"]
    for label, key in rows:
        if key in median:
            lines.append(f"| {label} | {median[key]:,.0f} | {median['aio_pipelined'] / median[key]:.2f}x |")
    rounds = res["round_ratios_aio_to_blocking_one"]
    lines.append("")
    lines.append("lumo.aio against one blocking connection, round by round: "
                 + ", ".join(f"{r:.2f}x" for r in rounds) + f" (median {statistics.median(rounds):.2f}x)")
    text = "\n".join(lines) + "\n"
    (args.out / "aio.md").write_text(text)
    print(text)
    return 0


class _nothing:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


if __name__ == "__main__":
    sys.exit(main())
