"""Client calls against a fake network: the socket module and the channel class are replaced
through lumo.client's globals, the logger by a recorder."""

import socket

import pytest

import lumo.client as client
from lumo.kelto import iformat
from lumo.protocol import REQUEST, RESPONSE
from recorders import Recorder


class Net:
    """The fake network: every socket and channel operation lands in `events`, in order.

    fail(op, exc) makes the next `op` ("connect", "flush", "send", "recv") raise exc;
    reply(obj) makes the next recv return obj. Otherwise a recv answers the last request sent on
    its channel with (RESPONSE, id, ("done", name, args, kwds)).
    """

    def __init__(self):
        self.events, self.channels, self.plan, self.replies = [], [], {}, []

    def fail(self, op, exc):
        self.plan.setdefault(op, []).append(exc)

    def reply(self, obj):
        self.replies.append(obj)

    def step(self, op, *info):
        self.events.append((op,) + info)
        planned = self.plan.get(op)
        if planned:
            raise planned.pop(0)

    def ops(self, *kinds):
        return [e for e in self.events if e[0] in kinds]


class FakeSocket:
    def __init__(self, net):
        self.net = net
        net.events.append(("socket",))

    def settimeout(self, t):
        self.net.events.append(("settimeout", t))

    def connect(self, address):
        self.net.step("connect", address)

    def getsockname(self):
        return ("127.0.0.1", 50000 + len(self.net.channels))

    def getpeername(self):
        return ("127.0.0.1", 80)


class FakeChannel:
    def __init__(self, net, sock):
        self.net, self._socket, self.closed, self.last = net, sock, False, None
        net.channels.append(self)
        self.n = len(net.channels)
        net.step("channel", self.n)

    def flush(self):
        self.net.step("flush", self.n)

    def send(self, message):
        self.net.step("send", self.n, message)
        self.last = message

    def recv(self):
        self.net.step("recv", self.n)
        if self.net.replies:
            return self.net.replies.pop(0)
        return (RESPONSE, self.last[1], ("done",) + self.last[2:])


@pytest.fixture
def net(monkeypatch):
    n = Net()

    class SocketModule:
        @staticmethod
        def socket():
            return FakeSocket(n)

    monkeypatch.setattr(client, "socket", SocketModule)
    monkeypatch.setattr(client, "Connection", lambda sock: FakeChannel(n, sock))
    return n


def make(host="127.0.0.1", port=80, timeout=1000.0, alias="calc"):
    c = client.Client(host, port, timeout)
    c.log = Recorder()
    if alias is not None:
        c.alias = alias
    return c


def done(msgid, name, args=(), kwds=None):
    return ("done", name, args, {} if kwds is None else kwds)


class TestIdsAndConnections:
    def test_first_call_opens_and_numbers_from_one(self, net):
        c = make()
        assert net.events == []  # nothing before the first call
        assert c.call("calc.add", 1, 2, x=3) == done(1, "calc.add", (1, 2), {"x": 3})
        assert net.events == [
            ("socket",), ("settimeout", 1000.0), ("connect", ("127.0.0.1", 80)), ("channel", 1),
            ("flush", 1), ("send", 1, (REQUEST, 1, "calc.add", (1, 2), {"x": 3})), ("recv", 1)]
        sent = net.events[-2][2]
        assert type(sent[3]) is tuple and type(sent[4]) is dict
        assert c.call("calc.ping") == done(2, "calc.ping")
        assert net.ops("send")[-1] == ("send", 1, (REQUEST, 2, "calc.ping", (), {}))
        assert len(net.channels) == 1 and c._msgid == 2 and c.log.lines == []

    def test_ids_keep_growing_across_a_reconnect(self, net):
        c = make()
        c.call("a")
        net.channels[0].closed = True
        assert c.call("b") == done(2, "b")
        assert [e[1:] for e in net.ops("send")] == [(1, (REQUEST, 1, "a", (), {})), (2, (REQUEST, 2, "b", (), {}))]
        assert c._connection is net.channels[1]

    def test_request_uses_up_its_id_even_when_the_send_fails(self, net):
        c = make()
        c.open_connection()
        net.fail("send", ValueError("cannot encode"))
        with pytest.raises(ValueError):
            c._request("f", (1,), {})
        assert c._msgid == 1
        assert c._request("f", [1], None) is None
        assert net.ops("send")[-1] == ("send", 1, (REQUEST, 2, "f", [1], None))

    def test_request_tag_is_read_at_each_request(self, net, monkeypatch):
        c = make()
        monkeypatch.setattr(client, "REQUEST", "REQ")
        c.call("f")
        assert net.ops("send")[0][2][0] == "REQ"


