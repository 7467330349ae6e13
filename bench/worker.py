"""Client processes of the benchmarks: `python -m bench.worker TASK 'JSON-PARAMS'`.

Each task prints one JSON line with its numbers as the last line of its output. Every loop stops
after a number of calls or when its time is up, whichever comes first; every result is checked,
and a wrong one (an exception object returned in place of the result, say) counts as an error.
The `threads` and `procs` tasks run many clients at once, in threads of this process or in
processes forked from it.
"""
from __future__ import annotations

import json
import math
import os
import sys
import threading
import time

KiB = 1024
MiB = 1024 * KiB


def percentile(sorted_values, p: float):
    """Nearest-rank percentile of an ascending list (the C floor computes the same)."""
    if not sorted_values:
        return None
    k = min(len(sorted_values), max(1, math.ceil(p / 100.0 * len(sorted_values) - 1e-9)))
    return sorted_values[k - 1]


def summarize(sorted_ns) -> dict:
    """Count, p50, p99 and mean in microseconds of ascending round-trip times in nanoseconds."""
    us = 1e-3
    return {"n": len(sorted_ns), "p50_us": percentile(sorted_ns, 50) * us,
            "p99_us": percentile(sorted_ns, 99) * us,
            "mean_us": sum(sorted_ns) / len(sorted_ns) * us}


def _short(value, limit: int = 200) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def _client(params):
    from bench.targets import PYTHON_TARGETS

    return PYTHON_TARGETS[params["target"]].client(params["port"], params.get("timeout", 30.0))


def task_latency(params):
    c = _client(params)
    add = c.add
    errors, first_error = 0, None
    for _ in range(params["warmup"]):
        r = add(1, 2)
        if r != 3:
            errors += 1
            first_error = first_error or _short(r)
    clock = time.perf_counter_ns
    deadline = clock() + int(params["seconds"] * 1e9)
    samples = []
    for _ in range(params["n"]):
        t0 = clock()
        r = add(1, 2)
        t1 = clock()
        samples.append(t1 - t0)
        if r != 3:
            errors += 1
            first_error = first_error or _short(r)
        if t1 > deadline:
            break
    c.close()
    out = summarize(sorted(samples))
    out.update(errors=errors, first_error=first_error)
    if params.get("samples"):
        out["samples_ns"] = samples
    return out


