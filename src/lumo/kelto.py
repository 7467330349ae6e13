"""lumo's logging (Skrivo, under the "lumo" logger) and the bounded call descriptions used in error texts."""

import logging
import reprlib
import sys
import threading
import traceback
from itertools import islice

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


class _AutoHandler(logging.StreamHandler):
    """The stderr handler lumo puts on the "lumo" logger when the application set up no logging.

    It writes to whatever sys.stderr is at emit time, and falls silent as soon as the root
    logger has a handler: an application that calls logging.basicConfig() later gets every
    line once, through its own handlers, without having to remove this one.
    """

    def __init__(self):
        logging.Handler.__init__(self)
        self.setFormatter(logging.Formatter(_FORMAT))

    @property
    def stream(self):
        return sys.stderr

    def emit(self, record):
        if not logging.root.handlers:
            super().emit(record)


_auto = None  # the _AutoHandler once attached; never more than one per process
_auto_lock = threading.Lock()  # Skrivo objects may be made on several threads at once


def _install():
    """Attach the stderr handler to "lumo" (level INFO unless already set) if nobody configured logging."""
    global _auto
    base = logging.getLogger("lumo")
    with _auto_lock:
        if _auto is None and not logging.root.handlers and not base.handlers:
            _auto = _AutoHandler()
            base.addHandler(_auto)
            if base.level == logging.NOTSET:
                base.setLevel(logging.INFO)


class Skrivo:
    """Logger of one lumo component, writing to logging.getLogger("lumo." + name) ("lumo" for "").

    exclude names top-level packages whose frames trace() leaves out of tracebacks, so a
    failure shows the application's frames rather than the RPC machinery's.
    """

    __slots__ = ("name", "exclude", "_log", "_skip")

    def __init__(self, name, exclude=()):
        self.name = name
        self.exclude = list(exclude)
        self._skip = frozenset(self.exclude)
        self._log = logging.getLogger("lumo." + name if name else "lumo")
        if _auto is None:
            _install()

    def __repr__(self):
        return f"Skrivo({self._log.name!r})"

    def info(self, text):
        self._log.info("%s", text, stacklevel=2)

    def warning(self, text):
        self._log.warning("%s", text, stacklevel=2)

    def critical(self, text):
        """Log text at CRITICAL and return ConnectionError(text) for the caller to hand on."""
        self._log.critical("%s", text, stacklevel=2)
        return ConnectionError(text)

    def error(self, err):
        """Log the text of exception err at ERROR and return err itself.

        With DEBUG enabled, the traceback behind err (see trace()) follows on a DEBUG line.
        """
        log = self._log
        log.error("%s", err, stacklevel=2)
        if log.isEnabledFor(logging.DEBUG):
            tb = self.trace(err)
            if tb:
                log.debug("%s", tb, stacklevel=2)
        return err

    def trace(self, exc):
        """Traceback text of exc, or of its cause or context when exc itself was never raised,
        without the frames of modules in the excluded packages; "" when there is none."""
        src = exc
        for _ in range(16):  # the chain is short in practice, and may be cyclic
            if src is None or getattr(src, "__traceback__", None) is not None:
                break
            src = src.__cause__ or src.__context__
        tb = getattr(src, "__traceback__", None)
        if tb is None:
            return ""
        frames = []
        while tb is not None:
            frame = tb.tb_frame
            mod = frame.f_globals.get("__name__")
            if not (isinstance(mod, str) and mod.partition(".")[0] in self._skip):
                frames.append((frame, tb.tb_lineno))
            tb = tb.tb_next
        lines = traceback.StackSummary.extract(frames).format()
        lines.extend(traceback.format_exception_only(type(src), src))
        return ("Traceback (most recent call last):\n" + "".join(lines)).rstrip("\n")


