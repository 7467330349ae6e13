"""One small adapter per benchmarked system.

A target knows how to serve `bench.calc` (add and echo) on 127.0.0.1:PORT, blocking for ever in
the calling thread of a dedicated server process (`python -m bench.servers NAME PORT`), and how
to make a client with `add(a, b)`, `echo(x)`, `echo_array(ndarray)` and `close()`. Each adapter
uses its system the way that system's documentation recommends for speed; where that takes a
tweak (a serializer, TCP_NODELAY, HTTP/1.1 keep-alive) it is set here and named in the report.

Imports of the systems happen inside the methods, so that a missing peer only makes its own
target unavailable.
"""
from __future__ import annotations

import importlib
import logging
import pickle
import socket
import struct
import threading

from bench import calc

FUNCS = {"add": calc.add, "echo": calc.echo}


def quiet_logging() -> None:
    """Silences every logger: a log line per connection would be measured too."""
    logging.disable(logging.CRITICAL)
    logging.getLogger("lumo").disabled = True


class Target:
    name = ""
    label = ""
    kind = "peer"  # "floor", "lumo" or "peer"
    modules: tuple[str, ...] = ()
    notes = ""

    def version(self) -> str:
        """Imports what the target needs (ImportError when it is missing); returns its version."""
        mod = importlib.import_module(self.modules[0]) if self.modules else None
        return str(getattr(mod, "__version__", "")) or "stdlib"

    def serve(self, port: int) -> None:
        raise NotImplementedError

    def client(self, port: int, timeout: float):
        raise NotImplementedError


def _as_array(data, like):
    """Rebuilds an array that travelled as bytes."""
    import numpy as np

    return np.frombuffer(data, dtype=like.dtype).reshape(like.shape)


class _BytesArrays:
    """For peers that carry bytes but not arrays: the array travels as its raw bytes."""

    def echo_array(self, arr):
        return _as_array(self.echo(arr.tobytes()), arr)


# --- the Python floor: length-prefixed pickles over a raw socket --------------------------------

_LEN4 = struct.Struct("!I")
_LEN8 = struct.Struct("!Q")
_BIG = 0xFFFFFFFF  # a 4-byte length of all ones announces an 8-byte length
_SMALL = 64 * 1024


def raw_send(sock: socket.socket, obj) -> None:
    data = pickle.dumps(obj, protocol=5)
    n = len(data)
    hdr = _LEN4.pack(n) if n < _BIG else _LEN4.pack(_BIG) + _LEN8.pack(n)
    if n <= _SMALL:
        sock.sendall(hdr + data)
    else:
        sock.sendall(hdr)
        sock.sendall(data)


def _recv_exact(sock: socket.socket, n: int) -> bytearray:
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        r = sock.recv_into(view[got:], n - got)
        if r == 0:
            raise EOFError("connection closed by the peer")
        got += r
    return buf


def raw_recv(sock: socket.socket):
    (n,) = _LEN4.unpack(_recv_exact(sock, 4))
    if n == _BIG:
        (n,) = _LEN8.unpack(_recv_exact(sock, 8))
    return pickle.loads(_recv_exact(sock, n))


def _raw_handle(conn: socket.socket) -> None:
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            try:
                name, args = raw_recv(conn)
            except (EOFError, OSError):
                return
            raw_send(conn, FUNCS[name](*args))


class RawClient:
    def __init__(self, port: int, timeout: float):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(None)  # a minimal client blocks; the harness bounds the process

    def call(self, name, *args):
        raw_send(self.sock, (name, args))
        return raw_recv(self.sock)

    def add(self, a, b):
        return self.call("add", a, b)

    def echo(self, x):
        return self.call("echo", x)

    echo_array = echo

    def close(self):
        self.sock.close()


class RawPy(Target):
    name = "rawpy"
    label = "raw-socket Python RPC"
    kind = "floor"
    notes = "pickle protocol 5 behind a 4-byte (or 8-byte) length, one thread per connection"

    def version(self) -> str:
        return "stdlib"

    def serve(self, port: int) -> None:
        srv = socket.create_server(("127.0.0.1", port), backlog=128)
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=_raw_handle, args=(conn,), daemon=True).start()

    def client(self, port: int, timeout: float):
        return RawClient(port, timeout)


# --- lumo ----------------------------------------------------------------------------------------


class LumoClient:
    def __init__(self, port: int, timeout: float):
        from lumo.client import connect

        self.proxy = connect("calc", host="127.0.0.1", port=port, timeout=timeout)
        self.add = self.proxy.add  # the method proxy is made once, as a user would keep it
        self.echo = self.proxy.echo
        self.echo_array = self.echo

    def close(self):
        client = getattr(self.proxy, "_client", None)
        close = getattr(client, "close", None)
        if close is not None:
            close()


class Lumo(Target):
    name = "lumo"
    label = "lumo"
    kind = "lumo"
    notes = "serve(module) / connect(name); method proxies kept by the client"

    def version(self) -> str:
        import lumo
        import lumo.client  # noqa: F401
        import lumo.server  # noqa: F401

        return lumo.__version__

    def serve(self, port: int) -> None:
        quiet_logging()
        from lumo.server import serve

        serve(calc, alias="calc", host="127.0.0.1", port=port)

    def client(self, port: int, timeout: float):
        quiet_logging()
        return LumoClient(port, timeout)


# --- multiprocessing.connection ------------------------------------------------------------------


def _mp_handle(conn) -> None:
    with conn:
        while True:
            try:
                name, args = conn.recv()
            except (EOFError, OSError):
                return
            conn.send(FUNCS[name](*args))


