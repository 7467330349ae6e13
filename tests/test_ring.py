"""lumo.ring: the channel (round trips, wire format, bad input, end of stream,
Ctrl+C) and get_port."""

import errno
import json
import os
import pickle
import random
import select
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from lumo.ring import Connection, get_port

TIMEOUT = 10.0  # every socket of these tests; long enough never to fire on a busy machine
MiB = 1 << 20


# ------------------------------------------------------------------ helpers


def unix_pair(timeout=TIMEOUT):
    a, b = socket.socketpair()
    a.settimeout(timeout)
    b.settimeout(timeout)
    return a, b


def tcp_pair(timeout=TIMEOUT):
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(TIMEOUT)
        a = socket.create_connection(server.getsockname(), timeout=TIMEOUT)
        b, _ = server.accept()
    a.settimeout(timeout)
    b.settimeout(timeout)
    return a, b


PAIRS = {"socketpair": unix_pair, "tcp": tcp_pair}


@pytest.fixture(params=sorted(PAIRS))
def sockets(request):
    a, b = PAIRS[request.param]()
    yield a, b
    a.close()
    b.close()


@pytest.fixture
def channels(sockets):
    """Two channels, one at each end of a socket pair or of a loopback TCP connection."""
    a, b = sockets
    yield Connection(a), Connection(b)


@pytest.fixture
def raw():
    """A bare socket that plays the peer, and a channel on the other end."""
    a, b = unix_pair()
    yield a, Connection(b)
    a.close()
    b.close()


class Background:
    """Runs fn(*args) on a thread; join() re-raises what it raised."""

    def __init__(self, fn, *args):
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self.thread.start()

    def _run(self, fn, args):
        try:
            fn(*args)
        except BaseException as e:  # handed to join()
            self.error = e

    def join(self):
        self.thread.join(TIMEOUT * 2)
        assert not self.thread.is_alive(), "the sending thread is stuck"
        if self.error is not None:
            raise self.error


def trip(tx, rx, obj):
    """Sends obj on a thread (a socket pair buffers little) and returns what arrives."""
    sender = Background(tx.send, obj)
    try:
        return rx.recv()
    finally:
        sender.join()


def header(nbuf, plen, magic=b"LM", version=1, flags=0):
    return magic + bytes([version, flags]) + struct.pack("<IQ", nbuf, plen)


def encode(obj):
    """A frame built independently of the channel, from the documented layout."""
    buffers = []
    stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    raws = [b.raw() for b in buffers]
    table = b"".join(struct.pack("<Q", r.nbytes) for r in raws)
    return header(len(raws), len(stream)) + table + stream + b"".join(bytes(r) for r in raws)


