"""ClientBase (state, proxies, the check of a response, close) and the proxy classes."""

import socket

import pytest

import lumo.client as client
from lumo.protocol import RESPONSE
from recorders import Recorder


def base(host="127.0.0.1", port=80, **kw):
    c = client.ClientBase(host, port, **kw)
    c.log = Recorder()
    return c


class TestConstruction:
    def test_initial_state(self):
        c = client.ClientBase("127.0.0.1", 80)
        assert vars(c) == {"_host": "127.0.0.1", "_port": 80, "_timeout": 1000.0, "_msgid": 0, "_connection": None}
        assert list(vars(c)) == ["_host", "_port", "_timeout", "_msgid", "_connection"]
        c = client.ClientBase("127.0.0.1", 80, 5)
        assert type(c._timeout) is float and c._timeout == 5.0

    def test_super_init_follows_the_mro(self):
        seen = []

        class Spy:
            def __init__(self, *args):
                seen.append(("spy", args))

        class Combined(client.Client, client.ClientBase, Spy):
            pass

        c = Combined("h", 9, 3)
        # Client hands the converted time-out on; ClientBase calls the next initialiser with nothing.
        assert seen == [("spy", ())]
        assert (c._host, c._port, c._timeout) == ("h", 9, 3.0)

        class Before(client.ClientBase):
            def __init__(self, host, port, timeout=1000.0):
                seen.append(("before", host, port, timeout))
                super().__init__(host, port, timeout)

        class Mixed(client.Client, Before):
            pass

        seen.clear()
        Mixed("h", 9, 4)
        assert seen == [("before", "h", 9, 4.0)]


class TestProxiesFromTheClient:
    def test_class_and_method_proxies(self):
        c = base()
        p = c("Calc")
        assert type(p) is client._RemoteClass and p._client is c and p._class == "Calc" and c.alias == "Calc"
        for types in ("", "method", "Class"):
            m = c("Calc.add", types)
            assert type(m) is client._RemoteMethod and m._method == "Calc.add" and m._client is c
        assert c.alias == "Calc.add"
        assert type(c("x", types="class")) is client._RemoteClass

    def test_proxy_classes_are_read_at_each_call(self, monkeypatch):
        c = base()
        made = []
        monkeypatch.setattr(client, "_RemoteClass", lambda *a: made.append(("class",) + a) or "C")
        monkeypatch.setattr(client, "_RemoteMethod", lambda *a: made.append(("method",) + a) or "M")
        assert c("a") == "C" and c("b", "x") == "M"
        assert made == [("class", c, "a"), ("method", c, "b")]

    def test_alias_is_set_before_the_proxy_is_built(self, monkeypatch):
        c = base()
        monkeypatch.delattr(client, "_RemoteClass")
        with pytest.raises(NameError, match="_RemoteClass"):
            c("Calc")
        assert c.alias == "Calc"


class Seq(list):
    """A list that records how it is read."""

    def __init__(self, items, reads):
        super().__init__(items)
        self.reads = reads

    def __len__(self):
        self.reads.append("len")
        return super().__len__()

    def __getitem__(self, i):
        self.reads.append(("item", i))
        return super().__getitem__(i)


