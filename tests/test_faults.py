"""Fault injection over real loopback TCP: peers that vanish, stall, reset or die mid-call.

In every case the server keeps serving everyone else, its connection statistics empty out
once the handlers are done, and the client turns the failure into a returned value and
recovers on its next call. A bystander client calls the server all along where that matters:
none of its calls may fail.
"""

import os
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import lumo.client
import lumo.server
from lumo.kelto import Skrivo
from lumo.ring import Connection
from netutil import free_port, wait_until

pytestmark = [pytest.mark.timeout(120), pytest.mark.usefixtures("quiet_lumo")]

TIMEOUT = 10.0  # bound of every socket operation and every wait below





class Service:
    """The published object: quick calls, a call that blocks until released, big results."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def add(self, a, b):
        return a + b

    def block(self):
        self.entered.set()
        self.release.wait(TIMEOUT)
        return "released"

    def sleep(self, seconds):
        time.sleep(seconds)  # the slowness under test, not a synchronisation
        return seconds

    def blob(self, n):
        return bytes(range(256)) * (n // 256)


def serve_service(backlog=None):
    svc = Service()
    if backlog is None:
        srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=svc, alias="svc")
    else:
        srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, False, obj=svc, alias="svc")
        srv.request_queue_size = backlog
        srv.server_bind()
        srv.server_activate()
    srv.log = Skrivo("svc", exclude=["lumo", "velkor", "druset"])
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    return srv, svc, thread


@pytest.fixture
def served(request):
    srv, svc, thread = serve_service(getattr(request, "param", None))
    yield srv, svc
    svc.release.set()
    srv.shutdown()
    srv.server_close()
    thread.join(TIMEOUT)


def port_of(srv):
    return srv.server_address[1]


def statistics_drain(srv):
    wait_until(lambda: not srv.statistics, f"empty statistics (still {dict(srv.statistics)!r})")


class Bystander:
    """A client calling add() in a loop on its own thread; every result must be right."""

    def __init__(self, port):
        self.proxy = lumo.client.connect("svc", "127.0.0.1", port, TIMEOUT)
        self.stop = threading.Event()
        self.calls = 0
        self.wrong = []
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        for i in range(1_000_000):
            if self.stop.is_set():
                break
            got = self.proxy.add(i, 1)
            if got != i + 1:
                self.wrong.append((i, got))
                break
            self.calls += 1

    def __enter__(self):
        self.thread.start()
        wait_until(lambda: self.calls >= 10 or self.wrong, "the bystander's first calls")
        return self

    def check_progress(self, more=20):
        """The bystander gets `more` further calls through, whatever else is going on."""
        target = self.calls + more
        wait_until(lambda: self.calls >= target or self.wrong, "the bystander to make progress")
        assert not self.wrong, self.wrong

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(TIMEOUT)
        self.proxy._client._connection.close()
        assert not self.thread.is_alive()
        assert not self.wrong, self.wrong


def frame_of(obj):
    """The bytes of obj as the channel frames it."""
    a, b = socket.socketpair()
    a.settimeout(TIMEOUT)
    b.settimeout(TIMEOUT)
    try:
        Connection(a).send(obj)
        a.shutdown(socket.SHUT_WR)
        out = bytearray()
        while chunk := b.recv(1 << 16):
            out += chunk
        return bytes(out)
    finally:
        a.close()
        b.close()


def raw_connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)


def reset(sock):
    """Close with SO_LINGER 0: the peer sees a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


# ------------------------------------------------------------- peers that vanish or stall

@pytest.mark.parametrize("cut", ["header", "payload"])
def test_reset_in_the_middle_of_a_frame(served, cut):
    srv, _ = served
    with Bystander(port_of(srv)) as bystander:
        data = frame_of((2, 1, "svc.add", (1, 2), {}))
        at = 7 if cut == "header" else len(data) - 5
        sock = raw_connect(port_of(srv))
        sock.sendall(data[:at])
        wait_until(lambda: len(srv.statistics) == 2, "the server to take the connection")
        reset(sock)
        bystander.check_progress()
    statistics_drain(srv)


def test_half_a_header_then_silence_leaves_others_served(served):
    srv, _ = served
    stalled = raw_connect(port_of(srv))
    try:
        stalled.sendall(frame_of(None)[:8])
        wait_until(lambda: len(srv.statistics) == 1, "the server to take the stalled connection")
        proxy = lumo.client.connect("svc", "127.0.0.1", port_of(srv), TIMEOUT)
        assert [proxy.add(i, i) for i in range(200)] == [2 * i for i in range(200)]
        assert len(srv.statistics) == 2  # the stalled connection is still there, waiting
        proxy._client._connection.close()
    finally:
        stalled.close()
    statistics_drain(srv)


# The burst here is about what the server does with the connections, not about its listen
# queue (test_regressions.py covers that), so the queue is set here rather than taken as given.
@pytest.mark.parametrize("served", [256], indirect=True)
def test_two_hundred_connections_opened_and_dropped_at_once(served):
    srv, _ = served
    with Bystander(port_of(srv)) as bystander:
        socks = [raw_connect(port_of(srv)) for _ in range(200)]
        frame = frame_of((2, 1, "svc.add", (1, 2), {}))
        for i, s in enumerate(socks):
            if i % 3 == 1:
                s.sendall(frame[:10])  # part of a frame
            elif i % 3 == 2:
                s.sendall(frame)  # a whole request whose answer nobody reads
        for i, s in enumerate(socks):
            if i % 2:
                reset(s)
            else:
                s.close()
        bystander.check_progress()
    statistics_drain(srv)
    proxy = lumo.client.connect("svc", "127.0.0.1", port_of(srv), TIMEOUT)
    assert proxy.add(20, 22) == 42


