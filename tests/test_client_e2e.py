"""The client against the real server over 127.0.0.1: in this process (serve on a thread) and
in a subprocess (restart on the same port, remote terminate)."""

import os
import socket
import subprocess
import sys
import threading
import time
import types

import pytest

from lumo.client import connect
from lumo.server import serve
from netutil import free_port


def calculator():
    calc = types.ModuleType("calc")
    calc.add = lambda a, b: a + b
    calc.div = lambda a, b: a / b
    calc.power = lambda base, exp=2: base ** exp
    calc.echo = lambda *args, **kwds: (args, kwds)
    return calc


class Shapes:
    def __init__(self, side=1):
        self.side = side

    @staticmethod
    def square(side):
        return side * side

    @classmethod
    def name(cls):
        return cls.__name__


def double(x):
    return 2 * x


def published(obj, alias):
    port = free_port()
    serve(obj, alias, port=port, thread=True)  # listening when it returns
    return port


@pytest.fixture(scope="module")
def calc_port():
    return published(calculator(), "calc")


class TestPublishedObjects:
    def test_module_through_a_class_proxy(self, calc_port):
        calc = connect("calc", port=calc_port, timeout=10)
        assert calc.laddr is None and calc.raddr is None  # nothing connected yet
        assert calc.add(1, 2) == 3
        assert calc.add(a="x", b="y") == "xy"
        assert calc.power(2, exp=10) == 1024
        assert calc.echo(1, [2], k={"v": None}) == ((1, [2]), {"k": {"v": None}})
        assert calc.ping(b"bytes") == b"bytes"
        sock = calc._client._connection._socket
        assert calc.laddr == sock.getsockname() and calc.raddr == sock.getpeername()
        assert calc.raddr == ("127.0.0.1", calc_port)
        assert calc._client._msgid == 5

    def test_failing_calls_come_back_as_values(self, calc_port):
        calc = connect("calc", port=calc_port, timeout=10)
        err = calc.div(1, 0)
        assert isinstance(err, Exception)
        assert "ZeroDivisionError" in str(err) and "division by zero" in str(err)
        missing = calc.nothing()
        assert isinstance(missing, Exception) and 'AttributeError' in str(missing) and '"nothing"' in str(missing)
        wrong = calc.add(1)
        assert isinstance(wrong, Exception) and "TypeError" in str(wrong)
        assert calc.add(2, 2) == 4  # the connection carries on

    def test_method_proxy_and_service_functions(self, calc_port):
        add = connect("calc.add", port=calc_port, timeout=10, types="method")
        assert add(40, 2) == 42
        stats = connect("calc", port=calc_port, timeout=10).stats()
        assert any(calls.get("calc.add", {}).get("count") == 1 for calls in stats.values())

    def test_class(self):
        port = published(Shapes, "shapes")
        shapes = connect("shapes", port=port, timeout=10)
        assert shapes.square(7) == 49 and shapes.name() == "Shapes"
        made = connect("shapes", port=port, timeout=10, types="")(side=3)
        assert type(made) is Shapes and made.side == 3
        assert shapes.getpid() == (os.getpid(), os.getppid())

    def test_plain_function(self):
        port = published(double, "double")
        assert connect("double", port=port, timeout=10, types="function")(21) == 42
        assert connect("double", port=port, timeout=10).ping("pong") == "pong"

    def test_many_clients_on_many_threads(self, calc_port):
        threads, calls = 32, 1000
        failures = []

        def work(k):
            remote = connect("calc", port=calc_port, timeout=30)
            add = remote.add
            for i in range(calls):
                r = add(i, k)
                if r != i + k:
                    failures.append((k, i, r))
                    return
            if remote._client._msgid != calls:
                failures.append((k, "msgid", remote._client._msgid))

        workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
        for t in workers:
            t.start()
        for t in workers:
            t.join(120)
        assert not any(t.is_alive() for t in workers)
        assert failures == []


