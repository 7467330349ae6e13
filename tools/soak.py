#!/usr/bin/env python3
"""Soak: a long run of mixed calls against one server, with memory watched on both sides.

    python tools/soak.py                          # 1,000,000 calls over 8 connections (threads)
    python tools/soak.py --calls 100000 --mode processes
    python tools/soak.py --calls 20000 --bound-mb 10 --json soak.json

The server runs in a child process (lumo.server.Server on 127.0.0.1, a free port); the
clients are 8 connections (lumo.client.connect), as threads of this process or as 8
processes. The calls are mixed and every result is checked:

    84%   add(i, 1)                      small values
     5%   echo(<small nested value>)     tuples, dicts, texts, floats, None
     0.5% echo(<1 MiB bytes>)            large payload, both ways
     5%   fail(i)                        the function raises: an error value comes back
     5.5% nothing_here(i)                an unknown name: an AttributeError error value

Resident memory (RSS) of the server and of the clients is sampled at the start, after a
warm-up (10% of the calls), in the middle and at the end, together with the number of
objects the server's garbage collector tracks and, on a debug build of the interpreter,
sys.gettotalrefcount() (None on a release build). The run fails (exit status 1) if any
result is wrong, if the server does not exit cleanly when it is stopped (SIGINT), or if RSS
grows by more than --bound-mb (default 10 MB) from the end of the warm-up to the end, on
either side.
"""

import argparse
import gc
import json
import multiprocessing
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import psutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMEOUT = 60.0
MIB = 1 << 20

SERVER_CODE = textwrap.dedent("""
    import gc, logging, sys, types
    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)  # a line per failing call is not the point
    import lumo.server
    from lumo.kelto import Skrivo

    svc = types.ModuleType("soaksvc")
    svc.add = lambda a, b: a + b
    svc.echo = lambda x: x
    def fail(i):
        raise ValueError(f"failing on purpose ({i})")
    svc.fail = fail
    def objects():
        gc.collect()
        return len(gc.get_objects())
    svc.objects = objects
    svc.refs = lambda: sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None

    srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=svc, alias="soak")
    srv.log = Skrivo("soak", exclude=["lumo", "velkor", "druset"])
    srv.socket.listen(128)  # a deeper queue than the default 5: many clients connect at once
    print(srv.server_address[1], flush=True)
    lumo.server.start(srv)  # until SIGINT
""")


class ServerProcess:
    """The server in a child process; stopped with SIGINT so that it exits normally."""

    def __init__(self, env=None):
        full_env = dict(os.environ)
        full_env.setdefault("PYTHONPATH", os.path.join(ROOT, "src"))
        full_env.update(env or {})
        self.proc = subprocess.Popen([sys.executable, "-c", SERVER_CODE], stdout=subprocess.PIPE,
                                     env=full_env, text=True)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.proc.kill()
            raise RuntimeError(f"server did not start: {line!r}")
        self.port = int(line)
        self.ps = psutil.Process(self.proc.pid)

    def rss(self):
        return self.ps.memory_info().rss

    def stop(self):
        """SIGINT, then wait; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(TIMEOUT)
        self.proc.stdout.close()
        return self.proc.returncode


# ------------------------------------------------------------- the call mix

SMALL = [None, 1.5, "text \u00e9", (1, "two", 3.0), {"k": [1, 2, {"n": None}]}, list(range(20)), b"bytes" * 10]
BIG = bytes(range(256)) * (MIB // 256)


def one_call(proxy, i):
    """Make call number i of the mix; return None if its result is right, else a description."""
    k = i % 200
    if k < 168:
        got = proxy.add(i, 1)
        return None if got == i + 1 else f"add({i}, 1) -> {got!r}"
    if k < 178:
        value = SMALL[i % len(SMALL)]
        got = proxy.echo(value)
        return None if got == value else f"echo({value!r}) -> {got!r}"
    if k == 178:
        got = proxy.echo(BIG)
        return None if got == BIG else f"echo(1 MiB) -> {type(got).__name__} of {len(got) if hasattr(got, '__len__') else '?'}"
    if k < 189:
        got = proxy.fail(i)
        ok = isinstance(got, Exception) and str(got).startswith("ValueError") and f"({i})" in str(got)
        return None if ok else f"fail({i}) -> {got!r}"
    got = proxy.nothing_here(i)
    ok = isinstance(got, Exception) and str(got).startswith("AttributeError")
    return None if ok else f"nothing_here({i}) -> {got!r}"


def run_calls(proxy, start, stop, step):
    wrong = []
    for i in range(start, stop, step):
        err = one_call(proxy, i)
        if err:
            wrong.append(err)
            if len(wrong) >= 10:
                break
    return wrong


def connect(port):
    import lumo.client
    return lumo.client.connect("soak", "127.0.0.1", port, TIMEOUT)


def own_rss():
    return psutil.Process().memory_info().rss


# ------------------------------------------------------------- clients as threads or processes

class ThreadClients:
    """n client threads that live for the whole run (new threads per phase would add their
    stacks to the process's RSS and blur the measurement)."""

    def __init__(self, port, n):
        self.proxies = [connect(port) for _ in range(n)]
        self.jobs = [queue.Queue() for _ in range(n)]
        self.done = queue.Queue()
        self.threads = [threading.Thread(target=self._loop, args=(j,), daemon=True) for j in range(n)]
        for t in self.threads:
            t.start()

    def _loop(self, j):
        n = len(self.proxies)
        while (job := self.jobs[j].get()) is not None:
            start, stop = job
            try:
                self.done.put(run_calls(self.proxies[j], start + j, stop, n))
            except BaseException as e:  # report, never hang the run
                self.done.put([f"client thread {j}: {e!r}"])

    def run(self, start, stop):
        for q in self.jobs:
            q.put((start, stop))
        wrong = []
        for _ in self.jobs:
            wrong += self.done.get(timeout=24 * 3600)
        return wrong

    def rss(self):
        return own_rss()

    def close(self):
        for q in self.jobs:
            q.put(None)
        for t in self.threads:
            t.join(TIMEOUT)
        for p in self.proxies:
            if p._client._connection is not None:
                p._client._connection.close()


def _worker(port, j, n, pipe):
    logging_off()
    proxy = connect(port)
    while True:
        cmd = pipe.recv()
        if cmd is None:
            break
        start, stop = cmd
        wrong = run_calls(proxy, start + j, stop, n)
        pipe.send((wrong, own_rss()))
    pipe.close()


class ProcessClients:
    def __init__(self, port, n):
        ctx = multiprocessing.get_context("spawn")
        self.pipes, self.procs = [], []
        for j in range(n):
            parent, child = ctx.Pipe()
            p = ctx.Process(target=_worker, args=(port, j, n, child), daemon=True)
            p.start()
            self.pipes.append(parent)
            self.procs.append(p)
        self.rss_each = [0] * n

    def run(self, start, stop):
        for pipe in self.pipes:
            pipe.send((start, stop))
        wrong = []
        for j, pipe in enumerate(self.pipes):
            if not pipe.poll(24 * 3600):
                raise RuntimeError("a client process did not report")
            w, rss = pipe.recv()
            wrong += w
            self.rss_each[j] = rss
        return wrong

    def rss(self):
        return max(self.rss_each)  # the largest client process

    def close(self):
        for pipe in self.pipes:
            pipe.send(None)
        for p in self.procs:
            p.join(TIMEOUT)


def logging_off():
    import logging
    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)


