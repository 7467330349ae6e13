"""lumo.server.RequestHandler with a fake channel and a recording logger: process, setup, handle, finish."""

import gc
import pickle
import sys
import types

import pytest

import lumo.server as server
from lumo.server import RequestHandler, ServerBase
import recorders

ADDRESS = ("127.0.0.1", 999)


class FakeChannel:
    """Hands out the queued messages, then reports the end of the stream as the real channel does.
    send() encodes the whole message first, as the real channel does, and records it."""

    def __init__(self, *incoming):
        self.incoming = list(incoming)
        self.sent = []
        self._onwebs = False
        self._closed = False
        self.socket = None

    @property
    def closed(self):
        return self._closed

    def recv(self):
        if not self.incoming:
            raise ConnectionResetError("connection closed by the peer")
        item = self.incoming.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item

    def send(self, message):
        pickle.dumps(message, 5)
        self.sent.append(message)


class RecordingLog(recorders.RecordingLog):
    def error(self, err):
        self.lines.append(("error", err))
        return ("error value", str(err))


def make_calc():
    calc = types.ModuleType("calcmod")
    calc.add = lambda a, b: a + b
    calc.div = lambda a, b: a / b
    calc.nothing = lambda: None
    calc.kw = lambda a, *, b=0: (a, b)
    calc.gen = lambda: (i for i in range(3))

    def interrupt():
        raise KeyboardInterrupt

    calc.interrupt = interrupt
    return calc


@pytest.fixture
def srv():
    s = ServerBase(make_calc(), "calc")
    s.log = RecordingLog()
    return s


def handler(srv, *incoming):
    """A handler set up as the TCP server would set it up, without a socket."""
    h = RequestHandler.__new__(RequestHandler)
    h.server = srv
    h.client_address = ADDRESS
    h.request = None
    h.record = {}
    srv.statistics[ADDRESS] = h.record
    h._connection = FakeChannel(*incoming)
    return h


# ----------------------------------------------------------------- process

@pytest.mark.parametrize("shape", [tuple, list])
def test_successful_calls_are_answered_and_counted(srv, shape):
    h = handler(srv, shape([2, 7, "calc.add", (1, 2), {}]), shape([2, "id", "calc.add", [3], {"b": 4}]),
                (2, 9, "calc.nothing", (), {}), (2, 10, "calc.ping", ("x",), {}))
    for _ in range(4):
        assert h.process() is None
    assert h._connection.sent == [(3, 7, 3), (3, "id", 7), (3, 9, None), (3, 10, "x")]
    assert h.record == {"calc.add": {"count": 2}, "calc.nothing": {"count": 1}, "calc.ping": {"count": 1}}
    assert srv.statistics[ADDRESS] is h.record
    assert srv.client == {"host": "127.0.0.1", "port": 999}
    assert srv.log.lines == []


def test_arguments_are_converted_as_a_call_would(srv):
    h = handler(srv, (2, 1, "calc.kw", iter([5]), [("b", 6)]), (2, 2, "calc.add", "ab", {}))
    h.process()
    h.process()
    assert h._connection.sent == [(3, 1, (5, 6)), (3, 2, "ab")]


@pytest.mark.parametrize("message, text", [
    ((2, 1, "calc.div", (1, 0), {}), "ZeroDivisionError in calc.div(1, 0): division by zero"),
    ((2, 2, "calc.nope", (), {}), 'AttributeError in calc.nope(): "calc" has no attribute "nope"'),
    ((2, 3, "other.add", (), {}), 'AttributeError in other.add(): "other" has no attribute "add"'),
    ((2, 4, "other", (), {}), "TypeError in other(): 'NoneType' object is not callable"),
    ((2, 5, "calc.add", (1,), {}), "TypeError in calc.add(1): make_calc.<locals>.<lambda>() missing 1 required positional argument: 'b'"),
    ((2, 6, "calc.add", (1, 2), None), "TypeError in calc.add(1, 2): argument after ** must be a mapping, not NoneType"),
    ((2, 7, "calc.add", 5, {}), "TypeError in calc.add(*5): 'int' object is not iterable"),
])
def test_failing_calls_are_answered_with_the_error_value(srv, message, text):
    h = handler(srv, message)
    assert h.process() is None
    [(level, err)] = srv.log.lines
    assert level == "error" and type(err) is Exception and err.args == (text,)
    assert h._connection.sent == [(3, message[1], ("error value", text))]
    assert h.record == {message[2]: {"count": 0}}


