"""The lumo command, run as `python -m lumo` in subprocesses against real servers on 127.0.0.1."""
from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from lumo.__main__ import Failure, load_target, parse_arguments
from lumo.ring import get_port
from netutil import accepts, free_port

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
TIMEOUT = 60  # seconds for any one subprocess


def lumo(*args: str, timeout: float = TIMEOUT) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "lumo", *args], cwd=ROOT, text=True,
                          capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)


def one_line(text: str) -> str:
    """The single line of a failure report; fails the test on anything else."""
    lines = text.splitlines()
    assert len(lines) == 1, f"expected one line on stderr, got {text!r}"
    assert "Traceback" not in text
    return lines[0]


def _default_sigint() -> None:
    # A shell without job control starts background jobs with SIGINT ignored, and the
    # interpreter keeps it so: give the server the Ctrl+C of a foreground process.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Served:
    """`lumo serve ...` in a subprocess: started, polled until its port accepts, always killed."""

    def __init__(self, tmp: Path, *args: str) -> None:
        self.port = free_port()
        self.log = tmp / f"serve-{self.port}.log"
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "lumo", "serve", *args, "--port", str(self.port)],
                cwd=ROOT, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                preexec_fn=_default_sigint)
        try:
            deadline = time.monotonic() + TIMEOUT
            for _ in range(10_000):
                if accepts(self.port):
                    return
                assert self.proc.poll() is None, f"the server exited: {self.output()}"
                assert time.monotonic() < deadline, "the server never accepted connections"
                time.sleep(0.05)  # polling interval, bounded by the deadline
        except BaseException:
            self.close()
            raise

    def output(self) -> str:
        return self.log.read_text()

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def calc(tmp_path_factory: pytest.TempPathFactory):
    server = Served(tmp_path_factory.mktemp("calc"), "examples/calc.py")
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def served(tmp_path: Path):
    started: list[Served] = []

    def start(*args: str) -> Served:
        started.append(Served(tmp_path, *args))
        return started[-1]

    try:
        yield start
    finally:
        for server in started:
            server.close()


# --- calls against a running server ---------------------------------------------------------------

@pytest.mark.parametrize("words, printed", [
    (["calc.add", "1", "2"], "3"),
    (["calc.add", "1.5", "-2"], "-0.5"),                 # a negative number is an argument
    (["calc.add", "'a'", "b"], "'ab'"),                  # a literal, and text as itself
    (["calc.add", "[1]", "[2, 3]"], "[1, 2, 3]"),
    (["calc.total", "1", "2", "3", "start=10"], "16"),   # KEY=VALUE is a keyword argument
    (["calc.add", "1", "--timeout", "5", "2"], "3"),     # options may come between arguments
    (["calc.add", "--", "-x", "-y"], "'-x-y'"),          # "--" ends the options
])
def test_call_prints_the_repr_of_the_result(calc: Served, words: list[str], printed: str) -> None:
    done = lumo("call", "--port", str(calc.port), *words)
    assert (done.returncode, done.stdout, done.stderr) == (0, printed + "\n", "")


@pytest.mark.parametrize("words, error", [
    (["calc.div", "1", "0"], "ZeroDivisionError in calc.div(1, 0): division by zero"),
    (["calc.nope"], 'AttributeError in calc.nope(): "calc" has no attribute "nope"'),
    (["calc.add", "1"], "TypeError in calc.add(1): "),
])
def test_call_reports_an_error_value_on_one_line(calc: Served, words: list[str], error: str) -> None:
    done = lumo("call", *words, "--port", str(calc.port))
    assert done.returncode == 1 and done.stdout == ""
    assert one_line(done.stderr).startswith("lumo call: " + error)


def test_ping_pid_and_stats(calc: Served) -> None:
    port = str(calc.port)
    done = lumo("ping", "calc", "--port", port)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(rf"calc at 127\.0\.0\.1:{port} answered in [0-9.]+ ms\n", done.stdout)

    done = lumo("pid", "calc", "--port", port)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(calc.proc.pid), str(os.getpid())]

    # A connection of this process, with two calls on it, shows in the server's statistics.
    from lumo.client import connect

    remote = connect("calc", port=calc.port, timeout=TIMEOUT)
    assert remote.add(1, 2) == 3 and remote.add(3, 4) == 7
    (host, local_port) = remote.laddr
    done = lumo("stats", "calc", "--port", port)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"calc at 127.0.0.1:{port}: ")  # N connection(s)
    assert f"  {host}:{local_port}  calc.add 2\n" in done.stdout


