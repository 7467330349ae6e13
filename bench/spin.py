"""`python -m bench.spin`: lumo with the spin before block on and off, beside the floors, in one run.

Small-call latency (unpinned, and client and server pinned to one CPU) against the blocking C
ping-pong; calls per second with many client processes and threads; the CPU that the server's
threads use while a connected client stays idle. Every figure that compares is a ratio of this
run. Prints one JSON object (and writes it with --out).
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import tempfile
import time
from pathlib import Path

from bench import measure, worker


def _with_spin(flag: bool, module: str, args: list[str]) -> list[str]:
    """The command that runs `python -m MODULE ARGS` with lumo.ring.set_spin(flag) first."""
    code = (f"import sys, lumo.ring; lumo.ring.set_spin({flag}); "
            "from bench.spin import report_counts_at_exit; report_counts_at_exit(); "
            f"from {module} import main; sys.exit(main(sys.argv[1:]))")
    return [sys.executable, "-c", code, *args]


def report_counts_at_exit() -> None:
    """Writes lumo.ring._spin_counts() to standard error when the process ends or is terminated."""
    import atexit
    import signal

    from lumo import ring

    def write(*_):
        print("spin counts", json.dumps(ring._spin_counts()), file=sys.stderr, flush=True)

    def on_term(*_):
        write()
        os._exit(0)

    atexit.register(write)
    signal.signal(signal.SIGTERM, on_term)


def lumo_server(reg, spin: bool, cpu=None):
    extra = ["--cpu", str(cpu)] if cpu is not None else []
    return measure.server(reg, lambda port: _with_spin(spin, "bench.servers", ["lumo", str(port), *extra]),
                          f"server-lumo-spin{int(spin)}")


def run_task(reg, target: str, spin: bool, task: str, params: dict, timeout: float) -> dict:
    cmd = _with_spin(spin, "bench.worker", [task, json.dumps({"target": target, **params})])
    return measure.run_json(reg, cmd, timeout, f"{task}-{target}-spin{int(spin)}")


def thread_cpu_ns(pid: int) -> dict[int, int]:
    """The CPU time in ns of each thread of a process (from /proc/PID/task/TID/schedstat)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                out[int(tid)] = int(f.read().split()[0])
    return out


def idle_cpu(reg, spin: bool, seconds: float) -> dict:
    """A client makes a few calls, then its connection stays idle: what the server's threads use."""
    with lumo_server(reg, spin) as (port, proc):
        from bench.targets import Lumo

        client = Lumo().client(port, 30.0)
        try:
            for i in range(200):
                assert client.add(i, 1) == i + 1
            time.sleep(0.2)  # the handler reaches its wait for the next request
            before = thread_cpu_ns(proc.pid)
            time.sleep(seconds)
            after = thread_cpu_ns(proc.pid)
        finally:
            client.close()
    grew = {tid: after[tid] - before.get(tid, 0) for tid in after}
    return {"seconds": seconds, "server_cpu_us": sum(grew.values()) / 1e3,
            "per_thread_cpu_us": sorted(round(v / 1e3, 1) for v in grew.values())}


# (name, the client's set_spin, the server's set_spin)
LATENCY_VARIANTS = (("lumo-spin-on", True, True), ("lumo-spin-off", False, False),
                    ("lumo-spin-client-only", True, False))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.spin", description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=3, help="latency rounds over every system")
    ap.add_argument("--n", type=int, default=20_000, help="calls per latency round")
    ap.add_argument("--seconds", type=float, default=1.0, help="time of one latency round / calls run")
    ap.add_argument("--clients", default="p16,t64,t4", help="pN: N processes, tN: N threads")
    ap.add_argument("--idle", type=float, default=3.0, help="seconds of the idle connection")
    ap.add_argument("--pin-cpu", type=int, default=0)
    ap.add_argument("--skip", default="", help="comma-separated parts to leave out: latency,calls,idle")
    ap.add_argument("--out", type=Path)
    args = ap.parse_args(argv)
    skip = set(filter(None, args.skip.split(",")))
    res: dict = {"cpus": os.cpu_count(), "latency": {}, "calls": {}, "idle": {}}
    reg = measure.Registry(Path(tempfile.mkdtemp(prefix="lumo-spin-")))
    try:
        binary, _ = measure.build_floor(reg.workdir)
        if "latency" not in skip:
            pooled: dict = {}
            for _ in range(args.rounds):
                for mode, cpu in (("unpinned", None), ("pinned", args.pin_cpu)):
                    with measure.floor_server(reg, binary, cpu) as (port, _):
                        out = measure.floor_ping(reg, binary, port, 10 * args.n, args.seconds, cpu)
                    pooled.setdefault(("c", mode), []).extend(out["samples_ns"])
                    for name, spin, server_spin in LATENCY_VARIANTS:
                        with lumo_server(reg, server_spin, cpu) as (port, _):
                            out = run_task(reg, "lumo", spin, "latency", {
                                "port": port, "n": args.n, "seconds": args.seconds, "warmup": 200,
                                "cpu": cpu, "samples": True}, args.seconds + 120)
                        assert out["errors"] == 0, out
                        pooled.setdefault((name, mode), []).extend(out["samples_ns"])
            for (name, mode), samples in pooled.items():
                res["latency"].setdefault(name, {})[mode] = worker.summarize(sorted(samples))
            for mode in ("unpinned", "pinned"):
                floor = res["latency"]["c"][mode]["p50_us"]
                for name, _, _ in LATENCY_VARIANTS:
                    res["latency"][name][mode]["x_floor_p50"] = res["latency"][name][mode]["p50_us"] / floor
        if "calls" not in skip:
            for clients in filter(None, args.clients.split(",")):
                task, k = {"p": "procs", "t": "threads"}[clients[0]], int(clients[1:])
                row = {}
                for target, spins in (("lumo", (True, False)), ("rawpy", (False,))):
                    if target == "rawpy" and task != "threads":
                        continue
                    for spin in spins:
                        ctx = (lumo_server(reg, spin) if target == "lumo"
                               else measure.python_server(reg, "rawpy"))
                        with ctx as (port, _):
                            out = run_task(reg, target, spin, task, {
                                "port": port, "clients": k, "seconds": args.seconds,
                                "max_calls": 10_000_000}, args.seconds + 400)
                        key = f"{target}-spin-{'on' if spin else 'off'}" if target == "lumo" else target
                        row[key] = {"calls_s": out["calls_s"], "errors": out["errors"],
                                    "first_error": out["first_error"]}
                row["spin_on_over_off"] = row["lumo-spin-on"]["calls_s"] / row["lumo-spin-off"]["calls_s"]
                if "rawpy" in row:
                    row["lumo_spin_on_over_rawpy"] = row["lumo-spin-on"]["calls_s"] / row["rawpy"]["calls_s"]
                res["calls"][clients] = row
        if "idle" not in skip:
            for spin in (True, False):
                res["idle"][f"spin-{'on' if spin else 'off'}"] = idle_cpu(reg, spin, args.idle)
    finally:
        reg.close()
    text = json.dumps(res, indent=1)
    if args.out:
        args.out.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