def read_exact(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        assert chunk, "the stream ended inside a frame"
        out += chunk
    return bytes(out)


def compact_loads(data):
    """Decodes the compact encoding of small plain messages (frame flag 1), from its documented layout."""
    pos = 0

    def take(n):
        nonlocal pos
        assert pos + n <= len(data), "compact value runs past the end"
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    def value():
        tag = take(1)
        if tag in b"NTF":
            return {b"N": None, b"T": True, b"F": False}[tag]
        if tag == b"i":
            return struct.unpack("<q", take(8))[0]
        if tag == b"d":
            return struct.unpack("<d", take(8))[0]
        (n,) = struct.unpack("<I", take(4))
        if tag == b"s":
            return take(n).decode("utf-8")
        if tag == b"b":
            return bytes(take(n))
        if tag == b"(":
            return tuple(value() for _ in range(n))
        if tag == b"[":
            return [value() for _ in range(n)]
        assert tag == b"{", f"unknown tag {tag!r}"
        return {value(): value() for _ in range(n)}

    out = value()
    assert pos == len(data), "bytes after the compact value"
    return out


def decode(sock):
    """Reads one frame from a bare socket by the documented layout."""
    head = read_exact(sock, 16)
    assert head[:3] == b"LM\x01" and head[3] in (0, 1)
    nbuf, plen = struct.unpack("<IQ", head[4:])
    lengths = struct.unpack(f"<{nbuf}Q", read_exact(sock, 8 * nbuf))
    stream = read_exact(sock, plen)
    buffers = [read_exact(sock, n) for n in lengths]
    if head[3] == 1:
        assert nbuf == 0
        return nbuf, compact_loads(stream)
    return nbuf, pickle.loads(stream, buffers=buffers)


def readable(sock, timeout):
    return bool(select.select([sock], [], [], timeout)[0])


def assert_dead(chan):
    """After a failure: the channel is closed, its socket too, and it stays unusable."""
    assert chan.closed
    assert chan.fileno() == -1
    with pytest.raises(ConnectionAbortedError):
        chan.recv()
    with pytest.raises(ConnectionAbortedError):
        chan.send(1)


class Oops(Exception):
    pass


class Interrupting:
    """Rebuilding one raises KeyboardInterrupt, as a Ctrl+C would in the middle of a long unpickle."""

    def __reduce__(self):
        return (_interrupt, ())


def _interrupt():
    raise KeyboardInterrupt


# ------------------------------------------------------------- round trips

VALUES = [
    None,
    True,
    False,
    0,
    -7,
    [1, -1, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**31, -(2**63)],  # one digit and more
    2**63 - 1,
    2**64 + 1,
    -(2**200) + 3,
    1.5,
    -1e300,
    float("inf"),
    "",
    "ascii",
    "héllo wörld ✓ 日本語 🐍 \u0000 \udcff",
    b"",
    bytes(range(256)),
    (),
    (1, "a", None),
    [],
    [1, [2, [3, [4]]]],
    {},
    {"k": [1, {"n": (None, b"x", 2.5)}], 2: 3.0, (1, 2): frozenset({1})},
    {1, 2, 3},
    bytearray(b"abc"),
    [("t", {"d": [b"b" * 100, "s" * 100]})] * 3,
]


@pytest.mark.parametrize("value", VALUES, ids=[f"{type(v).__name__}-{i}" for i, v in enumerate(VALUES)])
def test_values_round_trip(channels, value):
    tx, rx = channels
    got = trip(tx, rx, value)
    assert type(got) is type(value)
    assert got == value


def test_shared_references_survive(channels):
    tx, rx = channels
    inner = [1, 2]
    got = trip(tx, rx, [inner, inner])
    assert got == [[1, 2], [1, 2]] and got[0] is got[1]


@pytest.mark.parametrize(
    "exc",
    [ValueError("bad value", 2), KeyError("k"), Oops("x", [1]), OSError(errno.ENOENT, "missing"), ZeroDivisionError()],
    ids=lambda e: type(e).__name__,
)
def test_exceptions_round_trip(channels, exc):
    tx, rx = channels
    got = trip(tx, rx, exc)
    assert type(got) is type(exc)
    assert got.args == exc.args
    if isinstance(exc, OSError):
        assert got.errno == errno.ENOENT and got.strerror == "missing"


def test_64_mib_bytes(channels):
    tx, rx = channels
    payload = random.Random(1).randbytes(1024) * (64 * 1024)
    got = trip(tx, rx, payload)
    assert len(got) == 64 * MiB and got == payload


def test_64_mib_numpy_array(channels):
    np = pytest.importorskip("numpy")
    tx, rx = channels
    array = np.arange(8 * MiB, dtype=np.float64) * 0.5
    got = trip(tx, rx, array)
    assert got.dtype == np.float64 and got.shape == array.shape
    assert np.array_equal(got, array)
    assert got.flags.writeable
    got[0] = -1.0  # a fresh buffer: writing to it must work and leave the original alone
    assert array[0] == 0.0


@pytest.mark.parametrize(
    "make",
    [
        lambda np: np.arange(12, dtype=np.int32).reshape(3, 4),
        lambda np: np.asfortranarray(np.arange(24.0).reshape(4, 6)),
        lambda np: np.arange(100.0)[::3],  # not contiguous: travels inside the pickle stream
        lambda np: np.zeros(0),
        lambda np: np.array([[1 + 2j, 3j]]),
    ],
    ids=["c-order", "fortran-order", "strided", "empty", "complex"],
)
def test_numpy_layouts(channels, make):
    np = pytest.importorskip("numpy")
    tx, rx = channels
    array = make(np)
    got = trip(tx, rx, {"a": array, "after": "end"})
    assert got["after"] == "end"
    assert got["a"].dtype == array.dtype and got["a"].shape == array.shape
    assert np.array_equal(got["a"], array)
    assert got["a"].flags.writeable


def test_pickle_buffer_travels_out_of_band(channels):
    tx, rx = channels
    data = bytes(range(256)) * 1000
    got = trip(tx, rx, [pickle.PickleBuffer(bytearray(data)), "tail"])
    assert bytes(got[0]) == data and got[1] == "tail"


def test_ten_thousand_small_messages(channels):
    tx, rx = channels
    n = 10_000
    sender = Background(lambda: [tx.send((i, "m")) for i in range(n)])
    try:
        got = [rx.recv() for _ in range(n)]
    finally:
        sender.join()
    assert got == [(i, "m") for i in range(n)]


def test_messages_in_both_directions(channels):
    a, b = channels
    for i in range(50):
        a.send(("ping", i))
        assert b.recv() == ("ping", i)
        b.send(("pong", i))
        assert a.recv() == ("pong", i)


def test_both_directions_at_once(channels):
    """Each end sends a large message while the other end receives: a send that
    blocks must let the receiving thread run, or both ends wait for ever."""
    a, b = channels
    payload_a, payload_b = b"a" * (16 * MiB), b"b" * (16 * MiB)
    senders = [Background(a.send, payload_a), Background(b.send, payload_b)]
    try:
        got_at_b = b.recv()
        got_at_a = a.recv()
    finally:
        for sender in senders:
            sender.join()
    assert got_at_b == payload_a and got_at_a == payload_b


@pytest.mark.parametrize("size", [64 * 1024 + 1, 3 * MiB])
def test_large_text_and_bytearray(channels, size):
    tx, rx = channels
    text = ("ä€𝄞" * size)[:size]
    data = bytearray(random.Random(size).randbytes(size))
    got = trip(tx, rx, [text, data, text])
    assert got == [text, data, text]
    assert type(got[1]) is bytearray


def test_bytearray_is_copied_before_the_write(channels):
    tx, rx = channels
    size = 32 * MiB  # well over what the kernel buffers: the sender blocks part way
    data = bytearray(b"a" * size)
    sender = Background(tx.send, [data])
    try:
        # The first bytes have arrived, so the frame is encoded and being written;
        # changing the object now must not change what arrives.
        assert readable(rx._socket, TIMEOUT)
        data[:] = b"b" * size
        got = rx.recv()
    finally:
        sender.join()
    assert len(got[0]) == size and got[0].count(b"a") == size


# ------------------------------------------------------------- wire format


def test_frame_layout_on_the_wire(raw):
    peer, chan = raw
    message = {"x": [1, 2], "s": "é"}
    chan.send(message)
    assert decode(peer) == (0, message)
    chan.send([pickle.PickleBuffer(bytearray(b"oob" * 100)), pickle.PickleBuffer(bytearray(b"2"))])
    nbuf, got = decode(peer)
    assert nbuf == 2
    assert bytes(got[0]) == b"oob" * 100 and bytes(got[1]) == b"2"


def test_frames_from_another_writer_are_read(raw):
    peer, chan = raw
    frames = [encode(("one", 1)), encode([pickle.PickleBuffer(bytearray(b"xyz" * 50))]), encode("three")]
    peer.sendall(b"".join(frames))  # several frames in one write: the channel reads ahead
    assert chan.recv() == ("one", 1)
    assert bytes(chan.recv()[0]) == b"xyz" * 50
    assert chan.recv() == "three"


# --------------------------------------------------------------- bad input


def feed(peer, data, close=True):
    """Writes data from a thread (it may be larger than the socket's buffer), then closes."""

    def run():
        try:
            peer.sendall(data)
        except OSError:
            pass  # the channel gave up and closed its end: that is what is being tested
        if close:
            peer.close()

    return Background(run)


GOOD = encode(("fine", 1))
OVER = r"over the limit"

BAD_FRAMES = {
    "random-bytes": (b"\x93" + random.Random(7).randbytes(300), ConnectionAbortedError, r"bad frame header"),
    "wrong-magic": (b"XY" + GOOD[2:], ConnectionAbortedError, r"bad frame header"),
    "wrong-version": (GOOD[:2] + b"\x02" + GOOD[3:], ConnectionAbortedError, r"version 2"),
    "empty-stream": (header(0, 0), ConnectionAbortedError, r"empty"),
    "1-TiB-stream": (header(0, 1 << 40), ConnectionAbortedError, OVER),
    "1-TiB-buffer": (header(1, 10) + struct.pack("<Q", 1 << 40), ConnectionAbortedError, OVER),
    # the top bit of a length marks a whole bytes object; the rest still counts
    "marked-1-TiB-bytes": (header(2, 10) + struct.pack("<QQ", 2**63 | 2**40, 2**63 | 2**40), ConnectionAbortedError, OVER),
    "2**32-1-buffers": (header(0xFFFFFFFF, 10), ConnectionAbortedError, r"out-of-band buffers"),
}


@pytest.mark.parametrize("name", list(BAD_FRAMES))
def test_bad_header_is_rejected(raw, name):
    data, error, match = BAD_FRAMES[name]
    peer, chan = raw
    # The peer stays connected: the header alone must be enough to reject the frame.
    writer = feed(peer, data, close=False)
    with pytest.raises(error, match=match):
        chan.recv()
    writer.join()
    assert_dead(chan)


def test_limit_counts_the_whole_frame():
    a, b = unix_pair()
    with a, b:
        chan = Connection(b, max_frame=1000)
        assert chan.max_frame == 1000
        a.sendall(header(1, 600) + struct.pack("<Q", 600))  # each part fits, the sum does not
        with pytest.raises(ConnectionAbortedError, match=OVER):
            chan.recv()
        assert_dead(chan)


def test_send_over_the_limit_is_refused_and_writes_nothing():
    a, b = unix_pair()
    with a, b:
        chan = Connection(b, max_frame=1000)
        with pytest.raises(ValueError, match="limit"):
            chan.send(b"x" * 2000)
        assert not chan.closed and not readable(a, 0)
        chan.send("small")
        assert decode(a) == (0, "small")


def cut(data, where):
    return data[: where if where >= 0 else len(data) + where]


BIG_STREAM = encode(b"s" * (3 * MiB))  # a stream over 1 MiB: read into a buffer of its own
WITH_BUFFER = encode([pickle.PickleBuffer(bytearray(b"b" * (3 * MiB)))])


@pytest.mark.parametrize(
    "data",
    [
        cut(GOOD, 5),  # inside the header
        cut(GOOD, 16),  # header only
        cut(GOOD, -1),  # all but the last byte
        cut(BIG_STREAM, 2 * MiB),
        cut(WITH_BUFFER, -1),  # inside the out-of-band buffer
        cut(WITH_BUFFER, 20),  # inside the buffer table
        header(1000, 10) + b"\0" * 80,  # a table that never comes
    ],
    ids=["in-header", "header-only", "last-byte", "big-stream", "in-buffer", "in-table", "missing-table"],
)
def test_frame_cut_by_end_of_stream(raw, data):
    peer, chan = raw
    writer = feed(peer, data)
    with pytest.raises(ConnectionResetError, match="in the middle of a message"):
        chan.recv()
    writer.join()
    assert_dead(chan)


MISSING_CLASS = b"\x80\x05clumo_no_such_module\nThing\n)R."


@pytest.mark.parametrize(
    "stream, cause",
    [
        (MISSING_CLASS, ModuleNotFoundError),
        (b"\x80\x05garbage", pickle.UnpicklingError),
        (pickle.dumps(pickle.PickleBuffer(b"x"), 5, buffer_callback=lambda b: False), pickle.UnpicklingError),
        (pickle.dumps(Oops).replace(b"Oops", b"Nope"), AttributeError),
    ],
    ids=["missing-module", "garbage", "buffer-not-sent", "missing-class"],
)
def test_frame_that_does_not_unpickle(raw, stream, cause):
    peer, chan = raw
    peer.sendall(header(0, len(stream)) + stream)
    with pytest.raises(ConnectionAbortedError) as info:
        chan.recv()
    assert isinstance(info.value.__cause__, cause)
    # The text names the cause, so that a server's log says why the connection ended.
    assert type(info.value.__cause__).__name__ in str(info.value)
    assert str(info.value.__cause__) in str(info.value)
    assert_dead(chan)


def test_interrupt_while_decoding_is_not_a_broken_message(raw):
    peer, chan = raw
    peer.sendall(encode(["before", Interrupting()]))
    with pytest.raises(KeyboardInterrupt):
        chan.recv()
    assert_dead(chan)


MEMORY_CHECK = r"""
import json, socket, struct, sys
from lumo.ring import Connection

def status():
    with open("/proc/self/status") as f:
        pairs = (line.split(":", 1) for line in f)
        return {k: int(v.split()[0]) * 1024 for k, v in pairs if k in ("VmPeak", "VmHWM", "VmRSS")}

a, b = socket.socketpair()
a.settimeout(10)
b.settimeout(10)
chan = Connection(b, max_frame=4 << 30)
claim = 1 << 30
if sys.argv[1] == "stream":
    data = b"LM\x01\x00" + struct.pack("<IQ", 0, claim) + b"\x80\x05abc"
else:
    data = b"LM\x01\x00" + struct.pack("<IQQ", 1, 4, claim) + b"\x80\x05N." + b"abc"
before = status()
a.sendall(data)
a.close()
try:
    chan.recv()
except Exception as e:
    error = type(e).__name__
else:
    error = None
print(json.dumps({"error": error, "closed": chan.closed, "before": before, "after": status()}))
"""


@pytest.mark.parametrize("where", ["stream", "buffer"])
def test_claimed_length_does_not_allocate(where):
    """A header that claims 1 GiB (allowed by a raised limit), then a few bytes and
    the end of the stream: memory grows with what arrives, not with the claim."""
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHECK, where], capture_output=True, text=True, timeout=60, check=True
    )
    result = json.loads(out.stdout)
    assert result["error"] == "ConnectionResetError" and result["closed"]
    before, after = result["before"], result["after"]
    limit = 128 * MiB
    assert after["VmHWM"] - before["VmHWM"] < limit  # resident memory
    assert after["VmPeak"] - before["VmPeak"] < limit  # address space: catches untouched allocations too


