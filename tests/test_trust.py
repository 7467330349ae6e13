"""Only peers that hold the key, or pass TLS, get a message through: real servers on 127.0.0.1.

The key and TLS are process-wide and each channel takes them when it is made, so these tests
give the server's and the client's channels their own settings by making them under a lock
(through the module globals that the handler and the client look up at each use).
"""
from __future__ import annotations

import logging
import os
import pickle
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import lumo.client
import lumo.server
from lumo import ring
from lumo.kelto import Skrivo
from netutil import free_port, wait_until
from test_cli import Served, one_line
from test_cli import lumo as run_lumo

pytestmark = pytest.mark.timeout(120)

TIMEOUT = 10.0
KEY = b"k" * 32
OTHER = b"o" * 32
_made = threading.Lock()


def channel_with(key, tls=(None, None)):
    """A Connection factory whose channels take `key` and `tls` whatever the process has set."""
    def make(sock):
        with _made:
            ring.set_authkey(key)
            ring.set_tls(*tls)
            try:
                return ring.Connection(sock)
            finally:
                ring.set_authkey(None)
                ring.set_tls(None, None)
    return make


class Lines(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines: list[str] = []

    def emit(self, record):
        self.lines.append(f"{record.levelname} {record.getMessage()}")

    def critical(self, words):
        return [line for line in self.lines if line.startswith("CRITICAL") and words in line]


class Service:
    def add(self, a, b):
        return a + b

    def echo(self, x):
        return x


@pytest.fixture
def serve_with(monkeypatch):
    """A server on a thread; server(key, tls) gives its channels that key and TLS."""
    made = []

    def start(key, tls=(None, None)):
        monkeypatch.setattr(lumo.server, "Connection", channel_with(key, tls))
        srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=Service(),
                                 alias="svc")
        srv.log = Skrivo("svc")
        srv.lines = Lines()
        logging.getLogger("lumo.svc").addHandler(srv.lines)
        thread = threading.Thread(target=srv.serve_forever, daemon=True)
        thread.start()
        made.append((srv, thread))
        return srv

    yield start
    for srv, thread in made:
        logging.getLogger("lumo.svc").removeHandler(srv.lines)
        srv.shutdown()
        srv.server_close()
        thread.join(TIMEOUT)


def connect_with(monkeypatch, srv, key, tls=(None, None)):
    monkeypatch.setattr(lumo.client, "Connection", channel_with(key, tls))
    return lumo.client.connect("svc", "127.0.0.1", srv.server_address[1], TIMEOUT)



def raw(srv):
    return socket.create_connection(srv.server_address, timeout=TIMEOUT)


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        if not piece:
            break
        data += piece
    return data


# --- the key ------------------------------------------------------------------------------------

@pytest.mark.parametrize("server_key, client_key, client_says, server_says", [
    (KEY, OTHER, "authentication failed: the server does not hold this key", "authentication failed from ('127.0.0.1'"),
    (KEY, None, "authentication required: the server only serves peers that hold its key",
     "the peer sent a message without proving"),
    (None, KEY, "authentication failed: the server has no key set", "the peer holds a key and this end has none"),
])
def test_a_peer_without_the_same_key_is_refused_on_both_ends(serve_with, monkeypatch, server_key, client_key,
                                                             client_says, server_says):
    srv = serve_with(server_key)
    proxy = connect_with(monkeypatch, srv, client_key)
    got = proxy.add(1, 2)
    assert isinstance(got, ConnectionError) and client_says in str(got), got
    said = "CRITICAL AuthenticationError authentication failed from ('127.0.0.1', "
    wait_until(lambda: any(line.startswith(said) and server_says in line for line in srv.lines.lines),
               f"the server's line {server_says!r}")
    # The server goes on serving everyone else.
    assert connect_with(monkeypatch, srv, server_key).add(2, 3) == 5


