"""A server and a client in one typed program, which `mypy --strict` accepts.

    python examples/typed_program.py
    python -m mypy --strict examples/typed_program.py

It publishes examples/calc.py on a background thread, then calls it the ways a client does:
through the module's proxy, through a proxy for one function, and with nothing listening.
"""
from __future__ import annotations

import logging
import socket
import sys

import calc  # examples/calc.py, next to this file
from lumo.client import connect
from lumo.server import serve


def free_port() -> int:
    """A port that nothing listens on right now."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def main() -> int:
    # lumo logs through the standard logging module, under the logger "lumo": this program
    # reports what happens itself, so lumo's own lines are switched off.
    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)

    port = free_port()
    serve(calc, alias="calc", port=port, thread=True)  # listening when serve() returns

    remote = connect("calc", port=port, timeout=10.0)  # a _RemoteClass: attributes are functions
    total: object = remote.add(1, 2)
    print("calc.add(1, 2) ->", repr(total))

    # A failed call comes back as an Exception instance: the call returns it, it raises nothing.
    error: object = remote.div(1, 0)
    print("calc.div(1, 0) ->", repr(error))

    div = connect("calc.div", port=port, timeout=10.0, types="function")  # a _RemoteMethod
    quotient: object = div(7, 2)
    print("calc.div(7, 2) ->", repr(quotient))

    pid, _ = remote.getpid()  # a service function that every published object answers
    print("server process:", pid)

    # With nothing listening, the call returns None and the client never got a connection.
    nobody = connect("calc", port=free_port(), timeout=10.0)
    missing: object = nobody.add(1, 2)
    print("no server ->", repr(missing), "| connected:", nobody._client._connection is not None)

    ok = (total == 3 and isinstance(error, ZeroDivisionError) is False
          and isinstance(error, Exception) and "division by zero" in str(error)
          and quotient == 3.5 and missing is None and nobody._client._connection is None)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
