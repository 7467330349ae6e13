"""The call path's short cuts see every change at the very next call.

A proxy's __call__ runs through a slot of its class while that __call__ is lumo's own, and
both sides take the channel's send, recv, flush, closed and _onwebs straight while the channel
is exactly a Connection, its class still holds lumo's own entries (remembered by the class's
version tag) and the channel's __dict__ shadows none of its methods. Each test breaks one of
those conditions and requires the very next call to go the way Python would, then undoes it.
"""
import threading
import types

import pytest

import lumo.client
import lumo.server
from lumo.client import Client, _RemoteMethod
from lumo.kelto import Skrivo
from lumo.ring import Connection
from netutil import serving

pytestmark = [pytest.mark.timeout(60), pytest.mark.usefixtures("quiet_lumo")]

TIMEOUT = 10.0


class Calc:
    def add(self, a, b):
        return a + b


@pytest.fixture
def calc():
    with serving(Calc(), "calc", TIMEOUT) as srv:
        proxy = lumo.client.connect("calc", "127.0.0.1", srv.server_address[1], TIMEOUT)
        add = proxy.add
        assert add(1, 2) == 3
        yield add
        add._client.close()


@pytest.fixture
def patch_class():
    """Assigns to a class for one test and puts the class's own entry back afterwards."""
    undo = []

    def patch(cls, name, value):
        undo.append((cls, name, cls.__dict__[name]))
        setattr(cls, name, value)

    yield patch
    for cls, name, original in reversed(undo):
        setattr(cls, name, original)


@pytest.mark.parametrize("name, least", [("send", 4), ("recv", 3), ("flush", 2)])
def test_a_method_replaced_on_the_class_is_called_at_once(calc, patch_class, name, least):
    original = getattr(Connection, name)
    seen = []

    def spy(self, *args):
        seen.append(type(self))
        return original(self, *args)

    patch_class(Connection, name, spy)
    assert calc(1, 2) == 3
    assert calc(2, 3) == 5
    # Two calls: the client's own, and the server's (a recv the server had already entered
    # when the class changed ran the old method; the one that took the second request is new).
    assert len(seen) >= least and set(seen) == {Connection}
    setattr(Connection, name, original)
    assert calc(3, 4) == 7  # a recv the server entered before the class changed back ends here
    settled = len(seen)
    assert calc(4, 5) == 9
    assert len(seen) == settled

def test_a_property_replaced_on_the_class_is_read_at_once(calc, patch_class):
    getter = Connection.__dict__["closed"].__get__
    reads = []
    patch_class(Connection, "closed", property(lambda self: reads.append(1) or getter(self)))
    assert calc(1, 2) == 3
    assert calc(2, 3) == 5
    # Two reads by the client, and at least the server's read before it served the second call.
    assert len(reads) >= 3

    # The server echoes requests back while _onwebs says so; the client refuses its own request.
    patch_class(Connection, "_onwebs", property(lambda self: True))
    assert calc(1, 2) != 3


def test_the_channels_own_dict_shadows_its_methods(calc):
    channel = calc._client._connection
    seen = []
    channel.recv = lambda: seen.append("recv") or Connection.recv(channel)
    channel.flush = lambda: seen.append("flush") or Connection.flush(channel)
    try:
        assert calc(1, 2) == 3
        assert seen == ["flush", "recv"]
    finally:
        del channel.recv, channel.flush
    assert calc(2, 3) == 5
    assert seen == ["flush", "recv"]


def test_a_subclass_of_the_channel_keeps_its_overrides(calc):
    seen = []

    class Traced(Connection):
        def send(self, obj):
            seen.append((obj[2], obj[4]))
            return super().send(obj)

    calc._client._connection = Traced(calc._client._connection._socket)
    assert calc(1, 2) == 3
    assert seen == [("calc.add", {})]


def test_remote_method_call_replaced_or_overridden(calc, patch_class):
    original = _RemoteMethod.__call__
    patch_class(_RemoteMethod, "__call__", lambda self, *a, **k: ("patched", original(self, *a, **k)))
    assert calc(1, 2) == ("patched", 3)

    class Sub(_RemoteMethod):
        def __call__(self, *args, **kwds):
            return ("sub", original(self, *args, **kwds))

    assert Sub(calc._client, "calc.add")(2, b=3) == ("sub", 5)


def test_keywords_reach_the_client_in_a_dict_of_the_calls_own(calc):
    got = []

    class Keeping(Client):
        def _request(self, method, args, kwds):
            got.append(kwds)
            return super()._request(method, args, kwds)

    old = calc._client
    keeping = Keeping("127.0.0.1", old._port, TIMEOUT)
    keeping.log = old.log
    try:
        add = _RemoteMethod(keeping, "calc.add")
        mine = {"b": 2}
        assert add(1, **mine) == 3
        assert add(1, 2) == 3
        assert got[0] == {"b": 2} and got[0] is not mine
        assert got[1] == {} and type(got[1]) is dict
    finally:
        keeping.close()


