# Types of lumo.kelto, lumo's logging.
from typing import Iterable, TypeVar

_E = TypeVar("_E", bound=BaseException)
_T = TypeVar("_T")

class Skrivo:
    """Logger of one lumo component, writing to logging.getLogger("lumo." + name)."""

    name: str
    exclude: list[str]
    def __init__(self, name: str, exclude: Iterable[str] = ()) -> None: ...
    def info(self, text: str) -> None: ...
    def warning(self, text: str) -> None: ...
    def critical(self, text: str) -> ConnectionError:
        """Log text at CRITICAL and return ConnectionError(text) for the caller to hand on."""
    def error(self, err: _E) -> _E:
        """Log the text of exception err at ERROR and return err itself."""
    def trace(self, exc: BaseException) -> str: ...

def iformat(name: object, args: object, kwds: object) -> str:
    """Describe a call as " in name(args, k=v):", bounded in length and time; never raises."""

def iprint(value: _T) -> _T:
    """Print value on standard output and return it."""

def flush_output() -> None:
    """Flush standard output and standard error, as far as they can still be flushed."""
