# Types of lumo.kelto, lumo's logging.
from typing import Iterable, TypeVar

_E = TypeVar("_E", bound=BaseException)
_T = TypeVar("_T")

class Skrivo:
    """Logger of one lumo component, writing to logging.getLogger("lumo." + name).

    Until the application configures logging (handlers on the root logger or on "lumo" and
    below), the lines go to standard error from INFO up, or from a level set on "lumo" or
    below; after, through the application's configuration alone."""

    name: str
    exclude: list[str]
    def __init__(self, name: str, exclude: Iterable[str] = ()) -> None: ...
    def info(self, text: str) -> None:
        """Log text at INFO."""
    def warning(self, text: str) -> None:
        """Log text at WARNING."""
    def critical(self, text: str) -> ConnectionError:
        """Log text at CRITICAL and return ConnectionError(text) for the caller to hand on."""
    def error(self, err: _E) -> _E:
        """Log the text of exception err at ERROR and return err itself. The traceback of err,
        or of the exception being handled, follows at DEBUG and is added to err as a note."""
    def trace(self, exc: BaseException) -> str:
        """Traceback text of exc (or of its cause or context), without the frames of the
        excluded packages; "" when there is none."""

def iformat(name: object, args: object, kwds: object) -> str:
    """Describe a call as " in name(args, k=v):", bounded in length and time; never raises."""

def reraise_interrupt(result: _T) -> _T:
    """Raise KeyboardInterrupt when result is what a call returns after Ctrl+C interrupted its
    wait for the answer; return result otherwise (a client hands Ctrl+C during a call back as
    a ConnectionError value, so a loop of calls would go on)."""

def iprint(value: _T) -> _T:
    """Print value on standard output and return it."""

def flush_output() -> None:
    """Flush standard output and standard error, as far as they can still be flushed."""