class Unpicklable:
    def __reduce__(self):
        raise ValueError("refuses to pickle")


@pytest.mark.parametrize(
    "bad, error",
    [(lambda: 0, pickle.PicklingError), (threading.Lock(), TypeError), (Unpicklable(), ValueError)],
    ids=["lambda", "lock", "reduce-raises"],
)
def test_send_of_unpicklable_object_leaves_stream_intact(raw, bad, error):
    peer, chan = raw
    # A large leading part is handed to the writer before the bad object is reached.
    with pytest.raises(error):
        chan.send([b"x" * (300 * 1024), "y" * (200 * 1024), bad])
    assert not chan.closed
    assert not readable(peer, 0), "bytes of the failed message went out"
    chan.send(("next", 1))
    assert decode(peer) == (0, ("next", 1))
    peer.sendall(encode("reply"))
    assert chan.recv() == "reply"


# ------------------------------------------------------------ end of stream


def test_end_of_stream(channels):
    tx, rx = channels
    tx.send("last")
    tx.close()
    assert rx.recv() == "last"  # what arrived before the end is still delivered
    assert not rx.closed
    with pytest.raises(ConnectionResetError, match="closed by the peer"):
        rx.recv()
    assert_dead(rx)


def test_reset_by_the_peer():
    a, b = tcp_pair()
    with a, b:
        chan = Connection(b)
        linger_reset(a)
        assert readable(b, TIMEOUT)
        with pytest.raises(ConnectionResetError):
            chan.recv()
        assert_dead(chan)


