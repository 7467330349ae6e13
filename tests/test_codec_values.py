"""Values at the edges of the compact encoding, and call sites that see many classes and names.

The compact encoding carries ints in eight little-endian bytes, floats as their bits, texts as
UTF-8 and containers to a bounded depth; whatever it cannot carry exactly goes to pickle. Each
value must come back equal, of the same type, and by the path the table says. The call path's
caches remember one class and one name per site: sites that alternate between classes,
instances and names must still give each call its own answer.
"""
import math
import socket

import pytest

import lumo.client
from lumo.client import Client, _RemoteMethod
from lumo.ring import Connection, Decoder, Encoder
from netutil import serving

pytestmark = [pytest.mark.timeout(60), pytest.mark.usefixtures("quiet_lumo")]

TIMEOUT = 10.0


def nested(depth, leaf=0):
    value = leaf
    for _ in range(depth):
        value = (value,)
    return value


# value, whether the compact encoding carries it
VALUES = [
    (0, True), (1, True), (-1, True), (2**30 - 1, True), (2**30, True), (-(2**30), True),
    (2**31, True), (-(2**31) - 1, True), (2**63 - 1, True), (-(2**63), True),
    (2**63, False), (-(2**63) - 1, False), (10**30, False),
    (True, True), (False, True), (None, True),
    (0.0, True), (-0.0, True), (1e308, True), (5e-324, True), (math.inf, True), (-math.inf, True),
    ("", True), ("ascii", True), ("é€", True), ("\U0001f600", True), ("\ud800", False),
    (b"", True), (bytes(range(256)), True),
    ((), True), ([], True), ({}, True), ({1: "a", "b": [2.5, None]}, True),
    (nested(31), True), (nested(40), False),
    (frozenset({1}), False),
]


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("value, compact", VALUES, ids=repr)
def test_a_value_comes_back_the_same_by_the_expected_path(value, compact):
    chunks = Encoder().encode(value)
    frame = b"".join(bytes(c) for c in chunks)
    assert frame[:3] == b"LM\x01" and (frame[3] == 1) == compact
    [back] = Decoder().feed(frame)
    assert same(back, value)

    a, b = socket.socketpair()
    with a, b:
        a.settimeout(TIMEOUT)
        b.settimeout(TIMEOUT)
        Connection(a).send(value)
        assert same(Connection(b).recv(), value)


def test_nan_keeps_its_bits():
    nan = -math.nan
    [back] = Decoder().feed(b"".join(bytes(c) for c in Encoder().encode(nan)))
    assert math.isnan(back) and math.copysign(1, back) == -1


class Names:
    """Answers any attribute with a function that returns the attribute's name."""

    def __getattr__(self, name):
        return lambda: name


def test_many_names_through_one_proxy_each_get_their_own_answer():
    with serving(Names(), "names", TIMEOUT) as srv:
        proxy = lumo.client.connect("names", "127.0.0.1", srv.server_address[1], TIMEOUT)
        try:
            names = [f"f{i}" for i in range(40)]  # more than the joined names kept
            for _ in range(2):
                assert [getattr(proxy, n)() for n in names] == names
            other = lumo.client._RemoteClass(proxy._client, "other")
            assert other.f1() != "f1"  # "other.f1" is not published: its failure value
        finally:
            proxy._client.close()


class Calc:
    def add(self, a, b):
        return a + b


def test_sites_alternating_between_classes_and_servers_answer_each_call():
    class Sub(Client):
        pass

    with serving(Calc(), "calc", TIMEOUT) as one, serving(Calc(), "calc", TIMEOUT) as two:
        clients = []
        for srv, cls in ((one, Client), (two, Sub), (one, Sub), (two, Client)):
            c = cls("127.0.0.1", srv.server_address[1], TIMEOUT)
            c.log = lumo.client.connect("calc", "127.0.0.1", srv.server_address[1], TIMEOUT)._client.log
            clients.append((srv, c, _RemoteMethod(c, "calc.add")))
        try:
            for i in range(5):
                for n, (_, _, add) in enumerate(clients):
                    assert add(i, n) == i + n
            # Each server counted the calls of its own two clients, whatever the sites saw last.
            for srv in (one, two):
                counts = [entry["calc.add"]["count"] for entry in srv.statistics.values() if "calc.add" in entry]
                assert sorted(counts) == [5, 5]
            assert [c._msgid for _, c, _ in clients] == [5, 5, 5, 5]
        finally:
            for _, c, _ in clients:
                c.close()
