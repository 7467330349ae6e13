"""Several lumo server processes on one port, under a supervising parent.

`serve(obj, alias, host, port, workers)` forks WORKERS processes from the calling one. Each is
a complete lumo server, made by lumo.server.serve with its usual steps, that serves on a
listening socket of its own with SO_REUSEPORT, so that all of them listen on HOST:PORT and the
kernel spreads new connections over them. The calling process stays the parent: it restarts a
worker that dies (after a back-off, with a log line that names the exit status) and ends them
all when it is interrupted (Ctrl+C, SIGTERM) or when one of them stops by request (the
`terminate` service function, `lumo stop`), since a stop asked of one worker is a stop asked of
the server.

The parent makes the workers' sockets and keeps them open. So when a worker dies, its socket
stays in the port's group: connections that the kernel hands to it meanwhile wait in its
backlog for the worker that replaces it, instead of being reset with the dead worker's socket.

Workers are forked, not started afresh: each inherits the published object as the parent had
it when serve() was called, and from then on has its own copy of it.
"""
from __future__ import annotations

import logging
import os
import select
import signal
import socket
import sys
import threading
import time
from types import FrameType
from typing import Any, NoReturn, cast

import lumo.server
from lumo.kelto import Skrivo, flush_output
from lumo.ring import get_port

RESTART_FIRST = 0.05  # seconds before a worker that died is started again ...
RESTART_MAX = 5.0     # ... doubling, up to this, while it keeps dying young
YOUNG = 1.0           # a worker that dies within this many seconds of its start died young
GIVE_UP = 5           # dying young this many times in a row ends the server: it cannot start
STOP_GRACE = 5.0      # seconds the workers get to stop before they are killed
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


class WorkerFailure(RuntimeError):
    """A worker keeps dying at its start, so the server ended."""


def cpu_count() -> int:
    """The number of CPUs this process may run on: what `--workers auto` starts."""
    return len(os.sched_getaffinity(0))


def listener(host: str, port: int) -> socket.socket:
    """A socket listening on HOST:PORT beside the others of the port (SO_REUSEPORT), with the
    system's largest backlog."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind((host, port))
        sock.listen(socket.SOMAXCONN)
    except BaseException:
        sock.close()
        raise
    return sock


def adopting(base: type[lumo.server.Server], sock: socket.socket) -> type[lumo.server.Server]:
    """A subclass of the server class BASE that serves on SOCK, already bound and listening,
    in place of binding a socket of its own."""

    def server_bind(self: Any) -> None:
        self.socket.close()
        self.socket = sock
        self.server_address = sock.getsockname()

    def server_activate(self: Any) -> None:
        pass  # the supervisor's socket listens already

    return cast("type[lumo.server.Server]", type(base.__name__, (base,), {
        "__module__": __name__, "__qualname__": base.__name__,
        "server_bind": server_bind, "server_activate": server_activate}))


def describe_status(status: int) -> str:
    """The text of a wait() status: "exit status 1", "killed by SIGKILL (signal 9)"."""
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        try:
            return f"killed by {signal.Signals(number).name} (signal {number})"
        except ValueError:
            return f"killed by signal {number}"
    return f"exit status {os.waitstatus_to_exitcode(status)}"


def stopped_by_request(status: int) -> bool:
    """A worker that stopped cleanly (Ctrl+C, SIGTERM, terminate()) and did not die."""
    if os.WIFSIGNALED(status):
        return os.WTERMSIG(status) in _STOP_SIGNALS
    return os.waitstatus_to_exitcode(status) == 0


def _interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt  # SIGTERM stops a server the way Ctrl+C does


def _watch_parent(fd: int) -> None:
    """Ends this worker when the parent is gone: the pipe's only writer was the parent."""
    try:
        os.read(fd, 1)
    except OSError:
        pass
    os.kill(os.getpid(), signal.SIGTERM)