class TestParse:
    def check(self, response, suffix, msgid=1):
        c = base()
        c._msgid = msgid
        with pytest.raises(Exception) as e:
            c._parse(response)
        assert type(e.value) is Exception and e.value.args == (f"Response[{response}{suffix}",)

    def test_type(self):
        self.check(None, "]: Invalid Type (tuple or list needed)")
        self.check({RESPONSE: 1}, "]: Invalid Type (tuple or list needed)")
        self.check("abc", "]: Invalid Type (tuple or list needed)")

    def test_protocol(self):
        for response in [(RESPONSE, 1, 2, 3), (RESPONSE, 1), (), (RESPONSE + 100, 1, 2), [None, 1, 2]]:
            self.check(response, "]: Invalid Protocol")

    def test_message_id(self):
        self.check((RESPONSE, 2, "x"), "]: Invalid Message ID")
        self.check((RESPONSE, "1", "x"), "]: Invalid Message ID")

    def test_accepted_responses_return_their_result_unchanged(self):
        c = base()
        c._msgid = 1
        err = ZeroDivisionError("x")
        assert c._parse((RESPONSE, 1, 3)) == 3
        assert c._parse([RESPONSE, 1, "list"]) == "list"
        assert c._parse((RESPONSE, 1, None)) is None
        assert c._parse((RESPONSE, 1, err)) is err
        assert c._parse((RESPONSE, True, 4)) == 4  # == decides, as for any value

        class T(tuple):
            pass
        assert c._parse(T((RESPONSE, 1, 5))) == 5

    def test_length_is_read_before_the_tag_and_the_tag_only_for_three(self):
        c = base()
        c._msgid = 7
        reads = []
        with pytest.raises(Exception, match="Invalid Protocol"):
            c._parse(Seq([RESPONSE, 7], reads))
        assert reads == ["len"]
        reads.clear()
        assert c._parse(Seq([RESPONSE, 7, "ok"], reads)) == "ok"
        assert reads[:2] == ["len", ("item", 0)]

    def test_tag_is_read_from_the_module_at_each_call(self, monkeypatch):
        c = base()
        c._msgid = 1
        monkeypatch.setattr(client, "RESPONSE", "R")
        assert c._parse(("R", 1, 2)) == 2
        with pytest.raises(Exception, match="Invalid Protocol"):
            c._parse((RESPONSE, 1, 2))
        monkeypatch.delattr(client, "RESPONSE")
        with pytest.raises(NameError):
            c._parse(("R", 1, 2))

    def test_a_list_changed_while_it_is_checked(self):
        c = base()
        c._msgid = 1
        response = [None, 1, "x"]

        class Tag:
            def __ne__(self, other):
                response.pop()  # the list shrinks while its tag is compared
                return False

        response[0] = Tag()
        with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
            c._parse(response)

    def test_errors_of_the_response_itself_propagate(self):
        class Bad(tuple):
            def __len__(self):
                raise KeyError("len")
        with pytest.raises(KeyError):
            base()._parse(Bad((1, 2, 3)))


class Channel:
    def __init__(self, error=None):
        self.closes, self.error = 0, error

    def close(self):
        self.closes += 1
        if self.error:
            raise self.error


class TestClose:
    LINE = "Connection to (127.0.0.1, 80) closed!"

    def test_without_a_channel(self):
        c = base()
        assert c.close() is None
        assert c.log.lines == [("critical", self.LINE)]

    def test_with_a_channel_twice(self):
        c = base()
        c._connection = ch = Channel()
        c._msgid = 4
        assert c.close() is None and c.close() is None
        assert ch.closes == 2 and c.log.lines == [("critical", self.LINE)] * 2
        assert c._connection is ch and c._msgid == 4

    def test_errors_of_the_channel(self):
        c = base("::1", 0)
        c._connection = Channel(AttributeError("gone"))
        assert c.close() is None
        c._connection = Channel(OSError("bad fd"))
        with pytest.raises(OSError, match="bad fd"):
            c.close()
        assert c.log.lines == [("critical", "Connection to (::1, 0) closed!")] * 2

    def test_without_a_logger(self):
        c = client.ClientBase("h", 1)
        c._connection = ch = Channel(OSError("bad fd"))
        with pytest.raises(AttributeError) as e:
            c.close()
        assert isinstance(e.value.__context__, OSError) and ch.closes == 1


# ------------------------------------------------------------------ proxies

class Sock:
    def getsockname(self):
        return ("127.0.0.1", 40000)

    def getpeername(self):
        return ("127.0.0.1", 12345)


class Conn:
    def __init__(self, sock):
        self._socket = sock


class CallRecorder:
    def __init__(self):
        self.calls = []

    def call(self, *args, **kwds):
        self.calls.append((args, kwds))
        return "result"


