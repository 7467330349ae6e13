"""lumo.server: the module's names, the public signatures, the registry and the parse of a request."""

import inspect
import os
import types

import pytest

import lumo.server as server
from lumo.server import ServerBase


def make_calc():
    calc = types.ModuleType("calcmod")
    calc.add = lambda a, b: a + b
    return calc


def test_module_names_in_order():
    public = [k for k in vars(server) if not k.startswith("__")]
    assert public == ["os", "socketserver", "MethodType", "Any", "REQUEST", "RESPONSE", "Connection",
                      "get_port", "Skrivo", "iformat", "iprint", "ServerBase", "RequestHandler", "Server",
                      "terminate", "start", "serve"]
    assert server.__doc__ is None
    assert server.REQUEST == 2 and server.RESPONSE == 3
    assert server.MethodType is types.MethodType


def test_classes():
    import socketserver
    assert server.Server.__mro__ == (server.Server, socketserver.ThreadingTCPServer, socketserver.ThreadingMixIn,
                                     socketserver.TCPServer, socketserver.BaseServer, ServerBase, object)
    assert server.RequestHandler.__bases__ == (socketserver.BaseRequestHandler,)
    assert ServerBase.__bases__ == (object,)
    for cls, methods in [(ServerBase, ["__init__", "register", "_parse"]),
                         (server.RequestHandler, ["setup", "handle", "process", "finish"]),
                         (server.Server, ["__init__"])]:
        assert cls.__module__ == "lumo.server" and cls.__doc__ is None
        assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == methods
        for name in methods:
            assert getattr(cls, name).__qualname__ == f"{cls.__name__}.{name}"
    # Ordinary classes: they can be subclassed and their instances take attributes.
    class Sub(ServerBase):
        pass
    f = make_calc()
    s = Sub(f, "x")
    s.extra = 1
    assert s._server == {"x": f}


@pytest.mark.parametrize("func, defaults, annotations", [
    (server.serve, ("", "127.0.0.1", 0, False, False),
     {"alias": "str", "host": "str", "port": "int", "thread": "bool", "clean": "bool"}),
    (server.start, (False,), {"s": "Server", "clean": "bool"}),
    (server.terminate, (3, True, True), {"wait": "int", "itself": "bool", "kill": "bool"}),
    (server.Server.__init__, (True, "Object", "Server"),
     {"server_address": "tuple[str, int]", "bind_and_activate": "bool", "obj": "Any", "alias": "str"}),
    (ServerBase.__init__, ("",), {"obj": "Any", "alias": "str"}),
    (ServerBase._parse, None, {"request": "tuple | list"}),
])
def test_signatures(func, defaults, annotations):
    assert func.__defaults__ == defaults
    assert func.__annotations__ == annotations
    assert func.__module__ == "lumo.server"


def test_docstrings():
    serve_doc = server.serve.__doc__.splitlines()
    assert serve_doc[0] == "start a server for an object(function, class or a moudle)"
    assert any("'127.0.0.1'" in line for line in serve_doc)
    assert any("get_port" in line for line in serve_doc)
    terminate_doc = server.terminate.__doc__.splitlines()
    assert terminate_doc[0] == "Shutdown a server(ctrl+c)"
    assert any("os.kill(os.getpid(), signal.SIGINT)" in line for line in terminate_doc)
    assert "Returns:" in terminate_doc
    assert list(inspect.signature(server.serve).parameters) == ["obj", "alias", "host", "port", "thread", "clean"]