class TestLostConnection:
    def test_send_reset_reconnects_and_resends_with_the_next_id(self, net):
        c = make()
        net.fail("send", ConnectionResetError("peer gone"))
        assert c.call("calc.add", 1, 2) == done(2, "calc.add", (1, 2))
        assert c.log.lines == [("critical", "@SEND: ConnectionResetErrorpeer gone")]
        assert [e for e in net.events if e[0] in ("flush", "send", "recv", "channel")] == [
            ("channel", 1), ("flush", 1), ("send", 1, (REQUEST, 1, "calc.add", (1, 2), {})),
            ("channel", 2), ("send", 2, (REQUEST, 2, "calc.add", (1, 2), {})), ("recv", 2)]

    def test_flush_broken_pipe_resends_the_id_of_the_first_attempt(self, net):
        c = make()
        c.call("a")
        net.fail("flush", BrokenPipeError("pipe"))
        assert c.call("b", 5) == done(2, "b", (5,))
        assert c.log.lines == [("critical", "@SEND: BrokenPipeErrorpipe")]
        assert net.ops("send")[-1] == ("send", 2, (REQUEST, 2, "b", (5,), {}))
        assert net.ops("flush") == [("flush", 1), ("flush", 1)]  # no flush before the resend

    def test_failed_resend_goes_on_to_receive(self, net):
        c = make()
        net.fail("send", ConnectionAbortedError("one"))
        net.fail("send", BrokenPipeError("two"))
        net.fail("recv", ConnectionResetError("three"))
        assert c.call("f") == ("critical", 3)
        assert c.log.lines == [("critical", "@SEND: ConnectionAbortedErrorone"),
                               ("critical", "@RESEND: BrokenPipeErrortwo"),
                               ("critical", "@RECV: ConnectionResetError three")]
        assert net.ops("recv") == [("recv", 2)] and c._msgid == 2

    def test_reconnect_failure_keeps_the_old_channel_and_never_raises(self, net):
        c = make()
        c.call("a")
        old = net.channels[0]
        old.closed = True
        net.fail("connect", ConnectionRefusedError(111, "Connection refused"))
        net.fail("flush", ConnectionAbortedError("closed"))
        net.fail("connect", TimeoutError("timed out"))
        net.fail("send", ConnectionAbortedError("closed"))
        net.fail("recv", ConnectionAbortedError("closed"))
        assert c.call("b") == ("critical", 5)
        kinds = [line[1].split(" ")[0] for line in c.log.lines]
        assert kinds == ["Connection", "@SEND:", "Connection", "@RESEND:", "@RECV:"]
        assert c._connection is old and len(net.channels) == 1

    @pytest.mark.parametrize("exc", [TimeoutError("sending"), RuntimeError("x"), OSError(5, "io")])
    def test_other_errors_of_the_first_attempt_propagate(self, net, exc):
        c = make()
        net.fail("send", exc)
        with pytest.raises(type(exc)):
            c.call("f")
        assert c.log.lines == [] and net.ops("recv") == []

    def test_other_errors_of_the_resend_propagate(self, net):
        c = make()
        net.fail("flush", ConnectionResetError("x"))
        net.fail("send", ValueError("cannot encode"))
        with pytest.raises(ValueError) as e:
            c.call("f")
        assert isinstance(e.value.__context__, ConnectionResetError)

    def test_loss_without_a_logger_raises_attribute_error(self, net):
        c = make()
        del c.log
        net.fail("send", ConnectionResetError("x"))
        with pytest.raises(AttributeError):
            c.call("f")