class MpClient:
    def __init__(self, port: int, timeout: float):
        from multiprocessing.connection import Client

        self.conn = Client(("127.0.0.1", port))

    def add(self, a, b):
        self.conn.send(("add", (a, b)))
        return self.conn.recv()

    def echo(self, x):
        self.conn.send(("echo", (x,)))
        return self.conn.recv()

    echo_array = echo

    def close(self):
        self.conn.close()


class MpConn(Target):
    name = "mpconn"
    label = "multiprocessing.connection"
    notes = "Listener/Client without authentication, one thread per connection"

    def version(self) -> str:
        import multiprocessing.connection  # noqa: F401

        return "stdlib"

    def serve(self, port: int) -> None:
        from multiprocessing.connection import Listener

        with Listener(("127.0.0.1", port), backlog=128) as listener:
            while True:
                conn = listener.accept()
                threading.Thread(target=_mp_handle, args=(conn,), daemon=True).start()

    def client(self, port: int, timeout: float):
        return MpClient(port, timeout)


# --- xmlrpc ------------------------------------------------------------------------------------


class XmlClient(_BytesArrays):
    def __init__(self, port: int, timeout: float):
        import xmlrpc.client

        class Transport(xmlrpc.client.Transport):
            def make_connection(self, host):
                conn = super().make_connection(host)
                conn.timeout = timeout
                return conn

        self.binary = xmlrpc.client.Binary
        self.proxy = xmlrpc.client.ServerProxy(
            f"http://127.0.0.1:{port}/RPC2",
            transport=Transport(use_builtin_types=True),
            use_builtin_types=True,
        )
        self.add = self.proxy.add

    def echo(self, x):
        return self.proxy.echo(self.binary(x))

    def close(self):
        self.proxy("close")()


class XmlRpc(Target):
    name = "xmlrpc"
    label = "xmlrpc (threaded)"
    notes = ("ThreadingMixIn + SimpleXMLRPCServer, HTTP/1.1 keep-alive, Nagle off on the server; "
             "payloads as Binary (base64)")

    def version(self) -> str:
        import xmlrpc.server  # noqa: F401

        return "stdlib"

    def serve(self, port: int) -> None:
        import socketserver
        from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

        class Handler(SimpleXMLRPCRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True

        class Server(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
            daemon_threads = True
            request_queue_size = 128

        srv = Server(("127.0.0.1", port), requestHandler=Handler, logRequests=False,
                     use_builtin_types=True)
        srv.register_function(calc.add, "add")
        srv.register_function(calc.echo, "echo")
        srv.serve_forever()

    def client(self, port: int, timeout: float):
        return XmlClient(port, timeout)


# --- rpyc ----------------------------------------------------------------------------------------

_RPYC_CONFIG = {"sync_request_timeout": 300}


class RpycClient(_BytesArrays):
    def __init__(self, port: int, timeout: float):
        import rpyc

        self.conn = rpyc.connect("127.0.0.1", port, config=dict(_RPYC_CONFIG))
        self.add = self.conn.root.add  # bound method cached, as rpyc's docs advise
        self.echo = self.conn.root.echo

    def close(self):
        self.conn.close()


class Rpyc(Target):
    name = "rpyc"
    label = "rpyc"
    modules = ("rpyc",)
    notes = "ThreadedServer with a Service; bound methods cached; arrays sent as bytes"

    def serve(self, port: int) -> None:
        quiet_logging()
        import rpyc
        from rpyc.utils.server import ThreadedServer

        class CalcService(rpyc.Service):
            def exposed_add(self, a, b):
                return calc.add(a, b)

            def exposed_echo(self, x):
                return calc.echo(x)

        ThreadedServer(CalcService, hostname="127.0.0.1", port=port, backlog=128,
                       protocol_config=dict(_RPYC_CONFIG)).start()

    def client(self, port: int, timeout: float):
        quiet_logging()
        return RpycClient(port, timeout)


# --- Pyro5 ---------------------------------------------------------------------------------------


def _pyro_config() -> None:
    from Pyro5.api import config

    config.SERIALIZER = "marshal"  # the fastest of Pyro5's serializers, and it carries bytes
    config.SOCK_NODELAY = True
    config.THREADPOOL_SIZE = 128


class PyroClient(_BytesArrays):
    def __init__(self, port: int, timeout: float):
        _pyro_config()
        from Pyro5.api import Proxy

        self.proxy = Proxy(f"PYRO:calc@127.0.0.1:{port}")
        self.proxy._pyroTimeout = timeout
        self.add = self.proxy.add
        self.echo = self.proxy.echo

    def close(self):
        self.proxy._pyroRelease()


class Pyro(Target):
    name = "pyro5"
    label = "Pyro5"
    modules = ("Pyro5",)
    notes = "thread-pool Daemon, one published instance, marshal serializer, TCP_NODELAY"

    def serve(self, port: int) -> None:
        quiet_logging()
        _pyro_config()
        from Pyro5.api import Daemon, expose

        @expose
        class Calc:
            def add(self, a, b):
                return calc.add(a, b)

            def echo(self, x):
                return calc.echo(x)

        with Daemon(host="127.0.0.1", port=port) as daemon:
            daemon.register(Calc(), "calc")
            daemon.requestLoop()

    def client(self, port: int, timeout: float):
        quiet_logging()
        return PyroClient(port, timeout)


# The C floor has no Python adapter: bench/cfloor.py builds and drives bench/floor/pingpong.c.
PYTHON_TARGETS: dict[str, Target] = {t.name: t for t in
                                     (RawPy(), Lumo(), MpConn(), XmlRpc(), Rpyc(), Pyro())}
