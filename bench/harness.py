"""`python -m bench`: lumo beside its floors and peers, measured in one run.

    python -m bench                      full run (about 5 to 10 minutes on 2 cores)
    python -m bench --quick              a smoke run in well under a minute
    python -m bench --only lumo,mpconn   only these systems (names: c, rawpy, lumo, mpconn,
                                         xmlrpc, rpyc, pyro5)
    python -m bench --out DIR            write latest.json/.md/.png into DIR (default
                                         bench/results)

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

from bench import measure, report

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


@dataclass
class Config:
    quick: bool
    latency_n: int
    latency_s: float
    latency_warmup: int
    echo_sizes: list  # [label, bytes, "bytes" | "numpy"]
    echo_n: int
    echo_s: float
    echo_warmup_max: int
    clients: list
    calls_s: float
    max_calls: int
    connect_n: int
    connect_s: float
    memory_size: int
    bulk_total: int
    bulk_chunk: int
    pin_cpu: int = 0
    ping_n: int = field(default=0)

    @classmethod
    def make(cls, quick: bool) -> "Config":
        if quick:
            sizes = [1 * KiB, 1 * MiB]
            array = 1 * MiB
            return cls(True, 2000, 0.3, 50, _sizes(sizes, array), 20, 0.2, 1 * MiB, [1, 4], 0.3,
                       100_000, 10, 0.3, 4 * MiB, 64 * MiB, 1 * MiB, ping_n=20_000)
        sizes = [1 * KiB, 1 * MiB, 16 * MiB, 128 * MiB]
        array = 16 * MiB
        return cls(False, 20_000, 3.0, 200, _sizes(sizes, array), 200, 2.0, 16 * MiB,
                   [1, 4, 16, 64], 2.0, 10_000_000, 100, 2.0, 128 * MiB, 1 * GiB, 1 * MiB,
                   ping_n=200_000)


def _sizes(sizes, array):
    return [[size_label(s), s, "bytes"] for s in sizes] + [
        [f"numpy{size_label(array)}", array, "numpy"]]


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
    def __init__(self, cfg: Config, only: list[str], reg: measure.Registry, log=print):
        self.cfg, self.only, self.reg, self.log = cfg, only, reg, log
        self.res = {"meta": {}, "config": asdict(cfg), "systems": {}, "latency": {}, "bulk": {},
                    "echo": {}, "calls": {}, "connect": {}, "memory": {}, "errors": {},
                    "targets": []}

    def _attempt(self, name: str, what: str, fn):
        """Runs one measurement; a failure is recorded and the run goes on."""
        t0 = time.monotonic()
        try:
            out = fn()
        except Exception as exc:
            msg = f"{what}: {type(exc).__name__}: {exc}"
            self.res["errors"].setdefault(name, []).append(msg)
            self.log(f"  {name} {what} FAILED: {msg[:300]}")
            return None
        self.log(f"  {name} {what} ({time.monotonic() - t0:.1f} s): {_brief(out)}")
        return out

    # -- the C floor ------------------------------------------------------------------------
    def floor(self) -> None:
        cfg, reg = self.cfg, self.reg
        try:
            binary, version = measure.build_floor(reg.workdir)
        except Exception as exc:
            self.res["systems"]["c"] = {"label": C_LABEL, "kind": "floor", "available": False,
                                        "reason": f"{type(exc).__name__}: {exc}"}
            self.log(f"c: skipped ({exc})")
            return
        self.res["systems"]["c"] = {"label": C_LABEL, "kind": "floor", "available": True,
                                    "version": version,
                                    "notes": "16-byte ping-pong, TCP_NODELAY; bulk 1 MiB writes"}
        self.log(f"c: {version}")
        lat = self.res["latency"].setdefault("c", {})
        for mode, cpu in (("unpinned", None), ("pinned", cfg.pin_cpu)):
            def ping(cpu=cpu):
                with measure.floor_server(reg, binary, cpu) as (port, _):
                    return measure.floor_ping(reg, binary, port, cfg.ping_n, cfg.latency_s, cpu)
            out = self._attempt("c", f"latency {mode}", ping)
            if out:
                lat[mode] = out

        def bulk():
            with measure.floor_server(reg, binary) as (port, _):
                return measure.floor_bulk(reg, binary, port, cfg.bulk_total, cfg.bulk_chunk)
        out = self._attempt("c", "bulk", bulk)
        if out:
            self.res["bulk"]["c"] = out

    # -- the Python systems -----------------------------------------------------------------
    def python_system(self, name: str) -> None:
        from bench.targets import PYTHON_TARGETS

        target = PYTHON_TARGETS[name]
        info = {"label": target.label, "kind": target.kind, "notes": target.notes}
        check = measure.check_target(self.reg, name)
        if "error" in check:
            info.update(available=False, reason=check["error"])
            self.res["systems"][name] = info
            self.log(f"{name}: skipped ({check['error']})")
            return
        info.update(available=True, version=check["version"])
        self.res["systems"][name] = info
        self.log(f"{name}: {check['version']}")
        cfg, reg = self.cfg, self.reg

        def params(port, **kw):
            return {"target": name, "port": port, **kw}

        lat = self.res["latency"].setdefault(name, {})
        calls = self.res["calls"].setdefault(name, {"processes": {}, "threads": {}})

        def unpinned():
            with measure.python_server(reg, name) as (port, _):
                out = self._attempt(name, "latency unpinned", lambda: measure.worker(
                    reg, "latency", params(port, n=cfg.latency_n, seconds=cfg.latency_s,
                                           warmup=cfg.latency_warmup), cfg.latency_s + 120))
                if out:
                    lat["unpinned"] = out
                out = self._attempt(name, "echo", lambda: measure.worker(
                    reg, "echo", params(port, sizes=cfg.echo_sizes, n=cfg.echo_n,
                                        seconds=cfg.echo_s, warmup_max=cfg.echo_warmup_max),
                    len(cfg.echo_sizes) * (cfg.echo_s + 300)))
                if out:
                    self.res["echo"][name] = out
                out = self._attempt(name, "connect", lambda: measure.worker(
                    reg, "connect", params(port, n=cfg.connect_n, seconds=cfg.connect_s),
                    cfg.connect_s + 120))
                if out:
                    self.res["connect"][name] = out
                for k in cfg.clients:
                    out = self._attempt(name, f"{k} client threads", lambda k=k: measure.worker(
                        reg, "threads", params(port, clients=k, seconds=cfg.calls_s,
                                               max_calls=cfg.max_calls), cfg.calls_s + 300))
                    if out:
                        calls["threads"][str(k)] = out
                for k in cfg.clients:
                    out = self._attempt(name, f"{k} client processes",
                                        lambda k=k: measure.calls_processes(
                                            reg, name, port, k, cfg.calls_s, cfg.max_calls))
                    if out:
                        calls["processes"][str(k)] = out

        self._attempt(name, "server (unpinned)", unpinned)

        def pinned():
            with measure.python_server(reg, name, cfg.pin_cpu) as (port, _):
                return measure.worker(reg, "latency", params(
                    port, n=cfg.latency_n, seconds=cfg.latency_s, warmup=cfg.latency_warmup,
                    cpu=cfg.pin_cpu), cfg.latency_s + 120)
        out = self._attempt(name, "latency pinned", pinned)
        if out:
            lat["pinned"] = out

        def memory():
            size = cfg.memory_size
            with measure.python_server(reg, name) as (port, proc):
                before = measure.vm_status(proc.pid)
                echo = measure.worker(reg, "echo", params(
                    port, sizes=[[size_label(size), size, "bytes"]], n=1, seconds=0.0,
                    warmup_max=0), 600)
                after = measure.vm_status(proc.pid)
            return {"payload": size, "baseline_rss": before["VmRSS"], "peak_rss": after["VmHWM"],
                    "growth": after["VmHWM"] - before["VmRSS"],
                    "echo_errors": next(iter(echo.values()))["errors"]}
        out = self._attempt(name, "memory", memory)
        if out:
            self.res["memory"][name] = out

    def run(self) -> dict:
        start = time.monotonic()
        meta = self.res["meta"]
        meta.update(machine_info())
        meta["date"] = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        meta["quick"] = self.cfg.quick
        meta["systems_requested"] = self.only
        meta["loadavg_start"] = os.getloadavg()
        for name in self.only:
            if name == "c":
                self.floor()
            else:
                self.python_system(name)
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
    args = ap.parse_args(argv)
    try:
        only = parse_only(args.only)
    except ValueError as exc:
        ap.error(str(exc))
    cfg = Config.make(args.quick)
    cfg.pin_cpu = args.pin_cpu
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
