"""Where a failed call failed: the server's traceback in the error value and in its DEBUG line,
and the logging options of the command line."""
from __future__ import annotations

import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import traceback
from pathlib import Path

import pytest

from lumo.client import connect
from lumo.kelto import Skrivo
from lumo.server import serve
from netutil import free_port
from test_cli import TIMEOUT, Served, lumo


def _inner(a: float, b: float) -> float:
    return a / b


def div(a: float, b: float) -> float:
    return _inner(a, b)


def test_error_value_carries_the_server_traceback(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="lumo")
    port = free_port()
    serve(div, "tbdiv", port=port, thread=True)
    result = connect("tbdiv", port=port, timeout=10.0, types="function")(1, 0)
    text = "ZeroDivisionError in tbdiv(1, 0): division by zero"
    assert type(result) is Exception and str(result) == text and result.args == (text,)
    shown = "".join(traceback.format_exception(result))
    assert shown.startswith(f"Exception: {text}\nTraceback of the failed call (most recent call last):\n")
    assert ", in div\n" in shown and ", in _inner\n" in shown
    assert shown.endswith("ZeroDivisionError: division by zero\n")
    debug = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG and r.name == "lumo.tbdiv"]
    assert len(debug) == 1 and ", in _inner\n" in debug[0] and "Traceback" in debug[0]


def _deep(n: int) -> None:
    if n:
        _deep(n - 1)
    raise ValueError("\n".join(["é" * 300] * 60))


def test_traceback_note_is_bounded() -> None:
    err = Exception("ValueError in f(): ...")
    try:
        _deep(100)
    except ValueError:
        assert Skrivo("calc").error(err) is err
    (note,) = err.__notes__
    lines = note.splitlines()
    assert len(lines) <= 40 and len(note.encode()) <= 8192 and max(map(len, lines)) <= 240
    assert "lines left out" in lines[1] and lines[-1] == "é" * 237 + "..."  # the innermost end stays
    assert err.args == ("ValueError in f(): ...",)
    Skrivo("calc").error(err)  # handed to the logger again: no second copy of the note
    assert err.__notes__ == [note]


def test_call_traceback_option(tmp_path: Path) -> None:
    server = Served(tmp_path, "examples/calc.py")
    try:
        done = lumo("call", "calc.div", "1", "0", "--port", str(server.port), "--traceback")
    finally:
        server.close()
    assert done.returncode == 1
    assert "calc.py\", line" in done.stderr and ", in div\n" in done.stderr
    assert done.stderr.endswith("\nlumo call: ZeroDivisionError in calc.div(1, 0): division by zero\n")


@pytest.mark.parametrize("options, shown, hidden", [
    ((), [" INFO ", " ERROR "], ["Traceback"]),
    (("--log-level", "debug"), [" INFO ", " ERROR ", "Traceback"], []),
    (("--log-level", "WARNING"), [" ERROR ", " CRITICAL "], [" INFO "]),
    (("--quiet",), [], [" INFO ", " ERROR ", " CRITICAL "]),
])
def test_serve_log_options(tmp_path: Path, options: tuple[str, ...], shown: list[str],
                           hidden: list[str]) -> None:
    server = Served(tmp_path, "examples/calc.py", *options)
    try:
        assert lumo("call", "calc.div", "1", "0", "--port", str(server.port)).returncode == 1
        server.proc.send_signal(signal.SIGTERM)  # stops as Ctrl+C does, after its log lines
        server.proc.wait(timeout=TIMEOUT)
    finally:
        server.close()
    output = server.output()
    assert all(s in output for s in shown) and not any(h in output for h in hidden), output


def test_a_bad_log_level_is_refused() -> None:
    done = lumo("serve", "examples/calc.py", "--log-level", "LOUD")
    assert done.returncode == 2 and "not a log level: 'LOUD'" in done.stderr


INTERRUPTED_LOOP = """
import os, signal, threading, types
from lumo.client import connect
from lumo.kelto import reraise_interrupt
from lumo.server import serve

started, release = threading.Event(), threading.Event()
def wait():
    started.set()
    release.wait(30)
    return "answered"
m = types.ModuleType("slow"); m.wait = wait
serve(m, "slow", port=int(os.environ["PORT"]), thread=True)
slow = connect("slow", port=int(os.environ["PORT"]), timeout=30.0)
threading.Thread(target=lambda: started.wait(30) and os.kill(os.getpid(), signal.SIGINT)).start()
calls = 0
try:
    for _ in range(3):
        calls += 1
        reraise_interrupt(slow.wait())
except KeyboardInterrupt:
    print("stopped after", calls)
release.set()
print(reraise_interrupt(slow.ping(5)))
"""


def test_ctrl_c_stops_a_loop_of_calls() -> None:
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_LOOP], capture_output=True, text=True,
                          timeout=TIMEOUT, env={**os.environ, "PORT": str(free_port())})
    assert done.stdout == "stopped after 1\n5\n", done.stderr


def test_a_client_side_failure_takes_no_note_of_the_callers_exception() -> None:
    from lumo.ring import Connection

    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(10)

        def answer_wrongly() -> None:
            sock, _ = listener.accept()
            with sock:
                sock.settimeout(10)
                channel = Connection(sock)
                channel.recv()
                channel.send((3, 999, "not yours"))  # a message id the client did not send

        server = threading.Thread(target=answer_wrongly)
        server.start()
        proxy = connect("wrong", port=listener.getsockname()[1], timeout=10.0, types="function")
        try:
            raise ValueError("the caller's own trouble")
        except ValueError:
            result = proxy()
        server.join(10)
    assert str(result).startswith("Failure in wrong(): Response[") and not hasattr(result, "__notes__")