class TestProxies:
    def test_repr(self):
        c = base()
        for proxy in (client._RemoteStatus(), c("Calc"), c("Calc", "m"), c("Calc").add):
            assert repr(proxy) == "LUMO.Client" and str(proxy) == "LUMO.Client"

    def test_addresses(self):
        bare = client._RemoteStatus()
        assert bare.laddr is None and bare.raddr is None
        c = base()
        p = c("Calc")
        assert p.laddr is None and p.raddr is None  # never connected
        c._connection = object()  # a channel without _socket
        assert p.laddr is None and p.raddr is None
        c._connection = Conn(Sock())
        assert p.laddr == ("127.0.0.1", 40000) and p.raddr == ("127.0.0.1", 12345)
        assert p.add.laddr == ("127.0.0.1", 40000)
        with pytest.raises(AttributeError):
            p.laddr = 1

    def test_socket_errors_are_not_caught(self):
        s = socket.socket()
        s.settimeout(5)
        c = base()
        c._connection = Conn(s)
        p = c("Calc")
        with pytest.raises(OSError):
            p.raddr  # not connected
        s.close()
        with pytest.raises(OSError):
            p.laddr

    def test_method_proxy_forwards_to_call(self):
        rec = CallRecorder()
        m = client._RemoteMethod(rec, "Calc.add")
        assert m(1, 2, x=3) == "result"
        assert m() == "result"
        many = tuple(range(20))
        m(*many, **{f"k{i}": i for i in range(10)})
        assert rec.calls[0] == (("Calc.add", 1, 2), {"x": 3})
        assert rec.calls[1] == (("Calc.add",), {})
        assert rec.calls[2] == (("Calc.add",) + many, {f"k{i}": i for i in range(10)})
        with pytest.raises(AttributeError):
            client._RemoteMethod(object(), "f")()

    def test_method_proxy_reads_client_then_call_then_name(self):
        order = []

        class Watched(client._RemoteMethod):
            def __getattribute__(self, name):
                order.append(name)
                return super().__getattribute__(name)

        class NoCall:
            pass

        m = Watched(NoCall(), "f")
        order.clear()
        with pytest.raises(AttributeError, match="call"):
            m()
        assert order == ["_client"]  # `call` was missing before `_method` was read
        m = Watched(CallRecorder(), "f")
        order.clear()
        m(1)
        assert order == ["_client", "_method"]

    def test_class_proxy(self):
        rec = CallRecorder()
        p = client._RemoteClass(rec, "Calc", "ignored", 3)
        assert vars(p) == {"_client": rec, "_class": "Calc"}
        add = p.add
        assert type(add) is client._RemoteMethod and add._method == "Calc.add" and add._client is rec
        assert p.add is not add  # nothing cached
        add(1, 2, x=3)
        assert rec.calls == [(("Calc.add", 1, 2), {"x": 3})]
        assert client._RemoteClass(rec, "pkg.sub").f._method == "pkg.sub.f"
        assert p._client is rec and p._class == "Calc" and p.__class__ is client._RemoteClass
        assert p.laddr is None and isinstance(p.__dict__, dict)
        with pytest.raises(AttributeError):
            add.more

    def test_attribute_lookup_of_a_class_proxy(self, monkeypatch):
        p = client._RemoteClass(CallRecorder(), "Calc")
        # A descriptor that raises AttributeError hands over to __getattr__, any other error propagates.
        def missing(self):
            raise AttributeError("not here")
        def failing(self):
            raise ValueError("broken")
        monkeypatch.setattr(client._RemoteStatus, "missing", property(missing), raising=False)
        monkeypatch.setattr(client._RemoteStatus, "failing", property(failing), raising=False)
        assert p.missing._method == "Calc.missing"
        with pytest.raises(ValueError):
            p.failing
        with pytest.raises(TypeError):
            getattr(p, 5)
        # A replaced __getattr__ is the one used, on the class and on subclasses.
        class Sub(client._RemoteClass):
            pass
        monkeypatch.setattr(client._RemoteClass, "__getattr__", lambda self, name: ("patched", name))
        assert p.add == ("patched", "add") and Sub(None, "x").y == ("patched", "y")
        monkeypatch.undo()
        assert p.add._method == "Calc.add" and Sub(None, "x").y._method == "x.y"

    def test_class_proxy_reads_the_method_class_at_each_access(self, monkeypatch):
        p = client._RemoteClass("c", "Calc")
        monkeypatch.setattr(client, "_RemoteMethod", lambda *a: a)
        assert p.add == ("c", "Calc.add")
        monkeypatch.delattr(client, "_RemoteMethod")
        with pytest.raises(NameError):
            p.add
