"""Writes the committed seed corpus: a handful of valid frames, as the channel itself encodes them.

    python fuzz/make_seeds.py          # rewrites fuzz/seeds/{frames,server}/

Each seed starts with the set-up byte that the targets read first (see fuzz_frames.py and
fuzz_server.py), followed by the bytes of one or more frames: as the channel sends them
(its compact encoding for plain values), and, in the files named *.pickle, as pickle frames.
"""

import os
import pickle
import socket
import struct
import sys

from lumo.ring import Connection

HERE = os.path.dirname(os.path.abspath(__file__))


def frames(*objs):
    """The bytes that Connection.send() writes for each of objs, in a row."""
    a, b = socket.socketpair()
    a.settimeout(5)
    b.settimeout(5)
    try:
        tx = Connection(a)
        for obj in objs:
            tx.send(obj)
        a.shutdown(socket.SHUT_WR)
        out = bytearray()
        while chunk := b.recv(1 << 16):
            out += chunk
        return bytes(out)
    finally:
        a.close()
        b.close()


REQ = 2
SEEDS = {
    "frames": {
        "none": (0x03, [None]),
        "request": (0x03, [(REQ, 1, "fz.echo", (1, "two", 3.0), {"k": b"v"})]),
        "response": (0x02, [(3, 7, [1, 2, {"a": (None, True)}])]),
        "two_messages": (0x0B, [(REQ, 1, "fz.ping", ("x",), {}), (REQ, 2, "fz.stats", (), {})]),
        "out_of_band": (0x0B, [pickle.PickleBuffer(b"0123456789abcdef" * 4), pickle.PickleBuffer(bytearray(3))]),
        "exception": (0x0A, [ValueError("bad", 3)]),
        "big_int_text": (0x0B, [(2 ** 200, "\u00e9t\u00e9" * 40, frozenset({1, 2}))]),
        "flush_first": (0x07, [("stale", b"x" * 40)]),
    },
    # fuzz_server.py: set-up byte with bit 0 set = the rest is raw frames written to the server
    "server": {
        "call": (0x01, [(REQ, 1, "fz.echo", (1, 2), {"x": 3})]),
        "list_request": (0x01, [[REQ, 2, "fz.ping", ["p"], {}]]),
        "three_calls": (0x01, [(REQ, 1, "fz.none", (), {}), (REQ, 2, "fz.boom", (), {}),
                               (REQ, 3, "fz.stats", (), {})]),
        "unknown_then_bad": (0x01, [(REQ, 1, "nope.x", (), {}), (REQ, 2, "fz.echo")]),
        "not_a_tuple": (0x01, ["hello"]),
        "unpicklable_result": (0x01, [(REQ, 5, "fz.unpicklable", (), {}), (REQ, 6, "fz.echo", (0,), {})]),
    },
}


def pickle_frames(*objs):
    """The same messages framed as pickle (flags 0), the way the channel sends what its compact
    encoding does not cover."""
    out = bytearray()
    for obj in objs:
        buffers = []
        stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
        raws = [bytes(b.raw()) for b in buffers]
        out += b"LM\x01\x00" + struct.pack("<IQ", len(raws), len(stream))
        out += b"".join(struct.pack("<Q", len(r)) for r in raws) + stream + b"".join(raws)
    return bytes(out)


def bytes_out_of_band_frame(blobs, obj):
    """A frame whose bytes objects `blobs` travel out of band; in `obj`, ints stand for blob i."""

    class Pickler(pickle.Pickler):
        def persistent_id(self, o):
            return o.index if isinstance(o, Ref) else None

    class Ref:
        def __init__(self, index):
            self.index = index

    stream_obj = tuple(Ref(x) if isinstance(x, int) else x for x in obj)
    import io
    out = io.BytesIO()
    Pickler(out, protocol=5).dump(stream_obj)
    stream = out.getvalue()
    table = b"".join(struct.pack("<Q", len(b) | 1 << 63) for b in blobs)
    return b"LM\x01\x00" + struct.pack("<IQ", len(blobs), len(stream)) + table + stream + b"".join(blobs)


def main():
    for target, seeds in SEEDS.items():
        d = os.path.join(HERE, "seeds", target)
        os.makedirs(d, exist_ok=True)
        for name, (setup, objs) in seeds.items():
            native = frames(*objs)  # compact where the channel chooses it, else pickle
            with open(os.path.join(d, name), "wb") as f:
                f.write(bytes([setup]) + native)
            forced = pickle_frames(*objs)
            if forced != native:
                with open(os.path.join(d, name + ".pickle"), "wb") as f:
                    f.write(bytes([setup]) + forced)
    # large bytes objects travel out of band, marked by the top bit of their length in the
    # buffer table and referred to by a persistent id; small ones make a small seed all the same
    d = os.path.join(HERE, "seeds", "frames")
    with open(os.path.join(d, "bytes_out_of_band"), "wb") as f:
        f.write(b"\x0b" + bytes_out_of_band_frame([b"first", b"second"], ("x", 0, 1, 0)))
    # a few object-mode inputs for the server target: fixed byte patterns the data provider reads
    d = os.path.join(HERE, "seeds", "server")
    for i, pattern in enumerate((b"\x00" * 64, bytes(range(256)), b"\x02\x10" * 40)):
        with open(os.path.join(d, f"objects_{i}"), "wb") as f:
            f.write(pattern)
    return 0


if __name__ == "__main__":
    sys.exit(main())
