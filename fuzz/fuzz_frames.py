"""Fuzz target: the channel's frame decoding (lumo.ring.Connection.recv, and lumo.ring.Decoder
fed the same bytes in pieces).

Input layout: byte 0 chooses the set-up (the channel's max_frame, and whether flush() runs
first); the rest is what the peer writes before it closes its end of a socket pair. The
receiving channel then reads frames until it raises.

What must hold for every input:
- recv() returns an object or raises ConnectionError, OSError or TimeoutError: anything
  else (a stray exception type, a crash, a hang) is a finding;
- after a raise the channel is closed, and recv() on it raises ConnectionAbortedError;
- the peer has closed its end, so the channel sees the end of the stream: a time-out
  means the decoder waits for bytes that never come, and is a finding too;
- each decoded object goes back out through send() on a second pair and comes in again
  equal (or, for what cannot be pickled, send() raises a pickling error and leaves that
  channel open and usable);
- a Decoder fed the same bytes in pieces gives the same messages and then the same error.

Run through `python fuzz/run.py frames`, which builds a coverage-instrumented copy of the
extension modules first. Running this file directly works with the normal build as well.
"""

import os
import socket
import sys

try:
    import atheris
except ImportError:  # replaying inputs (tests/test_regressions.py) needs no fuzzer
    atheris = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402

fuzzlib.guard_unpickling()

if atheris is not None:
    # fuzz/run.py preloads libFuzzer (with ASan) when the modules are instrumented.
    with atheris.instrument_imports(include=["lumo"]):
        from lumo.ring import Connection, Decoder
else:
    from lumo.ring import Connection, Decoder

MAX_FRAMES = (64, 4096, 65536, 4 << 20)  # small limits: the fuzzer must not make it allocate much
RECV_TIMEOUT = 5.0                       # far above what a local read of a few KiB takes
EXPECTED = (ConnectionError, OSError)    # TimeoutError and the connection errors are OSErrors
MIN_FRAME = 17                           # a 16-byte header and at least one byte of payload


class Finding(AssertionError):
    pass


def roundtrip(obj):
    """Send obj through a fresh channel pair and check what arrives."""
    a, b = socket.socketpair()
    try:
        a.settimeout(RECV_TIMEOUT)
        b.settimeout(RECV_TIMEOUT)
        tx, rx = Connection(a), Connection(b)
        try:
            tx.send(obj)
        except OSError as e:
            raise Finding(f"send() of a decoded object failed with {e!r}") from e
        except Exception:
            # Not encodable (a memoryview from an out-of-band buffer, say): the pickling
            # error must leave the channel open and the stream intact.
            if tx.closed:
                raise Finding("a pickling error closed the channel")
            tx.send(("after", 1))
            got = rx.recv()
            if got != ("after", 1):
                raise Finding(f"stream damaged after a pickling error: {got!r}")
            return
        got = rx.recv()
        if not fuzzlib.same(got, obj):
            raise Finding(f"round trip changed the object: {obj!r} -> {got!r}")
    finally:
        a.close()
        b.close()


def decoder_agrees(stream, max_frame, piece, received, error):
    """The Decoder, fed `stream` in pieces of `piece` bytes, against what recv() gave."""
    dec = Decoder(max_frame=max_frame)
    got = []
    try:
        for i in range(0, len(stream), piece):
            got += dec.feed(stream[i:i + piece])
        end = dec.eof()
    except EXPECTED as e:
        end = e
    if len(got) != len(received) or not all(fuzzlib.same(x, y) for x, y in zip(got, received)):
        raise Finding(f"the Decoder gave {got!r}, recv() {received!r}")
    if type(end) is not type(error) or str(end) != str(error):
        raise Finding(f"the Decoder ended with {end!r}, recv() with {error!r}")


def TestOneInput(data):
    if not data:
        return
    setup, stream = data[0], data[1:]
    max_frame = MAX_FRAMES[setup & 3]
    a, b = socket.socketpair()
    try:
        a.sendall(stream)  # a few KiB at most: fits the pair's buffer
        a.close()
        b.settimeout(RECV_TIMEOUT)
        conn = Connection(b, max_frame=max_frame)
        if setup & 4:
            try:
                conn.flush()  # discards what is buffered: then recv() sees the end of stream
            except EXPECTED:
                if not conn.closed:
                    raise Finding("flush() raised but the channel stays open")
                return
        received = []
        for _ in range(len(stream) // MIN_FRAME + 1):
            try:
                obj = conn.recv()
            except TimeoutError as e:
                raise Finding(f"recv() timed out although the peer closed: {e}") from e
            except EXPECTED as e:
                if not conn.closed:
                    raise Finding("recv() raised but the channel stays open")
                error = e
                try:
                    conn.recv()
                except ConnectionAbortedError:
                    pass
                else:
                    raise Finding("recv() on a closed channel returned")
                decoder_agrees(stream, max_frame, 1 + (setup >> 4) * 97, received, error)
                return
            if conn.closed:
                raise Finding("recv() returned but closed the channel")
            received.append(obj)
            if setup & 8 and len(stream) < 100_000:
                roundtrip(obj)
        raise Finding("more messages decoded than the bytes can hold")
    finally:
        a.close()
        b.close()


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