# ------------------------------------------------------------- the run

def soak(calls, connections=8, mode="threads", bound_mb=10.0, server_env=None, out=print):
    logging_off()
    server = ServerProcess(server_env)
    control = connect(server.port)
    clients = None
    samples = []
    wrong = []
    t0 = time.perf_counter()
    try:
        clients = (ThreadClients if mode == "threads" else ProcessClients)(server.port, connections)

        def sample(label, done):
            gc.collect()
            row = {"at": label, "calls": done, "server_rss": server.rss(), "client_rss": clients.rss(),
                   "server_objects": control.objects(), "server_refs": control.refs(),
                   "client_refs": sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None,
                   "seconds": round(time.perf_counter() - t0, 1)}
            samples.append(row)
            out(f"  {label:>8} {done:>9} calls  server RSS {row['server_rss'] / MIB:7.1f} MiB  "
                f"client RSS {row['client_rss'] / MIB:7.1f} MiB  server objects {row['server_objects']:>7}  "
                f"refs {row['server_refs']}/{row['client_refs']}  {row['seconds']:7.1f} s")

        sample("start", 0)
        marks = [("warm-up", calls // 10), ("middle", calls // 2), ("end", calls)]
        done = 0
        for label, upto in marks:
            wrong += clients.run(done, upto)
            done = upto
            sample(label, done)
            if wrong:
                break
    finally:
        if clients is not None:
            clients.close()
        # let the handlers of the closed connections finish before the server is stopped
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            stats = control.stats()
            if not isinstance(stats, dict) or len(stats) <= 1:
                break
            time.sleep(0.01)
        control._client._connection.close()
        status = server.stop()
    elapsed = time.perf_counter() - t0
    warm = next(s for s in samples if s["at"] == "warm-up") if len(samples) > 1 else samples[0]
    end = samples[-1]
    growth = {"server": (end["server_rss"] - warm["server_rss"]) / 1e6,
              "client": (end["client_rss"] - warm["client_rss"]) / 1e6}
    report = {"calls": calls, "connections": connections, "mode": mode, "seconds": round(elapsed, 1),
              "calls_per_second": round(calls / elapsed), "wrong": wrong[:10], "samples": samples,
              "growth_after_warmup_mb": {k: round(v, 2) for k, v in growth.items()}, "bound_mb": bound_mb,
              "server_exit_status": status}
    ok = not wrong and status == 0 and all(v < bound_mb for v in growth.values())
    report["ok"] = ok
    out(f"soak: {calls} calls over {connections} {mode} in {elapsed:.1f} s ({calls / elapsed:.0f} calls/s); "
        f"RSS growth after warm-up: server {growth['server']:+.2f} MB, client {growth['client']:+.2f} MB "
        f"(bound {bound_mb} MB); wrong results: {len(wrong)}; server exit status {status}")
    if wrong:
        out("wrong: " + "; ".join(wrong[:10]))
    if not hasattr(sys, "gettotalrefcount"):
        out("soak: release build of the interpreter: sys.gettotalrefcount() is not available "
            "(server objects tracked by gc are reported instead)")
    out("soak: " + ("PASS" if ok else "FAIL"))
    return report


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=1_000_000)
    ap.add_argument("--connections", type=int, default=8)
    ap.add_argument("--mode", choices=("threads", "processes"), default="threads")
    ap.add_argument("--bound-mb", type=float, default=10.0, help="allowed RSS growth after warm-up (default 10)")
    ap.add_argument("--json", help="also write the report here")
    args = ap.parse_args(argv)
    report = soak(args.calls, args.connections, args.mode, args.bound_mb)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
    return 0 if report["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
