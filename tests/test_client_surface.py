"""What lumo.client shows a user: its namespace, signatures, texts and argument checks."""

import inspect
import subprocess
import sys

import pytest

import lumo.client as client
from lumo import kelto, protocol, ring

ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"


def test_namespace_holds_exactly_the_public_names_in_order():
    # In a fresh interpreter: tests here rebind module globals, which can reorder them.
    code = "import lumo.client as c; print(' '.join(k for k in vars(c) if not k.startswith('__')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["socket", "REQUEST", "RESPONSE", "Connection", "get_port", "Skrivo", "iformat",
                                  "_RemoteStatus", "_RemoteMethod", "_RemoteClass", "ClientBase", "Client",
                                  "connect"], out.stderr
    dunders = {k for k in vars(client) if k.startswith("__")}
    assert dunders <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert client.__doc__ is None
    import socket
    assert client.socket is socket
    assert (client.REQUEST, client.RESPONSE) == (protocol.REQUEST, protocol.RESPONSE)
    assert client.Connection is ring.Connection and client.get_port is ring.get_port
    assert client.Skrivo is kelto.Skrivo and client.iformat is kelto.iformat


def test_classes_are_ordinary_classes_with_their_methods_in_order():
    expected = {
        "_RemoteStatus": ((object,), ["__repr__", "laddr", "raddr"]),
        "_RemoteMethod": ((client._RemoteStatus,), ["__init__", "__call__"]),
        "_RemoteClass": ((client._RemoteStatus,), ["__init__", "__getattr__"]),
        "ClientBase": ((object,), ["__init__", "__call__", "_parse", "close"]),
        "Client": ((client.ClientBase,), ["__init__", "call", "open_connection", "_request"]),
    }
    for name, (bases, members) in expected.items():
        cls = getattr(client, name)
        assert isinstance(cls, type) and cls.__bases__ == bases
        assert cls.__module__ == "lumo.client" and cls.__qualname__ == name and cls.__doc__ is None
        own = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
        assert own == members, name
        for m in members:
            attr = vars(cls)[m]
            func = attr.fget if isinstance(attr, property) else attr
            assert func.__qualname__ == f"{name}.{m}" and func.__module__ == "lumo.client"
    assert isinstance(vars(client._RemoteStatus)["laddr"], property)
    assert vars(client._RemoteStatus)["raddr"].fset is None
    # Subclassing works like any class's.
    class Mine(client.Client):
        pass
    assert isinstance(Mine("h", 1, 2), client.ClientBase)


@pytest.mark.parametrize("func, annotations, defaults", [
    (client._RemoteStatus.__repr__, {"return": "str"}, None),
    (client._RemoteMethod.__init__, {"client": "'Client'", "method": "str"}, None),
    (client._RemoteMethod.__call__, {}, None),
    (client._RemoteClass.__init__, {"client": "'Client'", "clsname": "str"}, None),
    (client._RemoteClass.__getattr__, {"method": "str"}, None),
    (client.ClientBase.__init__, {"host": "str", "port": "int", "timeout": "float"}, (1000.0,)),
    (client.ClientBase.__call__, {"name": "str", "types": "str"}, ("class",)),
    (client.ClientBase._parse, {"response": "tuple | list"}, None),
    (client.ClientBase.close, {}, None),
    (client.Client.__init__, {"host": "str", "port": "int", "timeout": "float"}, None),
    (client.Client.call, {"method": "str"}, None),
    (client.Client.open_connection, {}, None),
    (client.Client._request, {"method": "str"}, None),
    (client.connect, {"name": "str", "host": "str", "port": "int", "timeout": "float", "types": "str"},
     ("127.0.0.1", 0, 1000.0, "class")),
])
def test_annotations_are_texts_and_defaults_as_declared(func, annotations, defaults):
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__kwdefaults__ is None


def test_signatures():
    sig = lambda f: str(inspect.signature(f))
    assert sig(client.connect) == (
        "(name: 'str', host: 'str' = '127.0.0.1', port: 'int' = 0, timeout: 'float' = 1000.0, types: 'str' = 'class')")
    assert sig(client.Client.call) == "(self, method: 'str', *args, **kwds)"
    assert sig(client._RemoteClass.__init__) == "(self, client: \"'Client'\", clsname: 'str', *args)"
    assert sig(client.Client._request) == "(self, method: 'str', args, kwds)"
    assert client.connect.__qualname__ == "connect" and client.connect.__module__ == "lumo.client"
    assert client.connect.__doc__ is None


