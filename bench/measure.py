"""Processes of a benchmark run: servers, client workers and the C floor.

Every process started here is recorded in a registry and ends with the run: a server when its
`with` block ends (terminate, then kill after a time-out), everything else at the latest in
`Registry.close()`, which the harness calls from a `finally`. Workers run under a time-out.
"""
from __future__ import annotations

import contextlib
import importlib.util
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLOOR_SOURCE = Path(__file__).resolve().parent / "floor" / "pingpong.c"


def child_env() -> dict:
    """The environment of every child: it finds `bench`, and `lumo` where this process does."""
    paths = [str(ROOT)]
    found = importlib.util.find_spec("lumo")
    if found is not None and found.submodule_search_locations:
        paths.append(str(Path(list(found.submodule_search_locations)[0]).parent))
    old = os.environ.get("PYTHONPATH")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + ([old] if old else []))
    return env


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _tail(path: Path, limit: int = 1500) -> str:
    try:
        text = path.read_text(errors="replace")
    except OSError:
        return ""
    return text[-limit:].strip()


class Registry:
    """The processes of one run and the scratch directory that holds their logs."""

    def __init__(self, workdir: Path | None = None):
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="lumo-bench-"))
        self.env = child_env()
        self.procs: list[subprocess.Popen] = []
        self._logs = 0

    def log_path(self, stem: str) -> Path:
        self._logs += 1
        return self.workdir / f"{self._logs:04d}-{stem}.log"

    def popen(self, cmd, **kw) -> subprocess.Popen:
        proc = subprocess.Popen(cmd, cwd=ROOT, env=self.env, **kw)
        self.procs.append(proc)
        return proc

    def close(self) -> None:
        for proc in self.procs:
            stop(proc)
        self.procs.clear()

    def alive(self) -> list[int]:
        return [p.pid for p in self.procs if p.poll() is None]


def stop(proc: subprocess.Popen, grace: float = 5.0) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(grace)
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream is not None:
            stream.close()


def wait_listening(port: int, proc: subprocess.Popen, log: Path, timeout: float = 30.0) -> None:
    """Polls until something accepts on 127.0.0.1:port; fails if the server process ends."""
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with status {proc.returncode}: {_tail(log)}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1.0):
                return
        except OSError:
            if time.monotonic() > deadline:
                raise TimeoutError(f"nothing listens on port {port} after {timeout} s: "
                                   f"{_tail(log)}") from None
            time.sleep(0.02)  # polling interval of a readiness probe, not synchronisation


@contextlib.contextmanager
def server(reg: Registry, cmd_for_port, stem: str):
    """Starts `cmd_for_port(port)` as a server process; yields (port, process); always stops it."""
    port = free_port()
    log = reg.log_path(stem)
    with open(log, "wb") as out:
        proc = reg.popen(cmd_for_port(port), stdout=out, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL)
    try:
        wait_listening(port, proc, log)
        yield port, proc
        if proc.poll() is not None:
            raise RuntimeError(f"server died during the measurement: {_tail(log)}")
    finally:
        stop(proc)


def python_server(reg: Registry, name: str, cpu: int | None = None):
    def cmd(port):
        extra = ["--cpu", str(cpu)] if cpu is not None else []
        return [sys.executable, "-m", "bench.servers", name, str(port), *extra]

    return server(reg, cmd, f"server-{name}" + ("-pinned" if cpu is not None else ""))


def _last_json(text: str):
    for line in reversed(text.strip().splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    raise ValueError("no result line")


def run_json(reg: Registry, cmd, timeout: float, stem: str) -> dict:
    """Runs a child to completion (killed at the time-out); returns its last JSON line."""
    log = reg.log_path(stem)
    with open(log, "wb") as err:
        proc = reg.popen(cmd, stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop(proc)
            raise TimeoutError(f"{stem} did not finish in {timeout:.0f} s: {_tail(log)}") from None
    text = out.decode(errors="replace")
    if proc.returncode != 0:
        raise RuntimeError(f"{stem} failed with status {proc.returncode}: {_tail(log)}")
    try:
        return _last_json(text)
    except ValueError:
        raise RuntimeError(f"{stem} printed no result: {text[-500:]} {_tail(log)}") from None


def worker(reg: Registry, task: str, params: dict, timeout: float) -> dict:
    cmd = [sys.executable, "-m", "bench.worker", task, json.dumps(params)]
    return run_json(reg, cmd, timeout, f"{task}-{params['target']}")


def check_target(reg: Registry, name: str) -> dict:
    """{"version": ...} when the target imports in a fresh interpreter, else {"error": ...}."""
    cmd = [sys.executable, "-m", "bench.servers", "--check", name]
    return run_json(reg, cmd, 60, f"check-{name}")


def vm_status(pid: int) -> dict:
    """VmRSS and VmHWM (peak resident set) of a process, in bytes."""
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(rest.split()[0]) * 1024
    return out


# --- the C floor -----------------------------------------------------------------------------


def build_floor(workdir: Path) -> tuple[str, str]:
    """Compiles bench/floor/pingpong.c with `cc -O2`; returns (binary, compiler version)."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise FileNotFoundError("no C compiler (cc) found")
    binary = str(Path(workdir) / "pingpong")
    res = subprocess.run([cc, "-O2", "-o", binary, str(FLOOR_SOURCE)], capture_output=True,
                         text=True, timeout=120)
    if res.returncode != 0:
        raise RuntimeError(f"cc failed: {res.stderr[-1000:]}")
    ver = subprocess.run([cc, "--version"], capture_output=True, text=True, timeout=30)
    return binary, (ver.stdout.splitlines() or ["cc"])[0]


def floor_server(reg: Registry, binary: str, cpu: int | None = None):
    def cmd(port):
        return [binary, "server", str(port), str(-1 if cpu is None else cpu)]

    return server(reg, cmd, "server-c" + ("-pinned" if cpu is not None else ""))


def floor_ping(reg: Registry, binary: str, port: int, n: int, seconds: float,
               cpu: int | None = None) -> dict:
    cmd = [binary, "ping", str(port), str(n), str(seconds), str(-1 if cpu is None else cpu)]
    return run_json(reg, cmd, seconds + 60, "ping-c")


def floor_bulk(reg: Registry, binary: str, port: int, total: int, chunk: int) -> dict:
    return run_json(reg, [binary, "bulk", str(port), str(total), str(chunk)], 300, "bulk-c")