@pytest.mark.parametrize("message", [{"a": 1}, "calc.add", 5, None])
def test_a_message_that_is_no_sequence_ends_the_pass(srv, message):
    h = handler(srv, message)
    with pytest.raises(TypeError) as info:
        h.process()
    assert info.value.args == ("Invalid protocol",)
    assert srv.client == {"host": "", "port": 0} and h.record == {}
    assert h._connection.sent == [] and srv.log.lines == []


def test_a_short_message_fails_on_its_name_after_the_sender_was_noted(srv):
    h = handler(srv, (2, 1))
    with pytest.raises(IndexError):
        h.process()
    assert srv.client == {"host": "127.0.0.1", "port": 999}
    assert h.record == {} and h._connection.sent == [] and srv.log.lines == []


@pytest.mark.parametrize("message, error, text", [
    ((3, 1, "calc.add", (), {}), Exception, "Request[(3, 1, 'calc.add', (), {})]: Invalid Protocol"),
    ([2, 1, "calc.add", (), {}, 6], Exception, "Request[[2, 1, 'calc.add', (), {}, 6]]: Invalid Protocol"),
    ((2, 1, 5, (), {}), AttributeError, "'int' object has no attribute 'split'"),
])
def test_an_unparsable_request_gets_no_answer(srv, message, error, text):
    h = handler(srv, message)
    with pytest.raises(error) as info:
        h.process()
    assert type(info.value) is error and str(info.value) == text
    assert h.record == {message[2]: {"count": 0}}
    assert h._connection.sent == [] and srv.log.lines == []


def test_an_unhashable_name_gets_no_answer(srv):
    h = handler(srv, (2, 1, ["calc"], (), {}))
    with pytest.raises(TypeError, match="unhashable"):
        h.process()
    assert h.record == {} and h._connection.sent == []


def test_exceptions_outside_the_exception_family_leave_unanswered(srv):
    h = handler(srv, (2, 1, "calc.interrupt", (), {}))
    with pytest.raises(KeyboardInterrupt):
        h.process()
    assert h._connection.sent == [] and h.record == {"calc.interrupt": {"count": 0}}


def test_echo_mode_sends_back_anything(srv, capsys):
    h = handler(srv, {"any": "thing"}, (1, 2))
    h._connection._onwebs = True
    h.process()
    h.process()
    assert h._connection.sent == [{"any": "thing"}, (1, 2)]
    assert capsys.readouterr().out == "{'any': 'thing'}\n(1, 2)\n"
    assert h.record == {} and srv.client == {"host": "", "port": 0}


def test_a_result_that_cannot_be_sent_is_answered_as_a_failure(srv):
    h = handler(srv, (2, 1, "calc.gen", (), {}), (2, 2, "calc.add", (1, 2), {}))
    h.process()
    [(_, err)] = srv.log.lines
    assert str(err) == "TypeError in calc.gen(): cannot pickle 'generator' object"
    assert h._connection.sent[0] == (3, 1, ("error value", str(err)))
    h.process()
    assert h._connection.sent[1] == (3, 2, 3)
    # The call itself succeeded: it is counted.
    assert h.record == {"calc.gen": {"count": 1}, "calc.add": {"count": 1}}


def test_socket_errors_of_the_send_end_the_pass(srv):
    h = handler(srv, (2, 1, "calc.add", (1, 2), {}))

    def broken(message):
        raise BrokenPipeError("gone")

    h._connection.send = broken
    with pytest.raises(BrokenPipeError):
        h.process()
    assert srv.log.lines == []