def test_a_foreign_channel_holding_the_connections_entries_is_refused(calc):
    class Foreign:
        closed = Connection.__dict__["closed"]
        flush = Connection.flush
        send = Connection.send
        recv = Connection.recv

    real = calc._client._connection
    calc._client._connection = Foreign()
    try:
        with pytest.raises(TypeError):
            calc(1, 2)
    finally:
        calc._client._connection = real
    assert calc(2, 3) == 5


def test_a_module_global_rebound_is_read_at_once(calc, monkeypatch):
    described = []
    monkeypatch.setattr(lumo.client, "iformat", lambda *call: described.append(call) or "<call>")
    monkeypatch.setattr(lumo.client, "RESPONSE", "not the tag")
    assert calc(1, 2) != 3  # the answer's tag no longer matches
    # The failure describes a call made without keywords with a dict of its own all the same.
    assert described == [("calc.add", (1, 2), {})] and type(described[0][2]) is dict
    monkeypatch.undo()
    assert calc(2, 3) == 5


def test_a_channel_rebound_while_closed_is_read_is_used(calc, patch_class):
    client, seen = calc._client, []

    class Traced(Connection):
        def flush(self):
            seen.append("flush")
            return super().flush()

    getter = Connection.__dict__["closed"].__get__

    def closed(self):
        if type(client._connection) is Connection:
            client._connection = Traced(self._socket)
        return getter(self)

    patch_class(Connection, "closed", property(closed))
    assert calc(1, 2) == 3
    assert seen == ["flush"]  # the first attempt runs on the channel bound by then


def test_the_servers_statistics_are_written_on_every_call():
    with serving(Calc(), "calc", TIMEOUT) as srv:
        add = lumo.client.connect("calc", "127.0.0.1", srv.server_address[1], TIMEOUT).add
        try:
            assert add(1, 2) == 3
            srv.client["host"] = "elsewhere"  # the call after this one writes it back
            assert add(2, 3) == 5
            assert srv.client["host"] == "127.0.0.1"

            class Mapping(dict):
                def __setitem__(self, key, value):
                    writes.append(key)
                    super().__setitem__(key, value)

            writes = []
            srv.client = Mapping(srv.client)
            assert add(3, 4) == 7
            assert writes == ["host", "port"]

            # The server's own __dict__ (it has one) shadows its _parse; then it is gone again.
            parse = srv._parse
            srv._parse = lambda request: writes.append("parse") or parse(request)
            assert add(4, 5) == 9 and writes[-1] == "parse"
            del srv._parse
            assert add(5, 6) == 11 and writes.count("parse") == 1
        finally:
            add._client.close()


def test_the_clients_attributes_and_methods_follow_every_change(calc):
    """The client's reads of _connection and _msgid and of its own methods, which on 3.11 read
    the instance's values in place while the class is unchanged, see each kind of change."""
    client, seen = calc._client, []

    class Traced(Connection):
        def recv(self):
            seen.append("recv")
            return super().recv()

    plain = client._connection
    traced = Traced(plain._socket)
    try:
        # A data descriptor on the class wins over the instance's value.
        Client._connection = property(lambda self: traced, lambda self, value: None)
        assert calc(1, 2) == 3 and seen == ["recv"]
    finally:
        del Client._connection
    assert calc(2, 3) == 5 and seen == ["recv"]

    # An instance attribute shadows a method; a method replaced on the class is called.
    client._request = lambda *a: seen.append("own") or Client._request(client, *a)
    assert calc(3, 4) == 7 and seen[-1] == "own"
    del client._request
    try:
        Client._parse = lambda self, response: ("parsed", response[2])
        assert calc(4, 5) == ("parsed", 9)
    finally:
        del Client._parse
    assert calc(4, 5) == 9

    # A class with its own look-up; then the instance's __dict__ made and written through.
    class Looking(Client):
        def __getattribute__(self, name):
            if name == "_msgid":
                seen.append(name)
            return super().__getattribute__(name)

    looking = Looking("127.0.0.1", client._port, TIMEOUT)
    looking.log = client.log
    add = _RemoteMethod(looking, "calc.add")
    try:
        for n in range(3):
            before = seen.count("_msgid")
            assert add(n, 7) == n + 7 and seen.count("_msgid") > before
    finally:
        looking.close()
    vars(client)["_connection"] = traced
    assert calc(5, 6) == 11 and seen[-1] == "recv"


