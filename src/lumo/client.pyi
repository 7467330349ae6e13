# Types of lumo.client (an extension module): call the functions of a published object.
#
# A remote call returns the remote result, or an Exception instance when it failed (on the
# server, or because the connection was lost), or None when no connection could be made.
import socket as socket
from typing import Any, Literal, overload

from .kelto import Skrivo as Skrivo
from .kelto import iformat as iformat
from .protocol import REQUEST as REQUEST
from .protocol import RESPONSE as RESPONSE
from .ring import Connection as Connection
from .ring import get_port as get_port

class _RemoteStatus:
    @property
    def laddr(self) -> Any:
        """The local address of the client's socket; None before the first call."""
    @property
    def raddr(self) -> Any:
        """The server's address of the client's socket; None before the first call."""

class _RemoteMethod(_RemoteStatus):
    """A remote function: calling it calls the function on the server."""

    _client: Client
    _method: str
    def __init__(self, client: Client, method: str) -> None: ...
    def __call__(self, *args: Any, **kwds: Any) -> Any: ...

class _RemoteClass(_RemoteStatus):
    """A published module or class: each attribute is a remote function (_RemoteMethod)."""

    _client: Client
    _class: str
    def __init__(self, client: Client, clsname: str, *args: Any) -> None: ...
    def __getattr__(self, method: str) -> _RemoteMethod: ...

class ClientBase:
    _host: str
    _port: int
    _timeout: float
    _msgid: int
    _connection: Connection | None
    alias: str
    log: Skrivo
    def __init__(self, host: str, port: int, timeout: float = 1000.0) -> None: ...
    # "class" gives a _RemoteClass, any other text a _RemoteMethod. A str variable that holds
    # "class" is typed as the latter: the overlap that mypy reports is accepted on purpose.
    @overload
    def __call__(  # type: ignore[overload-overlap]
        self, name: str, types: Literal["class"] = "class"
    ) -> _RemoteClass: ...
    @overload
    def __call__(self, name: str, types: str) -> _RemoteMethod: ...
    def _parse(self, response: tuple[Any, ...] | list[Any]) -> Any: ...
    def close(self) -> None: ...

class Client(ClientBase):
    def __init__(self, host: str, port: int, timeout: float) -> None: ...
    def call(self, method: str, *args: Any, **kwds: Any) -> Any:
        """Calling remote method"""
    def open_connection(self) -> Any: ...
    def _request(self, method: str, args: Any, kwds: Any) -> None: ...

@overload
def connect(  # type: ignore[overload-overlap]
    name: str,
    host: str = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: Literal["class"] = "class",
) -> _RemoteClass: ...
@overload
def connect(
    name: str, host: str = "127.0.0.1", port: int = 0, timeout: float = 1000.0, *, types: str
) -> _RemoteMethod: ...
@overload
def connect(name: str, host: str, port: int, timeout: float, types: str) -> _RemoteMethod: ...