def test_stop_ends_the_server(served) -> None:
    server = served("examples/calc.py")
    done = lumo("stop", "calc", "--port", str(server.port))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"stopped calc at 127.0.0.1:{server.port} (pid {server.proc.pid})\n"
    # terminate() sends SIGTERM, which `lumo serve` takes like Ctrl+C: a clean stop, status 0.
    assert server.proc.wait(timeout=TIMEOUT) == 0
    assert "Stopping calc at" in server.output()
    assert not accepts(server.port)


def test_serve_stops_on_ctrl_c(served) -> None:
    server = served("examples/calc.py", "--alias", "sum")
    assert lumo("call", "sum.add", "2", "3", "--port", str(server.port)).stdout == "5\n"
    server.proc.send_signal(signal.SIGINT)
    assert server.proc.wait(timeout=TIMEOUT) == 0
    assert f"sum is serving at 127.0.0.1:{server.port}" in server.output()
    assert "Stopping sum at" in server.output()


def test_the_counter_and_array_examples(served) -> None:
    counter = served("examples/counter.py:counter")
    port = str(counter.port)
    assert lumo("call", "counter.increment", "--port", port).stdout == "1\n"
    assert lumo("call", "counter.increment", "by=5", "--port", port).stdout == "6\n"
    assert lumo("call", "counter.value", "--port", port).stdout == "6\n"

    pytest.importorskip("numpy")
    arrays = served("examples/arrays.py")
    done = lumo("call", "arrays.summary", "[1, 2, 3, 4]", "--port", str(arrays.port))
    assert done.returncode == 0, done.stderr
    assert eval(done.stdout) == {"size": 4, "mean": 2.5, "std": 1.118033988749895,
                                 "min": 1.0, "max": 4.0}


