#!/usr/bin/env python3
"""Several lumo hosts behind HAProxy, on this machine's loopback addresses.

    python tools/cluster.py                  start the cluster, call through it, show the spread
    python tools/cluster.py --failover       ... then crash one host under load and restart it
    python tools/cluster.py --keep 600       ... and keep it up for 600 s (Ctrl+C: sooner)
    python tools/cluster.py --config         only print the HAProxy configuration (--alias,
                                             --port, --bind, --hosts: for real machines)

Three backend "hosts", each `lumo serve examples/calc.py --workers 2` bound to its own address
(127.0.0.11, 127.0.0.12, 127.0.0.13: all of 127.0.0.0/8 is this machine), and HAProxy in TCP
mode on 127.0.0.10, all on one port. HAProxy checks each host by sending it a lumo request,
calc.ping('lb'), and expecting its answer, so that a host counts as up only when its lumo
server answers calls. Clients connect to 127.0.0.10 by host and port as to a single server.
HAProxy comes from Debian's package; the script installs it with apt-get when it is missing and
it runs as root. Every process it starts ends with it, also on failure.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from bench.measure import stop  # noqa: E402  (SIGTERM, then SIGKILL after a grace time)
FRONT = "127.0.0.10"
HOSTS = ("127.0.0.11", "127.0.0.12", "127.0.0.13")
ALIAS = "calc"
TARGET = "examples/calc.py"
TOKEN = "lb"
REQUEST, RESPONSE = 2, 3  # the message tags of lumo.protocol
STEP = 0.02               # polling interval of every wait below, each bounded by a deadline


# --- the health check: a lumo ping, written out in the channel's frame format --------------------

def _compact(value: Any) -> bytes:
    """The channel's compact encoding of ints, texts, tuples and dicts (one tag byte each)."""
    if type(value) is int:
        return b"i" + struct.pack("<q", value)
    if type(value) is str:
        data = value.encode()
        return b"s" + struct.pack("<I", len(data)) + data
    if type(value) is tuple:
        return b"(" + struct.pack("<I", len(value)) + b"".join(map(_compact, value))
    if type(value) is dict and not value:
        return b"{" + struct.pack("<I", 0)
    raise TypeError(f"no compact form here for {value!r}")


def frame(message: tuple[Any, ...]) -> bytes:
    """A whole frame: magic 'LM', version 1, flags 1 (compact payload), no out-of-band
    buffers, the payload's length as 8 bytes little-endian, the payload."""
    payload = _compact(message)
    return b"LM\x01\x01" + struct.pack("<IQ", 0, len(payload)) + payload


def ping_check(alias: str = ALIAS, token: str = TOKEN) -> tuple[bytes, bytes]:
    """The request alias.ping(token) with message id 1, and the server's answer to it."""
    return (frame((REQUEST, 1, f"{alias}.ping", (token,), {})),
            frame((RESPONSE, 1, token)))


def haproxy_config(port: int, hosts: tuple[str, ...] = HOSTS, inter_ms: int = 1000,
                   fall: int = 2, rise: int = 2, stats_socket: str | None = None,
                   alias: str = ALIAS, bind: str = FRONT) -> str:
    request, answer = ping_check(alias)
    stats = f"    stats socket {stats_socket} mode 600 level admin\n" if stats_socket else ""
    servers = "".join(f"    server host{i + 1} {host}:{port} check\n"
                      for i, host in enumerate(hosts))
    return f"""global
{stats}    maxconn 4096

defaults
    mode tcp
    timeout connect 2s
    timeout client 1h
    timeout server 1h
    timeout check {max(inter_ms, 200)}ms

frontend lumo
    bind {bind}:{port}
    default_backend lumo_hosts

backend lumo_hosts
    # a lumo connection carries many calls: give each new one the host with the fewest
    balance leastconn
    option tcp-check
    tcp-check connect
    tcp-check send-binary {request.hex()}
    tcp-check expect binary {answer.hex()}
    # a connection to a host that has just died (not yet marked down) goes to another one
    retries 2
    option redispatch 1
    # a host marked down has its connections closed, so that its clients reconnect elsewhere
    default-server inter {inter_ms}ms fall {fall} rise {rise} on-marked-down shutdown-sessions
{servers}"""