def test_receive_time_out_closes_the_channel():
    for partial in (b"", GOOD[:10]):
        a, b = unix_pair(timeout=0.2)
        with a, b:
            chan = Connection(b)
            assert chan.timeout == pytest.approx(0.2)
            a.sendall(partial)
            with pytest.raises(TimeoutError):
                chan.recv()
            assert_dead(chan)


def test_a_waiting_channel_follows_the_sockets_time_out():
    # A channel waits on a socket with a time-out in a single blocking receive.
    # The socket stays usable on its own, and a later settimeout() (which makes
    # the descriptor non-blocking again, or changes the time-out) is followed.
    a, b = unix_pair(timeout=5)
    with a, b:
        chan = Connection(b)
        peer = Connection(a)
        sender = threading.Timer(0.05, peer.send, args=(("late", 1),))
        sender.start()
        assert chan.recv() == ("late", 1)
        sender.join()

        # The socket's own methods still honour its time-out.
        b.settimeout(0.05)
        with pytest.raises(TimeoutError):
            b.recv(1)

        b.settimeout(5)
        sender = threading.Timer(0.05, peer.send, args=("after settimeout",))
        sender.start()
        assert chan.recv() == "after settimeout"  # waited, not timed out at once
        sender.join()

        b.settimeout(0.2)
        sender = threading.Timer(0.05, peer.send, args=("short time-out",))
        sender.start()
        assert chan.recv() == "short time-out"
        sender.join()

        # Without a time-out again, the socket's own calls wait as long as it takes.
        b.settimeout(None)
        chan.send("ping")
        assert peer.recv() == "ping"
        sender = threading.Timer(0.6, a.sendall, args=(b"z",))
        sender.start()
        assert b.recv(1) == b"z"  # not BlockingIOError from a time-out left on the descriptor
        sender.join()

        b.settimeout(0.25)
        with pytest.raises(TimeoutError, match=r"no progress from the peer in 0\.25 s"):
            chan.recv()
        assert_dead(chan)


