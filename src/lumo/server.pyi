# Types of lumo.server (an extension module): publish one object over TCP.
import os as os
import socketserver
from types import MethodType as MethodType
from typing import Any as Any

from .kelto import Skrivo as Skrivo
from .kelto import iformat as iformat
from .kelto import iprint as iprint
from .protocol import REQUEST as REQUEST
from .protocol import RESPONSE as RESPONSE
from .ring import Connection as Connection
from .ring import get_port as get_port

# A connection's call record: remote name -> {"count": successful calls}.
_Record = dict[str, dict[str, int]]

class ServerBase:
    """The registry of the published object: register() adds the service functions to it, and
    _parse() resolves the name of a request to what is called."""

    _alias: str
    _server: dict[str, Any]
    _timeout: int
    statistics: dict[Any, _Record]
    """Client address -> that connection's call record."""
    client: dict[str, Any]
    """The address of the latest request's sender: {"host": ..., "port": ...}."""
    def __init__(self, obj: Any, alias: str = "") -> None: ...
    def register(self, obj: Any) -> None:
        """Publish obj under the alias, adding the service functions stats, client, ping,
        getpid and terminate to it as attributes."""
    def _parse(self, request: tuple[Any, ...] | list[Any]) -> tuple[Any, Any, Any, Any]: ...

class RequestHandler(socketserver.BaseRequestHandler):
    """Serves one connection on its own thread: each request is answered with the result, or
    with an error value (an Exception) when the call fails; the connection is logged when it
    starts (INFO) and when it ends (CRITICAL)."""

    server: Server
    record: _Record
    _connection: Connection
    def setup(self) -> None:
        """Log the connection, enter its call record in the statistics, wrap the socket."""
    def handle(self) -> None:
        """Serve requests until the connection ends."""
    def process(self) -> None:
        """Receive one request and send its response."""
    def finish(self) -> None:
        """Log the end of the connection (at CRITICAL) and drop its statistics entry."""

class Server(socketserver.ThreadingTCPServer, ServerBase):
    """A threaded TCP server of one published object: each connection gets a daemon thread.
    serve() makes one; subclass it (and assign lumo.server.Server) to change socketserver's
    settings, such as request_queue_size."""

    log: Skrivo
    def __init__(
        self,
        server_address: tuple[str, int],
        RequestHandlerClass: type[socketserver.BaseRequestHandler],
        bind_and_activate: bool = True,
        obj: Any = "Object",
        alias: str = "Server",
    ) -> None: ...

def terminate(wait: int = 3, itself: bool = True, kill: bool = True) -> Any:
    """End the process tree of the calling process after `wait` seconds: every descendant,
    then (with itself true) the calling process. With kill false, only report the list."""

def start(s: Server, clean: bool = False) -> None:
    """Run the server until Ctrl+C, then close it (and with clean, call terminate())."""

def serve(
    obj: Any,
    alias: str = "",
    host: str = "127.0.0.1",
    port: int = 0,
    thread: bool = False,
    clean: bool = False,
) -> None:
    """Publish obj (a function, a class or a module) under alias on host:port (port 0:
    get_port(alias)); serve in this thread until Ctrl+C, or with thread=True on a daemon thread.

    The server listens before serve returns or starts serving, and logs under the logger
    "lumo.<alias>". Clients reach it with lumo.client.connect(alias). IPv4 only. With clean,
    Ctrl+C also ends the processes that the server started and then its own process.
    A failed call is answered with an Exception whose text names the exception, the call and
    the message, and whose note holds the server's traceback."""