# --- the processes -------------------------------------------------------------------------------

def haproxy_binary(install: bool = False) -> str | None:
    found = shutil.which("haproxy") or next(
        (p for p in ("/usr/sbin/haproxy", "/usr/local/sbin/haproxy") if os.access(p, os.X_OK)),
        None)
    if found or not install or os.geteuid() != 0 or not shutil.which("apt-get"):
        return found
    for cmd in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "haproxy"]):
        if subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          timeout=600).returncode != 0:
            return None
    return haproxy_binary()


def common_port(addresses: tuple[str, ...], tries: int = 50) -> int:
    """A port that is free on every one of ADDRESSES."""
    for _ in range(tries):
        with socket.socket() as probe:
            probe.bind((addresses[0], 0))
            port: int = probe.getsockname()[1]
        try:
            for address in addresses:
                with socket.socket() as probe:
                    probe.bind((address, port))
            return port
        except OSError:
            continue
    raise RuntimeError(f"no common free port on {', '.join(addresses)} in {tries} tries")


def _wait(what: str, check: Callable[[], Any], timeout: float) -> Any:
    deadline = time.monotonic() + timeout
    for _ in range(int(timeout / STEP) + 100):
        found = check()
        if found:
            return found
        if time.monotonic() > deadline:
            break
        time.sleep(STEP)
    raise TimeoutError(f"no {what} after {timeout:g} s")