@pytest.mark.parametrize("kind", sorted(PAIRS))
def test_send_after_the_peer_has_gone(kind):
    a, b = PAIRS[kind]()
    with a, b:
        chan = Connection(b)
        a.close()
        with pytest.raises((ConnectionResetError, ConnectionAbortedError, BrokenPipeError)):
            # The first write may still be accepted by the kernel; a later one fails.
            for _ in range(1000):
                chan.send(b"x" * 65536)
        assert chan.closed


def linger_reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()  # with a zero linger time: a reset, not an orderly close


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    "kind, stale, how",
    [
        ("socketpair", b"", "close"),
        ("socketpair", b"stale bytes", "close"),
        ("tcp", b"", "close"),
        ("tcp", b"", "reset"),
        ("tcp", GOOD, "close"),
    ],
)
def test_flush_notices_a_departed_peer_without_blocking(kind, stale, how):
    a, b = PAIRS[kind](timeout=None)  # no time-out: a blocking flush would hang (pytest-timeout)
    with a, b:
        chan = Connection(b)
        a.sendall(stale)
        if how == "reset":
            linger_reset(a)
        else:
            a.close()
        assert readable(b, TIMEOUT)
        with pytest.raises(ConnectionResetError):
            chan.flush()
        assert_dead(chan)