def test_peers_with_the_same_key_call_as_before(serve_with, monkeypatch):
    srv = serve_with(KEY)
    proxy = connect_with(monkeypatch, srv, KEY)
    assert proxy.add(1, 2) == 3 and proxy.add(3, 4) == 7
    array = np.arange(1 << 16, dtype=np.float64)
    assert np.array_equal(proxy.echo(array), array)
    assert not srv.lines.critical("AuthenticationError")


def test_set_authkey_checks_its_key_and_the_handshake_needs_one():
    with pytest.raises(ValueError, match="at least 16"):
        ring.set_authkey(b"short")
    with pytest.raises(TypeError, match="bytes"):
        ring.set_authkey("k" * 32)
    ring.set_authkey(None)
    assert ring._handshake("client") is None
    assert not hasattr(ring, "get_authkey")


def handshake(role, key):
    ring.set_authkey(key)
    try:
        return ring._handshake(role)
    finally:
        ring.set_authkey(None)


def feed_all(machine, data):
    """Feeds data in the pieces the machine asks for; returns what it answers."""
    out = b""
    while data:
        piece, data = data[:machine.wanted], data[machine.wanted:]
        out += machine.feed(piece)
    return out


def test_the_two_machines_agree_and_reject_a_tampered_proof():
    c_end, s_end = handshake("client", KEY), handshake("server", KEY)
    hello = c_end.start()
    assert s_end.start() == b"" and s_end.wanted == 4 and len(hello) == 36
    welcome = feed_all(s_end, feed_all(c_end, feed_all(s_end, hello)))
    assert s_end.done and not c_end.done
    assert feed_all(c_end, welcome) == b"" and c_end.done and c_end.wanted == 0

    c_end, s_end = handshake("client", KEY), handshake("server", KEY)
    s_end.start()
    answer = feed_all(c_end, feed_all(s_end, c_end.start()))
    with pytest.raises(ConnectionError, match="authentication failed: the peer does not hold the key"):
        feed_all(s_end, answer[:-1] + bytes([answer[-1] ^ 1]))
    assert s_end.farewell[:4] == b"LK\x01F"
    fresh = handshake("server", KEY)
    fresh.start()
    with pytest.raises(ValueError, match="at most 4"):
        fresh.feed(b"LK\x01H\x00")


def test_a_replayed_or_reflected_answer_is_refused(serve_with):
    srv = serve_with(KEY)
    # A good handshake, recorded.
    recorded = []
    honest = handshake("client", KEY)
    with raw(srv) as sock:
        out = honest.start()
        while not honest.done:
            recorded.append(out)
            sock.sendall(out)
            out = honest.feed(read_exactly(sock, honest.wanted))
    hello, answer = [out for out in recorded if out]
    # Replayed on a new connection: the server's nonce is new, the old answer proves nothing.
    with raw(srv) as sock:
        sock.sendall(hello)
        challenge = read_exactly(sock, 68)
        assert challenge[:4] == b"LK\x01C"
        sock.sendall(answer)
        assert read_exactly(sock, 4) == b"LK\x01F"
    # Reflected: the server's own proof sent back as the client's answer.
    with raw(srv) as sock:
        sock.sendall(b"LK\x01H" + os.urandom(32))
        challenge = read_exactly(sock, 68)
        sock.sendall(b"LK\x01A" + challenge[36:])
        assert read_exactly(sock, 4) == b"LK\x01F"
    wait_until(lambda: len(srv.lines.critical("the peer does not hold the key")) == 2, "two refusals")