def make_payload(kind: str, size: int):
    if kind == "numpy":
        import numpy as np

        return np.random.default_rng(12345).random(size // 8)
    block = os.urandom(min(size, MiB))
    return (block * -(-size // len(block)))[:size]


def _same(kind: str, got, want) -> bool:
    if kind == "numpy":
        import numpy as np

        return isinstance(got, np.ndarray) and got.shape == want.shape and np.array_equal(got, want)
    return isinstance(got, (bytes, bytearray)) and got == want


def task_echo(params):
    """Round trips of each payload; MB/s is payload bytes (one way) per second of round trip."""
    c = _client(params)
    out = {}
    clock = time.perf_counter
    for label, size, kind in params["sizes"]:
        payload = make_payload(kind, size)
        call = c.echo_array if kind == "numpy" else c.echo
        errors, first_error, times = 0, None, []
        if size <= params["warmup_max"]:
            r = call(payload)
            if not _same(kind, r, payload):
                errors += 1
                first_error = _short(r)
            del r
        deadline = clock() + params["seconds"]
        for _ in range(params["n"]):
            t0 = clock()
            r = call(payload)
            t1 = clock()
            times.append(t1 - t0)
            if not _same(kind, r, payload):  # checked outside the timed part
                errors += 1
                first_error = first_error or _short(r)
            del r
            if t1 > deadline:
                break
        times.sort()
        med = times[(len(times) - 1) // 2]
        out[label] = {"size": size, "kind": kind, "n": len(times), "median_s": med,
                      "best_s": times[0], "mb_s": size / med / 1e6, "errors": errors,
                      "first_error": first_error}
        del payload
    c.close()
    return out


def task_connect(params):
    """From nothing to the first result with a new client each time, then the client closes."""
    clock = time.perf_counter
    times, errors, first_error = [], 0, None
    deadline = clock() + params["seconds"]
    for _ in range(params["n"]):
        t0 = clock()
        c = _client(params)
        r = c.add(1, 2)
        t1 = clock()
        c.close()
        times.append(t1 - t0)
        if r != 3:
            errors += 1
            first_error = first_error or _short(r)
        if t1 > deadline:
            break
    times.sort()
    ms = 1e3
    return {"n": len(times), "p50_ms": percentile(times, 50) * ms,
            "p99_ms": percentile(times, 99) * ms, "mean_ms": sum(times) / len(times) * ms,
            "errors": errors, "first_error": first_error}


def _call_loop(add, salt: int, deadline: float, max_calls: int):
    """add(i, salt) until the deadline; returns (calls, errors, first_error)."""
    clock = time.monotonic
    calls = errors = 0
    first_error = None
    for i in range(max_calls):
        r = add(i, salt)
        calls += 1
        if r != i + salt:
            errors += 1
            first_error = first_error or _short(r)
        if clock() > deadline:
            break
    return calls, errors, first_error


def task_threads(params):
    """K threads of one process, a client each, calling at once for the same time window."""
    k = params["clients"]
    results = [None] * k
    window = {}

    def started():
        window["start"] = time.monotonic()
        window["deadline"] = window["start"] + params["seconds"]

    barrier = threading.Barrier(k, action=started)

    def run(tid):
        try:
            c = _client(params)
            if c.add(tid, 1) != tid + 1:
                raise RuntimeError("warm-up call gave a wrong result")
            barrier.wait(timeout=120)
            results[tid] = _call_loop(c.add, tid * 1000003, window["deadline"],
                                      params["max_calls"])
            c.close()
        except Exception as exc:
            barrier.abort()
            results[tid] = (0, 1, f"{type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(k)]
    for t in threads:
        t.start()
    hard_stop = time.monotonic() + params["seconds"] + 240
    for t in threads:
        t.join(max(0.0, hard_stop - time.monotonic()))
    end = time.monotonic()
    hung = sum(1 for r in results if r is None)
    done = [r for r in results if r is not None]
    calls = sum(r[0] for r in done)
    errors = sum(r[1] for r in done) + hung
    first_error = next((r[2] for r in done if r[2]), None) or (f"{hung} threads hung" if hung
                                                                 else None)
    seconds = end - window["start"] if "start" in window else None
    return {"clients": k, "calls": calls, "errors": errors, "seconds": seconds,
            "calls_s": calls / seconds if seconds else None, "first_error": first_error}


def task_procs(params):
    """K client processes calling at once for the same time window, each with its own client.

    The client library is imported once and the processes are forked from here, so that 64 of
    them start in a second or two rather than 64 interpreter start-ups; each connects only after
    the fork. A process that cannot connect still joins the start barrier and reports an error.
    """
    import multiprocessing as mp

    from bench.targets import PYTHON_TARGETS

    PYTHON_TARGETS[params["target"]].version()  # the imports, before the fork
    ctx = mp.get_context("fork")
    k, seconds = params["clients"], params["seconds"]
    start, deadline = ctx.Value("d", 0.0), ctx.Value("d", 0.0)

    def open_window():
        start.value = time.monotonic()
        deadline.value = start.value + seconds

    barrier = ctx.Barrier(k + 1, action=open_window)
    results = ctx.SimpleQueue()

    def child(i):
        salt = i * 1000003
        c, error = None, None
        try:
            c = _client(params)
            if c.add(salt, 1) != salt + 1:
                raise RuntimeError("warm-up call gave a wrong result")
        except Exception as exc:
            error = f"{type(exc).__name__}: {exc}"
        barrier.wait(timeout=120)
        if error:
            results.put((0, 1, error, time.monotonic()))
            return
        calls, errors, first_error = _call_loop(c.add, salt, deadline.value, params["max_calls"])
        end = time.monotonic()
        c.close()
        results.put((calls, errors, first_error, end))

    procs = [ctx.Process(target=child, args=(i,), daemon=True) for i in range(k)]
    for p in procs:
        p.start()
    try:
        barrier.wait(timeout=180)
        hard_stop = time.monotonic() + seconds + 240
        for p in procs:
            p.join(max(0.0, hard_stop - time.monotonic()))
        done = [results.get() for p in procs if p.exitcode == 0]
    finally:
        for p in procs:
            if p.is_alive():
                p.kill()
    missing = k - len(done)
    calls = sum(r[0] for r in done)
    errors = sum(r[1] for r in done) + missing
    first_error = next((r[2] for r in done if r[2]), None) or (
        f"{missing} client processes gave no result" if missing else None)
    window = max((r[3] for r in done), default=start.value) - start.value
    return {"clients": k, "calls": calls, "errors": errors, "seconds": window,
            "calls_s": calls / window if window > 0 else None, "first_error": first_error}


TASKS = {"latency": task_latency, "echo": task_echo, "connect": task_connect,
         "threads": task_threads, "procs": task_procs}


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    task, params = argv[0], json.loads(argv[1])
    if params.get("cpu") is not None:
        os.sched_setaffinity(0, {params["cpu"]})
    from bench.targets import quiet_logging

    quiet_logging()
    print(json.dumps(TASKS[task](params)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
