"""lumo.server.Server end to end over 127.0.0.1, with plain sockets wrapped in lumo.ring.Connection."""

import fractions
import logging
import os
import socket
import threading
import types

import pytest

import lumo.server as server
from lumo.kelto import Skrivo
from lumo.ring import Connection

TIMEOUT = 10


class Peer:
    """One client connection speaking the request/response messages directly."""

    def __init__(self, address):
        self.sock = socket.create_connection(address, timeout=TIMEOUT)
        self.channel = Connection(self.sock)
        self.msgid = 0

    def call(self, name, *args, **kwds):
        self.msgid += 1
        self.channel.send((server.REQUEST, self.msgid, name, args, kwds))
        tag, msgid, result = self.channel.recv()
        assert (tag, msgid) == (server.RESPONSE, self.msgid)
        return result

    def close(self):
        self.channel.close()


def make_calc():
    calc = types.ModuleType("calcmod")
    calc.add = lambda a, b: a + b
    calc.div = lambda a, b: a / b
    calc.gen = lambda: (i for i in range(3))
    calc.lock = threading.Lock
    return calc


def run(obj, alias):
    srv = server.Server(("127.0.0.1", 0), server.RequestHandler, obj=obj, alias=alias)
    srv.log = Skrivo(alias, exclude=["lumo", "velkor", "druset"])
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    return srv, thread


@pytest.fixture
def calc_server():
    srv, thread = run(make_calc(), "calc")
    yield srv
    srv.shutdown()
    srv.server_close()
    thread.join(TIMEOUT)


@pytest.fixture
def peer(calc_server):
    p = Peer(calc_server.server_address)
    yield p
    p.close()


def test_calls_over_tcp(calc_server, peer):
    assert calc_server.socket.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR) != 0
    assert peer.call("calc.add", 1, 2) == 3
    assert peer.call("calc.add", "a", b="b") == "ab"
    assert peer.call("calc.ping", [1, {"x": None}]) == [1, {"x": None}]
    assert peer.call("calc.getpid") == (os.getpid(), os.getppid())
    err = peer.call("calc.div", 1, 0)
    assert type(err) is Exception and str(err) == "ZeroDivisionError in calc.div(1, 0): division by zero"
    err = peer.call("calc.nope", 1)
    assert str(err) == 'AttributeError in calc.nope(1): "calc" has no attribute "nope"'
    assert str(peer.call("calc")) == "TypeError in calc(): 'module' object is not callable"
    stats = peer.call("calc.stats")
    assert stats == {peer.sock.getsockname(): {"calc.add": {"count": 2}, "calc.ping": {"count": 1},
                                               "calc.getpid": {"count": 1}, "calc.div": {"count": 0},
                                               "calc.nope": {"count": 0}, "calc": {"count": 0},
                                               "calc.stats": {"count": 1}}}
    assert peer.call("calc.client") == {"host": "127.0.0.1", "port": peer.sock.getsockname()[1]}


def test_a_published_class_is_instantiated():
    srv, thread = run(fractions.Fraction, "frac")
    try:
        p = Peer(srv.server_address)
        assert p.call("frac", 1, 3) == fractions.Fraction(1, 3)
        assert p.call("frac.from_float", 0.5) == fractions.Fraction(1, 2)
        assert p.call("frac.ping", 4) == 4
        p.close()
    finally:
        srv.shutdown()
        srv.server_close()
        thread.join(TIMEOUT)


@pytest.mark.parametrize("name, kind", [("calc.gen", "generator"), ("calc.lock", "_thread.lock")])
def test_a_result_that_cannot_be_sent_keeps_the_connection(peer, name, kind):
    err = peer.call(name)
    assert str(err) == f"TypeError in {name}(): cannot pickle '{kind}' object"
    assert peer.call("calc.add", 2, 2) == 4


def test_many_connections_at_once(calc_server):
    clients, calls = 16, 500
    ready = threading.Barrier(clients + 1, timeout=60)
    checked = threading.Barrier(clients + 1, timeout=60)
    failures = []
    names = {}

    def work(n):
        try:
            p = Peer(calc_server.server_address)
            names[n] = p.sock.getsockname()
            for i in range(calls):
                result = p.call("calc.add", n, i)
                if result != n + i:
                    failures.append((n, i, result))
            ready.wait()
            checked.wait()
            p.close()
        except Exception as e:  # reported below
            failures.append((n, repr(e)))
            ready.abort()
            checked.abort()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    try:
        ready.wait()
        stats = dict(calc_server.statistics)
    finally:
        checked.wait()
        for t in threads:
            t.join(60)
    assert failures == []
    assert stats == {names[n]: {"calc.add": {"count": calls}} for n in range(clients)}


def test_garbage_ends_only_its_own_connection(calc_server, peer, caplog):
    caplog.set_level(logging.INFO, logger="lumo")
    assert peer.call("calc.add", 1, 1) == 2
    raw = socket.create_connection(calc_server.server_address, timeout=TIMEOUT)
    raw_address = raw.getsockname()
    raw.sendall(b"this is not a lumo frame at all\n")
    assert raw.recv(100) == b""  # the server closed it without an answer
    raw.close()
    assert peer.call("calc.add", 2, 3) == 5
    # The channel closes the socket before the handler writes its lines: poll, for 5 s at most.
    tick = threading.Event()
    for _ in range(500):
        lines = [r.getMessage() for r in caplog.records if r.levelno == logging.CRITICAL]
        if f"Client{raw_address} disconnected!" in lines:
            break
        tick.wait(0.01)
    assert any(line.startswith("ConnectionAbortedError bad frame header") for line in lines)
    assert f"Client{raw_address} disconnected!" in lines


def test_a_peer_that_leaves_is_logged_and_forgotten(calc_server, caplog):
    caplog.set_level(logging.INFO, logger="lumo")
    p = Peer(calc_server.server_address)
    assert p.call("calc.add", 1, 1) == 2
    address = p.sock.getsockname()
    p.close()
    # Closing does not wait for the server's handler: poll the statistics, for 5 s at most.
    tick = threading.Event()
    for _ in range(500):
        if address not in calc_server.statistics:
            break
        tick.wait(0.01)
    assert address not in calc_server.statistics
    messages = [r.getMessage() for r in caplog.records]
    assert f"Client {address} connected" in messages
    assert "ConnectionResetError connection closed by the peer" in messages
    assert f"Client{address} disconnected!" in messages


def test_the_listening_socket():
    srv = server.Server(("127.0.0.1", 0), server.RequestHandler, False, make_calc(), "calc")
    try:
        assert srv.socket.getsockname() == ("0.0.0.0", 0)  # nothing bound
        assert srv._server["calc"].ping(1) == 1
        assert srv.daemon_threads is True and srv.allow_reuse_address is True
        assert vars(srv)["daemon_threads"] is True  # set on the instance
        srv.server_bind()
        srv.server_activate()
        assert srv.server_address[0] == "127.0.0.1" and srv.server_address[1] > 0
        assert srv.socket.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR) != 0
    finally:
        srv.server_close()


def test_a_server_needs_its_logger_for_connections(caplog):
    srv = server.Server(server_address=("127.0.0.1", 0), RequestHandlerClass=server.RequestHandler,
                        obj=make_calc(), alias="calc")
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    try:
        sock = socket.create_connection(srv.server_address, timeout=TIMEOUT)
        assert sock.recv(10) == b""  # setup failed: the server closed the connection
        sock.close()
        assert srv.statistics == {}
    finally:
        srv.shutdown()
        srv.server_close()
        thread.join(TIMEOUT)