@pytest.mark.parametrize("call, message", [
    (lambda: server.serve(len, None), "Argument 'alias' has incorrect type (expected str, got NoneType)"),
    (lambda: server.serve(len, "a", b"h"), "Argument 'host' has incorrect type (expected str, got bytes)"),
    (lambda: server.serve(len, "a", port=True), "Argument 'port' has incorrect type (expected int, got bool)"),
    (lambda: server.serve(), "serve() takes at least 1 positional argument (0 given)"),
    (lambda: server.serve(1, "", "h", 0, 0, 0, 0), "serve() takes at most 6 positional arguments (7 given)"),
    (lambda: server.terminate(2.5), "Argument 'wait' has incorrect type (expected int, got float)"),
    (lambda: server.terminate(True), "Argument 'wait' has incorrect type (expected int, got bool)"),
    (lambda: server.start(), "start() takes at least 1 positional argument (0 given)"),
    (lambda: ServerBase(len, None), "Argument 'alias' has incorrect type (expected str, got NoneType)"),
    (lambda: ServerBase(len, type("S", (str,), {})("x")), "Argument 'alias' has incorrect type (expected str, got S)"),
    (lambda: server.Server(["127.0.0.1", 0], server.RequestHandler),
     "Argument 'server_address' has incorrect type (expected tuple, got list)"),
    (lambda: server.Server(("127.0.0.1", 0), server.RequestHandler, alias=None),
     "Argument 'alias' has incorrect type (expected str, got NoneType)"),
])
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ----------------------------------------------------------------- registry

def test_registry_and_service_functions():
    def f(x):
        return x
    f.ping = "old"  # replaced by the service function
    srv = ServerBase(f, "calc")
    assert (srv._alias, srv._server, srv._timeout, srv.statistics) == ("calc", {"calc": f}, 86400, {})
    assert list(srv.client.items()) == [("host", ""), ("port", 0)]
    assert f.stats() is srv.statistics
    assert f.client() is srv.client
    assert f.ping(5) == 5 and f.ping(msg="m") == "m"
    assert f.getpid() == (os.getpid(), os.getppid())
    for name in ["stats", "client", "ping", "getpid", "terminate"]:
        method = getattr(f, name)
        assert type(method) is types.MethodType and method.__self__ is f
        assert method.__func__.__qualname__ == f"ServerBase.register.<locals>.{name}"
        assert method.__func__.__module__ == "lumo.server"
    params = {name: list(inspect.signature(getattr(f, name).__func__).parameters)
              for name in ["stats", "client", "ping", "getpid", "terminate"]}
    assert params == {"stats": ["self"], "client": ["self"], "ping": ["self", "msg"], "getpid": ["self"],
                      "terminate": ["self", "wait", "itself", "kill"]}
    assert f.terminate.__func__.__defaults__ == (3, True, True)
    # The service functions return the very records, which the handlers fill later.
    srv.statistics["peer"] = {"calc": {"count": 1}}
    assert f.stats() == {"peer": {"calc": {"count": 1}}}
    with pytest.raises(TypeError, match=r"stats\(\) takes exactly 1 positional argument \(2 given\)"):
        f.stats(1)
    with pytest.raises(TypeError, match=r"ping\(\) takes exactly 2 positional arguments \(1 given\)"):
        f.ping()
    with pytest.raises(TypeError, match=r"at most 4 positional arguments \(5 given\)"):
        f.terminate(1, 2, 3, 4)


def test_service_terminate_reads_the_module_function_at_each_call(monkeypatch):
    calc = make_calc()
    ServerBase(calc, "calc")
    calls = []
    monkeypatch.setattr(server, "terminate", lambda *a, **k: calls.append((a, k)) or "ended")
    assert calc.terminate() == "ended"
    assert calc.terminate(0, itself=False, kill=False) == "ended"
    assert calls == [((3, True, True), {}), ((0, False, False), {})]


def test_register_reads_method_type_and_os_from_the_namespace(monkeypatch):
    bound = []

    def method_type(func, obj):
        bound.append(func.__name__)
        return types.MethodType(func, obj)

    fake_os = types.SimpleNamespace(getpid=lambda: 11, getppid=lambda: 22)
    monkeypatch.setattr(server, "MethodType", method_type)
    monkeypatch.setattr(server, "os", fake_os)
    calc = make_calc()
    ServerBase(calc, "calc")
    assert bound == ["stats", "client", "ping", "getpid", "terminate"]
    assert calc.getpid() == (11, 22)