class _Repr(reprlib.Repr):
    """reprlib.Repr that never builds the full repr of a big object.

    Plain reprlib dispatches on the type's name and falls back to repr() of the whole
    object, which for a 10 MB bytes argument means a 40 MB string. Here only exact
    builtin types get reprlib's bounded methods; bytes-like objects, big ints and numpy
    arrays are cut before repr; subclasses of builtin containers and strings are shown
    as Name(<bounded repr of the base value>); everything else goes through repr() and
    is cut afterwards, with a placeholder if repr() raises.
    """

    def __init__(self):
        super().__init__()
        self.maxlevel = 3
        self.maxtuple = self.maxlist = self.maxarray = self.maxdict = 6
        self.maxset = self.maxfrozenset = self.maxdeque = 6
        self.maxstring = self.maxother = 60
        self.maxlong = 40

    def repr1(self, x, level):
        try:
            t = type(x)
            method = _EXACT.get(t)
            if method is not None:
                return method(self, x, level)
            if t.__name__ == "ndarray" and hasattr(x, "dtype"):
                return self._repr_ndarray(x, level)
            for base, method in _BASES:
                if isinstance(x, base):
                    return "%s(%s)" % (t.__name__, method(self, x, level))
            return self.repr_instance(x, level)
        except Exception:
            return _placeholder(x)

    def repr_instance(self, x, level):
        try:
            s = repr(x)
        except Exception:
            return _placeholder(x)
        if not isinstance(s, str):
            return _placeholder(x)
        if len(s) > self.maxother:
            i = max(0, (self.maxother - 3) // 2)
            j = max(0, self.maxother - 3 - i)
            s = s[:i] + self.fillvalue + s[len(s) - j:]
        return s

    def repr_int(self, x, level):
        if x.bit_length() > 256:  # repr() of a huge int is slow, or refused past 4300 digits
            return "<int of %d bits>" % x.bit_length()
        return super().repr_int(x, level)

    def repr_str(self, x, level):
        return super().repr_str(str.__str__(x), level)

    def repr_bytes(self, x, level):
        n = len(x)
        if n <= 16:
            return repr(bytes(x))
        return "%s...<%d bytes>" % (repr(bytes(x[:16])), n)

    def repr_bytearray(self, x, level):
        return "bytearray(%s)" % self.repr_bytes(x, level)

    def repr_memoryview(self, x, level):
        return "<memoryview format=%r shape=%r nbytes=%d>" % (x.format, x.shape, x.nbytes)

    def _repr_ndarray(self, x, level):
        if x.size <= self.maxlist:
            return self.repr_instance(x, level)
        return "<%s shape=%r dtype=%s>" % (type(x).__name__, tuple(x.shape), x.dtype)

    # reprlib sorts whole dicts and sets first: cost grows with the size of the argument.
    def repr_dict(self, x, level):
        n = len(x)
        if n == 0:
            return "{}"
        if level <= 0:
            return "{" + self.fillvalue + "}"
        pieces = ["%s: %s" % (self.repr1(k, level - 1), self.repr1(v, level - 1))
                  for k, v in islice(x.items(), self.maxdict)]
        if n > self.maxdict:
            pieces.append(self.fillvalue)
        return "{%s}" % ", ".join(pieces)

    def repr_set(self, x, level):
        return self._repr_iterable(x, level, "{", "}", self.maxset) if x else "set()"

    def repr_frozenset(self, x, level):
        return self._repr_iterable(x, level, "frozenset({", "})", self.maxfrozenset) if x else "frozenset()"


def _placeholder(x):
    return "<unrepresentable %s object>" % type(x).__name__


_EXACT = {
    str: _Repr.repr_str, bytes: _Repr.repr_bytes, bytearray: _Repr.repr_bytearray,
    memoryview: _Repr.repr_memoryview, int: _Repr.repr_int,
    tuple: _Repr.repr_tuple, list: _Repr.repr_list, dict: _Repr.repr_dict,
    set: _Repr.repr_set, frozenset: _Repr.repr_frozenset,
}
# Subclasses of these are shown as Name(<bounded repr of the base value>).
_BASES = (
    (str, _Repr.repr_str), (bytes, _Repr.repr_bytes), (bytearray, _Repr.repr_bytes),
    (tuple, _Repr.repr_tuple), (list, _Repr.repr_list), (dict, _Repr.repr_dict),
)

_repr = _Repr()
_MAXARGS = 8      # positional and keyword arguments shown each
_MAXTEXT = 300    # total length of the returned text


def _args_text(args, kwds):
    r = _repr.repr1
    level = _repr.maxlevel
    parts = []
    if isinstance(args, (tuple, list)):
        parts.extend(r(a, level) for a in islice(args, _MAXARGS))
        if len(args) > _MAXARGS:
            parts.append("...")
    elif args is not None:
        parts.append("*" + r(args, level))
    if isinstance(kwds, dict):
        for k, v in islice(kwds.items(), _MAXARGS):
            key = k[:40] if type(k) is str else r(k, 1)
            parts.append("%s=%s" % (key, r(v, level)))
        if len(kwds) > _MAXARGS:
            parts.append("...")
    elif kwds is not None:
        parts.append("**" + r(kwds, level))
    return ", ".join(parts)


def iformat(name, args, kwds):
    """Describe a call as " in name(args, k=v):", bounded in length and time; never raises."""
    try:
        head = _repr.repr1(name, 1) if type(name) is not str else name
        if len(head) > 80:
            head = head[:77] + "..."
        try:
            body = _args_text(args, kwds)
        except Exception:
            body = "<unrepresentable arguments>"
        if len(head) + len(body) > _MAXTEXT - 6:
            body = body[:_MAXTEXT - 9 - len(head)] + "..."
        return " in %s(%s):" % (head, body)
    except Exception:
        return " in <unrepresentable call>:"


def iprint(value):
    """Print value on standard output and return it."""
    print(value)
    return value


def flush_output():
    """Flush standard output and standard error, as far as they can still be flushed: for a
    process that is about to end with os._exit()."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
