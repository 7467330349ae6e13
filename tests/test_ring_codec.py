"""lumo.ring.Encoder and Decoder against Connection.send and recv: the same bytes, the same
messages, the same refusals with the same errors."""

import pickle
import socket
import struct
import threading

import numpy as np
import pytest

from lumo.ring import Connection, Decoder, Encoder

TIMEOUT = 10.0
MiB = 1 << 20


class Unpicklable:
    def __reduce__(self):
        return (eval, ("no_such_name_here",))


MESSAGES = {
    "compact": (3, 7, ("calc.add", 1, 2.5, None, {"k": [True, b"x"]})),
    "pickled": ValueError("boom"),
    "numpy-out-of-band": [np.arange(300_000, dtype=np.int64), "small", np.ones((3, 4))],
    "large-bytes": {"a": b"a" * (3 * MiB), "b": b"a" * 10},
    "large-stream": "s" * (2 * MiB),
}


def sent_bytes(obj, max_frame=None):
    """What Connection.send writes for obj, read raw from the other end of a socket pair."""
    a, b = socket.socketpair()
    with a, b:
        a.settimeout(TIMEOUT)
        b.settimeout(TIMEOUT)
        chan = Connection(a) if max_frame is None else Connection(a, max_frame=max_frame)
        got = bytearray()

        def read():
            while True:
                data = b.recv(1 << 20)
                if not data:
                    return
                got.extend(data)

        reader = threading.Thread(target=read)
        reader.start()
        chan.send(obj)
        chan.close()
        reader.join(TIMEOUT)
        assert not reader.is_alive()
        return bytes(got)


def received_error(data):
    """What Connection.recv raises for data followed by the end of the stream."""
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(TIMEOUT)
        chan = Connection(b)
        a.sendall(data)
        a.shutdown(socket.SHUT_WR)
        with pytest.raises(Exception) as caught:
            chan.recv()
        return caught.value


def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape and (a == b).all()
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, BaseException):
        return type(a) is type(b) and a.args == b.args
    return a == b


@pytest.mark.parametrize("name", list(MESSAGES))
def test_frames_are_those_of_send_and_decode_in_any_cut(name):
    obj = MESSAGES[name]
    pieces = Encoder().encode(obj)
    frame = b"".join(pieces)
    assert frame == sent_bytes(obj)
    # Out-of-band buffers leave as views of the message's own memory, not copies.
    if name == "numpy-out-of-band":
        assert any(isinstance(p, memoryview) and p.obj is not None and len(p) == 300_000 * 8 for p in pieces)
    step = 1 if len(frame) < 4096 else 65_537
    dec = Decoder()
    got = []
    for i in range(0, len(frame), step):
        got += dec.feed(frame[i:i + step])
        assert not got or i + step >= len(frame)  # nothing before the frame is whole
    assert len(got) == 1 and same(got[0], obj)
    assert not dec.pending


def test_several_frames_in_one_feed_and_a_frame_across_feeds():
    enc = Encoder()
    stream = b"".join(b"".join(enc.encode(m)) for m in [(3, i, i * i) for i in range(50)])
    dec = Decoder()
    cut = len(stream) // 2 + 3
    first = dec.feed(stream[:cut])
    assert dec.pending
    assert first + dec.feed(stream[cut:]) == [(3, i, i * i) for i in range(50)]


def header(nbuf, plen, flags=0, magic=b"LM", version=1):
    return magic + bytes([version, flags]) + struct.pack("<IQ", nbuf, plen)


GOOD = b"".join(Encoder().encode(("fine", 1)))
STREAM = pickle.dumps(("x", 1), protocol=5)

BAD = {
    "bad-magic": b"XY" + GOOD[2:],
    "bad-version": GOOD[:2] + b"\x07" + GOOD[3:],
    "oversize": header(1, 10) + struct.pack("<Q", 1 << 40),
    "empty-stream": header(0, 0),
    # a memo index far past the stream's end: refused before the unpickler runs
    "pickle-memo-index": header(0, 8) + b"\x80\x05r\xff\xff\xff\x7f.",
    "pickle-truncated-length": header(0, 12) + b"\x80\x05\x8e" + struct.pack("<Q", 1 << 40)[:8] + b".",
    "pickle-does-not-load": header(0, len(pickle.dumps(Unpicklable()))) + pickle.dumps(Unpicklable()),
    "bad-compact": header(0, 3, flags=1) + b"i\x01\x02",
}


@pytest.mark.parametrize("name", list(BAD))
def test_bad_frames_are_refused_with_the_error_of_recv(name):
    data = BAD[name]
    want = received_error(data)
    dec = Decoder()
    with pytest.raises(type(want)) as caught:
        dec.feed(data)
    assert str(caught.value) == str(want)
    # The stream is lost after a bad frame: every later feed says why.
    assert dec.broken
    with pytest.raises(type(want)):
        dec.feed(GOOD)


def test_messages_before_a_bad_frame_come_first():
    dec = Decoder()
    assert dec.feed(GOOD + GOOD + BAD["bad-magic"]) == [("fine", 1), ("fine", 1)]
    with pytest.raises(ConnectionAbortedError, match="bad frame header"):
        dec.feed(b"")
    assert isinstance(dec.eof(), ConnectionAbortedError)


@pytest.mark.parametrize("cut", [0, 5, len(GOOD) - 1])
def test_end_of_stream_is_the_error_of_recv(cut):
    dec = Decoder()
    dec.feed(GOOD[:cut])
    want = received_error(GOOD[:cut])
    got = dec.eof()
    assert type(got) is type(want) and str(got) == str(want)


def test_frame_limit_is_that_of_the_channel():
    big = b"x" * 5000
    a, b = socket.socketpair()
    with a, b, pytest.raises(ValueError) as sent:
        Connection(a, max_frame=1000).send(big)
    with pytest.raises(ValueError) as encoded:
        Encoder(max_frame=1000).encode(big)
    assert str(encoded.value) == str(sent.value)
    frame = b"".join(Encoder().encode(big))
    with pytest.raises(ConnectionAbortedError, match="over the limit of 1000 bytes"):
        Decoder(max_frame=1000).feed(frame[:16])  # the header alone is enough
