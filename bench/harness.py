"""`python -m bench`: lumo beside its floors and peers, measured in one run.

    python -m bench                      full run (about 5 to 10 minutes on 2 cores)
    python -m bench --quick              a smoke run in well under a minute
    python -m bench --only lumo,mpconn   only these systems (names: c, rawpy, lumo, mpconn,
                                         xmlrpc, rpyc, pyro5)
    python -m bench --out DIR            write latest.json/.md/.png into DIR (default
                                         bench/results)
    python -m bench --instructions       only the callgrind counts of one call (lumo, rawpy,
                                         mpconn; --only picks among them, --calls LOW,HIGH
                                         sets the two runs' calls; see bench/instructions.py)

Servers and clients always run in separate processes. A system that is not installed is
reported as skipped; a measurement that fails is reported with its error and the run goes on.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

from bench import instructions, measure, report, worker

KiB = 1024
MiB = 1024 * KiB
GiB = 1024 * MiB

SYSTEMS = ("c", "rawpy", "lumo", "mpconn", "xmlrpc", "rpyc", "pyro5")
C_LABEL = "C ping-pong floor"


def size_label(size: int) -> str:
    if size >= MiB and size % MiB == 0:
        return f"{size // MiB}MiB"
    if size >= KiB and size % KiB == 0:
        return f"{size // KiB}KiB"
    return f"{size}B"


def _sizes(sizes, array):
    return [[size_label(s), s, "bytes"] for s in sizes] + [
        [f"numpy{size_label(array)}", array, "numpy"]]


@dataclass
class Config:
    """Counts, times and sizes of a run; every loop stops at its count or its time."""
    quick: bool = False
    latency_n: int = 20_000          # add(1, 2) calls per latency run ...
    latency_s: float = 3.0           # ... or this many seconds
    latency_warmup: int = 200
    latency_rounds: int = 3          # the latency time is split into rounds over all systems
    ping_n: int = 200_000            # the C floor's round trips (same time limit)
    echo_sizes: list = field(default_factory=lambda: _sizes(
        [1 * KiB, 1 * MiB, 16 * MiB, 128 * MiB], 16 * MiB))  # [label, bytes, kind]
    echo_n: int = 200
    echo_s: float = 2.0
    echo_warmup_max: int = 16 * MiB  # bigger payloads get no unmeasured first call
    echo_timeout: float = 60.0       # a payload whose worker needs longer is reported cut off
    clients: list = field(default_factory=lambda: [1, 4, 16, 64])
    calls_s: float = 2.0
    max_calls: int = 10_000_000
    connect_n: int = 100
    connect_s: float = 2.0
    memory_size: int = 128 * MiB     # one of the bytes echo sizes
    bulk_total: int = 1 * GiB
    bulk_chunk: int = 1 * MiB
    pin_cpu: int = 0
    instruction_calls: list = field(default_factory=lambda: [1000, 6000])  # callgrind runs

    @classmethod
    def make(cls, quick: bool) -> "Config":
        if not quick:
            return cls()
        return cls(quick=True, latency_n=2000, latency_s=0.3, latency_warmup=50, latency_rounds=1,
                   ping_n=20_000,
                   echo_sizes=_sizes([1 * KiB, 1 * MiB], 1 * MiB), echo_n=20, echo_s=0.2,
                   echo_warmup_max=1 * MiB, echo_timeout=30.0, clients=[1, 4], calls_s=0.3,
                   max_calls=100_000, connect_n=10, connect_s=0.3, memory_size=1 * MiB,
                   bulk_total=64 * MiB, instruction_calls=[100, 600])


def machine_info() -> dict:
    info = {"platform": platform.platform(), "machine": platform.machine(),
            "cpus": os.cpu_count(), "python": sys.version.split()[0],
            "python_full": sys.version, "implementation": platform.python_implementation()}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu_model"] = next((ln.split(":", 1)[1].strip() for ln in f
                                      if ln.startswith("model name")), "")
        with open("/proc/meminfo") as f:
            info["mem_total_bytes"] = int(f.readline().split()[1]) * 1024
    except OSError:
        pass
    return info


class Run:
    """One benchmark run: availability, the interleaved latency rounds, then per system the
    bulk floor, connect, calls/s, echo and memory measurements."""

    def __init__(self, cfg: Config, only: list[str], reg: measure.Registry, log=print):
        self.cfg, self.only, self.reg, self.log = cfg, only, reg, log
        self.res = {"meta": {}, "config": asdict(cfg), "systems": {}, "latency": {}, "bulk": {},
                    "echo": {}, "calls": {}, "connect": {}, "memory": {}, "instructions": {},
                    "errors": {}, "targets": []}
        self.floor_binary = None

    def _attempt(self, name: str, what: str, fn, reraise=()):
        """Runs one measurement; a failure is recorded and the run goes on."""
        t0 = time.monotonic()
        try:
            out = fn()
        except reraise:
            raise
        except Exception as exc:
            msg = f"{what}: {type(exc).__name__}: {exc}"
            self.res["errors"].setdefault(name, []).append(msg)
            self.log(f"  {name} {what} FAILED: {msg[:300]}")
            return None
        self.log(f"  {name} {what} ({time.monotonic() - t0:.1f} s): {_brief(out)}")
        return out

    def available(self) -> list[str]:
        return [n for n in self.only if self.res["systems"].get(n, {}).get("available")]

    # -- what can run -----------------------------------------------------------------------
    def check(self, name: str) -> None:
        if name == "c":
            info = {"label": C_LABEL, "kind": "floor",
                    "notes": "16-byte ping-pong, TCP_NODELAY; bulk transfer in 1 MiB writes"}
            try:
                self.floor_binary, version = measure.build_floor(self.reg.workdir)
                info.update(available=True, version=version)
            except Exception as exc:
                info.update(available=False, reason=f"{type(exc).__name__}: {exc}")
        else:
            from bench.targets import PYTHON_TARGETS

            target = PYTHON_TARGETS[name]
            info = {"label": target.label, "kind": target.kind, "notes": target.notes}
            check = measure.check_target(self.reg, name)
            if "error" in check:
                info.update(available=False, reason=check["error"])
            else:
                info.update(available=True, version=check["version"])
        self.res["systems"][name] = info
        self.log(f"{name}: " + (info["version"] if info["available"]
                                 else f"skipped ({info['reason']})"))

    # -- latency ----------------------------------------------------------------------------
    def latency_once(self, name: str, cpu, n: int, seconds: float) -> dict:
        reg, cfg = self.reg, self.cfg
        if name == "c":
            with measure.floor_server(reg, self.floor_binary, cpu) as (port, _):
                return measure.floor_ping(reg, self.floor_binary, port, n, seconds, cpu)
        with measure.python_server(reg, name, cpu) as (port, _):
            return measure.worker(reg, "latency", {
                "target": name, "port": port, "n": n, "seconds": seconds,
                "warmup": cfg.latency_warmup, "cpu": cpu, "samples": True}, seconds + 120)

    def latency(self) -> None:
        """add(1, 2) round trips, unpinned and pinned. The time is split into rounds that visit
        every system in turn, so that a change in the machine's load or in where the scheduler
        puts the processes hits every system alike; percentiles are over the pooled samples."""
        cfg = self.cfg
        rounds = max(1, cfg.latency_rounds)
        pooled: dict = {}
        for r in range(rounds):
            for mode, cpu in (("unpinned", None), ("pinned", cfg.pin_cpu)):
                for name in self.available():
                    n = (cfg.ping_n if name == "c" else cfg.latency_n) // rounds
                    out = self._attempt(name, f"latency {mode}, round {r + 1}/{rounds}",
                                        lambda name=name, cpu=cpu, n=n: self.latency_once(
                                            name, cpu, max(1, n), cfg.latency_s / rounds))
                    if out:
                        pooled.setdefault(name, {}).setdefault(mode, []).append(out)
        for name, modes in pooled.items():
            for mode, runs in modes.items():
                samples = sorted(s for run in runs for s in run["samples_ns"])
                stats = worker.summarize(samples)
                stats["errors"] = sum(run["errors"] for run in runs)
                stats["first_error"] = next((run.get("first_error") for run in runs
                                             if run.get("first_error")), None)
                stats["round_p50_us"] = [worker.summarize(sorted(run["samples_ns"]))["p50_us"]
                                         for run in runs]
                self.res["latency"].setdefault(name, {})[mode] = stats

    # -- everything else --------------------------------------------------------------------
    def bulk(self) -> None:
        cfg, reg = self.cfg, self.reg

        def bulk():
            with measure.floor_server(reg, self.floor_binary) as (port, _):
                return measure.floor_bulk(reg, self.floor_binary, port, cfg.bulk_total,
                                          cfg.bulk_chunk)
        out = self._attempt("c", "bulk", bulk)
        if out:
            self.res["bulk"]["c"] = out

    def python_system(self, name: str) -> None:
        cfg, reg = self.cfg, self.reg

        def params(port, **kw):
            return {"target": name, "port": port, **kw}

        calls = self.res["calls"].setdefault(name, {"processes": {}, "threads": {}})

        def with_server():
            with measure.python_server(reg, name) as (port, _):
                out = self._attempt(name, "connect", lambda: measure.worker(
                    reg, "connect", params(port, n=cfg.connect_n, seconds=cfg.connect_s),
                    cfg.connect_s + 120))
                if out:
                    self.res["connect"][name] = out
                for kind, task, spare in (("threads", "threads", 300), ("processes", "procs", 420)):
                    for k in cfg.clients:
                        out = self._attempt(name, f"{k} client {kind}", lambda k=k, task=task, spare=spare:
                                            measure.worker(reg, task, params(port, clients=k, seconds=cfg.calls_s,
                                                                             max_calls=cfg.max_calls),
                                                           cfg.calls_s + spare))
                        if out:
                            calls[kind][str(k)] = out
                # Last, because a peer that is slow with big payloads is cut off at the time-out
                # and may keep its server busy for a while.
                self.echo(name, port)

        try:
            with_server()
        except Exception as exc:  # the server did not start, or died
            self.res["errors"].setdefault(name, []).append(f"server: {type(exc).__name__}: {exc}")
            self.log(f"  {name} server FAILED: {exc}")
        out = self._attempt(name, "memory", lambda: self.memory_echo(name))
        if out:
            self.res["memory"][name] = out

    def echo(self, name: str, port: int) -> None:
        """Every payload but the one of the memory run, one worker per payload."""
        for label, size, kind in self.cfg.echo_sizes:
            if not (kind == "bytes" and size == self.cfg.memory_size):
                self._echo_one(name, port, label, size, kind)

    def memory_echo(self, name: str) -> dict:
        """The echo of the memory payload on a fresh server, whose resident set is read before
        and whose peak (VmHWM) is read after: the growth is what that echo cost the server."""
        size = self.cfg.memory_size
        label = size_label(size)
        with measure.python_server(self.reg, name) as (port, proc):
            before = measure.vm_status(proc.pid)
            entry = self._echo_one(name, port, label, size, "bytes")
            after = measure.vm_status(proc.pid)
        if entry is None or entry.get("mb_s") is None:
            why = ("cut off at the time-out" if entry else "failed")
            if entry and entry.get("skipped"):
                why = "skipped after a smaller payload was cut off"
            raise RuntimeError(f"no figure: the {label} echo was {why}")
        return {"payload": size, "baseline_rss": before["VmRSS"], "peak_rss": after["VmHWM"],
                "growth": after["VmHWM"] - before["VmRSS"], "echo_errors": entry["errors"]}

    def _echo_one(self, name: str, port: int, label: str, size: int, kind: str):
        """Round trips of one payload in a worker of its own, so that a peer too slow for a
        size is cut off at the time-out without losing the others; a payload bigger than one
        of its kind that was cut off is skipped. Returns the entry, None on failure."""
        cfg = self.cfg
        out = self.res["echo"].setdefault(name, {})
        if any(r.get("timeout_s") and r["kind"] == kind and r["size"] <= size
               for r in out.values()):
            out[label] = {"size": size, "kind": kind, "n": 0, "mb_s": None, "errors": 0,
                          "skipped": "a smaller payload was cut off"}
            return out[label]
        params = {"target": name, "port": port, "sizes": [[label, size, kind]],
                  "n": cfg.echo_n, "seconds": cfg.echo_s, "warmup_max": cfg.echo_warmup_max}
        try:
            r = self._attempt(name, f"echo {label}", lambda: measure.worker(
                self.reg, "echo", params, cfg.echo_timeout), reraise=TimeoutError)
        except TimeoutError:
            out[label] = {"size": size, "kind": kind, "n": 0, "mb_s": None, "errors": 0,
                          "timeout_s": cfg.echo_timeout}
            self.log(f"  {name} echo {label}: no result in {cfg.echo_timeout:g} s")
            return out[label]
        if r:
            out.update(r)
        return out.get(label)

    def instructions(self) -> None:
        """Callgrind's counts of one call, last and alone, so that valgrind's processes slow no
        timed figure. A quick run leaves them out: under valgrind they take minutes."""
        if self.cfg.quick:
            self.res["instructions"] = {"skipped": "a quick run leaves them out "
                                                   "(`python -m bench --instructions`)"}
            return
        self.log("instructions (callgrind):")
        try:
            self.res["instructions"] = instructions.measure(
                instructions.rows_for(self.available()), *self.cfg.instruction_calls,
                attempt=self._attempt)
        except RuntimeError as exc:  # no valgrind
            self.res["instructions"] = {"skipped": str(exc)}
            self.log(f"  skipped: {exc}")

    def run(self) -> dict:
        start = time.monotonic()
        meta = self.res["meta"]
        meta.update(machine_info())
        meta["date"] = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        meta["quick"] = self.cfg.quick
        meta["systems_requested"] = self.only
        meta["loadavg_start"] = os.getloadavg()
        for name in self.only:
            self.check(name)
        self.latency()
        for name in self.available():
            self.log(f"{name}:")
            if name == "c":
                self.bulk()
            else:
                self.python_system(name)
        self.instructions()
        meta["loadavg_end"] = os.getloadavg()
        meta["duration_s"] = round(time.monotonic() - start, 1)
        self.res["targets"] = report.evaluate_targets(self.res)
        return self.res


def _brief(out) -> str:
    text = json.dumps(out, default=str)
    return text if len(text) < 160 else text[:157] + "..."


def write_results(res: dict, out_dir: Path) -> dict:
    """Writes latest.json, latest.md and (with matplotlib) latest.png; returns their paths."""
    out_dir.mkdir(parents=True, exist_ok=True)
    paths = {}
    for suffix, text in (("json", json.dumps(res, indent=1, sort_keys=False) + "\n"),
                         ("md", report.markdown(res))):
        path = out_dir / f"latest.{suffix}"
        tmp = path.with_name(path.name + ".tmp")
        tmp.write_text(text)
        os.replace(tmp, path)
        paths[suffix] = str(path)
    png = report.chart(res, out_dir / "latest.png")
    if png:
        paths["png"] = png
    return paths


def parse_only(text: str | None) -> list[str]:
    if not text:
        return list(SYSTEMS)
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in SYSTEMS]
    if unknown:
        raise ValueError(f"unknown systems {', '.join(unknown)}; choose from {', '.join(SYSTEMS)}")
    return [n for n in SYSTEMS if n in names]


def count_instructions(cfg: Config, rows, json_path: Path | None, keep: Path | None) -> int:
    """`python -m bench --instructions`: the callgrind table alone; 1 if a row failed."""
    run = Run(cfg, [], reg=None, log=lambda s: print(s, flush=True))
    try:
        res = instructions.measure(rows, *cfg.instruction_calls, keep, attempt=run._attempt)
    except RuntimeError as exc:  # no valgrind
        raise SystemExit(str(exc)) from None
    print()
    print("\n".join(report.instructions_lines(res)))
    if json_path:
        json_path.write_text(json.dumps(res, indent=2) + "\n")
    return 1 if run.res["errors"] else 0


def _terminate(signum, frame):
    raise SystemExit(128 + signum)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="few iterations, small sizes, few clients")
    ap.add_argument("--only", help=f"comma-separated systems out of {','.join(SYSTEMS)}")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results",
                    help="directory for latest.json, latest.md and latest.png")
    ap.add_argument("--pin-cpu", type=int, default=0, help="the CPU of the pinned runs")
    ap.add_argument("--instructions", action="store_true",
                    help="only count, with callgrind, the instructions of one call")
    ap.add_argument("--calls", help="the two callgrind runs' numbers of calls, smaller first "
                                    "(default 1000,6000; 100,600 with --quick)")
    ap.add_argument("--json", type=Path, help="with --instructions: also write the counts here")
    ap.add_argument("--keep", type=Path, metavar="DIR", help="with --instructions: keep "
                                                             "callgrind's files in DIR")
    args = ap.parse_args(argv)
    try:
        only = parse_only(args.only)
    except ValueError as exc:
        ap.error(str(exc))
    cfg = Config.make(args.quick)
    cfg.pin_cpu = args.pin_cpu
    if args.calls:
        try:
            cfg.instruction_calls = list(instructions.parse_calls(args.calls))
        except ValueError as exc:
            ap.error(str(exc))
    if args.instructions:
        rows = instructions.rows_for(only)
        if not rows:
            ap.error("--instructions counts " + ", ".join(sorted({r.target for r in
                                                                  instructions.ROWS})))
        return count_instructions(cfg, rows, args.json, args.keep)
    signal.signal(signal.SIGTERM, _terminate)
    reg = measure.Registry()
    try:
        res = Run(cfg, only, reg, log=lambda s: print(s, flush=True)).run()
    finally:
        reg.close()
        shutil.rmtree(reg.workdir, ignore_errors=True)
    paths = write_results(res, args.out)
    print()
    print(report.targets_text(res))
    print("\nwrote " + ", ".join(paths.values()))
    return 0
