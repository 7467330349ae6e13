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
    """The addresses of a proxy's connection."""

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
    def __call__(self, *args: Any, **kwds: Any) -> Any:
        """Call the remote function: its result, or an Exception value when the call failed
        (on the server, or because the connection was lost), or None when no connection
        could be made."""

class _RemoteClass(_RemoteStatus):
    """A published module or class: each attribute is a remote function (_RemoteMethod)."""

    _client: Client
    _class: str
    def __init__(self, client: Client, clsname: str, *args: Any) -> None: ...
    def __getattr__(self, method: str) -> _RemoteMethod:
        """The remote function `method` of the published object."""

class ClientBase:
    """One connection to a server (opened at the first call) and its message numbers."""

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
    ) -> _RemoteClass:
        """A proxy for name on this client: with types "class" a proxy whose attributes are
        remote functions, with any other text a proxy of one remote function."""
    @overload
    def __call__(self, name: str, types: str) -> _RemoteMethod:
        """A proxy for name on this client: with types "class" a proxy whose attributes are
        remote functions, with any other text a proxy of one remote function."""
    def _parse(self, response: tuple[Any, ...] | list[Any]) -> Any: ...
    def close(self) -> None:
        """Close the connection; the next call opens a new one."""

class Client(ClientBase):
    """The working client: call() sends a request, reconnects once after a lost connection,
    and returns the result or a failure value."""

    def __init__(self, host: str, port: int, timeout: float) -> None: ...
    def call(self, method: str, *args: Any, **kwds: Any) -> Any:
        """Calling remote method

        Returns the result of method(*args, **kwds) on the server; an Exception value when
        the call failed there (its note holds the server's traceback); a ConnectionError
        value when the connection was lost or no answer came in time (also after Ctrl+C
        during the wait: see lumo.kelto.reraise_interrupt); None when no connection could
        be made. Raises for trouble before the request leaves, such as an argument that
        cannot be pickled."""
    def open_connection(self) -> Any:
        """Connect to the server: None on success, else the ConnectionError value logged."""
    def _request(self, method: str, args: Any, kwds: Any) -> None: ...

@overload
def connect(  # type: ignore[overload-overlap]
    name: str,
    host: str = "127.0.0.1",
    port: int = 0,
    timeout: float = 1000.0,
    types: Literal["class"] = "class",
) -> _RemoteClass:
    """A proxy of the server published as name (the alias, or alias.function with
    types="function"), on host:port (port 0: get_port(name)). Nothing is opened until the
    first call; timeout, in seconds, bounds the connect and every wait for an answer.
    types "class" (the default) gives a proxy whose attributes are remote functions; any
    other text gives a proxy that calls the one remote function. IPv4 only."""
@overload
def connect(
    name: str, host: str = "127.0.0.1", port: int = 0, timeout: float = 1000.0, *, types: str
) -> _RemoteMethod:
    """A proxy of the server published as name (the alias, or alias.function with
    types="function"), on host:port (port 0: get_port(name)). Nothing is opened until the
    first call; timeout, in seconds, bounds the connect and every wait for an answer.
    types "class" (the default) gives a proxy whose attributes are remote functions; any
    other text gives a proxy that calls the one remote function. IPv4 only."""
@overload
def connect(name: str, host: str, port: int, timeout: float, types: str) -> _RemoteMethod:
    """A proxy of the server published as name (the alias, or alias.function with
    types="function"), on host:port (port 0: get_port(name)). Nothing is opened until the
    first call; timeout, in seconds, bounds the connect and every wait for an answer.
    types "class" (the default) gives a proxy whose attributes are remote functions; any
    other text gives a proxy that calls the one remote function. IPv4 only."""
