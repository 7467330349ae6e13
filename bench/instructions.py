"""Instructions of one small call, counted by callgrind, client and server apart.

    python -m bench.instructions [--calls 1000,6000] [--only lumo,rawpy,mpconn] [--json PATH]

(the same as `python -m bench --instructions ...`). For each row of ROWS a server publishes
bench.calc on 127.0.0.1 in one process, through that system's adapter in bench.targets, and a
client calls `add(1, 2)` in another, each under `valgrind --tool=callgrind`. The two runs of a
row differ only in the number of calls, so start-up, connection and shutdown cancel in the
difference: (count at the larger number - count at the smaller) / (difference in calls) is
what one call costs each side. On the server that is the count of the connection's handler
thread (the thread whose count grows with the calls): lumo's serving loop wakes twice a second
to poll for shutdown, so the whole process's count also grows with the time the run takes
under valgrind, which varies with the machine's load. lumo's channels spin briefly before they
block when an answer is due at once; under valgrind whether a spin catches the answer depends on
how the two processes happen to be scheduled, so lumo is counted with the spin off
(`lumo.ring.set_spin(False)`): the counts are the call's own work, and repeat. Counts of
instructions are steady from run to run, unlike times on a shared machine, so they compare
systems, interpreter versions and builds directly.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CALL_TIMEOUT = 120.0  # seconds; everything runs some 50 times slower under valgrind
RUN_LIMIT = 900.0     # seconds for one process under callgrind


@dataclass(frozen=True)
class Row:
    name: str
    target: str        # the adapter in bench.targets.PYTHON_TARGETS
    label: str
    kept: bool = True  # `add = calc.add` once, else `calc.add(1, 2)` looked up at every call


ROWS = (
    Row("lumo", "lumo", "lumo, `add = calc.add; add(1, 2)`"),
    Row("lumo-attr", "lumo", "lumo, `calc.add(1, 2)` each time", kept=False),
    Row("rawpy", "rawpy", "raw socket + pickle, plain Python both sides"),
    Row("mpconn", "mpconn", "multiprocessing.connection"),
)
BY_NAME = {row.name: row for row in ROWS}


def rows_for(systems: list[str]) -> list[Row]:
    """The rows whose system is among `systems` (names of bench.harness.SYSTEMS)."""
    return [row for row in ROWS if row.target in systems]


def parse_calls(text: str) -> tuple[int, int]:
    try:
        low, high = (int(n) for n in text.split(","))
    except ValueError:
        raise ValueError(f"--calls takes two numbers such as 1000,6000, not {text!r}") from None
    if not 0 < low < high:
        raise ValueError("--calls: the first number must be positive and smaller than the second")
    return low, high


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def steady(target: str) -> None:
    """lumo's spin before block off: what it runs depends on timing (see above)."""
    if target == "lumo":
        import lumo.ring

        lumo.ring.set_spin(False)


def role_server(target: str, port: int) -> int:
    """Serve bench.calc with `target` until standard input closes; then end the process at once
    (no interpreter teardown: its cost is not the call's)."""
    from bench.targets import PYTHON_TARGETS, quiet_logging

    steady(target)

    def end_at_eof():
        sys.stdin.buffer.read()
        os._exit(0)

    quiet_logging()
    threading.Thread(target=end_at_eof, daemon=True).start()
    PYTHON_TARGETS[target].serve(port)
    return 1  # serve() only returns on failure


def role_client(row: Row, port: int, calls: int) -> int:
    from bench.targets import PYTHON_TARGETS, quiet_logging

    quiet_logging()
    steady(row.target)
    client = PYTHON_TARGETS[row.target].client(port, CALL_TIMEOUT)
    calc = getattr(client, "proxy", client)  # lumo's adapter keeps the connection's proxy
    ok = True
    if row.kept:
        add = client.add
        for _ in range(calls):
            ok &= add(1, 2) == 3
    else:
        for _ in range(calls):
            ok &= calc.add(1, 2) == 3
    if not ok:
        print("add(1, 2) did not return 3", file=sys.stderr)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0 if ok else 1)


