"""lumo.server.serve, start and terminate: in this process with fakes, and in subprocesses for the
interrupt and the end of a process tree."""

import errno
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
import types

import psutil
import pytest

import lumo.server as server
from lumo.ring import Connection
from recorders import RecordingLog
from netutil import free_port

TIMEOUT = 30


@pytest.fixture
def logs(monkeypatch):
    made = []

    def skrivo(*args, **kwds):
        made.append(RecordingLog(*args, **kwds))
        return made[-1]

    monkeypatch.setattr(server, "Skrivo", skrivo)
    return made


@pytest.fixture
def servers(monkeypatch):
    """Records the servers that serve() makes, and stops them at the end."""
    made = []

    class Recording(server.Server):
        def __init__(self, *args, **kwds):
            super().__init__(*args, **kwds)
            made.append(self)

    monkeypatch.setattr(server, "Server", Recording)
    yield made
    for s in made:
        s.shutdown()
        s.server_close()


def make_calc():
    calc = types.ModuleType("calcmod")
    calc.add = lambda a, b: a + b
    return calc


def connect(port):
    """A channel to 127.0.0.1:port, retried while the server is still binding (10 s at most)."""
    tick = threading.Event()
    for attempt in range(200):
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
            return Connection(sock)
        except ConnectionRefusedError:
            if attempt == 199:
                raise
            tick.wait(0.05)


def call(channel, msgid, name, *args):
    channel.send((server.REQUEST, msgid, name, args, {}))
    return channel.recv()


# ----------------------------------------------------------------- serve in this process

def test_serve_on_a_thread_asks_get_port_once(monkeypatch, logs, servers):
    port = free_port()
    asked = []
    monkeypatch.setattr(server, "get_port", lambda name: asked.append(name) or port)
    calc = make_calc()
    assert server.serve(calc, "calc", thread=True) is None
    assert asked == ["calc"]
    [log] = logs
    assert log.made_with == (("calc",), {"exclude": ["lumo", "velkor", "druset"]})
    assert log.lines == [("info", f"calc is serving at 127.0.0.1:{port}")]
    [srv] = servers
    assert srv.log is log and srv._server == {"calc": calc} and srv.server_address == ("127.0.0.1", port)
    channel = connect(port)
    assert call(channel, 1, "calc.add", 2, 3) == (server.RESPONSE, 1, 5)
    channel.close()


def test_serve_with_a_port_never_asks_get_port(monkeypatch, logs, servers):
    port = free_port()
    monkeypatch.setattr(server, "get_port", lambda name: pytest.fail("get_port called"))
    assert server.serve(make_calc(), "calc", "127.0.0.1", port, True) is None
    assert logs[0].lines == [("info", f"calc is serving at 127.0.0.1:{port}")]
    channel = connect(port)
    assert call(channel, 1, "calc.ping", "p") == (server.RESPONSE, 1, "p")
    channel.close()


def test_serve_with_nothing_but_the_object(monkeypatch, logs, servers):
    port = free_port()
    asked = []
    monkeypatch.setattr(server, "get_port", lambda name: asked.append(name) or port)
    calc = make_calc()
    server.serve(calc, thread=True)
    assert asked == [""] and logs[0].made_with[0] == ("",)
    assert servers[0]._server == {"": calc}


@pytest.mark.parametrize("kwds", [{"port": True}, {"alias": None}, {"host": None}])
def test_type_errors_come_before_anything(logs, kwds):
    with pytest.raises(TypeError, match="^Argument '.*' has incorrect type"):
        server.serve(make_calc(), **kwds)
    assert logs == []


def test_get_port_must_give_an_int(monkeypatch, logs):
    monkeypatch.setattr(server, "get_port", lambda name: "8080")
    with pytest.raises(TypeError) as info:
        server.serve(make_calc(), "calc")
    assert str(info.value) == "Expected int, got str"
    assert len(logs) == 1 and logs[0].lines == []


def test_a_port_in_use_fails_after_the_announcement(logs):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        with pytest.raises(OSError) as info:
            server.serve(make_calc(), "calc", port=port)
    assert info.value.errno == errno.EADDRINUSE
    assert logs[0].lines == [("info", f"calc is serving at 127.0.0.1:{port}")]


# ----------------------------------------------------------------- start

def quiet_server():
    srv = server.Server(("127.0.0.1", 0), server.RequestHandler, obj=make_calc(), alias="calc")
    srv.log = RecordingLog()
    return srv


def test_start_returns_when_the_server_is_shut_down():
    srv = quiet_server()
    result = []
    t = threading.Thread(target=lambda: result.append(server.start(srv)))
    t.start()
    srv.shutdown()
    t.join(TIMEOUT)
    try:
        assert result == [None]
        assert srv.log.lines == []
        assert srv.socket.fileno() != -1  # not closed
    finally:
        srv.server_close()


