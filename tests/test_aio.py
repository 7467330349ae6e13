"""lumo.aio over 127.0.0.1: against the real server, and against scripted peers that answer out
of order, drop the connection or break the protocol; its failure values beside the blocking
client's for the same failures."""

import asyncio
import gc
import logging
import pickle
import random
import socket
import threading
import time
import types
import warnings

import numpy as np
import pytest

import lumo.aio
from lumo.client import connect as blocking_connect
from lumo.protocol import RESPONSE
from lumo.ring import Connection
from lumo.server import serve
from netutil import free_port

TIMEOUT = 10.0
EVENTS = {}


def calculator():
    calc = types.ModuleType("calc")
    calc.add = lambda a, b: a + b
    calc.div = lambda a, b: a / b
    calc.nap = lambda i, seconds: (time.sleep(seconds), i)[1]
    calc.block = lambda key: EVENTS[key].wait(TIMEOUT)
    calc.double = lambda x: x * 2
    return calc


@pytest.fixture(scope="module")
def port():
    port = free_port()
    serve(calculator(), "calc", port=port, thread=True)
    return port


@pytest.fixture
def event():
    key = object().__repr__()
    EVENTS[key] = threading.Event()
    yield key
    EVENTS.pop(key).set()


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def run(test):
    """Runs test() in a new event loop in debug mode; fails on a task left running, on a
    ResourceWarning (an unclosed socket or transport) and on asyncio's own warnings."""
    records = _Records()
    logging.getLogger("asyncio").addHandler(records)

    async def main():
        asyncio.get_running_loop().slow_callback_duration = 3600  # a busy machine is no fault
        result = await asyncio.wait_for(test(), 3 * TIMEOUT)
        left = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        assert not left, left
        return result

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            result = asyncio.run(main(), debug=True)
            gc.collect()
    finally:
        logging.getLogger("asyncio").removeHandler(records)
    assert not [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    assert not [r.getMessage() for r in records.records]
    return result


class Peer:
    """A scripted server: the n-th connection it accepts is handed, as a Connection, to the
    n-th script."""

    def __init__(self, *scripts):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.errors = []
        self.thread = threading.Thread(target=self._serve, args=(scripts,), daemon=True)
        self.thread.start()

    def _serve(self, scripts):
        for script in scripts:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with sock:
                sock.settimeout(TIMEOUT)
                try:
                    script(Connection(sock))
                except Exception as exc:
                    self.errors.append(exc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.thread.join(TIMEOUT)
        self.listener.close()
        assert not self.thread.is_alive() and not self.errors


def shuffled(n):
    def script(chan):
        requests = [chan.recv() for _ in range(n)]
        random.Random(5).shuffle(requests)
        for _, msgid, _, args, _ in requests:
            chan.send((RESPONSE, msgid, sum(args)))
    return script


def read_then_drop(n):
    def script(chan):
        for _ in range(n):
            chan.recv()
    return script


def answer_all(chan):
    while True:
        try:
            _, msgid, _, args, _ = chan.recv()
        except ConnectionError:
            return
        chan.send((RESPONSE, msgid, sum(args)))


def wrong_id(chan):
    _, msgid, _, args, _ = chan.recv()
    chan.send((RESPONSE, msgid + 1000, sum(args)))
    with pytest.raises(ConnectionError):
        chan.recv()  # until the client goes


def blocking(port, method, *args, timeout=TIMEOUT):
    """One call of the blocking client, which then closes its channel."""
    calc = blocking_connect("calc", port=port, timeout=timeout)
    try:
        return getattr(calc, method)(*args)
    finally:
        if calc._client._connection is not None:
            calc._client._connection.close()


def same_failure(a, b):
    return type(a) is type(b) and str(a) == str(b)


class TestPipelining:
    def test_answers_go_to_their_calls_under_random_delays(self, port):
        rng = random.Random(3)

        async def test():
            async with await lumo.aio.connect("calc.add", port=port, types="function") as add:
                assert await add(2, 3) == 5
            async with await lumo.aio.connect("calc", port=port) as calc:
                calls = [calc.nap(i, rng.random() * 0.005) for i in range(40)]
                calls += [calc.add(i, 1000) for i in range(40)]
                return await asyncio.gather(*calls)

        assert run(test) == list(range(40)) + [i + 1000 for i in range(40)]

    def test_answers_out_of_order_are_matched_by_message_id(self):
        async def test():
            async with await lumo.aio.connect("calc", port=peer.port) as calc:
                return await asyncio.gather(*(calc.add(i, i) for i in range(30)))

        with Peer(shuffled(30)) as peer:
            assert run(test) == [2 * i for i in range(30)]

    def test_large_out_of_band_and_small_calls_interleaved(self, port):
        arrays = [np.arange(k * 250_000, dtype=np.float64) for k in (1, 3, 2)]

        async def test():
            async with await lumo.aio.connect("calc", port=port) as calc:
                calls = []
                for i, a in enumerate(arrays):
                    calls += [calc.add(i, 1), calc.double(a), calc.add(i, a[:3])]
                return await asyncio.gather(*calls)

        got = run(test)
        for i, a in enumerate(arrays):
            small, doubled, mixed = got[3 * i:3 * i + 3]
            assert small == i + 1 and (doubled == 2 * a).all() and (mixed == i + a[:3]).all()


class TestFailures:
    def test_a_lost_connection_fails_every_call_in_flight_and_the_next_call_reconnects(self):
        async def test():
            calc = await lumo.aio.connect("calc", port=peer.port)
            lost = await asyncio.gather(*(calc.add(i, 1) for i in range(5)))
            again = await calc.add(20, 22)
            await calc.aclose()
            return lost, again

        with Peer(read_then_drop(1), read_then_drop(5), answer_all) as peer:
            want = blocking(peer.port, "add", 1, 2)
            lost, again = run(test)
        assert isinstance(want, ConnectionError)
        assert all(same_failure(v, want) for v in lost) and again == 42

    def test_server_errors_and_bad_answers_are_the_values_of_the_blocking_client(self, port):
        async def test(p, method, *args):
            async with await lumo.aio.connect("calc", port=p) as calc:
                return await getattr(calc, method)(*args)

        want = blocking(port, "div", 1, 0)
        assert "ZeroDivisionError" in str(want) and same_failure(run(lambda: test(port, "div", 1, 0)), want)
        with Peer(wrong_id, wrong_id) as peer:
            want = blocking(peer.port, "add", 1, 2)
            got = run(lambda: test(peer.port, "add", 1, 2))
        assert "Invalid Message ID" in str(want) and same_failure(got, want)

    def test_a_failed_connect_is_logged_as_by_the_blocking_client(self, caplog):
        nobody = free_port()

        async def test():
            calc = await lumo.aio.connect("calc", port=nobody, timeout=2.0)
            return await calc.add(1, 2)

        with caplog.at_level(logging.CRITICAL, logger="lumo"):
            assert blocking(nobody, "add", 1, 2, timeout=2.0) is None
            want = caplog.records[-1].getMessage()
            caplog.clear()
            assert run(test) is None
        assert want.startswith("Connection failed (")
        assert [r.getMessage() for r in caplog.records] == [want, want]  # the connect, then the call


class TestWaiting:
    def test_time_outs_give_the_blocking_clients_value_and_keep_the_connection(self, port, event):
        want = blocking(port, "block", event, timeout=0.3)

        async def test():
            async with await lumo.aio.connect("calc", port=port, timeout=0.3) as short:
                by_default = await short.block(event)
            async with await lumo.aio.connect("calc", port=port) as calc:
                channel = calc._client._connection
                timed_out = await lumo.aio.wait(calc.block(event), timeout=0.3)
                EVENTS[event].set()
                # The late answer is dropped, not taken for the next call's.
                after = await calc.add(1, 2)
                return by_default, timed_out, after, calc._client._connection is channel

        by_default, timed_out, after, kept = run(test)
        assert "TimeoutError" in str(want)
        assert same_failure(by_default, want) and same_failure(timed_out, want)
        assert after == 3 and kept

    def test_cancelling_one_call_leaves_the_others_alone(self, port, event):
        async def test():
            async with await lumo.aio.connect("calc", port=port) as calc:
                first = calc.add(1, 1)
                blocked = asyncio.ensure_future(calc.block(event))
                behind = calc.add(2, 2)
                assert await first == 2
                blocked.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await blocked
                EVENTS[event].set()
                return await behind, await calc.add(3, 3)

        assert run(test) == (4, 6)

    def test_closing_fails_the_calls_in_flight_and_a_bad_argument_raises_at_the_call(self, port, event):
        async def test():
            calc = await lumo.aio.connect("calc", port=port)
            with pytest.raises((AttributeError, pickle.PicklingError)):  # a local lambda does not pickle
                calc.add(lambda: 1, 2)
            pending = calc.block(event)
            await calc.aclose()
            return await pending

        got = run(test)
        assert isinstance(got, ConnectionError) and str(got) == "@RECV: ConnectionAbortedError the connection is closed"
