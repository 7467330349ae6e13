"""lumo.ring.set_spin: the switch, and channels that stay right and keep their time-out while
they spin before they block."""

import socket
import threading

import pytest

from lumo import ring
from lumo.ring import Connection

TIMEOUT = 10.0


@pytest.fixture
def spin():
    """Sets the switch for one test and puts back what it was."""
    was = ring.set_spin(True)
    yield ring.set_spin
    ring.set_spin(was)


@pytest.fixture
def always():
    """Every wait spins its full budget, whatever the machine and the channel's past."""
    was = ring.set_spin(True), ring._spin_rules(False)
    yield
    ring.set_spin(was[0])
    ring._spin_rules(was[1])


def attempts():
    return sum(ring._spin_counts().values())


def echoing_pair(kind):
    if kind == "tcp":
        with socket.create_server(("127.0.0.1", 0)) as server:
            a = socket.create_connection(server.getsockname(), timeout=TIMEOUT)
            b, _ = server.accept()
    else:
        a, b = socket.socketpair()
    for s in (a, b):
        s.settimeout(TIMEOUT)
    return Connection(a), Connection(b)


def echo_until_none(chan):
    while (msg := chan.recv()) is not None:
        chan.send(msg)


def test_set_spin_takes_a_bool_and_returns_the_previous_setting(spin):
    assert spin(False) is True
    assert spin(flag=False) is False
    assert spin(True) is False
    for bad in (1, 0, None, "no", 1.0):
        with pytest.raises(TypeError, match="set_spin\\(\\) takes True or False"):
            spin(bad)
    with pytest.raises(TypeError):
        spin()
    with pytest.raises(TypeError):
        spin(True, False)
    assert spin(True) is True  # a refused argument changed nothing


@pytest.mark.parametrize("kind", ["socketpair", "tcp"])
@pytest.mark.parametrize("on", [True, False], ids=["spin-on", "spin-off"])
@pytest.mark.parametrize("ruled", [True, False], ids=["ruled", "always"])
def test_round_trips_are_right_with_spin_on_and_off(spin, kind, on, ruled):
    spin(on)
    was = ring._spin_rules(ruled)
    client, server = echoing_pair(kind)
    peer = threading.Thread(target=echo_until_none, args=(server,))
    peer.start()
    before = attempts()
    try:
        for i in range(1500):
            msg = (i, "x" * (i % 300), b"y" * (i % 7))
            client.send(msg)
            assert client.recv() == msg
    finally:
        client.send(None)
        peer.join(TIMEOUT)
        ring._spin_rules(was)
    # Switched off, no wait looks at spinning at all; switched on, each wait counts one way.
    assert (attempts() > before) is on
    client.close()
    server.close()


@pytest.mark.parametrize("kind", ["socketpair", "tcp"])
def test_a_spinning_wait_keeps_the_time_out(always, kind):
    client, server = echoing_pair(kind)
    try:
        # A reply that comes after the spin, within the time-out, is received after a sleep ...
        lost = ring._spin_counts()["lost"]
        timer = threading.Timer(0.05, server.send, args=("late",))
        timer.start()
        assert client.recv() == "late"
        timer.join()
        assert ring._spin_counts()["lost"] == lost + 1
        # ... a reply that does not come ends in the time-out, which closes the channel ...
        client._socket.settimeout(0.1)
        with pytest.raises(TimeoutError, match=r"no progress from the peer in 0\.1 s"):
            client.recv()
        assert client.closed
        assert ring._spin_counts()["lost"] == lost + 2
        # ... and so does a time-out shorter than the spin.
        server.close()
        client, server = echoing_pair(kind)
        client._socket.settimeout(1e-5)
        with pytest.raises(TimeoutError):
            client.recv()
        assert client.closed
    finally:
        client.close()
        server.close()