def test_start_stops_on_an_interrupt(monkeypatch):
    srv = quiet_server()
    address = srv.server_address
    ended = []
    monkeypatch.setattr(server, "terminate", lambda *a, **k: ended.append((a, k)))

    def interrupted():
        raise KeyboardInterrupt

    srv.serve_forever = interrupted
    assert server.start(srv) is None
    assert srv.socket.fileno() == -1
    assert srv.log.lines == [("warning", f"Stopping calc at {address}!!!")]
    assert ended == []
    assert server.start(srv, clean=True) is None
    assert ended == [((), {})]


def test_start_lets_other_failures_through():
    srv = quiet_server()

    def broken():
        raise OSError("select failed")

    srv.serve_forever = broken
    try:
        with pytest.raises(OSError, match="select failed"):
            server.start(srv, True)
        assert srv.socket.fileno() != -1 and srv.log.lines == []
    finally:
        srv.server_close()


# ----------------------------------------------------------------- terminate in this process

@pytest.fixture
def prints(monkeypatch):
    seen = []
    monkeypatch.setattr(server, "iprint", lambda value: seen.append(value) or ("printed", len(seen)))
    return seen


def test_terminate_can_only_report(prints):
    own = psutil.Process()
    children = own.children(recursive=True)
    assert server.terminate(0, True, False) == ("printed", 2)
    assert prints[0] == "Wait for cleaning ..."
    assert prints[1].startswith("[") and prints[1].count("psutil.Process(") == len(children) + 1
    assert f"pid={os.getpid()}" in prints[1].rsplit("psutil.Process(", 1)[1]
    assert server.terminate(wait=0, itself=False, kill=False) == ("printed", 4)
    assert prints[3] == str(children)


@pytest.mark.parametrize("wait", [2.5, True, None])
def test_terminate_checks_wait_before_anything(prints, wait):
    with pytest.raises(TypeError, match="^Argument 'wait' has incorrect type"):
        server.terminate(wait)
    assert prints == []


def test_terminate_without_psutil(prints, monkeypatch):
    monkeypatch.setitem(sys.modules, "psutil", None)
    assert server.terminate() == ("printed", 1)
    [err] = prints
    assert isinstance(err, ImportError)


class FakeProcess:
    def __init__(self, name, journal, fail=None):
        self._name, self.journal, self.fail = name, journal, fail

    def terminate(self):
        self.journal.append(("terminate", self._name))
        if self.fail:
            raise self.fail

    def kill(self):
        self.journal.append(("kill", self._name))

    def name(self):
        return self._name


class NoSuchProcess(Exception):
    pass


class AccessDenied(Exception):
    pass


def fake_psutil(journal, children, alive):
    psutil_ = types.ModuleType("psutil")
    psutil_.NoSuchProcess = NoSuchProcess
    own = FakeProcess("own", journal)
    own.children = lambda recursive: journal.append(("children", recursive)) or list(children)
    psutil_.Process = lambda: own

    def wait_procs(procs, *rest, **kwds):
        journal.append(("wait", [p.name() for p in procs], rest, kwds))
        return [p for p in procs if p not in alive], list(alive)

    psutil_.wait_procs = wait_procs
    return psutil_


def test_terminate_signals_all_then_waits_then_kills(monkeypatch, capsys, prints):
    journal = []
    ghost = FakeProcess("ghost", journal, NoSuchProcess())
    stubborn = FakeProcess("stubborn", journal)
    fake = fake_psutil(journal, [ghost, stubborn], [stubborn])
    monkeypatch.setitem(sys.modules, "psutil", fake)
    monkeypatch.setattr(time, "sleep", lambda s: journal.append(("sleep", s)))
    gone, alive = server.terminate(7, False)
    assert journal == [("sleep", 7), ("children", True), ("terminate", "ghost"), ("terminate", "stubborn"),
                       ("wait", ["ghost", "stubborn"], (), {}), ("kill", "stubborn")]
    assert [p.name() for p in gone] == ["ghost"] and alive == [stubborn]
    assert capsys.readouterr().out == "No such process ghost\n"
    assert prints == ["Wait for cleaning ..."]


def test_terminate_stops_at_a_refusal(monkeypatch):
    journal = []
    first = FakeProcess("first", journal, AccessDenied("no"))
    second = FakeProcess("second", journal)
    monkeypatch.setitem(sys.modules, "psutil", fake_psutil(journal, [first, second], []))
    with pytest.raises(AccessDenied):
        server.terminate(0, False)
    assert journal == [("children", True), ("terminate", "first")]


# ----------------------------------------------------------------- subprocesses

