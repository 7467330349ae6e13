"""Fuzz target: the server's request path, through a real Server over loopback TCP.

One lumo.server.Server publishes fuzzlib.Target under the alias "fz" on 127.0.0.1 for the
whole run (in this process, so a crash in the server is a crash of the target). Each input
opens a fresh connection and, depending on byte 0:

- bit 0 clear (objects): the rest feeds a data provider that builds one to four messages,
  mostly well-formed requests with arbitrary message ids, names, argument tuples and keyword
  dicts, and every way of being malformed (wrong tag, wrong length, names that are not texts,
  lists, sets, nested junk). Each goes out through a Connection, and then:
  * a message the server can parse (a tuple or list of five, element 0 the request tag,
    element 2 a text) must be answered with (RESPONSE, same message id, result) on the same
    connection; for fz.echo the result must be exactly what the call gives locally;
  * any other message must end the connection without an answer;
- bit 0 set (raw): the rest is written as it is (the seeds are valid frames); the client
  half-closes, and the server must answer with well-formed responses only and then close.

Neither a hang (no answer, no close, within 10 s) nor a crash is allowed, and a control
connection opened at the start must keep being served: every 16 inputs it is pinged, and
the server's connection statistics must shrink back to that one connection.
"""

import os
import socket
import sys
import threading
import time

try:
    import atheris
except ImportError:  # replaying inputs (tests/test_regressions.py) needs no fuzzer
    atheris = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402

fuzzlib.guard_unpickling({"fuzzlib": {"Target"}})

if atheris is not None:
    with atheris.instrument_imports(include=["lumo"]):
        import lumo.kelto
        import lumo.server
        from lumo.ring import Connection
else:
    import lumo.kelto
    import lumo.server
    from lumo.ring import Connection

REQUEST, RESPONSE = 2, 3
TIMEOUT = 10.0   # an answer or a close takes milliseconds; this long means the server hangs
CHECK_EVERY = 16


class Finding(AssertionError):
    pass


def start_server():
    import logging
    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)  # a log line per connection is noise here
    server = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=fuzzlib.Target(), alias="fz")
    server.log = lumo.kelto.Skrivo("fz", exclude=["lumo", "velkor", "druset"])
    errors = []

    def handle_error(request, client_address):  # an exception out of a handler's set-up
        errors.append(sys.exc_info()[1])

    server.handle_error = handle_error
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, errors


SERVER, SERVER_ERRORS = start_server()
PORT = SERVER.server_address[1]
ITERATIONS = 0


def connect():
    sock = socket.create_connection(("127.0.0.1", PORT), timeout=TIMEOUT)
    sock.settimeout(TIMEOUT)
    return Connection(sock)


CONTROL = connect()


def call(conn, msgid, name, *args):
    conn.send((REQUEST, msgid, name, args, {}))
    return conn.recv()


def check_server():
    """The control connection is served, and no statistics entry outlives its connection."""
    got = call(CONTROL, ITERATIONS, "fz.ping", "alive")
    if got != (RESPONSE, ITERATIONS, "alive"):
        raise Finding(f"control connection answered {got!r}")
    deadline = time.monotonic() + TIMEOUT
    while len(SERVER.statistics) > 1:
        if time.monotonic() > deadline:
            raise Finding(f"statistics keep {len(SERVER.statistics)} entries after their connections closed")
        time.sleep(0.001)
    if SERVER_ERRORS:
        raise Finding(f"a handler failed outside its request loop: {SERVER_ERRORS[0]!r}")


def expect_closed(conn, what):
    try:
        got = conn.recv()
    except TimeoutError as e:
        raise Finding(f"server neither answered nor closed after {what}") from e
    except ConnectionError:
        return
    raise Finding(f"server answered {what} with {got!r}")


