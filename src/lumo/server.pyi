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
    _alias: str
    _server: dict[str, Any]
    _timeout: int
    statistics: dict[Any, _Record]
    """Client address -> that connection's call record."""
    client: dict[str, Any]
    """The address of the latest request's sender: {"host": ..., "port": ...}."""
    def __init__(self, obj: Any, alias: str = "") -> None: ...
    def register(self, obj: Any) -> None: ...
    def _parse(self, request: tuple[Any, ...] | list[Any]) -> tuple[Any, Any, Any, Any]: ...

class RequestHandler(socketserver.BaseRequestHandler):
    server: Server
    record: _Record
    _connection: Connection
    def setup(self) -> None: ...
    def handle(self) -> None: ...
    def process(self) -> None: ...
    def finish(self) -> None: ...

class Server(socketserver.ThreadingTCPServer, ServerBase):
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
    get_port(alias)); serve in this thread until Ctrl+C, or with thread=True on a daemon thread."""
