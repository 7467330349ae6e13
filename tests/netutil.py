"""Ports on 127.0.0.1 for the tests that run servers."""

import socket


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