class TestReceive:
    @pytest.mark.parametrize("exc, line", [
        (TimeoutError("timed out"), "@RECV: TimeoutError timed out"),
        (ConnectionResetError("connection closed by the peer"),
         "@RECV: ConnectionResetError connection closed by the peer"),
        (KeyboardInterrupt(), "@RECV: KeyboardInterrupt "),
        (MemoryError("big"), "@RECV: MemoryError big"),
        (BufferError("buf"), "@RECV: BufferError buf"),
    ])
    def test_receive_failures_become_the_loggers_value(self, net, exc, line):
        c = make()
        net.fail("recv", exc)
        assert c.call("f") == ("critical", 1)
        assert c.log.lines == [("critical", line)]

    def test_returned_exception_object_is_logged_like_a_raised_one(self, net):
        c = make()
        net.reply(ZeroDivisionError("division by zero"))
        assert c.call("f") == ("critical", 1)
        assert c.log.lines == [("critical", "@RECV: ZeroDivisionError division by zero")]

    def test_other_receive_errors_propagate(self, net):
        c = make()
        net.fail("recv", ValueError("garbage"))
        with pytest.raises(ValueError):
            c.call("f")

    def test_wrong_message_id_gives_the_failure_value(self, net):
        c = make()
        net.reply((RESPONSE, 99, "late"))
        assert c.call("calc.add", 1, 2, x=3) == ("error", 1)
        (level, err), = c.log.lines
        assert level == "error" and type(err) is Exception
        assert err.args == ("Failure" + iformat("calc.add", (1, 2), {"x": 3})
                            + " Response[(3, 99, 'late')]: Invalid Message ID",)

    def test_none_response_gives_the_invalid_type_failure(self, net, monkeypatch):
        c = make()
        monkeypatch.setattr(client, "iformat", lambda *a: f"<{a}>")
        net.reply(None)
        assert c.call("f", 1) == ("error", 1)
        assert c.log.lines[0][1].args == ("Failure<('f', (1,), {})> Response[None]: Invalid Type (tuple or list needed)",)

    def test_parse_is_dispatched_through_the_instance(self, net):
        c = make()
        c._parse = lambda r: ("parsed", r)
        assert c.call("f") == ("parsed", (RESPONSE, 1, done(1, "f")))
        c._parse = lambda r: (_ for _ in ()).throw(KeyboardInterrupt())
        with pytest.raises(KeyboardInterrupt):
            c.call("f")

    def test_result_values_pass_unchanged(self, net):
        c = make()
        err = ValueError("remote")
        net.reply((RESPONSE, 1, None))
        net.reply((RESPONSE, 2, ("tuple",)))
        assert c.call("f") is None
        assert c.call("f") == ("tuple",)
        # An error value inside a response is a result, not a receive failure.
        net.reply((RESPONSE, 3, err))
        assert c.call("f") is err and c.log.lines == []


class Quiet:
    """A channel that keeps nothing: answers from a script, one per recv."""

    closed = False

    def __init__(self, script):
        self.script = script

    def flush(self):
        pass

    def send(self, message):
        self.last_id = message[1]

    def recv(self):
        kind, value = self.script.pop(0)
        if kind == "raise":
            raise value
        return (RESPONSE, self.last_id, value) if kind == "answer" else value


def test_no_references_are_kept_on_any_path():
    import sys
    arg, result, name = object(), object(), "calc." + "f" * 3
    err = TimeoutError("slow")
    c = make()
    before = [sys.getrefcount(o) for o in (arg, result, name, err)]
    for _ in range(200):
        c._connection = Quiet([("answer", result), ("raise", err), ("value", (RESPONSE, -1, result)),
                               ("value", err)])
        assert c.call(name, arg, k=arg) is result
        c.call(name, arg, k=arg)
        c.call(name, arg, k=arg)
        c.call(name, arg, k=arg)
        c.log.lines.clear()
    c._connection = None
    err.__traceback__ = None
    assert [sys.getrefcount(o) for o in (arg, result, name, err)] == before