def test_an_error_value_that_cannot_be_sent_ends_the_pass(srv):
    h = handler(srv, (2, 1, "calc.gen", (), {}))
    srv.log.error = lambda err: (i for i in range(2))  # unsendable too
    with pytest.raises(TypeError, match="cannot pickle 'generator' object"):
        h.process()
    assert h._connection.sent == []


def test_process_reads_the_tags_and_logger_functions_from_the_namespace(srv, monkeypatch):
    monkeypatch.setattr(server, "RESPONSE", "R")
    monkeypatch.setattr(server, "REQUEST", "Q")
    monkeypatch.setattr(server, "iformat", lambda name, args, kwds: f"<{name}|{args}|{kwds}>")
    h = handler(srv, ("Q", 1, "calc.add", (1, 2), {}), ("Q", 2, "calc.div", (1, 0), {}), (2, 3, "calc.add", (), {}))
    h.process()
    h.process()
    assert h._connection.sent == [("R", 1, 3), ("R", 2, ("error value", "ZeroDivisionError<calc.div|(1, 0)|{}> division by zero"))]
    with pytest.raises(Exception, match="Invalid Protocol"):
        h.process()


def test_a_server_without_a_logger_cannot_answer_failures(srv):
    del srv.log
    h = handler(srv, (2, 1, "calc.div", (1, 0), {}))
    with pytest.raises(AttributeError, match="log"):
        h.process()


# ----------------------------------------------------------------- lifecycle

class FakeSocket:
    pass


def run_handler(srv, monkeypatch, *incoming, closed=False):
    """Runs a whole handler (setup, handle, finish) over a fake channel, as the TCP server does."""
    channels = []

    def connection(sock):
        assert isinstance(sock, FakeSocket)
        ch = FakeChannel(*incoming)
        ch._closed = closed
        channels.append(ch)
        return ch

    monkeypatch.setattr(server, "Connection", connection)
    h = RequestHandler(FakeSocket(), ADDRESS, srv)
    return h, channels[0]


def test_lifecycle_logs_and_statistics(srv, monkeypatch):
    seen = {}

    def peek():
        seen["entry"] = srv.statistics[ADDRESS]
        return "peeked"

    srv._server["calc"].peek = peek
    h, ch = run_handler(srv, monkeypatch, (2, 1, "calc.add", (1, 2), {}), (2, 2, "calc.peek", (), {}))
    assert srv.log.lines == [
        ("info", "Client ('127.0.0.1', 999) connected"),
        ("critical", "ConnectionResetError connection closed by the peer"),
        ("critical", "Client('127.0.0.1', 999) disconnected!"),
    ]
    assert ch.sent == [(3, 1, 3), (3, 2, "peeked")]
    # While connected, the statistics entry was the handler's own record.
    assert seen["entry"] is h.record
    assert h.record == {"calc.add": {"count": 1}, "calc.peek": {"count": 1}}
    assert ADDRESS not in srv.statistics
    assert ch._closed is True


@pytest.mark.parametrize("bad", [{"not": "a request"}, (3, 1, "calc", (), {}), ValueError("decoder")])
def test_other_failures_end_the_connection_silently(srv, monkeypatch, bad):
    h, ch = run_handler(srv, monkeypatch, (2, 1, "calc.add", (1, 2), {}), bad, (2, 2, "calc.add", (1, 2), {}))
    assert ch.sent == [(3, 1, 3)]
    assert ch.incoming == [(2, 2, "calc.add", (1, 2), {})]
    assert srv.log.lines == [("info", "Client ('127.0.0.1', 999) connected"),
                             ("critical", "Client('127.0.0.1', 999) disconnected!")]


@pytest.mark.parametrize("error", [ConnectionAbortedError("aborted"), BrokenPipeError("pipe")])
def test_connection_errors_are_logged(srv, monkeypatch, error):
    run_handler(srv, monkeypatch, error)
    assert srv.log.lines[1] == ("critical", f"{type(error).__name__} {error}")
    assert len(srv.log.lines) == 3


