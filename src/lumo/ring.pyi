# Types of lumo.ring, the message channel and the choice of a port for a name.
import socket
import ssl
from typing import Any, Literal, final

class Connection:
    """A message channel over one connected socket: send() and recv() move whole Python objects.
    The socket's time-out bounds every wait. To wait in a single system call, the channel makes
    the descriptor of a socket with a time-out blocking, with the time-out as SO_RCVTIMEO and
    SO_SNDTIMEO; the socket's own methods keep honouring its time-out."""

    _socket: socket.socket
    _onwebs: bool
    _closed: bool
    @property
    def _mirrored(self) -> bool:
        """True when the channel reads the socket's descriptor and time-out in place, not through
        its methods."""
    def __new__(cls, sock: socket.socket, max_frame: int = ...) -> Connection:
        """Wrap a connected socket; frames larger than max_frame bytes (16 GiB unless given)
        are refused. docs/wire.md describes the frames."""
    @property
    def closed(self) -> bool:
        """True once the channel is closed."""
    @property
    def max_frame(self) -> int:
        """The largest frame, in bytes, that the channel accepts."""
    @property
    def timeout(self) -> float | None:
        """The socket's time-out in seconds (None: no time-out)."""
    def send(self, obj: Any) -> None:
        """Send one whole object. It is encoded completely before a byte is written."""
    def recv(self) -> Any:
        """Wait for and return the next object."""
    def flush(self) -> None:
        """Check without blocking that the peer is still there and discard stale input."""
    def close(self) -> None:
        """Close the channel and its socket."""
    def fileno(self) -> int:
        """The socket's descriptor."""

@final
class Encoder:
    """Builds the frames of Connection.send() without a socket."""

    def __new__(cls, max_frame: int = ...) -> Encoder:
        """An encoder whose frames are at most max_frame bytes (16 GiB unless given); larger
        messages raise ValueError, as Connection.send() does."""
    @property
    def max_frame(self) -> int:
        """The largest frame, in bytes, that encode() makes."""
    def encode(self, obj: Any) -> list[bytes | memoryview]:
        """Encode one whole object into the frame that Connection.send() writes, as a list of
        bytes-like pieces for writelines() or sendmsg(). Out-of-band buffers are views of the
        object's own memory: keep it unchanged until the pieces are written."""

@final
class Decoder:
    """Turns the bytes of a stream, fed as they arrive, into the messages of Connection.send(),
    with the checks and limits of Connection.recv()."""

    def __new__(cls, max_frame: int = ...) -> Decoder:
        """A decoder that refuses frames larger than max_frame bytes (16 GiB unless given), as
        Connection.recv() does."""
    @property
    def max_frame(self) -> int:
        """The largest frame, in bytes, that the decoder accepts."""
    @property
    def broken(self) -> bool:
        """True once a bad frame arrived: feed() raises its error."""
    @property
    def pending(self) -> bool:
        """True while a frame has started to arrive and is not whole yet."""
    def feed(self, data: bytes | bytearray | memoryview) -> list[Any]:
        """Take the bytes that have arrived and return the list of the whole messages they
        complete. A bad frame raises what Connection.recv() raises for it (ConnectionAbortedError
        naming the fault); messages decoded before it in the same call are returned first, and
        every later call raises it."""
    def eof(self) -> BaseException:
        """The exception for a stream that ends now, as Connection.recv() raises it:
        ConnectionResetError, at a message boundary or in the middle of a message (or the error
        of a bad frame)."""
_internals: str  # the interpreter version whose internals the build reads ("3.12"), or ""

def get_port(name: str) -> int:
    """The TCP port of a service name: stable across processes and runs, in 10000..31999."""

def set_spin(flag: bool) -> bool:
    """Turn the spin before block of every channel of the process on (True, the default) or off
    (False); returns the previous setting. While a channel's recent replies came back within
    microseconds, recv() polls the socket without the GIL for a little longer than they took (at
    most 50 us of CPU a wait, counted toward the time-out) before it sleeps, and so saves the
    wake-up. It never spins where the thread may run on one CPU only, nor while more threads of
    the process wait in recv() than there are CPUs less one, nor once the thread was preempted,
    and pauses on a channel whose spins stop paying, as on an idle connection."""

def _spin_counts() -> dict[str, int]: ...
def _spin_rules(on: bool) -> bool: ...

class AuthenticationError(ConnectionAbortedError):
    """The peer did not prove that it holds the key, or TLS refused it; the channel is closed."""

def set_authkey(key: bytes | None) -> None:
    """From now on every new channel of the process proves, before any message, that its peer
    holds the same key (a mutual HMAC-SHA256 challenge on fresh random nonces). None turns it
    off. The key is bytes, at least 16 of them; it is never read back."""

def set_tls(server: ssl.SSLContext | None = None, client: ssl.SSLContext | None = None) -> None:
    """From now on the server's end of every new channel speaks TLS with `server`, the client's
    end with `client`. Both None turns TLS off. With a key as well, the key handshake runs
    inside TLS. The client's end checks the certificate against the channel's
    `server_hostname` attribute (the host lumo.client connected to), else the peer's address."""

class _Handshake:
    """One end of the shared-key handshake, without I/O."""

    @property
    def done(self) -> bool:
        """True once both ends have proved that they hold the key."""
    @property
    def wanted(self) -> int:
        """How many more bytes the handshake needs now (0 once it is over)."""
    @property
    def farewell(self) -> bytes:
        """After a failure: the refusal to write to the peer before closing (may be b'')."""
    def start(self) -> bytes:
        """The bytes to write first (b'' for the server's end)."""
    def feed(self, data: bytes | bytearray | memoryview) -> bytes:
        """Take at most `wanted` bytes read from the peer (b'' for the end of the stream) and
        return the bytes to write next; AuthenticationError when the peer fails."""

def _handshake(role: Literal["client", "server"]) -> _Handshake | None: ...
def _tls_context(role: Literal["client", "server"]) -> ssl.SSLContext | None: ...
def _set_handshake_deadline(seconds: float) -> float: ...