def test_the_typed_example_program_runs() -> None:
    done = subprocess.run([sys.executable, str(EXAMPLES / "typed_program.py")], cwd=ROOT,
                          text=True, capture_output=True, timeout=TIMEOUT,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "calc.add(1, 2) -> 3" in done.stdout


def test_call_without_an_answer_in_time(served, tmp_path: Path) -> None:
    module = tmp_path / "stuck.py"
    module.write_text("import threading\n\n"
                      "def wait():\n    threading.Event().wait(60)\n")
    server = served(str(module))
    done = lumo("call", "stuck.wait", "--timeout", "0.5", "--port", str(server.port))
    assert done.returncode == 1 and done.stdout == ""
    assert one_line(done.stderr) == (f"lumo call: no answer from stuck at "
                                      f"127.0.0.1:{server.port} within 0.5 s")


# --- failures: one line on stderr, a non-zero status ----------------------------------------------

@pytest.mark.parametrize("command", [["call", "calc.add", "1", "2"], ["ping", "calc"],
                                     ["stats", "calc"], ["pid", "calc"], ["stop", "calc"]])
def test_no_server_is_one_line(command: list[str]) -> None:
    port = free_port()  # nothing listens there
    done = lumo(*command, "--port", str(port))
    assert done.returncode == 1 and done.stdout == ""
    line = one_line(done.stderr)
    assert line.startswith(f"lumo {command[0]}: cannot reach calc at 127.0.0.1:{port}: ")
    assert "refused" in line


@pytest.mark.parametrize("target, error", [
    ("no_such_module_x.sub", "cannot import 'no_such_module_x.sub': no module named "
                             "'no_such_module_x'"),
    ("examples/no_such_file.py", "no such file: examples/no_such_file.py"),
    ("examples/calc.py:nope", "examples/calc.py has no attribute 'nope'"),
    ("math:sqrt", "cannot publish 'sqrt': it takes no attributes"),
    ("not-a-module", "'not-a-module' is neither a module name"),
])
def test_serve_of_a_bad_target_is_one_line(target: str, error: str) -> None:
    done = lumo("serve", target, "--port", str(free_port()))
    assert done.returncode != 0 and done.stdout == ""
    assert one_line(done.stderr).startswith("lumo serve: " + error)


def test_serve_of_a_module_that_fails_to_import(tmp_path: Path) -> None:
    broken = tmp_path / "broken.py"
    broken.write_text("import os\nvalue = 1 / 0\n")
    done = lumo("serve", str(broken), "--port", str(free_port()))
    assert done.returncode == 1
    line = one_line(done.stderr)
    assert "ZeroDivisionError: division by zero" in line and "line 2" in line


def test_serve_on_a_busy_port_is_one_line() -> None:
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        done = lumo("serve", "examples/calc.py", "--port", str(port))
    assert done.returncode == 1
    assert one_line(done.stderr).startswith(f"lumo serve: cannot listen on 127.0.0.1:{port}: ")


@pytest.mark.parametrize("words, error", [
    (["frob"], "lumo: argument COMMAND: invalid choice: 'frob'"),
    ([], "lumo: choose a command"),
    (["call"], "lumo call: the following arguments are required: NAME.FUNC"),
    (["call", "calc.add", "--frob"], "lumo: unrecognized arguments: --frob"),
    (["call", "calc.add", "[1, 2"], "lumo call: '[1, 2' is not a valid Python literal"),
    (["call", "calc.a.b"], "lumo call: bad function name 'calc.a.b'"),
    (["ping", "calc", "--port", "70000"], "lumo ping: argument --port: port 70000 is outside"),
    (["serve", "examples/calc.py", "--alias", "a.b"], "lumo serve: the alias 'a.b' must be"),
])
def test_a_bad_command_line_is_one_line(words: list[str], error: str) -> None:
    done = lumo(*words)
    assert done.returncode == 2 and done.stdout == ""
    assert one_line(done.stderr).startswith(error)


def test_port_is_get_port() -> None:
    for name in ("calc", "counter", "a-service"):
        done = lumo("port", name)
        assert (done.returncode, done.stdout) == (0, f"{get_port(name)}\n")


# --- the pieces, in this process ------------------------------------------------------------------

def test_arguments_are_literals_else_text() -> None:
    args, kwds = parse_arguments(["1", "-2.5", "None", "x", "(1, 'a')", "'k=v'", "a b",
                                  "n=3", "s=text", "d={'a': [1]}", "e=", "x==1"])
    assert args == [1, -2.5, None, "x", (1, "a"), "k=v", "a b"]
    assert kwds == {"n": 3, "s": "text", "d": {"a": [1]}, "e": "", "x": "=1"}
    with pytest.raises(Failure, match="given twice"):
        parse_arguments(["k=1", "k=2"])
    with pytest.raises(Failure, match="not a valid Python literal"):
        parse_arguments(["k={'a': }"])


@pytest.fixture
def clean_imports(monkeypatch: pytest.MonkeyPatch):
    """load_target() changes sys.path and sys.modules as an import does: undo it afterwards."""
    monkeypatch.setattr(sys, "path", sys.path[:])
    before = set(sys.modules)
    yield
    for name in set(sys.modules) - before:
        del sys.modules[name]


@pytest.mark.usefixtures("clean_imports")
def test_targets_and_their_default_aliases(monkeypatch: pytest.MonkeyPatch) -> None:
    import json
    import os.path

    monkeypatch.chdir(ROOT)
    assert load_target("json") == (json, "json")
    assert load_target("os.path") == (os.path, "path")
    assert load_target("json:dumps") == (json.dumps, "dumps")
    assert load_target("json:JSONDecoder.decode") == (json.JSONDecoder.decode, "decode")

    calc, alias = load_target("examples/calc.py")
    assert (alias, calc.add(1, 2)) == ("calc", 3)
    assert sys.modules["calc"] is calc  # so that what it defines pickles by reference
    add, alias = load_target("examples/calc.py:add")
    assert (alias, add(2, 2)) == ("add", 4)
    counter, alias = load_target(str(EXAMPLES / "counter.py") + ":counter")
    assert (alias, counter.increment(2)) == ("counter", 2)  # an instance: its attribute name