def check_answer(got, msg):
    if not (type(got) is tuple and len(got) == 3 and got[0] == RESPONSE):
        raise Finding(f"malformed response {got!r} to {msg!r}")
    if not fuzzlib.same(got[1], msg[1]):
        raise Finding(f"response id {got[1]!r} for request id {msg[1]!r}")
    name = msg[2]
    if name.split(".")[:2] == ["fz", "echo"]:
        kind, expected = fuzzlib.echo_expected(msg[3], msg[4])
        if isinstance(msg[4], (set, frozenset)):
            # The order of a set does not survive pickling, and dict() of a set of pairs keeps
            # the last of equal keys, or fails on whichever bad element it meets first: only
            # the kind of answer is certain.
            if kind == "ok" and not (type(got[2]) is tuple and len(got[2]) == 2):
                raise Finding(f"fz.echo answered {got[2]!r}, expected a value")
            if kind == "error" and not isinstance(got[2], Exception):
                raise Finding(f"fz.echo answered {got[2]!r}, expected an error value")
            return
        if kind == "ok" and isinstance(msg[3], (set, frozenset)) and isinstance(got[2], tuple) and len(got[2]) == 2:
            # the elements of a set arrive as a tuple in any order
            got = (got[0], got[1], (frozenset(got[2][0]), got[2][1]))
            expected = (frozenset(expected[0]), expected[1])
        if kind == "ok" and not fuzzlib.same(got[2], expected):
            raise Finding(f"fz.echo answered {got[2]!r}, expected {expected!r}")
        if kind == "error" and not (isinstance(got[2], Exception) and str(got[2]).startswith(expected.__name__)):
            raise Finding(f"fz.echo answered {got[2]!r}, expected a {expected.__name__} error value")


def run_objects(fdp):
    build = fuzzlib.Builder(fdp)
    conn = None
    try:
        for _ in range(1 + build.pick(4)):
            msg = build.request()
            if conn is None or conn.closed:
                conn = connect()
            try:
                conn.send(msg)
            except OSError:
                raise
            except Exception:
                continue  # not encodable on this side: nothing was written
            if not fuzzlib.answerable(msg, REQUEST):
                expect_closed(conn, f"the malformed message {msg!r}")
                continue
            try:
                got = conn.recv()
            except TimeoutError as e:
                raise Finding(f"no answer to {msg!r}") from e
            except ConnectionAbortedError as e:
                if "cannot decode" in str(e):
                    continue  # an answer came, but holds something this side refuses to unpickle
                raise Finding(f"connection ended instead of an answer to {msg!r}: {e!r}") from e
            except ConnectionError as e:
                raise Finding(f"connection ended instead of an answer to {msg!r}: {e!r}") from e
            check_answer(got, msg)
    finally:
        if conn is not None:
            conn.close()


def run_raw(data):
    sock = socket.create_connection(("127.0.0.1", PORT), timeout=TIMEOUT)
    try:
        sock.settimeout(TIMEOUT)
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            return  # the server may close before it has read everything
        conn = Connection(sock, max_frame=1 << 20)
        for _ in range(len(data) // 17 + 1):  # a frame has at least 17 bytes
            try:
                got = conn.recv()
            except TimeoutError as e:
                raise Finding("server neither answered nor closed on raw input") from e
            except ConnectionError:
                return
            if not (type(got) is tuple and len(got) == 3 and got[0] == RESPONSE):
                raise Finding(f"malformed response {got!r} on raw input")
        raise Finding("more responses than frames")
    finally:
        sock.close()


def TestOneInput(data):
    global ITERATIONS
    ITERATIONS += 1
    if data and data[0] & 1:
        run_raw(data[1:])
    else:
        run_objects(DataProvider(data[1:]))
    if ITERATIONS % CHECK_EVERY == 0:
        check_server()


def DataProvider(data):
    if atheris is None:
        raise RuntimeError("object-mode inputs need atheris's FuzzedDataProvider: pip install atheris")
    return atheris.FuzzedDataProvider(data)


if __name__ == "__main__":
    fuzzlib.main(TestOneInput)