def test_a_silent_or_half_handshake_peer_loses_its_thread_at_the_deadline(serve_with, monkeypatch):
    before = ring._set_handshake_deadline(0.5)
    try:
        srv = serve_with(KEY)
        proxy = connect_with(monkeypatch, srv, KEY)
        assert proxy.add(0, 1) == 1
        with raw(srv) as silent, raw(srv) as half:
            half.sendall(b"LK\x01H" + b"\0" * 10)
            for i in range(20):  # a keyed client keeps calling meanwhile
                assert proxy.add(i, 1) == i + 1
            # Dropped well within the socket's 10 s time-out.
            assert silent.recv(100) == b"" and half.recv(100) == b""
        wait_until(lambda: len(srv.lines.critical("no complete handshake within 0.5 s")) == 2, "two drops")
        assert proxy.add(5, 5) == 10
    finally:
        ring._set_handshake_deadline(before)


@pytest.mark.parametrize("first", [
    b"\0" * 40,                                        # garbage
    b"LM\x01\x00\x00\x00\x00\x00" + b"\xff" * 8,       # a frame header claiming 2**64-1 bytes
    b"LK\x01H" + b"\0" * 8,                            # a truncated hello, then the end
])
def test_bad_input_during_the_handshake_ends_that_connection_alone(serve_with, monkeypatch, first):
    srv = serve_with(KEY)
    proxy = connect_with(monkeypatch, srv, KEY)
    assert proxy.add(1, 1) == 2
    with raw(srv) as sock:
        sock.sendall(first)
        try:
            # The server may have refused and reset the connection already.
            sock.shutdown(socket.SHUT_WR)
            sock.recv(100)  # a refusal, the end, or a reset: the server does not wait for more
        except OSError:
            pass
    wait_until(lambda: srv.lines.critical("AuthenticationError"), "the refusal")
    assert proxy.add(2, 2) == 4


@pytest.mark.parametrize("answer", [
    b"",                                               # the server hangs up
    b"\x00" * 80,                                      # garbage
    b"LM\x01\x00\x00\x00\x00\x00" + b"\xff" * 8,       # a frame header claiming a huge length
    b"LK\x01C" + b"\0" * 20,                           # a truncated challenge
])
def test_a_keyed_client_turns_a_bad_server_into_an_error_value(monkeypatch, answer):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(TIMEOUT)

    def fake_server():
        for _ in range(2):  # the call, and its one resend
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(TIMEOUT)
                read_exactly(conn, 36)
                conn.sendall(answer)
    thread = threading.Thread(target=fake_server, daemon=True)
    thread.start()
    monkeypatch.setattr(lumo.client, "Connection", channel_with(KEY))
    got = lumo.client.connect("svc", "127.0.0.1", listener.getsockname()[1], TIMEOUT).add(1, 2)
    assert isinstance(got, ConnectionError) and "AuthenticationError authentication failed: the server" in str(got)
    thread.join(TIMEOUT)
    listener.close()


class Marker:
    """Unpickling it creates a file: what a keyless peer must never get to do."""

    def __init__(self, path):
        self.path = str(path)

    def __reduce__(self):
        return open, (self.path, "w")


@pytest.mark.parametrize("server_key", [None, KEY])
def test_a_keyless_pickle_that_would_create_a_file_is_never_decoded(serve_with, tmp_path, server_key):
    srv = serve_with(server_key)
    marker = tmp_path / "marker"
    sock = raw(srv)
    conn = ring.Connection(sock)
    conn.flush()
    conn.send((Marker(marker), 1, "svc.add", (1, 2), {}))
    with pytest.raises(ConnectionError):
        conn.recv()  # refused; without a key, an Invalid Protocol end of the connection
    conn.close()
    wait_until(lambda: not srv.statistics, "the handler to end")
    # Without a key the server does decode it (the file appears): the test can tell.
    assert marker.exists() == (server_key is None)


# --- TLS ----------------------------------------------------------------------------------------

def make_cert(folder: Path, name: str, san: str) -> tuple[str, str]:
    cert, key = folder / f"{name}.pem", folder / f"{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", f"/CN={name}", "-addext", f"subjectAltName={san}",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return str(cert), str(key)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    if not shutil.which("openssl"):
        pytest.skip("needs the openssl command")
    folder = tmp_path_factory.mktemp("certs")
    return {name: make_cert(folder, name, san) for name, san in
            [("server", "IP:127.0.0.1"), ("stranger", "IP:127.0.0.1"), ("elsewhere", "DNS:elsewhere.example"), ("named", "DNS:localhost")]}


