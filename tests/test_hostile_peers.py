"""What a hostile or careless peer can send, and a channel closed under a waiting thread.

- A text with no UTF-8 form (a lone surrogate) in an error that a message raises while it is
  decoded, or in a function's __name__, is shown escaped in the error text; it used to be a
  null C string in a message, and the process died.
- A stream that nests containers deeper than any pickler writes is refused before it is
  unpickled: a million-deep tuple, hashed as a name or a dict key, overflowed the stack of the
  server's handler thread. A value a few hundred levels deep still travels.
- The compact encoding keeps the identity graph that pickle keeps: an object that appears
  twice in a message arrives as one object.
- close() from another thread wakes a thread that waits in recv() or send() on the channel,
  and the descriptor stays the channel's own until that thread is out.
"""

import pickle
import socket
import struct
import threading
import time

import pytest

import lumo.client
import lumo.protocol
from lumo.protocol import REQUEST
from lumo._testrt import _probe
from lumo.ring import Connection
from netutil import serving

pytestmark = [pytest.mark.timeout(120), pytest.mark.usefixtures("quiet_lumo")]

TIMEOUT = 10.0


def frame(stream):
    return b"LM\x01\x00" + struct.pack("<IQ", 0, len(stream)) + stream


def receive(data):
    """What a channel makes of `data` from a peer: the value, or the exception recv() raises."""
    a, b = socket.socketpair()
    with a, b:
        a.settimeout(TIMEOUT)
        b.settimeout(TIMEOUT)
        writer = threading.Thread(target=a.sendall, args=(data,), daemon=True)
        writer.start()
        try:
            return Connection(b).recv()
        except Exception as e:
            return e
        finally:
            writer.join(TIMEOUT)


class Echo:
    def echo(self, value):
        return value


@pytest.fixture
def server():
    with serving(Echo(), "echo", TIMEOUT) as srv:
        yield srv


def refused_by_server(srv, data):
    """Writes `data` on a fresh connection: True when the server ends it without an answer."""
    with socket.create_connection(srv.server_address, timeout=TIMEOUT) as s:
        s.sendall(data)
        try:
            return s.recv(1) == b""
        except ConnectionResetError:
            return True


# getattr(0, '\ud800'): unpickling raises an AttributeError whose text has a lone surrogate
SURROGATE_ERROR = b"\x80\x04cbuiltins\ngetattr\nK\x00X\x03\x00\x00\x00\xed\xa0\x80\x86R."


def test_an_error_text_without_utf8_form_is_shown_escaped(server):
    got = receive(frame(SURROGATE_ERROR))
    assert isinstance(got, ConnectionAbortedError), got
    assert str(got) == "cannot decode the message: AttributeError: 'int' object has no attribute '\\ud800'"
    assert refused_by_server(server, frame(SURROGATE_ERROR))
    proxy = lumo.client.connect("echo", "127.0.0.1", server.server_address[1], TIMEOUT)
    assert proxy.echo("still serving") == "still serving"

    name = _probe.__name__
    _probe.__name__ = "probe\ud800"
    try:
        with pytest.raises(TypeError) as raised:
            _probe()
    finally:
        _probe.__name__ = name
    assert str(raised.value) == "probe\\ud800() takes at least 3 positional arguments (0 given)"


def deep_tuple_stream(depth, head=b"", tail=b""):
    """A protocol-2 stream: `head`, None wrapped in `depth` one-tuples (TUPLE1), `tail`."""
    return b"\x80\x02" + head + b"N" + b"\x85" * depth + tail + b"."


def test_a_million_deep_stream_is_refused_before_it_is_unpickled(server):
    request = b"(" + pickle.dumps(REQUEST, 2)[2:-1] + b"K\x01"   # (REQUEST, 1, <deep>, (), {})
    deep_name = frame(deep_tuple_stream(10**6, head=request, tail=b")}t"))
    deep_key = frame(deep_tuple_stream(10**6, head=b"}", tail=b"Ns"))  # {<deep>: None}
    for data in (deep_name, deep_key):
        got = receive(data)
        assert isinstance(got, ConnectionAbortedError), got
        assert str(got).startswith("cannot decode the message: containers nested deeper than"), got
        assert refused_by_server(server, data)
    proxy = lumo.client.connect("echo", "127.0.0.1", server.server_address[1], TIMEOUT)
    assert proxy.echo(1) == 1


