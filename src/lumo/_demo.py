"""`python -m lumo demo`: publish a small calculator on a background thread of this process and
call it through a client, printing each call and what came back.

The demo prints every result itself, error values included, so lumo's own log lines (which a
real server writes to standard error) are held back while it runs: the output is the demo's
lines alone.
"""

from __future__ import annotations

import logging
import socket
import time
import types
from typing import Any, Callable

ALIAS = "calc"


class Counter:
    """A class published next to the functions: calling it remotely makes an instance on the
    server, which comes back by value."""

    def __init__(self, start: int = 0) -> None:
        self.value = start

    def __repr__(self) -> str:
        return f"Counter({self.value})"


def _calculator() -> types.ModuleType:
    calc = types.ModuleType(ALIAS, "A calculator built for the demo.")

    def add(a, b):
        return a + b

    def mul(a, b):
        return a * b

    def div(a, b):
        return a / b

    def power(base, exp=2):
        return base ** exp

    for f in (add, mul, div, power):
        setattr(calc, f.__name__, f)
    calc.Counter = Counter
    return calc


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_until(done: Callable[[], bool], seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def main() -> int:
    from lumo.client import connect
    from lumo.server import serve

    lumo_log = logging.getLogger("lumo")
    saved_level = lumo_log.level
    lumo_log.setLevel(logging.CRITICAL + 1)
    try:
        calc = _calculator()
        port = _free_port()
        serve(calc, ALIAS, port=port, thread=True)  # bound and listening when it returns
        print(f"lumo demo: {ALIAS!r} is served on 127.0.0.1:{port} by a thread of this process")

        remote = connect(ALIAS, port=port, timeout=10)

        def show(text: str, result: Any) -> None:
            print(f"  {text:<28} -> {result!r}")

        show("calc.add(1, 2)", remote.add(1, 2))
        show("calc.mul(6, 7)", remote.mul(6, 7))
        show("calc.power(2, exp=10)", remote.power(2, exp=10))
        show("calc.Counter(5)", remote.Counter(5))
        show("calc.ping('hello')", remote.ping("hello"))

        failed = remote.div(1, 0)
        print(f"  {'calc.div(1, 0)':<28} -> an error value, returned, not raised:")
        print(f"      isinstance(result, Exception) is {isinstance(failed, Exception)}: {failed}")

        print("  calc.stats(), the server's calls per connection:")
        for address, calls in remote.stats().items():
            counts = ", ".join(f"{name} x{entry['count']}" for name, entry in calls.items())
            print(f"      {address[0]}:{address[1]}: {counts}")
        print(f"  local {remote.laddr} -> server {remote.raddr}")

        # Leave quietly: close the connection and let the server see the client go before the
        # log level comes back (the server's statistics lose the entry when it has).
        address = remote.laddr
        remote._client.close()
        _wait_until(lambda: address not in calc.stats(), 2.0)
    finally:
        lumo_log.setLevel(saved_level)
    print("done: a server started with lumo.server.serve() logs its connections and failed calls "
          "on standard error")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