# ------------------------------------------------------------- processes that die mid-call

def python(code, **kw):
    """A child interpreter that imports lumo from where this process did (a sanitizer build, say)."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(lumo.client.__file__)))
    env = dict(os.environ, PYTHONPATH=here + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kw)


def test_client_killed_in_the_middle_of_a_call(served):
    srv, svc = served
    client = python(f"""
        import lumo.client
        p = lumo.client.connect("svc", "127.0.0.1", {port_of(srv)}, 30.0)
        print(p.add(1, 2), flush=True)
        p.block()
    """)
    try:
        assert client.stdout.readline().strip() == "3"
        with Bystander(port_of(srv)) as bystander:
            assert svc.entered.wait(TIMEOUT)
            client.send_signal(signal.SIGKILL)
            assert client.wait(TIMEOUT) == -signal.SIGKILL
            svc.release.set()  # the blocked call returns and answers a dead peer
            bystander.check_progress()
    finally:
        if client.poll() is None:
            client.kill()
            client.wait(TIMEOUT)
    statistics_drain(srv)


SERVER = """
    import sys, threading, types, lumo.server
    calc = types.ModuleType("calc")
    calc.add = lambda a, b: a + b
    def slow():
        print("entered", flush=True)
        threading.Event().wait(60)
    calc.slow = slow
    print("ready", flush=True)
    lumo.server.serve(calc, "calc", port={port})
"""


def start_server_process(port):
    proc = python(SERVER.format(port=port))
    assert proc.stdout.readline().strip() == "ready"
    probe = lumo.client.connect("calc", "127.0.0.1", port, TIMEOUT)
    # bounded wait for the listening socket; failed attempts come back as None
    wait_until(lambda: probe.add(0, 0) == 0, "the server process to listen")
    probe._client._connection.close()
    return proc


def test_server_killed_in_the_middle_of_a_call_then_back():
    port = free_port()
    first = start_server_process(port)
    second = None
    try:
        proxy = lumo.client.connect("calc", "127.0.0.1", port, 30.0)
        assert proxy.add(1, 2) == 3
        result = {}
        caller = threading.Thread(target=lambda: result.setdefault("slow", proxy.slow()), daemon=True)
        caller.start()
        assert first.stdout.readline().strip() == "entered"
        first.send_signal(signal.SIGKILL)
        first.wait(TIMEOUT)
        caller.join(TIMEOUT)
        assert not caller.is_alive()
        assert isinstance(result["slow"], ConnectionError), result
        # nobody listens: the reconnect fails, the call goes on with the old, closed channel
        down = proxy.add(2, 3)
        assert isinstance(down, ConnectionError) and str(down).startswith("@RECV: "), down
        second = start_server_process(port)
        assert proxy.add(3, 4) == 7  # the same proxy reconnects to the new server
    finally:
        for proc in (first, second):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait(TIMEOUT)
            if proc is not None:
                proc.stdout.close()
                proc.stderr.close()


# ------------------------------------------------------------- slow and late answers

class Relay:
    """A TCP relay that hands the server's bytes to the client in small pieces."""

    def __init__(self, target_port, piece=16 * 1024):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.piece = piece
        self.pieces = 0
        self.threads = []
        self.accepter = threading.Thread(target=self.accept, daemon=True)
        self.accepter.start()

    def accept(self):
        try:
            down, _ = self.listener.accept()
        except OSError:
            return
        up = raw_connect(self.target_port)
        down.settimeout(TIMEOUT)
        down.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, self.piece)
        down.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for src, dst, count in ((down, up, False), (up, down, True)):
            t = threading.Thread(target=self.pump, args=(src, dst, count), daemon=True)
            t.start()
            self.threads.append(t)

    def pump(self, src, dst, count):
        try:
            while data := src.recv(self.piece):
                dst.sendall(data)
                if count:
                    self.pieces += 1
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.listener.close()
        for t in self.threads:
            t.join(TIMEOUT)


class SmallBufferSocket:
    """Stands in for the socket module in lumo.client: sockets with a 4 KiB receive buffer."""

    def __init__(self, real):
        self._real = real

    def __getattr__(self, name):
        return getattr(self._real, name)

    def socket(self, *args, **kwds):
        s = self._real.socket(*args, **kwds)
        s.setsockopt(self._real.SOL_SOCKET, self._real.SO_RCVBUF, 4096)
        return s


def test_large_response_arriving_in_pieces(served, monkeypatch):
    srv, _ = served
    monkeypatch.setattr(lumo.client, "socket", SmallBufferSocket(socket))
    relay = Relay(port_of(srv))
    try:
        proxy = lumo.client.connect("svc", "127.0.0.1", relay.port, 60.0)
        n = 32 << 20
        got = proxy.blob(n)
        assert type(got) is bytes and len(got) == n
        assert got == bytes(range(256)) * (n // 256)
        assert relay.pieces > 100  # it did arrive in pieces
        assert proxy.add(1, 1) == 2  # and the stream is in step afterwards
        proxy._client._connection.close()
    finally:
        relay.close()


def test_receive_time_out_then_reconnect(served):
    srv, _ = served
    proxy = lumo.client.connect("svc", "127.0.0.1", port_of(srv), 0.3)
    assert proxy.add(1, 2) == 3
    late = proxy.sleep(1.0)
    assert isinstance(late, ConnectionError)
    assert "TimeoutError" in str(late)
    assert proxy._client._connection.closed
    # the late answer went to the old connection: the next call gets its own result
    assert proxy.add(2, 2) == 4
    proxy._client._connection.close()
    statistics_drain(srv)
