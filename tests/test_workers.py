"""`lumo serve --workers N` and lumo.workers: worker processes on one port under a parent that
restarts the ones that die and ends them all on a stop."""
from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import psutil
import pytest

from lumo.client import connect
from lumo.protocol import REQUEST, RESPONSE
from lumo.ring import Connection
from netutil import free_port
from test_cli import ROOT, TIMEOUT, Served, lumo, one_line


def poll(what: str, check, timeout: float = TIMEOUT):
    """check() until it returns something true; fails with WHAT at the deadline."""
    deadline = time.monotonic() + timeout
    for _ in range(100_000):
        found = check()
        if found:
            return found
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)  # polling interval, bounded by the deadline
    raise AssertionError(f"gave up waiting for {what}")


def workers_of(server: Served, count: int) -> list[int]:
    """The pids of the parent's COUNT worker processes, once there are that many."""
    parent = psutil.Process(server.proc.pid)
    return poll(f"{count} workers", lambda: (kids := [p.pid for p in parent.children()])
                and len(kids) == count and kids)


def clients_on(server: Served, pids: set[int], tries: int = 200) -> dict[int, list]:
    """Clients, grouped by the worker that took their connection, until every worker in PIDS
    has at least two."""
    found: dict[int, list] = {}
    for _ in range(tries):
        client = connect("calc", port=server.port, timeout=10)
        pid, ppid = client.getpid()
        assert pid in pids and ppid == server.proc.pid
        found.setdefault(pid, []).append(client)
        if set(found) == pids and all(len(c) >= 2 for c in found.values()):
            return found
    raise AssertionError(f"{tries} connections did not reach every worker: {sorted(found)}")


@pytest.fixture
def workers(tmp_path: Path):
    server = Served(tmp_path, "examples/calc.py", "--workers", "2")
    try:
        yield server
    finally:
        kids = psutil.Process(server.proc.pid).children() if server.proc.poll() is None else []
        server.close()
        for kid in kids:
            if kid.is_running():
                kid.kill()


def test_a_killed_worker_is_replaced_and_only_its_clients_notice(workers: Served) -> None:
    first = workers_of(workers, 2)
    clients = clients_on(workers, set(first))
    victim, survivor = first
    os.kill(victim, signal.SIGKILL)
    replaced = poll("the replacement", lambda: (kids := workers_of(workers, 2))
                    and victim not in kids and kids)
    assert survivor in replaced
    for i, client in enumerate(clients[survivor]):
        assert client.add(i, 1) == i + 1  # untouched by the other worker's death
    for i, client in enumerate(clients[victim]):
        result = client.add(i, 2)  # the channel notices the dead peer, or the call fails ...
        assert result == i + 2 or isinstance(result, ConnectionError)
        assert client.add(i, 3) == i + 3  # ... and the next call reconnects
    assert "killed by SIGKILL (signal 9); restarting it in" in workers.output()
    # A connection after the restart may land on the new worker: both answer.
    assert set(clients_on(workers, set(replaced))) == set(replaced)


def test_connections_to_a_dead_worker_wait_for_its_replacement(workers: Served) -> None:
    victim, survivor = workers_of(workers, 2)
    parent = psutil.Process(workers.proc.pid)
    parent.suspend()  # no restart until it resumes
    try:
        os.kill(victim, signal.SIGKILL)
        poll("the dead worker", lambda: psutil.Process(victim).status() == psutil.STATUS_ZOMBIE)
        # The kernel still hands some new connections to the dead worker's socket, which the
        # parent holds: they wait in its backlog.
        socks = [socket.create_connection(("127.0.0.1", workers.port), timeout=TIMEOUT)
                 for _ in range(16)]
    finally:
        parent.resume()
    answered_by = set()
    for sock in socks:
        with sock:
            channel = Connection(sock)
            channel.send((REQUEST, 1, "calc.getpid", (), {}))
            tag, msgid, (pid, ppid) = channel.recv()
            assert (tag, msgid, ppid) == (RESPONSE, 1, parent.pid)
            answered_by.add(pid)
    assert victim not in answered_by and survivor in answered_by
    assert len(answered_by) == 2  # the replacement answered the ones that waited


def test_stop_of_one_worker_ends_all_of_them(workers: Served) -> None:
    pids = workers_of(workers, 2)
    done = lumo("stop", "calc", "--port", str(workers.port))
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    assert workers.proc.wait(timeout=TIMEOUT) == 0
    assert not [p for p in pids if psutil.pid_exists(p) and psutil.Process(p).status() != "zombie"]
    assert "stopped by request (exit status 0); stopping the other workers" in workers.output()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL])
def test_a_signal_to_the_parent_ends_every_worker(workers: Served, signum: int) -> None:
    pids = workers_of(workers, 2)
    workers.proc.send_signal(signum)
    status = workers.proc.wait(timeout=TIMEOUT)
    assert status == (-signal.SIGKILL if signum == signal.SIGKILL else 0)
    # Without its parent a worker stops by itself: the parent's pipe to it has closed.
    gone, alive = psutil.wait_procs([psutil.Process(p) for p in pids if psutil.pid_exists(p)],
                                    timeout=TIMEOUT)
    assert not alive


def test_workers_that_cannot_start_end_the_server() -> None:
    # 42 takes no attributes, so no worker can register it.
    code = ("import lumo.workers\n"
            f"lumo.workers.serve(42, 'calc', port={free_port()}, workers=2)\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True,
                          text=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL)
    assert done.returncode == 1
    assert "lumo.workers.WorkerFailure: worker " in done.stderr
    assert "times in a row within 1 s of its start (last: exit status 1)" in done.stderr
    assert re.search(r"died after [0-9.]+ s: exit status 1; restarting it in 0\.1 s",
                     done.stderr)  # the second restart waits twice as long as the first


@pytest.mark.parametrize("value, error", [
    ("0", "argument --workers: 0 workers: at least 1 is needed"),
    ("two", "argument --workers: not a number of workers: 'two'"),
])
def test_a_bad_worker_count_is_one_line(value: str, error: str) -> None:
    done = lumo("serve", "examples/calc.py", "--workers", value)
    assert done.returncode == 2
    assert error in one_line(done.stderr)
