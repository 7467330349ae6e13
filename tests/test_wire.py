"""Frames built by hand as docs/wire.md lays them out, answered by a live server."""
from __future__ import annotations

import io
import pickle
import socket
import struct
import types

import pytest

from lumo.server import serve
from netutil import free_port

MARK = 1 << 63  # buffer table: the buffer is a whole bytes object


def header(flags: int, plen: int, table: tuple[int, ...] = ()) -> bytes:
    return b"LM" + struct.pack("<BBIQ", 1, flags, len(table), plen) + struct.pack(f"<{len(table)}Q", *table)


# The compact encoding, one tag and its data per value.
def c_int(v: int) -> bytes:
    return b"i" + struct.pack("<q", v)


def c_str(text: str) -> bytes:
    data = text.encode()
    return b"s" + struct.pack("<I", len(data)) + data


def c_seq(tag: bytes, items: list[bytes]) -> bytes:
    return tag + struct.pack("<I", len(items)) + b"".join(items)


def c_request(msgid: int, name: str, args: list[bytes]) -> bytes:
    payload = c_seq(b"(", [c_int(2), c_int(msgid), c_str(name), c_seq(b"(", args), c_seq(b"{", [])])
    return header(1, len(payload)) + payload


def read_exactly(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        got = sock.recv(n - len(data))
        if not got:
            raise ConnectionError(f"closed after {len(data)} of {n} bytes")
        data += got
    return data


def read_frame(sock: socket.socket) -> tuple[int, bytes]:
    """(flags, payload) of a frame without buffers."""
    head = read_exactly(sock, 16)
    assert head[:3] == b"LM\x01"
    flags, nbuf, plen = head[3], *struct.unpack("<IQ", head[4:])
    assert nbuf == 0
    return flags, read_exactly(sock, plen)


@pytest.fixture(scope="module")
def wire():
    module = types.ModuleType("wire")
    module.add = lambda a, b: a + b
    module.kind = lambda *values: tuple((type(v).__name__, len(v)) for v in values)
    port = free_port()
    serve(module, "wire", port=port, thread=True)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        yield sock


def test_the_example_frame_of_the_document(wire: socket.socket) -> None:
    frame = c_request(1, "wire.add", [c_int(1), c_int(2)])
    assert len(frame) == 80 and frame[:16].hex(" ") == "4c 4d 01 01 00 00 00 00 40 00 00 00 00 00 00 00"
    wire.sendall(frame)
    assert read_frame(wire) == (1, c_seq(b"(", [c_int(3), c_int(1), c_int(3)]))


def test_compact_request_answered_by_a_pickled_error_value(wire: socket.socket) -> None:
    wire.sendall(c_request(7, "wire.add", [c_int(1), c_str("x")]))
    flags, payload = read_frame(wire)
    tag, msgid, err = pickle.loads(payload)
    assert (flags, tag, msgid, type(err)) == (0, 3, 7, Exception)
    assert str(err).startswith("TypeError in wire.add(1, 'x'): unsupported operand")


def test_pickle_frame_with_buffers_and_a_marked_bytes_object(wire: socket.socket) -> None:
    big, small = b"B" * 1000, bytearray(b"oob")

    class Marking(pickle.Pickler):
        def persistent_id(self, obj: object) -> int | None:
            return 0 if obj is big else None  # index 0 of the buffer table

    buffers: list[pickle.PickleBuffer] = []
    stream = io.BytesIO()
    Marking(stream, 5, buffer_callback=buffers.append).dump(
        (2, 9, "wire.kind", (big, pickle.PickleBuffer(small)), {}))
    payload = stream.getvalue()
    assert len(buffers) == 1
    wire.sendall(header(0, len(payload), (len(big) | MARK, len(small))) + payload + big + small)
    assert read_frame(wire) == (1, c_seq(b"(", [c_int(3), c_int(9), c_seq(b"(", [
        c_seq(b"(", [c_str("bytes"), c_int(1000)]), c_seq(b"(", [c_str("bytearray"), c_int(3)])])]))