def callgrind_total(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"{path} holds no instruction total")


def wait_listening(server: subprocess.Popen, port: int) -> None:
    """The client starts once the server listens, so that it never retries: a number of
    retries that varied with the server's start-up would not cancel."""
    deadline = time.monotonic() + RUN_LIMIT
    for _ in range(100_000):
        if server.poll() is not None:
            raise RuntimeError(f"the server ended ({server.returncode}) before it listened")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                break
            time.sleep(0.2)
    raise RuntimeError("the server did not listen in time")


def count(row: Row, calls: int, workdir: Path) -> tuple[dict[str, int], int]:
    """Instructions of each server thread (by its number) and of the client process for
    `calls` calls."""
    port = free_port()
    base = ["valgrind", "--tool=callgrind", "--quiet"]
    env = dict(os.environ, PYTHONHASHSEED="0")
    me = [sys.executable, "-m", "bench.instructions", "--role"]
    out_server = workdir / f"{row.name}-server-{calls}.out"
    out_client = workdir / f"{row.name}-client-{calls}.out"
    server = subprocess.Popen([*base, "--separate-threads=yes", f"--callgrind-out-file={out_server}",
                               *me, "server", row.target, str(port)], cwd=ROOT, env=env,
                              stdin=subprocess.PIPE)
    try:
        wait_listening(server, port)
        client = subprocess.run([*base, f"--callgrind-out-file={out_client}", *me, "client",
                                 row.name, str(port), str(calls)], cwd=ROOT, env=env,
                                stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)
        if client.returncode != 0:
            raise RuntimeError(f"the client failed ({client.returncode})")
        server.stdin.close()
        if server.wait(timeout=RUN_LIMIT) != 0:
            raise RuntimeError(f"the server failed ({server.returncode})")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait(timeout=60)
    threads = {path.name.rpartition("-")[2]: callgrind_total(path)
               for path in workdir.glob(f"{out_server.name}-*")}
    return threads, callgrind_total(out_client)


def per_call(low: tuple[dict[str, int], int], high: tuple[dict[str, int], int],
             n: int) -> dict:
    """Per-call figures from the counts (server threads, client) of two runs `n` calls apart.
    The server's figure is its handler thread's: the one that grew the most."""
    (s_low, c_low), (s_high, c_high) = low, high
    handler = max(s_high, key=lambda t: s_high[t] - s_low.get(t, 0))
    server = (s_high[handler] - s_low.get(handler, 0)) / n
    client = (c_high - c_low) / n
    return {"per_call": round(server + client), "client_per_call": round(client),
            "server_per_call": round(server),
            "server_process_per_call": round((sum(s_high.values()) - sum(s_low.values())) / n)}


def measure(rows: list[Row], low: int, high: int, keep: Path | None = None,
            attempt=None) -> dict:
    """Counts every row at `low` and `high` calls. `attempt(name, what, fn)` runs one row's
    measurement (the harness's records a failure and goes on); by default a failure raises."""
    if shutil.which("valgrind") is None:
        raise RuntimeError("counting instructions needs valgrind on the PATH "
                           "(apt-get install valgrind)")
    attempt = attempt or (lambda name, what, fn: fn())
    result = {"python": sys.version.split()[0], "calls": [low, high], "rows": {}}
    with tempfile.TemporaryDirectory(prefix="lumo-instructions-") as tmp:
        workdir = Path(tmp) if keep is None else keep
        workdir.mkdir(parents=True, exist_ok=True)
        for row in rows:
            out = attempt(row.target, f"instructions ({row.name})",
                          lambda row=row: per_call(count(row, low, workdir),
                                                   count(row, high, workdir), high - low))
            if out:
                result["rows"][row.name] = {"label": row.label, **out}
    return result


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--role"]:
        role, *rest = argv[1:]
        if role == "server":
            return role_server(rest[0], int(rest[1]))
        return role_client(BY_NAME[rest[0]], int(rest[1]), int(rest[2]))
    from bench import harness

    return harness.main(["--instructions", *argv])


if __name__ == "__main__":
    sys.exit(main())
