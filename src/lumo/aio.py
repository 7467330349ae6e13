"""Calls to a lumo server from asyncio programs, pipelined over one connection.

    calc = await lumo.aio.connect("calc")
    await calc.add(1, 2)                      # 3
    await asyncio.gather(*(calc.add(i, 1) for i in range(100)))
    await lumo.aio.wait(calc.add(1, 2), timeout=0.5)
    await calc.aclose()

Calling a proxy sends the request at once (after the connection opens, when it has to) and
returns a Reply, an asyncio future; awaiting it gives what lumo.client's call returns for the
same outcome: the result, the server's error value, a ConnectionError value for a lost
connection or a time-out (logged at CRITICAL with the same text), None when no connection could
be opened. Requests go out in order without waiting for earlier answers; each answer goes to
the call with its message id. Frames are made and read by lumo.ring's Encoder and Decoder, the
blocking channel's own code.
"""

import asyncio
import os
import socket

from . import client as _blocking
from . import ring
from .client import ClientBase, _RemoteClass, _RemoteMethod
from .kelto import iformat
from .protocol import REQUEST

__all__ = ["Client", "Reply", "connect", "wait"]

_SMALL = 64 * 1024  # pieces below this are joined into one write
_BATCH = 32  # queued pieces (about one per small request) that are written at once
_MISSING = object()


def _text(value):
    return format(value, "")


def _timed_out(timeout):
    return "@RECV: TimeoutError timed out: no progress from the peer in %g s" % timeout


class _Expect:
    """What ClientBase._parse checks a response against: the id of the call it answers."""

    __slots__ = ("_msgid",)

    def __init__(self, msgid):
        self._msgid = msgid


class Reply(asyncio.Future):
    """The answer of one remote call, an asyncio future: await it (or gather it, or hand it to
    wait() for a time-out of its own). Cancelling it drops the answer when it comes."""

    __slots__ = ("_client", "_channel", "_msgid")