@pytest.mark.timeout(60)
def test_flush_on_a_live_channel_returns_at_once(sockets):
    a, b = sockets
    a.settimeout(None)
    b.settimeout(None)
    chan, other = Connection(b), Connection(a)
    assert chan.flush() is None
    assert chan.flush() is None
    other.send("after")
    assert chan.recv() == "after"


def test_flush_discards_stale_input(raw):
    peer, chan = raw
    # Two frames in one write: the channel reads the second one ahead with the first.
    peer.sendall(encode("first") + encode("stale, read ahead"))
    assert chan.recv() == "first"
    peer.sendall(encode("stale, still in the socket"))
    assert readable(chan._socket, TIMEOUT)
    assert chan.flush() is None
    peer.sendall(encode("fresh"))
    assert chan.recv() == "fresh"


def test_close(sockets):
    a, _ = sockets
    chan = Connection(a)
    assert not chan.closed and chan.fileno() == a.fileno() >= 0
    assert chan.close() is None
    assert chan.closed and a.fileno() == -1 and chan.fileno() == -1
    chan.close()  # twice is fine
    assert bool(chan) is True  # a channel is true in a truth test, closed or not
    for call in (chan.recv, lambda: chan.send(1), chan.flush):
        with pytest.raises(ConnectionAbortedError):
            call()


def test_closed_flag(sockets):
    a, b = sockets
    chan = Connection(a)
    assert chan._closed is False and bool(chan)
    chan._closed = True
    assert chan.closed is True and chan._closed is True
    with pytest.raises(ConnectionAbortedError):
        chan.recv()
    with pytest.raises(ConnectionAbortedError):
        chan.send(1)
    with pytest.raises(AttributeError):
        chan.closed = False  # read-only; only _closed is settable


def test_socket_closed_behind_the_channel(sockets):
    a, _ = sockets
    chan = Connection(a)
    a.close()
    with pytest.raises(ConnectionAbortedError):
        chan.recv()
    assert chan.closed


def test_attributes(sockets):
    a, _ = sockets
    chan = Connection(a)
    assert chan._socket is a
    assert chan._onwebs is False
    chan._onwebs = True
    assert chan._onwebs is True
    assert chan.max_frame == 16 << 30
    assert chan.timeout == pytest.approx(TIMEOUT)
    chan.extra = "instances have a __dict__"
    assert chan.extra == "instances have a __dict__"