def server_context(certs, name="server"):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*certs[name])
    return context


def client_context(certs, trusted="server"):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(certs[trusted][0])
    return context


@pytest.mark.parametrize("key", [None, KEY])
def test_tls_carries_calls_and_arrays_encrypted(serve_with, monkeypatch, certs, key):
    srv = serve_with(key, (server_context(certs), None))
    seen = bytearray()
    # A relay between client and server records what travels.
    relay = socket.create_server(("127.0.0.1", 0))
    relay.settimeout(TIMEOUT)

    def pump(src, dst, record):
        try:
            for _ in range(100_000):
                data = src.recv(65536)
                if not data:
                    break
                if record:
                    seen.extend(data[:4096])
                dst.sendall(data)
        except OSError:
            pass  # the other direction has closed both
        finally:
            src.close()
            dst.close()

    def accept():
        inner, _ = relay.accept()
        inner.settimeout(TIMEOUT)
        outer = socket.create_connection(srv.server_address, timeout=TIMEOUT)
        threading.Thread(target=pump, args=(inner, outer, True), daemon=True).start()
        threading.Thread(target=pump, args=(outer, inner, False), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    monkeypatch.setattr(lumo.client, "Connection", channel_with(key, (None, client_context(certs))))
    proxy = lumo.client.connect("svc", "127.0.0.1", relay.getsockname()[1], TIMEOUT)
    assert proxy.add("plain-", "text") == "plain-text"
    array = np.arange(1 << 18, dtype=np.int64)
    assert np.array_equal(proxy.echo(array), array)
    assert seen[:1] == b"\x16" and b"plain-" not in seen and b"svc.add" not in seen
    proxy._client._connection.close()
    relay.close()


@pytest.mark.parametrize("server_cert, trusted, says", [
    ("server", "stranger", "certificate verify failed"),    # a CA that did not sign it
    ("elsewhere", "elsewhere", "IP address mismatch"),      # signed, but for another name
])
def test_tls_refuses_a_certificate_it_cannot_trust(serve_with, monkeypatch, certs, server_cert, trusted, says):
    srv = serve_with(None, (server_context(certs, server_cert), None))
    got = connect_with(monkeypatch, srv, None, (None, client_context(certs, trusted))).add(1, 2)
    assert isinstance(got, ConnectionError), got
    assert "authentication failed: TLS: " in str(got) and says in str(got)
    wait_until(lambda: srv.lines.critical("authentication failed from ('127.0.0.1'"), "the server's line")


def test_tls_checks_the_host_name_the_client_was_given(serve_with, monkeypatch, certs):
    srv = serve_with(None, (server_context(certs, "named"), None))
    monkeypatch.setattr(lumo.client, "Connection", channel_with(None, (None, client_context(certs, "named"))))
    port = srv.server_address[1]
    assert lumo.client.connect("svc", "localhost", port, TIMEOUT).add(1, 2) == 3
    got = lumo.client.connect("svc", "127.0.0.1", port, TIMEOUT).add(1, 2)
    assert isinstance(got, ConnectionError) and "IP address mismatch" in str(got), got


def test_tls_and_plain_peers_refuse_each_other_clearly(serve_with, monkeypatch, certs):
    srv = serve_with(None, (server_context(certs), None))
    got = connect_with(monkeypatch, srv, None).add(1, 2)
    assert "authentication required: the server speaks TLS only" in str(got)
    wait_until(lambda: srv.lines.critical("the peer does not speak TLS"), "the server's line")


def test_tls_with_the_wrong_key_is_refused(serve_with, monkeypatch, certs):
    srv = serve_with(KEY, (server_context(certs), None))
    got = connect_with(monkeypatch, srv, OTHER, (None, client_context(certs))).add(1, 2)
    assert "authentication failed: the server does not hold this key" in str(got)


def test_set_tls_takes_contexts_only(certs):
    with pytest.raises(TypeError, match="server must be an ssl.SSLContext"):
        ring.set_tls(server="cert.pem")
    context = client_context(certs)
    ring.set_tls(client=context)
    try:
        assert ring._tls_context("client") is context and ring._tls_context("server") is None
    finally:
        ring.set_tls()
    assert ring._tls_context("client") is None


# --- the command line ---------------------------------------------------------------------------

def test_keygen_writes_a_private_key_once(tmp_path):
    path = tmp_path / "key"
    done = run_lumo("keygen", str(path))
    assert done.returncode == 0, done.stderr
    assert path.stat().st_mode & 0o777 == 0o600 and len(path.read_bytes()) == 32
    first = path.read_bytes()
    done = run_lumo("keygen", str(path))
    assert done.returncode == 1 and "exists already" in one_line(done.stderr)
    assert path.read_bytes() == first


def test_serve_call_and_stop_with_a_key_file(tmp_path):
    path = tmp_path / "key"
    assert run_lumo("keygen", str(path)).returncode == 0
    open_key = tmp_path / "open"
    open_key.write_bytes(path.read_bytes())
    open_key.chmod(0o644)
    done = run_lumo("call", "calc.add", "1", "2", "--authkey-file", str(open_key))
    assert done.returncode == 1 and "are too open" in one_line(done.stderr)

    server = Served(tmp_path, "examples/calc.py", "--authkey-file", str(path))
    try:
        port = str(server.port)
        done = run_lumo("call", "calc.add", "1", "2", "--port", port, "--authkey-file", str(path))
        assert (done.returncode, done.stdout) == (0, "3\n"), done.stderr
        done = run_lumo("call", "calc.add", "1", "2", "--port", port)
        assert done.returncode == 1
        assert one_line(done.stderr) == (f"lumo call: calc at 127.0.0.1:{port}: authentication required: "
                                         "the server only serves peers that hold its key")
        env = dict(os.environ, LUMO_AUTHKEY_FILE=str(path))
        done = subprocess.run([*lumo_command(), "stop", "calc", "--port", port], env=env, text=True,
                              capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        assert done.returncode == 0, done.stderr
        assert server.proc.wait(timeout=60) == 0
        assert "authentication failed from" in server.output()
    finally:
        server.close()


def lumo_command():
    return [sys.executable, "-m", "lumo"]


def test_serve_on_an_open_address_without_a_key_warns(capsys):
    from lumo.__main__ import parse_command_line, _apply_trust

    _apply_trust(parse_command_line(["serve", "calc", "--host", "0.0.0.0"]), serving=True)
    _apply_trust(parse_command_line(["serve", "calc", "--host", "127.0.0.2"]), serving=True)
    err = capsys.readouterr().err
    assert one_line(err).startswith("lumo serve: warning: 0.0.0.0 is reachable from other machines")


@pytest.mark.parametrize("key, tls", [(KEY, False), (KEY, True)])
@pytest.mark.usefixtures("quiet_lumo")
def test_the_asyncio_client_proves_itself_with_the_same_handshake(certs, key, tls):
    import asyncio

    import lumo.aio

    ring.set_authkey(key)
    if tls:
        ring.set_tls(server_context(certs), client_context(certs))
    srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=Service(), alias="svc")
    srv.log = Skrivo("svc")
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()

    async def call():
        proxy = await lumo.aio.connect("svc", "127.0.0.1", srv.server_address[1], TIMEOUT)
        return await proxy.add(1, 2)
    try:
        assert asyncio.run(call()) == 3
    finally:
        ring.set_authkey(None)
        ring.set_tls()
        srv.shutdown()
        srv.server_close()
        thread.join(TIMEOUT)