class TestOpenConnection:
    FAILURE = ("Connection failed ({}), please check: \n"
               "                        1. the network is connected\n"
               "                        2. the server info(host({}) or port({})) is correct \n"
               "                        3. the server({}) has been started!")

    def test_connect_failure_logs_the_four_lines_and_call_returns_none(self, net):
        c = make(alias="Calc")
        err = ConnectionRefusedError(111, "Connection refused")
        net.fail("connect", err)
        assert c.call("Calc.add", 1) is None
        assert c.log.lines == [("critical", self.FAILURE.format(err, "127.0.0.1", 80, "Calc"))]
        assert c._connection is None and net.ops("flush", "send") == []
        assert c.call("Calc.add", 1) == done(1, "Calc.add", (1,))  # the next call tries again
        assert len(net.ops("connect")) == 2 and c._msgid == 1

    def test_open_connection_results(self, net):
        c = make()
        assert c.open_connection() is None and c.log.lines == []
        net.fail("connect", OSError(113, "No route to host"))
        assert c.open_connection() == ("critical", 1)
        assert c._connection is net.channels[0]  # the old channel stays

    def test_channel_construction_failure(self, net, monkeypatch):
        c = make()
        monkeypatch.setattr(client, "Connection", lambda sock: (_ for _ in ()).throw(OSError("closed socket")))
        assert c.open_connection() == ("critical", 1)
        monkeypatch.setattr(client, "Connection", lambda sock: (_ for _ in ()).throw(ValueError("other")))
        with pytest.raises(ValueError):
            c.open_connection()
        monkeypatch.delattr(client, "Connection")
        with pytest.raises(NameError):
            c.open_connection()

    def test_empty_host_returns_none_silently(self, net):
        c = make(host="", alias=None)
        assert c.open_connection() is None
        assert c.call("f") is None and c.call("g", 1) is None
        assert net.events == [] and c.log.lines == [] and c._msgid == 0

    def test_failure_text_needs_the_alias(self, net):
        c = make(alias=None)
        net.fail("connect", OSError("x"))
        with pytest.raises(AttributeError, match="alias"):
            c.call("f")

    def test_time_out_is_set_before_connecting(self, net):
        make(timeout=2).open_connection()
        assert net.events[:3] == [("socket",), ("settimeout", 2.0), ("connect", ("127.0.0.1", 80))]

    def test_non_str_method_is_refused_before_anything(self, net):
        c = make()
        with pytest.raises(TypeError, match=r"Argument 'method' has incorrect type \(expected str, got int\)"):
            c.call(5)
        with pytest.raises(TypeError):
            c.call()
        assert net.events == [] and c._msgid == 0


class TestAgainstNoServer:
    def test_refused_connection(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()  # nothing listens there now
        c = make(port=port, timeout=5.0, alias="calc")
        assert c.call("calc.add", 1, 2) is None
        assert c.call("calc.add", 1, 2) is None
        assert len(c.log.lines) == 2
        for level, text in c.log.lines:
            assert level == "critical" and text.startswith("Connection failed (") and text.endswith(") has been started!")
            assert f"or port({port}))" in text
        assert c._connection is None and c._msgid == 0

    def test_with_connect_and_the_real_logger(self, caplog):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        proxy = client.connect("calc", port=port, timeout=5)
        with caplog.at_level("CRITICAL", logger="lumo"):
            assert proxy.add(1, 2) is None
        (record,) = [r for r in caplog.records if r.name == "lumo.calc"]
        assert record.levelname == "CRITICAL" and record.getMessage().startswith("Connection failed (")
        assert proxy._client.open_connection() is not None  # the logger's value: a ConnectionError