def test_register_again_is_refused():
    calc, other = make_calc(), make_calc()
    srv = ServerBase(calc, "calc")
    with pytest.raises(Exception) as info:
        srv.register(other)
    assert type(info.value) is Exception and str(info.value) == "calc has already been registered"
    assert srv._server == {"calc": calc}
    assert not hasattr(other, "ping")


def test_register_is_looked_up_on_the_instance():
    seen = []

    class Recording(ServerBase):
        def register(self, obj):
            seen.append((self._alias, obj))

    Recording(len, "calc")
    assert seen == [("calc", len)]


def test_register_on_an_object_without_attributes():
    srv = ServerBase.__new__(ServerBase)
    with pytest.raises(AttributeError):
        ServerBase.__init__(srv, len, "calc")
    assert srv._server == {"calc": len}  # stored before the first assignment failed


def test_default_alias_is_the_empty_string():
    calc = make_calc()
    srv = ServerBase(calc)
    assert srv._server == {"": calc}
    assert srv._parse((2, 1, ".add", (), {}))[1] is calc.add


# ----------------------------------------------------------------- _parse

@pytest.fixture
def published():
    calc = make_calc()
    return calc, ServerBase(calc, "calc")


@pytest.mark.parametrize("shape", [tuple, list])
def test_parse_resolves_names(published, shape):
    calc, srv = published
    kwds = {"k": 1}

    def parse(name):
        return srv._parse(shape([2, "id", name, (1, 2), kwds]))

    assert parse("calc") == ("id", calc, (1, 2), kwds)
    assert parse("calc")[3] is kwds
    assert parse("calc.add")[1] is calc.add
    assert parse("calc.add.more.pieces")[1] is calc.add
    assert parse("calc.ping")[1] == calc.ping
    assert parse("nope") == ("id", None, (1, 2), kwds)
    assert parse("nope.add")[1] == '"nope" has no attribute "add"'
    assert parse("calc.missing")[1] == '"calc" has no attribute "missing"'


def test_parse_resolves_each_of_many_names(published):
    # The server keeps the pieces of names it has seen: past the bound of that
    # table, and for very long names, every name still resolves as itself.
    calc, srv = published
    for round_ in range(2):
        for i in range(1100):
            name = f"calc.m{i}"
            assert srv._parse((2, i, name, (), {}))[1] == f'"calc" has no attribute "m{i}"'
        assert srv._parse((2, 0, "calc.add", (), {}))[1] is calc.add
    long_name = "calc." + "z" * 300
    for _ in range(2):
        assert srv._parse((2, 1, long_name, (), {}))[1] == '"calc" has no attribute "' + "z" * 300 + '"'


@pytest.mark.parametrize("request_, text", [
    ((2, 1, "calc", (), {}, 0), "Request[(2, 1, 'calc', (), {}, 0)]: Invalid Protocol"),
    ([2, 1, "calc", (), {}, 0], "Request[[2, 1, 'calc', (), {}, 0]]: Invalid Protocol"),
    ((3, 1, "calc.add", (), {}), "Request[(3, 1, 'calc.add', (), {})]: Invalid Protocol"),
    ((2, 1), "Request[(2, 1)]: Invalid Protocol"),
])
def test_parse_rejects_the_protocol(published, request_, text):
    with pytest.raises(Exception) as info:
        published[1]._parse(request_)
    assert type(info.value) is Exception and str(info.value) == text


def test_parse_tests_the_length_before_the_tag(published):
    class Four:
        def __len__(self):
            return 4

        def __getitem__(self, i):
            raise AssertionError("element read")

        def __str__(self):
            return "four"

    with pytest.raises(Exception, match=r"^Request\[four\]: Invalid Protocol$"):
        published[1]._parse(Four())


def test_parse_lets_other_failures_through(published):
    calc, srv = published
    with pytest.raises(AttributeError, match="'int' object has no attribute 'split'"):
        srv._parse((2, 1, 5, (), {}))

    class Prop:
        @property
        def boom(self):
            raise ValueError("from a property")

    srv2 = ServerBase(Prop(), "p")
    with pytest.raises(ValueError, match="from a property"):
        srv2._parse((2, 1, "p.boom", (), {}))