def test_docstrings():
    assert client.Client.call.__doc__ == "Calling remote method\n" + " " * 8
    assert inspect.getdoc(client.ClientBase._parse) == (
        "parse response\n\n"
        "Args:\n    response (tuple | list): response from the server\n\n"
        "Raises:\n    Exception: invalid response type\n    Exception: invalid response protocol\n"
        "    Exception: invalid msgid of response\n\n"
        "Returns:\n    _type_: result from response")
    undocumented = [client.ClientBase.__init__, client.ClientBase.__call__, client.ClientBase.close,
                    client.Client.__init__, client.Client.open_connection, client.Client._request,
                    client._RemoteMethod.__call__, client._RemoteClass.__getattr__]
    assert all(f.__doc__ is None for f in undocumented)


class Text(str):
    pass


class Timeout:
    def __float__(self):
        return 2.5


class TestArgumentChecks:
    def test_client_base_construction(self):
        assert client.ClientBase("h", 1)._timeout == 1000.0
        c = client.ClientBase(port=1, host="h", timeout=Timeout())
        assert type(c._timeout) is float and c._timeout == 2.5
        for args, name, got in [(("h", True), "port", "bool"), ((None, 1), "host", "NoneType"),
                                ((Text("h"), 1), "host", "Text"), (("h", 1.0), "port", "float")]:
            with pytest.raises(TypeError) as e:
                client.ClientBase(*args)
            expected = "str" if name == "host" else "int"
            assert str(e.value) == ARG_TYPE.format(name, expected, got)
        # The time-out is converted before the other checks.
        with pytest.raises(TypeError, match="must be real number, not str"):
            client.ClientBase(None, True, "x")

    def test_client_requires_its_time_out(self):
        with pytest.raises(TypeError, match=r"takes exactly 4 positional arguments \(3 given\)"):
            client.Client("h", 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'tmo'"):
            client.Client("h", 1, tmo=3)
        c = client.Client("h", 1, 7)
        assert (c._host, c._port, c._timeout, c._msgid, c._connection) == ("h", 1, 7.0, 0, None)
        assert type(c._timeout) is float
        with pytest.raises(TypeError) as e:
            client.Client("h", None, 1.0)
        assert str(e.value) == ARG_TYPE.format("port", "int", "NoneType")

    def test_proxies_and_calls_check_their_names(self):
        c = client.Client("h", 1, 1.0)
        cases = [
            (lambda: c(5), "name", "int"), (lambda: c("n", None), "types", "NoneType"),
            (lambda: client._RemoteMethod(c, Text("x")), "method", "Text"),
            (lambda: client._RemoteClass(c, b"x"), "clsname", "bytes"),
            (lambda: client._RemoteClass(c, "x").__getattr__(5), "method", "int"),
            (lambda: c._request(1, (), {}), "method", "int"),
        ]
        for make, name, got in cases:
            with pytest.raises(TypeError) as e:
                make()
            assert str(e.value) == ARG_TYPE.format(name, "str", got)
        with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
            client._RemoteClass(c, "x", other=1)
        with pytest.raises(TypeError, match="positional argument"):
            client._RemoteMethod(c)
        assert not hasattr(c, "alias")  # refused before anything was set

    def test_connect(self, monkeypatch):
        made = []
        monkeypatch.setattr(client, "Skrivo", lambda *a, **k: made.append((a, k)))
        for kwargs, name, expected, got in [
            ({"port": True}, "port", "int", "bool"), ({"host": None}, "host", "str", "NoneType"),
            ({"types": 1}, "types", "str", "int"), ({"port": 80.0}, "port", "int", "float"),
        ]:
            with pytest.raises(TypeError) as e:
                client.connect("calc", **kwargs)
            assert str(e.value) == ARG_TYPE.format(name, expected, got)
        with pytest.raises(TypeError) as e:
            client.connect(Text("calc"))
        assert str(e.value) == ARG_TYPE.format("name", "str", "Text")
        with pytest.raises(TypeError):
            client.connect()
        with pytest.raises(TypeError, match="at most 5"):
            client.connect("a", "b", 1, 1.0, "class", 6)
        with pytest.raises(TypeError, match="must be real number"):
            client.connect("calc", port=True, timeout=None)
        assert made == []  # every refusal came before the logger was made