def _worker(obj: Any, alias: str, host: str, port: int, watch: int,
            sock: socket.socket) -> int:
    """The life of a worker process; returns its exit status."""
    signal.signal(signal.SIGTERM, _interrupt)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Thread(target=_watch_parent, args=(watch,), daemon=True,
                     name="lumo-parent-watch").start()
    # serve() builds whatever server class it finds in lumo.server: in this process, one that
    # serves on this worker's socket of the port.
    lumo.server.Server = adopting(lumo.server.Server, sock)  # type: ignore[misc]
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
    try:
        lumo.server.serve(obj, alias=alias, host=host, port=port)
    except KeyboardInterrupt:  # a stop that came before the server was serving
        return 0
    except Exception as exc:
        print(f"lumo worker {os.getpid()}: cannot serve {alias!r} at {host}:{port}: "
              f"{type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0


class _Slot:
    """One worker's place in the group: its current process and its record of deaths."""

    def __init__(self, number: int) -> None:
        self.number = number
        self.pid = 0
        self.pidfd = -1
        self.socket: socket.socket | None = None
        self.started = 0.0
        self.young_deaths = 0
        self.restart_at: float | None = None


class Supervisor:
    """The parent of a group of workers."""

    def __init__(self, obj: Any, alias: str, host: str, port: int, workers: int) -> None:
        self.obj, self.alias, self.host, self.port = obj, alias, host, port
        self.log = Skrivo(alias)
        self.slots = [_Slot(i + 1) for i in range(workers)]
        self.watch_r, self.watch_w = -1, -1

    def run(self) -> None:
        """Starts the workers and supervises them until a stop; raises WorkerFailure when a
        worker cannot start."""
        self.watch_r, self.watch_w = os.pipe()
        try:
            for slot in self.slots:
                slot.socket = listener(self.host, self.port)
            self.log.info(f"{self.alias} is serving at {self.host}:{self.port} "
                          f"with {len(self.slots)} worker processes (parent pid {os.getpid()})")
            for slot in self.slots:
                self._start(slot)
            while not self._supervise_once():
                pass
        except KeyboardInterrupt:
            self.log.warning(f"Stopping the workers of {self.alias} at {self.host}:{self.port}")
        finally:
            self._stop_all()
            os.close(self.watch_r)
            os.close(self.watch_w)
            for slot in self.slots:
                if slot.socket is not None:
                    slot.socket.close()

    def _start(self, slot: _Slot) -> None:
        flush_output()  # what is buffered now would be written by the child too
        # The stop signals wait until both sides know who they are: a Ctrl+C in between would
        # otherwise run the caller's code in the child, or lose the child's pid in the parent.
        signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            pid = os.fork()
            if pid == 0:
                self._child(slot)
            slot.pid, slot.started, slot.restart_at = pid, time.monotonic(), None
            slot.pidfd = os.pidfd_open(pid)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
        self.log.info(f"worker {slot.number} started (pid {pid})")

    def _child(self, slot: _Slot) -> NoReturn:
        status = 1
        try:
            os.close(self.watch_w)
            for other in self.slots:
                if other.pidfd >= 0:
                    os.close(other.pidfd)
                if other is not slot and other.socket is not None:
                    other.socket.close()
            assert slot.socket is not None
            status = _worker(self.obj, self.alias, self.host, self.port, self.watch_r,
                             slot.socket)
        finally:
            logging.shutdown()
            flush_output()
            os._exit(status)

    def _reap(self, slot: _Slot) -> int | None:
        """The wait status of the slot's worker once it has ended, else None."""
        pid, status = os.waitpid(slot.pid, os.WNOHANG)
        if pid == 0:
            return None
        os.close(slot.pidfd)
        slot.pid, slot.pidfd = 0, -1
        return status

    def _supervise_once(self) -> bool:
        """Starts the workers that are due, then waits (at most a second) for one to end and
        handles that; True when the server is to stop."""
        now = time.monotonic()
        for slot in self.slots:
            if slot.restart_at is not None and slot.restart_at <= now:
                self._start(slot)
        due = [s.restart_at for s in self.slots if s.restart_at is not None]
        timeout = min([1.0] + [max(0.0, t - now) for t in due])
        ready, _, _ = select.select([s.pidfd for s in self.slots if s.pid], [], [], timeout)
        return any([self._ended(slot) for slot in self.slots if slot.pid and slot.pidfd in ready])

    def _ended(self, slot: _Slot) -> bool:
        """Handles the end of the slot's worker: True when it stopped by request."""
        pid, lived = slot.pid, time.monotonic() - slot.started
        status = self._reap(slot)
        if status is None:
            return False
        how = describe_status(status)
        if stopped_by_request(status):
            self.log.warning(f"worker {slot.number} (pid {pid}) stopped by request ({how}); "
                             "stopping the other workers")
            return True
        slot.young_deaths = slot.young_deaths + 1 if lived < YOUNG else 0
        if slot.young_deaths >= GIVE_UP:
            text = (f"worker {slot.number} (pid {pid}) died {GIVE_UP} times in a row within "
                    f"{YOUNG:g} s of its start (last: {how}): stopping {self.alias}")
            self.log.critical(text)
            raise WorkerFailure(text)
        delay = min(RESTART_MAX, RESTART_FIRST * 2 ** max(0, slot.young_deaths - 1))
        slot.restart_at = time.monotonic() + delay
        self.log.critical(f"worker {slot.number} (pid {pid}) died after {lived:.1f} s: {how}; "
                          f"restarting it in {delay:g} s")
        return False

    def _stop_all(self) -> None:
        """SIGTERM to every worker, SIGKILL to those still there after the grace time; no stop
        signal interrupts this."""
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            for slot in self.slots:
                slot.restart_at = None
                if slot.pid:
                    _signal(slot.pid, signal.SIGTERM)
            deadline = time.monotonic() + STOP_GRACE
            for _ in range(10_000):
                live = [s for s in self.slots if s.pid and self._reap(s) is None]
                if not live or time.monotonic() >= deadline:
                    break
                select.select([s.pidfd for s in live], [], [],
                              max(0.0, deadline - time.monotonic()))
            for slot in self.slots:
                if slot.pid:
                    pid = slot.pid
                    _signal(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    os.close(slot.pidfd)
                    slot.pid, slot.pidfd = 0, -1
                    self.log.critical(f"worker {slot.number} (pid {pid}) did not stop within "
                                      f"{STOP_GRACE:g} s and was killed")
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _signal(pid: int, signum: int) -> None:
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass


def _check_type(name: str, value: object, expected: type) -> None:
    if type(value) is not expected:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                        f"got {type(value).__name__})")


def serve(obj: Any, alias: str = "", host: str = "127.0.0.1", port: int = 0,
          workers: int | str = 2) -> None:
    """Publish OBJ under ALIAS on HOST:PORT with WORKERS server processes, until stopped.

    Args:
        obj: the object to publish: a function, a class or a module.
        alias: the name the object is published under. Defaults to "".
        host: the address to listen on. Defaults to '127.0.0.1'.
        port: the port to listen on; chosen by get_port from the alias when 0.
        workers: the number of server processes (at least 1), or "auto" for one per CPU that
            this process may use. Defaults to 2.

    Blocks until Ctrl+C, SIGTERM, or a stop asked of any worker (its terminate service
    function), then ends every worker and returns None. Raises OSError when HOST:PORT cannot be
    listened on, and WorkerFailure when the workers keep dying as they start.
    """
    _check_type("alias", alias, str)
    _check_type("host", host, str)
    _check_type("port", port, int)
    if workers == "auto":
        workers = cpu_count()
    if type(workers) is not int or workers < 1:
        raise ValueError(f"workers must be a whole number of at least 1 or 'auto', "
                         f"not {workers!r}")
    port = port or get_port(alias)
    # One check in this process, with one clear error, instead of one per worker. Without
    # SO_REUSEPORT, so that it also fails where another group of workers holds the port.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind((host, port))
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        Supervisor(obj, alias, host, port, workers).run()
    finally:
        signal.signal(signal.SIGTERM, previous)