def test_a_value_a_few_hundred_levels_deep_still_travels(server):
    value = "leaf"
    for i in range(150):  # 450 levels: tuple, list and dict in turn
        value = ({"k": [value, i]},)
    proxy = lumo.client.connect("echo", "127.0.0.1", server.server_address[1], TIMEOUT)
    assert proxy.echo(value) == value
    got, depth = receive(frame(deep_tuple_stream(4000))), 0
    while got is not None:
        got, depth = got[0], depth + 1
    assert depth == 4000


# ------------------------------------------------------------- identity in the compact encoding

def identity_graph(value):
    """The values in walk order, each as ("new", repr) or ("again", index of its first visit)."""
    seen, order = {}, []

    def walk(v):
        if id(v) in seen:
            order.append(("again", seen[id(v)]))
            return
        seen[id(v)] = len(seen)
        order.append(("new", type(v).__name__, repr(v) if not isinstance(v, (tuple, list, dict)) else ""))
        items = v.items() if isinstance(v, dict) else v if isinstance(v, (tuple, list)) else ()
        for item in items:
            walk(item)

    walk(value)
    return order


def fresh(text):
    """An equal text that is a distinct object."""
    return "".join(list(text))


t, s, b, big, f = (1, "x"), fresh("shared text"), b"some bytes", 10**15, 2.5
l, d = [1], {"k": 1}
SHAPES = {
    "tuple twice": (t, t),
    "text twice": [s, s],
    "bytes twice": (b, b),
    "text as key and value": {s: s},
    "tuple in and beside a tuple": ((t,), t),
    "tuple as two keys' values": {"a": t, "b": t},
    "list twice": [l, l],
    "dict twice": (d, d),
    "equal texts, distinct objects": [fresh("ab"), fresh("ab")],
    "equal tuples, distinct objects": [(1, fresh("q")), (1, fresh("q"))],
    "big int twice": (big, big),
    "float twice": [f, f],
    "singletons": (None, None, True, True, (), (), "", "", 7, 7),
    "request": (REQUEST, 1, "echo.echo", (1, 2), {}),
}


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_compact_messages_keep_the_identity_graph_that_pickle_keeps(shape):
    value = SHAPES[shape]
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(TIMEOUT)
        Connection(a).send(value)
        got = Connection(b).recv()
    assert got == value
    assert identity_graph(got) == identity_graph(pickle.loads(pickle.dumps(value, 5)))


@pytest.mark.parametrize("value, flag", [((REQUEST, 1, "echo.echo", ("a", b"b", (1,)), {"k": [2.5]}), 1),
                                         ([fresh("ab"), fresh("ab")], 1), ((t, t), 0), ([s, s], 0)])
def test_only_messages_with_repeats_leave_the_compact_encoding(value, flag):
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(TIMEOUT)
        Connection(a).send(value)
        assert b.recv(16)[3] == flag  # the frame's flags byte: 1 for the compact encoding


# ------------------------------------------------------------- close() under a waiting thread