def test_attribute_proxies_follow_their_class_and_the_modules_global(calc, monkeypatch):
    """`proxy.add` builds "<class>.add" and a _RemoteMethod straight while the module's
    _RemoteMethod is its own unchanged class; each change below is seen by the next read."""
    proxy = lumo.client._RemoteClass(calc._client, "calc")
    assert proxy.add(1, 2) == 3
    proxy._class = "nothere"
    assert proxy.add(1, 2) != 3  # a name the server does not publish: its failure value
    proxy._class = "calc"

    made = []

    class Counted(_RemoteMethod):
        def __init__(self, client, method):
            made.append(method)
            super().__init__(client, method)

    monkeypatch.setattr(lumo.client, "_RemoteMethod", Counted)
    assert proxy.add(2, 3) == 5 and made == ["calc.add"]
    monkeypatch.undo()

    original = _RemoteMethod.__init__
    try:
        _RemoteMethod.__init__ = lambda self, client, method: made.append(method) or original(self, client, method)
        assert proxy.add(3, 4) == 7 and made == ["calc.add", "calc.add"]
    finally:
        _RemoteMethod.__init__ = original
    assert proxy.add(5, 6) == 11 and len(made) == 2


def test_overridden_parsers_get_whole_messages():
    """Both sides take a compact message in parts while _parse is their own; a subclass's
    _parse gets the whole tuple (a fresh empty keyword dict included) and its answer is used."""
    requests, responses = [], []

    class Parsing(lumo.server.Server):
        def _parse(self, request):
            requests.append(request)
            msgid, function, args, kwds = super()._parse(request)
            return msgid, function, (args[0] * 10, *args[1:]), kwds

    class Checking(Client):
        def _parse(self, response):
            responses.append(response)
            return super()._parse(response)

    srv = Parsing(("127.0.0.1", 0), lumo.server.RequestHandler, obj=Calc(), alias="calc")
    srv.log = Skrivo("calc", exclude=["lumo"])
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    client = Checking("127.0.0.1", srv.server_address[1], TIMEOUT)
    client.log = srv.log
    try:
        add = _RemoteMethod(client, "calc.add")
        assert add(1, 2) == 12
        assert add(1, b=3) == 13
        assert requests == [(lumo.server.REQUEST, 1, "calc.add", (1, 2), {}),
                            (lumo.server.REQUEST, 2, "calc.add", (1,), {"b": 3})]
        assert type(requests[0][4]) is dict and requests[0][4] is not requests[1][4]
        assert responses == [(lumo.client.RESPONSE, 1, 12), (lumo.client.RESPONSE, 2, 13)]
    finally:
        client.close()
        srv.shutdown()
        srv.server_close()
        thread.join(TIMEOUT)


def test_a_published_modules_functions_follow_the_module():
    published = types.ModuleType("published")
    published.add = lambda a, b: a + b
    with serving(published, "m", TIMEOUT) as srv:
        add = lumo.client.connect("m", "127.0.0.1", srv.server_address[1], TIMEOUT).add
        try:
            assert add(1, 2) == 3
            published.add = lambda a, b: a - b
            assert add(1, 2) == -1
            del published.add
            published.__getattr__ = lambda name: (lambda a, b: a * b)
            assert add(2, 3) == 6
            published.__getattr__ = lambda name: (lambda a, b: a ** b)
            assert add(2, 3) == 8
        finally:
            add._client.close()


def test_the_message_id_store_follows_the_class(calc):
    """The client writes _msgid in place while its class is as the store learnt it; a data
    descriptor put on the class takes the very next store."""
    client = calc._client
    start = client._msgid
    assert calc(1, 2) == 3 and client._msgid == start + 1
    ids = []
    client._backing = start + 1
    Client._msgid = property(lambda self: self._backing,
                             lambda self, value: ids.append(value) or setattr(self, "_backing", value))
    try:
        assert calc(2, 3) == 5
        assert ids == [start + 2]
    finally:
        del Client._msgid
    client._msgid = client._backing
    assert calc(3, 4) == 7 and client._msgid == start + 3


def test_a_client_class_with_its_own_setattr_sees_every_message_id(calc):
    written = []

    class Watching(Client):
        def __setattr__(self, name, value):
            if name == "_msgid":
                written.append(value)
            super().__setattr__(name, value)

    watching = Watching("127.0.0.1", calc._client._port, TIMEOUT)
    watching.log = calc._client.log
    add = _RemoteMethod(watching, "calc.add")
    try:
        assert [add(n, 1) for n in range(3)] == [1, 2, 3]
        assert written == [0, 1, 2, 3]  # __init__'s, then one per call
    finally:
        watching.close()