class Cluster:
    """The backends and the balancer; use as a context manager, which stops everything."""

    def __init__(self, workdir: Path, haproxy: str, workers: int = 2, inter_ms: int = 1000,
                 fall: int = 2, rise: int = 2) -> None:
        self.workdir, self.haproxy = workdir, haproxy
        self.workers, self.inter_ms, self.fall, self.rise = workers, inter_ms, fall, rise
        self.port = common_port((FRONT, *HOSTS))
        self.stats = str(workdir / "haproxy.sock")
        self.backends: dict[str, subprocess.Popen[bytes]] = {}
        self.crashed: list[subprocess.Popen[bytes]] = []
        self.balancer: subprocess.Popen[bytes] | None = None

    def __enter__(self) -> Cluster:
        try:
            for host in HOSTS:
                self.start_backend(host)
            config = self.workdir / "haproxy.cfg"
            config.write_text(haproxy_config(self.port, HOSTS, self.inter_ms, self.fall,
                                             self.rise, self.stats))
            with open(self.workdir / "haproxy.log", "wb") as log:
                self.balancer = subprocess.Popen([self.haproxy, "-db", "-f", str(config)],
                                                 stdin=subprocess.DEVNULL, stdout=log,
                                                 stderr=subprocess.STDOUT)
            for host in HOSTS:
                self.wait_state(host, "UP", 30.0)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self.balancer is not None:
            stop(self.balancer)
        for host in list(self.backends):
            self.stop_backend(host)
        for proc in self.crashed:
            stop(proc)

    def start_backend(self, host: str) -> subprocess.Popen[bytes]:
        with open(self.workdir / f"backend-{host}.log", "ab") as log:
            proc = subprocess.Popen(
                [sys.executable, "-m", "lumo", "serve", TARGET, "--alias", ALIAS, "--host", host,
                 "--port", str(self.port), "--workers", str(self.workers)],
                cwd=ROOT, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.backends[host] = proc
        return proc

    def stop_backend(self, host: str, crash: bool = False) -> None:
        """Ends a backend: SIGTERM (its workers with it) and a wait for all of them; or, with
        CRASH, SIGKILL to all its processes at once, as when a machine goes away, and no wait."""
        import psutil

        proc = self.backends.pop(host)
        try:
            group = [psutil.Process(proc.pid), *psutil.Process(proc.pid).children(recursive=True)]
        except psutil.NoSuchProcess:
            group = []
        if crash:
            for p in group:
                with contextlib.suppress(psutil.NoSuchProcess):
                    p.kill()
            self.crashed.append(proc)  # waited for in close()
            return
        stop(proc)
        _, alive = psutil.wait_procs(group, timeout=10.0)
        for p in alive:
            with contextlib.suppress(psutil.NoSuchProcess):
                p.kill()

    def backend_pid(self, host: str) -> int:
        return self.backends[host].pid

    def states(self) -> dict[str, str]:
        """Each backend's state as HAProxy's health check sees it: UP, DOWN, "UP 1/2", ..."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5.0)
            s.connect(self.stats)
            s.sendall(b"show stat\n")
            chunks = []
            for _ in range(1000):
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        lines = b"".join(chunks).decode().splitlines()
        header = lines[0].lstrip("# ").split(",")
        rows = [dict(zip(header, line.split(","))) for line in lines[1:] if line]
        names = {f"host{i + 1}": host for i, host in enumerate(HOSTS)}
        return {names[r["svname"]]: r["status"] for r in rows
                if r.get("pxname") == "lumo_hosts" and r.get("svname") in names}

    def wait_state(self, host: str, state: str, timeout: float) -> float:
        """Seconds until HAProxy reports HOST in STATE."""
        start = time.monotonic()

        def reached() -> bool:
            try:
                return self.states().get(host) == state
            except OSError:  # the balancer is still starting
                return False
        _wait(f"{host} {state} in HAProxy", reached, timeout)
        return time.monotonic() - start

    def backends_reached(self, connections: int) -> dict[int, int]:
        """Backend pid -> how many of CONNECTIONS new connections through the balancer reached
        it (the parent pid that getpid() names is the backend's `lumo serve` process)."""
        from lumo.client import connect

        seen: dict[int, int] = {}
        for _ in range(connections):
            client = connect(ALIAS, FRONT, self.port, 10)
            ids = client.getpid()
            if not isinstance(ids, tuple):
                raise RuntimeError(f"getpid() through the balancer returned {ids!r}")
            seen[ids[1]] = seen.get(ids[1], 0) + 1
            client._client.close()
        return seen


# --- the failover run ----------------------------------------------------------------------------

def _caller(cluster: Cluster, salt: int, stop: threading.Event, out: dict[str, Any]) -> None:
    from lumo.client import connect

    calc = connect(ALIAS, FRONT, cluster.port, 10)
    for n in range(10_000_000):
        if stop.is_set():
            break
        result = calc.add(n, salt)
        if isinstance(result, ConnectionError):
            out["errors"] += 1
        elif result == n + salt:
            out["answered"] += 1
        else:
            out["wrong"] += 1


def failover(cluster: Cluster, clients: int = 8, seconds: float = 1.0) -> dict[str, Any]:
    """Clients call through the balancer while one host crashes (SIGKILL to all its processes)
    and later comes back. Counts every call's outcome and times the health check."""
    victim = HOSTS[0]
    stop = threading.Event()
    outs = [{"answered": 0, "errors": 0, "wrong": 0} for _ in range(clients)]
    threads = [threading.Thread(target=_caller, args=(cluster, i * 1000003, stop, outs[i]),
                                daemon=True) for i in range(clients)]
    for t in threads:
        t.start()
    try:
        time.sleep(seconds)  # calls run on every host before the crash
        dead_pid = cluster.backend_pid(victim)
        crashed = time.monotonic()
        cluster.stop_backend(victim, crash=True)
        cluster.wait_state(victim, "DOWN", 30.0)
        marked_down = time.monotonic() - crashed
        avoided = cluster.backends_reached(3 * len(HOSTS))
        restarted = time.monotonic()
        new_pid = cluster.start_backend(victim).pid
        cluster.wait_state(victim, "UP", 30.0)
        marked_up = time.monotonic() - restarted
        time.sleep(seconds)  # calls run on every host again
    finally:
        stop.set()
        for t in threads:
            t.join(30.0)
    back = cluster.backends_reached(6 * len(HOSTS))
    return {"clients": clients, "hung": sum(t.is_alive() for t in threads),
            "answered": sum(o["answered"] for o in outs),
            "errors": sum(o["errors"] for o in outs),
            "wrong": sum(o["wrong"] for o in outs),
            "marked_down_after_s": round(marked_down, 3),
            "dead_backend_reached_while_down": avoided.get(dead_pid, 0),
            "connections_while_down": sum(avoided.values()),
            "up_again_after_restart_s": round(marked_up, 3),
            "restarted_backend_reached": back.get(new_pid, 0),
            "connections_after_restart": sum(back.values())}


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python tools/cluster.py",
                                 description=__doc__.split("\n")[0] if __doc__ else None)
    ap.add_argument("--workers", type=int, default=2, help="worker processes per host")
    ap.add_argument("--inter", type=int, default=1000, metavar="MS",
                    help="milliseconds between health checks of a host (default 1000)")
    ap.add_argument("--failover", action="store_true",
                    help="crash one host under load, restart it, report the figures")
    ap.add_argument("--keep", type=float, default=0.0, metavar="S",
                    help="then keep the cluster up for S seconds (Ctrl+C ends it sooner)")
    ap.add_argument("--config", action="store_true",
                    help="only print the HAProxy configuration, for the options below")
    ap.add_argument("--alias", default=ALIAS, help=f"(--config) the alias served (default {ALIAS})")
    ap.add_argument("--port", type=int, default=0,
                    help="(--config) the port of the balancer and the hosts (default: a free one)")
    ap.add_argument("--bind", default=FRONT,
                    help=f"(--config) the balancer's address for the clients (default {FRONT})")
    ap.add_argument("--hosts", default=",".join(HOSTS),
                    help="(--config) the hosts' addresses, comma-separated (default: "
                         f"{','.join(HOSTS)})")
    args = ap.parse_args(argv)
    if args.config:
        hosts = tuple(h.strip() for h in args.hosts.split(",") if h.strip())
        port = args.port or common_port((FRONT, *HOSTS))
        print(haproxy_config(port, hosts, args.inter, alias=args.alias, bind=args.bind), end="")
        return 0
    haproxy = haproxy_binary(install=True)
    if haproxy is None:
        print("cluster: HAProxy is not installed (apt-get install haproxy)", file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    import logging

    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)  # the clients' lines
    with tempfile.TemporaryDirectory(prefix="lumo-cluster-") as tmp, \
            Cluster(Path(tmp), haproxy, args.workers, args.inter) as cluster:
        print(f"balancer {FRONT}:{cluster.port}; hosts "
              + ", ".join(f"{h} (pid {cluster.backend_pid(h)})" for h in HOSTS))
        spread = cluster.backends_reached(30)
        print("30 connections through the balancer reached: "
              + ", ".join(f"{h} {spread.get(cluster.backend_pid(h), 0)}" for h in HOSTS))
        if args.failover:
            for key, value in failover(cluster).items():
                print(f"  {key}: {value}")
        if args.keep:
            print(f"serving; call it with: lumo call {ALIAS}.add 1 2 --host {FRONT} "
                  f"--port {cluster.port}   (for {args.keep:g} s; Ctrl+C ends it sooner)",
                  flush=True)
            with contextlib.suppress(KeyboardInterrupt):
                threading.Event().wait(args.keep)
    return 0


if __name__ == "__main__":
    sys.exit(main())