class TestInterruptedWaits:
    def test_receive_time_out_returns_a_value_and_the_next_call_reconnects(self):
        release = threading.Event()
        calc = calculator()
        calc.block = lambda: release.wait(30)
        port = published(calc, "calc")
        remote = connect("calc", port=port, timeout=0.3)
        try:
            result = remote.block()
        finally:
            release.set()
        assert isinstance(result, ConnectionError) and str(result).startswith("@RECV: TimeoutError ")
        first = remote._client._connection
        assert first.closed
        assert remote.add(1, 2) == 3 and remote._client._connection is not first

    @pytest.mark.skipif(not sys.platform.startswith("linux") or os.uname().machine != "x86_64",
                        reason="watches the main thread's system call through /proc (x86-64 numbers)")
    def test_keyboard_interrupt_while_waiting_ends_the_call_with_a_value(self):
        done = subprocess.run([sys.executable, "-c", INTERRUPTED, str(free_port())],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == ["ConnectionError '@RECV: KeyboardInterrupt '", "closed True", "3"]


# Interrupts the main thread with SIGINT once it waits in recv() or poll() for the answer of a call
# that the server holds back; run in its own interpreter so that a stray interrupt cannot
# reach the test run.
INTERRUPTED = """
import logging, signal, sys, threading, time, types
from lumo.server import serve
from lumo.client import connect
logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)
started, release = threading.Event(), threading.Event()
calc = types.ModuleType("calc")
calc.block = lambda: started.set() or release.wait(30)
calc.add = lambda a, b: a + b
port = int(sys.argv[1])
serve(calc, "calc", port=port, thread=True)
remote = connect("calc", port=port, timeout=30)
main_tid = threading.get_native_id()

def interrupt():
    started.wait(30)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(f"/proc/self/task/{main_tid}/syscall") as f:
            if f.read().split()[0] in ("7", "271", "45"):  # poll, ppoll, recvfrom
                break
        time.sleep(0.001)
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

threading.Thread(target=interrupt, daemon=True).start()
result = remote.block()
release.set()
print(type(result).__name__, repr(str(result)))
print("closed", remote._client._connection.closed)
print(remote.add(1, 2))
"""

SERVER = """
import sys, types
from lumo.server import serve
calc = types.ModuleType("calc")
calc.add = lambda a, b: a + b
calc.tag = lambda: sys.argv[2]
serve(calc, "calc", port=int(sys.argv[1]))
"""


def start_server(port, tag, log_path):
    with open(log_path, "ab") as log:
        proc = subprocess.Popen([sys.executable, "-c", SERVER, str(port), tag], stdout=log, stderr=log)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        assert proc.poll() is None, log_path.read_text()
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.02)
    proc.kill()
    raise AssertionError(f"the server did not start: {log_path.read_text()}")


@pytest.fixture
def processes():
    procs = []
    yield procs
    for p in procs:
        if p.poll() is None:
            p.kill()
        p.wait(10)


class TestServerProcess:
    def test_restarted_server_is_reached_by_the_next_call(self, tmp_path, processes, caplog):
        port, log = free_port(), tmp_path / "server.log"
        processes.append(start_server(port, "first", log))
        calc = connect("calc", port=port, timeout=10)
        assert calc.tag() == "first"
        processes[0].kill()
        processes[0].wait(10)
        processes.append(start_server(port, "second", log))
        with caplog.at_level("CRITICAL", logger="lumo"):
            assert calc.tag() == "second"
            assert calc.add(1, 2) == 3
        lines = [r.getMessage() for r in caplog.records if r.name == "lumo.calc"]
        assert len(lines) == 1 and lines[0].startswith("@SEND: ConnectionResetError")
        # flush() noticed the closed connection before anything was sent: no id was lost.
        assert calc._client._msgid == 3

    def test_remote_terminate_gives_a_connection_failure_value(self, tmp_path, processes):
        port = free_port()
        processes.append(start_server(port, "t", tmp_path / "server.log"))
        calc = connect("calc", port=port, timeout=20)
        assert calc.getpid()[0] == processes[0].pid
        result = calc.terminate(0)
        assert isinstance(result, ConnectionError)
        assert str(result).startswith("@RECV: ConnectionResetError")
        processes[0].wait(20)
        after = calc.add(1, 2)  # nobody listens any more: a value again, never an exception
        assert isinstance(after, ConnectionError)