class Child:
    """A Python subprocess whose output lines are collected by reader threads."""

    def __init__(self, script, *args):
        self.proc = subprocess.Popen([sys.executable, "-c", script, *map(str, args)], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.out, self.err = queue.Queue(), queue.Queue()
        self.out_lines, self.err_lines = [], []
        for stream, q in [(self.proc.stdout, self.out), (self.proc.stderr, self.err)]:
            threading.Thread(target=self._read, args=(stream, q), daemon=True).start()

    @staticmethod
    def _read(stream, q):
        for line in stream:
            q.put(line.rstrip("\n"))
        q.put(None)

    def wait_for(self, q, lines, predicate):
        deadline = time.monotonic() + TIMEOUT
        while True:
            line = q.get(timeout=max(0.1, deadline - time.monotonic()))
            if line is None:
                raise AssertionError(f"output ended; stderr so far: {self.err_lines}")
            lines.append(line)
            if predicate(line):
                return line

    def wait_err(self, predicate):
        return self.wait_for(self.err, self.err_lines, predicate)

    def wait_out(self, predicate):
        return self.wait_for(self.out, self.out_lines, predicate)

    def finish(self):
        rc = self.proc.wait(TIMEOUT)
        for q, lines in [(self.out, self.out_lines), (self.err, self.err_lines)]:
            while (line := q.get(timeout=TIMEOUT)) is not None:
                lines.append(line)
        return rc

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(TIMEOUT)


SERVE_SCRIPT = """
import subprocess, sys, types
import lumo.server as server

children = []
calc = types.ModuleType("calc")
calc.add = lambda a, b: a + b

def spawn():
    children.append(subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"]))
    return children[-1].pid

calc.spawn = spawn
full = server.terminate

def quick(*args):  # start calls terminate() without arguments: skip its pause
    return full(*args) if args else full(0)

server.terminate = quick
result = server.serve(calc, "calc", port=int(sys.argv[1]), clean=sys.argv[2] == "1")
print("serve returned", result, flush=True)
"""


@pytest.fixture
def child():
    made = []
    yield lambda *args: made.append(Child(*args)) or made[-1]
    for c in made:
        c.kill()


def test_serve_until_interrupted(child):
    port = free_port()
    c = child(SERVE_SCRIPT, port, 0)
    c.wait_err(lambda line: line.endswith(f"calc is serving at 127.0.0.1:{port}"))
    channel = connect(port)
    assert call(channel, 1, "calc.add", 20, 22) == (server.RESPONSE, 1, 42)
    c.proc.send_signal(signal.SIGINT)
    assert c.finish() == 0
    assert c.out_lines == ["serve returned None"]
    assert any(line.endswith(f"WARNING lumo.calc: Stopping calc at ('127.0.0.1', {port})!!!")
               for line in c.err_lines)
    channel.close()


def gone(pid):
    try:
        return psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return True


def test_serve_with_clean_ends_the_process_tree(child):
    port = free_port()
    c = child(SERVE_SCRIPT, port, 1)
    c.wait_err(lambda line: "calc is serving at" in line)
    channel = connect(port)
    tag, _, grandchild = call(channel, 1, "calc.spawn")
    assert psutil.pid_exists(grandchild) and not gone(grandchild)
    c.proc.send_signal(signal.SIGINT)
    assert c.finish() == -signal.SIGTERM
    assert "serve returned None" not in c.out_lines
    assert c.out_lines[:1] == ["Wait for cleaning ..."]
    tick = threading.Event()
    for _ in range(200):  # reaped by whoever adopted it: poll for 10 s at most
        if gone(grandchild):
            break
        tick.wait(0.05)
    assert gone(grandchild)
    channel.close()


def test_a_remote_terminate_ends_the_server(child):
    port = free_port()
    c = child(SERVE_SCRIPT, port, 0)
    c.wait_err(lambda line: "calc is serving at" in line)
    channel = connect(port)
    assert call(channel, 1, "calc.add", 1, 1) == (server.RESPONSE, 1, 2)
    channel.send((server.REQUEST, 2, "calc.terminate", (0,), {}))
    with pytest.raises(ConnectionError):
        channel.recv()
    assert c.finish() == -signal.SIGTERM
    assert "serve returned None" not in c.out_lines


TERMINATE_SCRIPT = """
import subprocess, sys
import lumo.server as server

kids = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"]) for _ in range(2)]
gone, alive = server.terminate(0, False)
print(sorted(p.pid for p in gone) == sorted(k.pid for k in kids), alive, flush=True)
print("still here", flush=True)
"""


def test_terminate_ends_the_children_and_goes_on(child):
    c = child(TERMINATE_SCRIPT)
    assert c.finish() == 0
    assert c.out_lines == ["Wait for cleaning ...", "True []", "still here"]


EXIT_SCRIPT = """
import logging, socket, sys, types
import lumo.server as server
from lumo.ring import Connection

logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)
calc = types.ModuleType("calc")
calc.add = lambda a, b: a + b
port = int(sys.argv[1])
server.serve(calc, "calc", port=port, thread=True)
channels = []
for n in range(4):
    channels.append(Connection(socket.create_connection(("127.0.0.1", port), timeout=10)))
    channels[-1].send((2, 1, "calc.add", (n, 1), {}))
    assert channels[-1].recv() == (3, 1, n + 1)
print("exiting", flush=True)
"""


def test_the_interpreter_exits_cleanly_while_handlers_wait(child):
    # The handler threads are daemon threads blocked in a receive when the interpreter shuts
    # down, and the channels close under them during the shutdown.
    for _ in range(5):
        c = child(EXIT_SCRIPT, free_port())
        assert c.finish() == 0, c.err_lines
        assert c.out_lines == ["exiting"]