def test_tcp_nodelay_is_set():
    a, b = tcp_pair()
    with a, b:
        assert b.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) == 0
        Connection(b)
        assert b.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0


@pytest.mark.parametrize("bad", [5, "socket", None, object()])
def test_connection_needs_a_socket(bad):
    with pytest.raises(TypeError):
        Connection(bad)


def test_connection_of_a_closed_socket_is_an_os_error():
    a, b = unix_pair()
    a.close()
    b.close()
    with pytest.raises(OSError):
        Connection(a)


# ------------------------------------------------------------------ Ctrl+C

INTERRUPTED = """
import socket, sys
from lumo.ring import Connection

a, b = socket.socketpair()
b.settimeout(None if sys.argv[1] == "none" else float(sys.argv[1]))
chan = Connection(b)
print("waiting", flush=True)
try:
    if sys.argv[2] == "recv":
        chan.recv()
    else:  # far more than the socket buffers, and the peer never reads
        chan.send(b"x" * (64 << 20))
finally:
    print("closed" if chan.closed else "open", flush=True)
"""


def sleeping(pid):
    """The child has one thread: once it prints "waiting", the only place where it
    sleeps is the channel's system call."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S"
    except OSError:
        return False


@pytest.mark.timeout(60)
@pytest.mark.parametrize("timeout", ["none", "300"])
@pytest.mark.parametrize("op", ["recv", "send"])
def test_ctrl_c_interrupts_a_waiting_channel(tmp_path, op, timeout):
    script = tmp_path / "interrupted.py"
    script.write_text(textwrap.dedent(INTERRUPTED))
    proc = subprocess.Popen(
        [sys.executable, str(script), timeout, op], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert proc.stdout.readline().strip() == "waiting"
        deadline = time.monotonic() + 20
        while not sleeping(proc.pid):  # the call has started and sleeps in the kernel
            assert time.monotonic() < deadline, "the child never blocked"
            try:
                proc.wait(timeout=0.01)
            except subprocess.TimeoutExpired:
                continue
            pytest.fail(f"the child ended early: {proc.stderr.read()}")
        os.kill(proc.pid, signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            pytest.fail(f"SIGINT did not interrupt {op}()")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode != 0
    assert "KeyboardInterrupt" in err
    assert f"chan.{op}(" in err
    assert out.strip() == "closed"


# ---------------------------------------------------------------- get_port


def fnv1a_port(name):
    h = 2166136261
    for byte in name.encode():
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return 10000 + h % 22000


NAMES = ["calc", "", "a", "service-1", "service-2", "Ünïcödé ✓", "x" * 1000]


def test_get_port_is_the_same_in_another_process():
    code = "import json, sys; from lumo.ring import get_port; print(json.dumps([get_port(n) for n in json.loads(sys.argv[1])]))"
    env = dict(os.environ, PYTHONHASHSEED="12345")  # a different str hash: the port must not depend on it
    out = subprocess.run(
        [sys.executable, "-c", code, json.dumps(NAMES)], capture_output=True, text=True, timeout=60, check=True, env=env
    )
    here = [get_port(n) for n in NAMES]
    assert json.loads(out.stdout) == here
    # Fixed across versions too: a client and a server installed apart must agree.
    assert here == [fnv1a_port(n) for n in NAMES]
    assert all(type(p) is int and 10000 <= p <= 31999 for p in here)


def test_get_port_spreads_names():
    ports = [get_port(f"service{i}") for i in range(500)]
    assert all(10000 <= p <= 31999 for p in ports)
    assert len(set(ports)) > 480


def test_get_port_wants_a_str():
    with pytest.raises(TypeError) as info:
        get_port(5)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got int)"


# ------------------------------------------------------------- the compact encoding

def frame_flag(value):
    """The flags byte of the frame the channel writes for value."""
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(5)
        Connection(a).send(value)
        return read_exact(b, 16)[3]


shared_list = [1]


@pytest.mark.parametrize(
    "value, flag",
    [
        ((2, 7, "calc.add", (1, 2), {"x": 3}), 1),
        ((3, 1, [None, True, 1.5, b"ab", "héllo", {"k": (1,)}]), 1),
        (2**63 - 1, 1),
        (2**63, 0),                    # beyond 64 bits: pickle
        (ValueError("x"), 0),          # not a plain built-in
        ({1, 2}, 0),
        ([shared_list, shared_list], 0),  # a shared list must arrive shared
        (b"x" * (1 << 17), 0),         # large payloads: pickle, without a copy
        ("\udcff", 0),                # no UTF-8 form
        (True.__class__(1), 1),
    ],
)
def test_small_plain_messages_use_the_compact_encoding(value, flag):
    assert frame_flag(value) == flag


def test_compact_messages_keep_their_exact_types_and_shared_lists_stay_shared(channels):
    tx, rx = channels
    value = (2, -5, "ä", (1.0, -0.0, float("inf")), {"a": [None, False]}, b"\x00")
    got = trip(tx, rx, value)
    assert got == value and [type(x) for x in got] == [type(x) for x in value]
    assert str(got[3][1]) == "-0.0"
    inner = [1, 2]
    got = trip(tx, rx, [inner, inner])
    assert got[0] is got[1]


def test_compact_strings_come_back_exact_whatever_was_received_before(channels):
    # Short ASCII strings are shared between messages: many names that differ
    # in one character or in length, received again and again, must each come
    # back as themselves; longer and non-ASCII strings take the other path.
    tx, rx = channels
    names = [f"f{i}" for i in range(600)] + ["", "a", "a\x00", "x" * 32, "x" * 33, "é", "calc.add"]
    for _ in range(2):
        got = trip(tx, rx, names)
        assert got == names and all(type(x) is str for x in got)
    for name in names:
        assert trip(tx, rx, (2, 1, name, (), {}))[2] == name


def compact_frame(payload, flags=1, nbuf=0):
    table = struct.pack("<Q", 1) * nbuf
    return b"LM\x01" + bytes([flags]) + struct.pack("<IQ", nbuf, len(payload)) + table + payload + b"x" * nbuf


@pytest.mark.parametrize(
    "payload",
    [
        b"",                                   # nothing at all (rejected as an empty stream)
        b"i\x01\x02",                          # truncated int
        b"s" + struct.pack("<I", 10) + b"abc",  # length past the end
        b"(" + struct.pack("<I", 2**31) + b"N",  # a count far past the end: no huge tuple made
        b"{" + struct.pack("<I", 1) + b"[" + struct.pack("<I", 0) + b"N",  # unhashable key
        b"s" + struct.pack("<I", 2) + b"\xff\xfe",  # not UTF-8
        b"NN",                                  # bytes after the message
        b"?",                                   # unknown tag
        b"(" + struct.pack("<I", 1) * 1 + (b"(" + struct.pack("<I", 1)) * 40 + b"N",  # nested too deep
    ],
)
def test_malformed_compact_frames_end_the_channel_with_a_clear_error(payload):
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(5)
        rx = Connection(b)
        a.sendall(compact_frame(payload))
        with pytest.raises(ConnectionAbortedError):
            rx.recv()
        assert rx.closed


def test_unknown_frame_flags_and_compact_frames_with_buffers_are_refused():
    for frame in (compact_frame(b"N", flags=2), compact_frame(b"N", nbuf=1)):
        a, b = socket.socketpair()
        with a, b:
            b.settimeout(5)
            rx = Connection(b)
            a.sendall(frame)
            with pytest.raises(ConnectionAbortedError):
                rx.recv()
            assert rx.closed


def test_large_bytes_travel_out_of_band_and_arrive_as_bytes(channels):
    tx, rx = channels
    big = bytes(range(256)) * 2048  # 512 KiB: over the out-of-band threshold
    small = b"s" * 1000
    got = trip(tx, rx, [big, big, small, {"k": big}, ValueError(big)])
    assert type(got[0]) is bytes and got[0] == big
    assert got[0] is got[1] is got[3]["k"]  # one object sent once, arriving as one object
    assert got[2] == small and got[4].args == (big,)


def test_a_forged_out_of_band_reference_is_refused():
    # A stream that asks persistent_load for a buffer that is not a whole bytes object.
    stream = b"\x80\x05K\x01Q."  # BININT1 1, BINPERSID, STOP: asks for buffer 1
    frame = header(2, len(stream)) + struct.pack("<QQ", 2**63 | 3, 3) + stream + b"abc" + b"xyz"
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(5)
        rx = Connection(b)
        a.sendall(frame)
        with pytest.raises(ConnectionAbortedError, match="out-of-band reference"):
            rx.recv()
        assert rx.closed