def test_the_connection_errors_are_read_from_the_namespace(srv, monkeypatch):
    monkeypatch.setattr(server, "BrokenPipeError", LookupError, raising=False)
    run_handler(srv, monkeypatch, KeyError("k"))
    assert srv.log.lines[1] == ("critical", "KeyError 'k'")


def test_a_closed_channel_is_never_read(srv, monkeypatch):
    h, ch = run_handler(srv, monkeypatch, (2, 1, "calc.add", (1, 2), {}), closed=True)
    assert ch.incoming and ch.sent == []
    assert [line for _, line in srv.log.lines] == ["Client ('127.0.0.1', 999) connected",
                                                    "Client('127.0.0.1', 999) disconnected!"]


def test_an_interrupt_leaves_the_handler_after_finish(srv, monkeypatch):
    with pytest.raises(KeyboardInterrupt):
        run_handler(srv, monkeypatch, (2, 1, "calc.interrupt", (), {}))
    assert srv.log.lines[-1] == ("critical", "Client('127.0.0.1', 999) disconnected!")
    assert ADDRESS not in srv.statistics


def test_setup_without_a_logger(srv, monkeypatch):
    del srv.log
    monkeypatch.setattr(server, "Connection", lambda sock: pytest.fail("channel made"))
    h = RequestHandler.__new__(RequestHandler)
    h.server, h.client_address, h.request = srv, ADDRESS, FakeSocket()
    with pytest.raises(AttributeError):
        h.setup()
    assert h.record == {} and srv.statistics == {}


def test_finish_without_a_statistics_entry(srv):
    h = handler(srv)
    srv.statistics.clear()
    assert h.finish() is None
    assert h._connection._closed is True
    assert srv.log.lines == [("critical", "Client('127.0.0.1', 999) disconnected!")]


# ----------------------------------------------------------------- references

class Token:
    """A message element whose reference count is watched."""

    def __str__(self):
        return "token"

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return other is self


@pytest.mark.parametrize("name, args, kwds, raises", [
    ("calc.add", (1, 2), {}, None),
    ("calc.kw", (1,), {"b": 2}, None),
    ("calc.div", (1, 0), {}, None),
    ("calc.nope", (), {}, None),
    ("calc.gen", (), {}, None),
    ("calc.add", [1, 2], [("x", 1)], None),
    ("calc.interrupt", (), {}, KeyboardInterrupt),
])
def test_a_pass_keeps_no_reference(srv, name, args, kwds, raises):
    msgid = Token()
    name = "".join(name)  # a text of its own, not the constant shared with other tests
    message = (2, msgid, name, args, kwds)
    h = handler(srv)
    calc = srv._server["calc"]
    watched = [message, msgid, name, args, kwds, calc, srv.log, h._connection]
    watched += [f for f in [getattr(calc, name.split(".")[1], None)] if f is not None]
    sent = h._connection.sent
    before = None
    gc.collect()
    gc.disable()  # a collection of other tests' garbage would move the counts
    try:
        for _ in range(50):
            h._connection.incoming.append(message)
            if raises:
                with pytest.raises(raises):
                    h.process()
            else:
                h.process()
            sent.clear()
            srv.log.lines.clear()
            # The first pass makes the record's entry, which holds the name.
            before = before or [sys.getrefcount(x) for x in watched]
        after = [sys.getrefcount(x) for x in watched]
    finally:
        gc.enable()
    assert after == before


@pytest.mark.parametrize("message", [(3, 1, "calc.add", (), {}), (2, 1), {"a": 1}, (2, 1, 5, (), {})])
def test_a_rejected_message_keeps_no_reference(srv, message):
    h = handler(srv)
    gc.collect()
    gc.disable()
    try:
        before = sys.getrefcount(message)
        for _ in range(50):
            h._connection.incoming.append(message)
            with pytest.raises(Exception) as info:
                h.process()
            del info
        h.record.clear()
        after = sys.getrefcount(message)
    finally:
        gc.enable()
    assert after == before
