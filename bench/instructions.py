"""Instructions of one small call, counted by callgrind, client and server apart.

    python -m bench.instructions [--calls 1000,6000] [--json PATH]

A server publishes bench.calc on 127.0.0.1 in one process and a client calls
`add = calc.add; add(1, 2)` in another, each under `valgrind --tool=callgrind`.
The two runs differ only in the number of calls, so start-up, connection and
shutdown cancel in the difference: (count at the larger number - count at the
smaller) / (difference in calls) is what one call costs each side. On the
server that is the count of the connection's handler thread (the thread whose
count grows with the calls): the serving loop wakes twice a second to poll
for shutdown, so the whole process's count also grows with the time the run
takes under valgrind, which varies with the machine's load. Counts of
instructions are steady from run to run, unlike times on a shared machine, so
they compare interpreter versions and builds directly.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CALL_TIMEOUT = 120.0  # seconds; everything runs some 50 times slower under valgrind
RUN_LIMIT = 900.0     # seconds for one process under callgrind


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def role_server(port: int) -> int:
    """Serve bench.calc until the client calls finish(); then end the process at once."""
    from bench import calc
    from bench.targets import quiet_logging
    from lumo.server import serve

    quiet_logging()
    done = threading.Event()
    calc.finish = done.set  # type: ignore[attr-defined]
    serve(calc, alias="calc", host="127.0.0.1", port=port, thread=True)
    finished = done.wait(RUN_LIMIT)
    sys.stdout.flush()
    os._exit(0 if finished else 1)  # no interpreter teardown: its cost is not the call's


def role_client(port: int, calls: int) -> int:
    from bench.targets import quiet_logging
    from lumo.client import connect

    quiet_logging()
    calc = connect("calc", host="127.0.0.1", port=port, timeout=CALL_TIMEOUT)
    add = calc.add
    for _ in range(calls):
        if add(1, 2) != 3:
            print("add(1, 2) did not return 3", file=sys.stderr)
            return 1
    calc.finish()
    sys.stdout.flush()
    os._exit(0)


def callgrind_total(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"{path} holds no instruction total")


def count(calls: int, workdir: Path) -> tuple[dict[str, int], int]:
    """Instructions of each server thread (by its number) and of the client process for
    `calls` calls."""
    port = free_port()
    base = ["valgrind", "--tool=callgrind", "--quiet"]
    env = dict(os.environ, PYTHONHASHSEED="0")
    me = [sys.executable, "-m", "bench.instructions"]
    out_server = workdir / f"server-{calls}.out"
    out_client = workdir / f"client-{calls}.out"
    server = subprocess.Popen([*base, "--separate-threads=yes", f"--callgrind-out-file={out_server}",
                               *me, "--role", "server",
                               str(port)], cwd=ROOT, env=env)
    try:
        # The client starts once the server listens, so that it never retries: a number of
        # retries that varied with the server's start-up would not cancel.
        deadline = time.monotonic() + RUN_LIMIT
        for _ in range(100_000):
            if server.poll() is not None:
                raise RuntimeError(f"the server ended ({server.returncode}) before it listened")
            try:
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("the server did not listen in time") from None
                time.sleep(0.2)
        client = subprocess.run([*base, f"--callgrind-out-file={out_client}", *me, "--role",
                                 "client", str(port), str(calls)], cwd=ROOT, env=env,
                                timeout=RUN_LIMIT)
        if client.returncode != 0:
            raise RuntimeError(f"the client failed ({client.returncode})")
        if server.wait(timeout=RUN_LIMIT) != 0:
            raise RuntimeError(f"the server failed ({server.returncode})")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait(timeout=60)
    threads = {path.name.rpartition("-")[2]: callgrind_total(path)
               for path in workdir.glob(f"{out_server.name}-*")}
    return threads, callgrind_total(out_client)


def measure(low: int, high: int, keep: Path | None = None) -> dict:
    if shutil.which("valgrind") is None:
        raise SystemExit("bench.instructions needs valgrind on the PATH (apt-get install valgrind)")
    with tempfile.TemporaryDirectory(prefix="lumo-instructions-") as tmp:
        workdir = Path(tmp) if keep is None else keep
        workdir.mkdir(parents=True, exist_ok=True)
        s_low, c_low = count(low, workdir)
        s_high, c_high = count(high, workdir)
    n = high - low
    handler = max(s_high, key=lambda t: s_high[t] - s_low.get(t, 0))
    server = (s_high[handler] - s_low.get(handler, 0)) / n
    client = (c_high - c_low) / n
    return {
        "python": sys.version.split()[0],
        "calls": [low, high],
        "server_per_call": round(server),
        "client_per_call": round(client),
        "per_call": round(server + client),
        "server_process_per_call": round((sum(s_high.values()) - sum(s_low.values())) / n),
    }


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.instructions", description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", default="1000,6000",
                    help="the two numbers of calls, smaller first (default 1000,6000)")
    ap.add_argument("--json", type=Path, help="also write the result to this file")
    ap.add_argument("--keep", type=Path, metavar="DIR",
                    help="keep callgrind's files in DIR (for callgrind_annotate)")
    ap.add_argument("--role", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.role:
        role, *rest = args.role
        if role == "server":
            return role_server(int(rest[0]))
        return role_client(int(rest[0]), int(rest[1]))
    try:
        low, high = (int(n) for n in args.calls.split(","))
    except ValueError:
        ap.error(f"--calls takes two numbers such as 1000,6000, not {args.calls!r}")
    if not 0 < low < high:
        ap.error("--calls: the first number must be positive and smaller than the second")
    result = measure(low, high, args.keep)
    print(f"Python {result['python']}: one add(1, 2) call costs {result['per_call']:,} instructions "
          f"(client {result['client_per_call']:,}, server {result['server_per_call']:,}; "
          f"callgrind, {high} calls minus {low}; the whole server process: "
          f"{result['server_process_per_call']:,})")
    if args.json:
        args.json.write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
