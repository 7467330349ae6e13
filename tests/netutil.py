"""Ports on 127.0.0.1, servers on a thread, and a bounded wait, for the tests that run servers."""

import contextlib
import socket
import threading
import time


def free_port() -> int:
    """A port that nothing listens on right now."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def accepts(port: int) -> bool:
    """Does something accept connections on the port?"""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1.0):
            return True
    except OSError:
        return False


@contextlib.contextmanager
def serving(obj, alias, timeout=30.0):
    """A lumo server on 127.0.0.1 and a free port, publishing `obj`, served on a daemon thread."""
    import lumo.server
    from lumo.kelto import Skrivo

    srv = lumo.server.Server(("127.0.0.1", 0), lumo.server.RequestHandler, obj=obj, alias=alias)
    srv.log = Skrivo(alias, exclude=["lumo", "velkor", "druset"])
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    try:
        yield srv
    finally:
        srv.shutdown()
        srv.server_close()
        thread.join(timeout)


def wait_until(predicate, what, timeout=30.0):
    """Polls `predicate` until it holds; fails naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)