class _Channel(asyncio.Protocol):
    """One connection to the server: writes the requests as they come and hands each answer to
    the call with its message id. The server answers a connection's requests in order, so an
    answer that names no waiting call is taken as the answer to the oldest one."""

    def __init__(self, client, loop):
        self._client = client
        self._loop = loop
        self._transport = None
        self._socket = None
        self._decoder = ring.Decoder()
        self._expect = _Expect(0)
        # msgid -> (reply, method, args, kwds, deadline) in the order sent; None for a call
        # that timed out, whose answer is read and dropped.
        self._waiting = {}
        self._out = []
        self._flushing = False
        self._watchdog = None
        self._handshake = None  # bytes of the key handshake while it runs
        self._woken = None
        self._lost = loop.create_future()
        self._reason = None
        self.closed = False

    # -- asyncio.Protocol

    def connection_made(self, transport):
        self._transport = transport
        self._socket = transport.get_extra_info("socket")

    def data_received(self, data):
        if self._handshake is not None:
            self._handshake += data
            self._wake()
            return
        try:
            messages = self._decoder.feed(data)
        except Exception as exc:
            self._abort(exc)
            return
        for message in messages:
            self._answer(message)
        if self._decoder.broken:
            self._abort(self._decoder.eof())

    def eof_received(self):
        return False  # close the transport; connection_lost follows

    def connection_lost(self, exc):
        if exc is None:
            exc = self._decoder.eof()
        elif type(exc) is ConnectionResetError:
            exc = ConnectionResetError("connection reset by the peer")  # the blocking channel's words
        self.closed = True
        self._fail_all(self._reason or exc)
        self._wake()
        if not self._lost.done():
            self._lost.set_result(None)

    # -- calls

    def send(self, msgid, pieces, entry):
        """Queues one encoded request. The requests of one turn of the loop leave together, in
        writes of up to _BATCH requests, so that the server starts on the first ones while the
        program still makes the later ones."""
        out = self._out
        out += pieces
        self._waiting[msgid] = entry
        entry[0]._channel = self
        if len(out) >= _BATCH:
            self._flush()
        elif not self._flushing:
            self._flushing = True
            self._loop.call_soon(self._flush_soon)
        if self._watchdog is None:
            self._watchdog = self._loop.call_at(entry[4], self._watch)

    def _flush_soon(self):
        self._flushing = False
        self._flush()

    def _flush(self):
        out, self._out = self._out, []
        if self.closed:
            return
        write = self._transport.write
        small = bytearray()
        for piece in out:
            if len(piece) < _SMALL:
                small += piece
                continue
            if small:
                write(small)
                small = bytearray()
            write(piece)
        if small:
            write(small)

    def _watch(self):
        # Every call waits at most the client's time-out. Deadlines grow in the order sent, so
        # one timer for the oldest call that still waits serves them all.
        self._watchdog = None
        now = self._loop.time()
        for msgid, entry in self._waiting.items():
            if entry is None or entry[0].done():
                continue
            if entry[4] > now:
                self._watchdog = self._loop.call_at(entry[4], self._watch)
                return
            self._expire(msgid, entry, self._client._timeout)

    def _expire(self, msgid, entry, timeout):
        self._waiting[msgid] = None
        entry[0].set_result(self._client.log.critical(_timed_out(timeout)))

    def expire(self, msgid, timeout):
        entry = self._waiting.get(msgid)
        if entry is not None and not entry[0].done():
            self._expire(msgid, entry, timeout)

    def _answer(self, response):
        waiting = self._waiting
        entry = _MISSING
        if isinstance(response, (tuple, list)) and len(response) == 3:
            key = response[1]
            try:
                entry = waiting.pop(key, _MISSING)
            except TypeError:  # an id that cannot be a key answers no call
                pass
        if entry is _MISSING:
            key = next(iter(waiting), None)
            if key is None:
                return  # an answer to no request
            entry = waiting.pop(key)
        if entry is None or entry[0].done():
            return  # timed out or cancelled: dropped
        reply = entry[0]
        if isinstance(response, BaseException):
            reply.set_result(self._client.log.critical("@RECV: " + type(response).__name__ + " " + _text(response)))
            return
        expect = self._expect
        expect._msgid = key
        try:
            result = ClientBase._parse(expect, response)
        except Exception as exc:
            _, method, args, kwds, _ = entry
            result = self._client.log.error(Exception("Failure" + _text(iformat(method, args, kwds)) + " " + _text(exc)))
        reply.set_result(result)

    def _fail_all(self, exc):
        waiting, self._waiting = self._waiting, {}
        if self._watchdog is not None:
            self._watchdog.cancel()
            self._watchdog = None
        line = "@RECV: " + type(exc).__name__ + " " + _text(exc)
        for entry in waiting.values():
            if entry is not None and not entry[0].done():
                entry[0].set_result(self._client.log.critical(line))

    def _abort(self, exc):
        if not self.closed:
            self.closed = True
            self._reason = exc
            self._fail_all(exc)
            self._transport.abort()

    # -- the key handshake, before any message

    def _wake(self):
        if self._woken is not None and not self._woken.done():
            self._woken.set_result(None)

    async def shake_hands(self, handshake):
        self._handshake = bytearray()
        out = handshake.start()
        if out:
            self._transport.write(out)
        while not handshake.done:
            while not self._handshake:
                if self.closed:
                    raise self._decoder.eof()
                self._woken = self._loop.create_future()
                await self._woken
            n = min(len(self._handshake), handshake.wanted)
            data = bytes(self._handshake[:n])
            del self._handshake[:n]
            out = handshake.feed(data)
            if out:
                self._transport.write(out)
        rest, self._handshake = bytes(self._handshake), None
        if rest:
            self.data_received(rest)

    # -- the channel surface that ClientBase and the proxies use

    def close(self):
        if self.closed:
            return
        self.closed = True
        self._reason = ConnectionAbortedError("the connection is closed")
        self._fail_all(self._reason)
        if self._transport is not None:
            self._transport.close()

    async def wait_closed(self, timeout):
        try:
            await asyncio.wait_for(asyncio.shield(self._lost), timeout)
        except TimeoutError:
            self._transport.abort()


def _connect_error(exc):
    """The exception as the blocking client meets it: asyncio words some socket errors its own
    way ("Connect call failed (...)"); the text is the system's, as socket.connect() gives it."""
    if isinstance(exc, TimeoutError):
        return TimeoutError("timed out")
    if type(exc) is not socket.gaierror and isinstance(exc.errno, int) and exc.errno > 0:
        return type(exc)(exc.errno, os.strerror(exc.errno))
    return exc


class _Closing:
    """What the asyncio proxies add to lumo.client's: closing the client's connection."""

    async def aclose(self):
        await self._client.aclose()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self._client.aclose()


class _AioClass(_Closing, _RemoteClass):
    pass


class _AioMethod(_Closing, _RemoteMethod):
    pass