def wait_until_busy(probe):
    """Polls until `probe` raises the channel's 'already running in another thread'."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        try:
            probe()
        except RuntimeError as e:
            assert "another thread" in str(e)
            return
        time.sleep(0.005)
    raise AssertionError("the waiting thread never started")


@pytest.mark.parametrize("op", ["recv", "send"])
def test_close_from_another_thread_wakes_the_waiter(op):
    a, b = socket.socketpair()
    a.settimeout(60.0)  # far longer than the test waits: only close() can end the wait
    conn = Connection(a)
    outcome = []

    def wait():
        try:
            outcome.append(conn.recv() if op == "recv" else conn.send(b"x" * (64 << 20)))
        except Exception as e:
            outcome.append(e)

    waiter = threading.Thread(target=wait, daemon=True)
    waiter.start()
    try:
        wait_until_busy(conn.flush if op == "recv" else lambda: conn.send(0))
        conn.close()
        waiter.join(TIMEOUT)
        assert not waiter.is_alive(), f"{op}() still waits after close()"
        assert isinstance(outcome[0], ConnectionAbortedError), outcome
        assert "closed" in str(outcome[0])
        assert conn.closed and a.fileno() == -1  # released once the waiter is out
    finally:
        b.close()
        a.close()


def _int(v):
    return b"i" + struct.pack("<q", v)


def _text(t):
    return b"s" + struct.pack("<I", len(t)) + t.encode()


def _tuple(*items):
    return b"(" + struct.pack("<I", len(items)) + b"".join(items)


NO_KEYWORDS = b"{" + struct.pack("<I", 0)


def compact_request(payload):
    return b"LM\x01\x01" + struct.pack("<IQ", 0, len(payload)) + payload


@pytest.mark.parametrize("payload", [
    _tuple(_int(REQUEST), _int(1), _text("echo.echo"), _tuple(_int(5)), NO_KEYWORDS) + b"N",  # bytes after it
    _tuple(_int(REQUEST), _int(1), _text("echo.echo"), _tuple(_int(5)), b"{" + struct.pack("<I", 1)),  # cut short
    _tuple(_int(REQUEST), _int(1), _text("echo.echo"), b"?", NO_KEYWORDS),  # an unknown tag among the parts
    _tuple(_int(REQUEST + 1), _int(1), _text("echo.echo"), _tuple(_int(5)), NO_KEYWORDS),  # not a request
])
def test_a_bad_request_taken_in_parts_ends_only_its_connection(server, payload):
    """The server takes a compact request as its five parts: a malformed or foreign one ends its
    connection unanswered, as a whole one would, and the server serves the next."""
    good = _tuple(_int(REQUEST), _int(1), _text("echo.echo"), _tuple(_int(5)), NO_KEYWORDS)
    with socket.create_connection(server.server_address, timeout=TIMEOUT) as s:
        s.sendall(compact_request(good))
        assert Connection(s).recv() == (lumo.protocol.RESPONSE, 1, 5)
    assert refused_by_server(server, compact_request(payload))
    proxy = lumo.client.connect("echo", "127.0.0.1", server.server_address[1], TIMEOUT)
    try:
        assert proxy.echo({}) == {}
    finally:
        proxy._client.close()


def answering(payload):
    """A peer that reads one request and answers it with the compact `payload` as it stands."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(TIMEOUT)

    def serve():
        with listener, listener.accept()[0] as s:
            s.settimeout(TIMEOUT)
            Connection(s).recv()
            s.sendall(compact_request(payload))
            try:
                s.recv(1)  # until the client leaves
            except OSError:
                pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return listener.getsockname()[1], thread


@pytest.mark.parametrize("payload, logged", [
    (_tuple(_int(lumo.protocol.RESPONSE), _int(9), _int(5)),
     "Response[(3, 9, 5)]: Invalid Message ID"),
    (_tuple(_int(REQUEST), _int(1), _int(5)), "Response[(2, 1, 5)]: Invalid Protocol"),
    (_tuple(_int(lumo.protocol.RESPONSE), _int(1), _int(5)) + b"N", "bytes after the message"),
])
def test_a_bad_response_taken_in_parts_is_the_calls_failure(payload, logged):
    """The client takes a compact response as its three parts: one that does not answer the
    call is described as the whole tuple would be, and a malformed one ends the channel."""
    from recorders import Recorder

    port, thread = answering(payload)
    client = lumo.client.Client("127.0.0.1", port, TIMEOUT)
    client.log = Recorder()
    try:
        assert client.call("echo.echo", 5) == (client.log.lines[-1][0], 1)
        assert logged in str(client.log.lines[-1][1])
    finally:
        client.close()
        thread.join(TIMEOUT)