class Client(ClientBase):
    """The asyncio client: lumo.client's ClientBase whose calls return Replies. Many calls may
    wait at once on its one connection."""

    def __init__(self, host, port, timeout=1000.0):
        super().__init__(host, port, timeout)
        self._encoder = ring.Encoder()
        self._opening = None
        self._queued = []  # (msgid, pieces, entry) of the calls made while the connection opens

    def __call__(self, name, types="class"):
        proxy = super().__call__(name, types)
        return (_AioClass if isinstance(proxy, _RemoteClass) else _AioMethod)(self, name)

    def call(self, method, *args, **kwds):
        """Sends the request (it is encoded here: an argument that does not pickle raises) and
        returns its Reply. Needs the running event loop."""
        if type(method) is not str:
            raise TypeError("Argument 'method' has incorrect type (expected str, got %.200s)" % type(method).__name__)
        channel = self._connection
        ready = self._opening is None and channel is not None and not channel.closed
        # The loop of an open channel is the running one; only a call that opens a connection
        # needs to ask for it (and fails with RuntimeError outside a coroutine).
        loop = channel._loop if ready else asyncio.get_running_loop()
        msgid = self._msgid + 1
        pieces = self._encoder.encode((REQUEST, msgid, method, args, kwds))
        self._msgid = msgid
        reply = Reply(loop=loop)
        reply._client = self
        reply._channel = None
        reply._msgid = msgid
        entry = (reply, method, args, kwds, loop.time() + self._timeout)
        if ready:
            channel.send(msgid, pieces, entry)
        else:
            self._queued.append((msgid, pieces, entry))
            if self._opening is None:
                self._opening = loop.create_task(self._reopen())
        return reply

    async def _reopen(self):
        # The calls made while no connection is open wait here for one attempt to open it.
        failed = None
        try:
            await self.open_connection()
        except BaseException as exc:
            failed = exc
        self._opening = None
        queued, self._queued = self._queued, []
        channel = self._connection
        for msgid, pieces, entry in queued:
            reply = entry[0]
            if reply.done():
                continue
            if isinstance(failed, asyncio.CancelledError):  # aclose() while it opened
                reply.set_result(self.log.critical("@RECV: ConnectionAbortedError the connection is closed"))
            elif failed is not None:
                reply.set_exception(failed)
            elif not channel:
                reply.set_result(None)  # no connection could be made (logged)
            elif channel.closed:  # the old channel stays when opening a new one failed
                reply.set_result(self.log.critical("@RECV: ConnectionAbortedError the connection is closed"))
            else:
                channel.send(msgid, pieces, entry)

    async def open_connection(self):
        """Opens a new connection (TLS and the key handshake when lumo.ring has them set) within
        the client's time-out. Returns None, or the logger's value for a failed connect."""
        if not self._host:
            return None
        loop = asyncio.get_running_loop()
        sock = socket.socket()
        made = []
        try:
            sock.setblocking(False)
            channel = await asyncio.wait_for(self._connect(loop, sock, made), self._timeout)
        except BaseException as exc:
            if made:
                made[0]._transport.abort()
            sock.close()
            if not isinstance(exc, OSError):  # TimeoutError included
                raise
            return self.log.critical(self._failure_text(exc))
        self._connection = channel
        return None

    async def _connect(self, loop, sock, made):
        await loop.sock_connect(sock, (self._host, self._port))
        tls = ring._tls_context("client") if hasattr(ring, "_tls_context") else None
        _, channel = await loop.create_connection(
            lambda: _Channel(self, loop), sock=sock, ssl=tls, server_hostname=self._host if tls else None)
        made.append(channel)
        handshake = ring._handshake("client") if hasattr(ring, "_handshake") else None
        if handshake is not None:
            await channel.shake_hands(handshake)
        return channel

    def _failure_text(self, exc):
        return ("Connection failed (" + _text(_connect_error(exc)) + "), please check: \n"
                "                        1. the network is connected\n"
                "                        2. the server info(host(" + _text(self._host) + ") or port("
                + _text(self._port) + ")) is correct \n"
                "                        3. the server(" + _text(self.alias) + ") has been started!")

    async def aclose(self):
        """Closes the connection and waits until it is closed. Calls still waiting get the
        ConnectionError value of a closed connection. Unlike close(), which logs the closing
        at CRITICAL as lumo.client's does, the end of an `async with` block is no event to log."""
        opening = self._opening
        if opening is not None:
            opening.cancel()
            await asyncio.wait((opening,), timeout=self._timeout)
        channel = self._connection
        if isinstance(channel, _Channel):
            channel.close()
            await channel.wait_closed(self._timeout)


def wait(reply, timeout):
    """Gives a call its own time-out in seconds and returns its Reply, to await: when no answer
    has come by then, the Reply gets the ConnectionError value of a receive time-out (as
    lumo.client's); the answer is dropped when it comes, and the connection stays open for the
    other calls."""
    if not isinstance(reply, Reply):
        raise TypeError("wait() takes the Reply of a lumo.aio call (such as calc.add(1, 2)), got %.200s"
                        % type(reply).__name__)
    timeout = float(timeout)
    if not reply.done():
        timer = reply.get_loop().call_later(timeout, _expire, reply, timeout)
        reply.add_done_callback(lambda _: timer.cancel())
    return reply


def _expire(reply, timeout):
    if reply.done():
        return
    if reply._channel is not None:
        reply._channel.expire(reply._msgid, timeout)
    else:  # still waiting for the connection: it is never sent
        reply.set_result(reply._client.log.critical(_timed_out(timeout)))


async def connect(name, host="127.0.0.1", port=0, timeout=1000.0, types="class"):
    """Returns a proxy for the object that a server publishes under `name`, like
    lumo.client.connect (the same arguments, checks and port), whose calls return Replies to
    await. It opens the connection within `timeout` seconds, which also bounds each call; a
    connection that can't be opened is logged, and the first call tries again."""
    plain = _blocking.connect(name, host, port, timeout, types)._client
    client = Client(plain._host, plain._port, plain._timeout)
    client.log = plain.log
    proxy = client(name, types)
    await client.open_connection()
    return proxy
