"""lumo's logging (Skrivo, under the "lumo" logger) and the bounded call descriptions used in error texts."""

import linecache
import logging
import reprlib
import sys
import traceback
from itertools import islice

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


class _Stderr(logging.StreamHandler):
    """Where lumo's lines go while the application has configured no logging.

    It writes to whatever sys.stderr is at emit time, so a redirected or captured stderr
    gets the lines too.
    """

    def __init__(self):
        logging.Handler.__init__(self)
        self.setFormatter(logging.Formatter(_FORMAT))

    @property
    def stream(self):
        return sys.stderr


_null = logging.NullHandler()  # keeps Python's last-resort handler off lumo's lines
logging.getLogger("lumo").addHandler(_null)
_stderr = _Stderr()


def _fallback_level(log):
    """The level from which lumo itself writes log's lines to stderr, or None when the
    application's configuration routes them.

    The configuration routes them once there is a handler on the root logger, or on log or
    an ancestor a handler other than lumo's NullHandler, a disabled flag or propagate=False.
    Without any, the lines go to stderr from the level set on log or its nearest ancestor
    below the root, or from INFO. Asked at every line rather than once, so that configuring
    logging before or after lumo starts makes no difference."""
    root = logging.root
    if root.handlers:
        return None
    level = logging.NOTSET
    node = log
    while node is not None and node is not root:
        if node.disabled or not node.propagate:
            return None
        for handler in node.handlers:
            if handler is not _null:
                return None
        if not level:
            level = node.level
        node = node.parent
    return level or logging.INFO


class Skrivo:
    """Logger of one lumo component, writing to logging.getLogger("lumo." + name) ("lumo" for "").

    exclude names top-level packages whose frames trace() leaves out of tracebacks, so a
    failure shows the application's frames rather than the RPC machinery's.

    While the application has put no handler in the way, the lines go to stderr from INFO
    up (or from a level set on the logger or an ancestor); once it has, they follow its
    configuration alone. lumo itself only adds a NullHandler to "lumo" and sets no level.
    """

    __slots__ = ("name", "exclude", "_log", "_skip")

    def __init__(self, name, exclude=()):
        self.name = name
        self.exclude = list(exclude)
        self._skip = frozenset(self.exclude)
        self._log = logging.getLogger("lumo." + name if name else "lumo")

    def __repr__(self):
        return f"Skrivo({self._log.name!r})"

    def _emit(self, level, text):
        """One line at level: through the application's logging configuration, or, when it
        has set up no handler, straight to stderr (see _fallback_level)."""
        log = self._log
        least = _fallback_level(log)
        if least is None:
            log.log(level, "%s", text, stacklevel=3)
        elif level >= least and log.manager.disable < level:
            record = log.makeRecord(log.name, level, "(unknown file)", 0, "%s", (text,), None)
            if log.filter(record):
                _stderr.handle(record)

    def info(self, text):
        self._emit(logging.INFO, text)

    def warning(self, text):
        self._emit(logging.WARNING, text)

    def critical(self, text):
        """Log text at CRITICAL and return ConnectionError(text) for the caller to hand on."""
        self._emit(logging.CRITICAL, text)
        return ConnectionError(text)

    def error(self, err):
        """Log the text of exception err at ERROR and return err itself.

        The traceback comes from err, or else from the exception being handled while error
        runs (on a server, the failure that err reports). It follows on a DEBUG line, and err
        carries it as a note (PEP 678), bounded in size, so that whoever receives err sees
        where the call failed: str(err) and err.args stay as they are.
        """
        tb = self.trace(err)
        if not tb:
            handled = sys.exception()
            # Only a traceback of its own: its context may be the caller's unrelated trouble.
            if handled is not None and handled is not err and handled.__traceback__ is not None:
                tb = self.trace(handled)
        self._emit(logging.ERROR, err)
        if tb:
            self._emit(logging.DEBUG, tb)
            if '\n  File "' in tb:  # some frame is left once lumo's own are out
                note = _note(tb)
                if isinstance(err, BaseException) and note not in getattr(err, "__notes__", ()):
                    err.add_note(note)
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
        lines = ["Traceback (most recent call last):\n"]
        last, repeated = None, 0
        for _ in range(100_000):  # a traceback is as long as the stack was deep: bounded
            if tb is None:
                break
            frame, lineno = tb.tb_frame, tb.tb_lineno
            tb = tb.tb_next
            mod = frame.f_globals.get("__name__")
            if isinstance(mod, str) and mod.partition(".")[0] in self._skip:
                continue
            # Formatted by hand: the standard library's formatter parses each source line
            # for its carets, which costs a failed call more than the call itself.
            code = frame.f_code
            where = (code.co_filename, lineno, code.co_name)
            if where == last:
                repeated += 1
                if repeated >= 3:  # a recursion shows its first three rounds and a count
                    continue
            else:
                _flush_repeats(lines, repeated)
                last, repeated = where, 0
            lines.append('  File "%s", line %d, in %s\n' % where)
            source = linecache.getline(code.co_filename, lineno, frame.f_globals).strip()
            if source:
                lines.append("    %s\n" % source)
        _flush_repeats(lines, repeated)
        lines.extend(traceback.format_exception_only(type(src), src))
        return "".join(lines).rstrip("\n")


_NOTE_HEAD = "Traceback of the failed call (most recent call last):"
_NOTE_LINES = 40     # lines of a traceback note, its first line included
_NOTE_BYTES = 8192   # UTF-8 size of a traceback note
_NOTE_WIDTH = 240    # characters of one line of it


def _note(tb):
    """The traceback text tb as a note: its innermost frames, in at most _NOTE_LINES lines of
    at most _NOTE_WIDTH characters and _NOTE_BYTES bytes in all."""
    lines = [line if len(line) <= _NOTE_WIDTH else line[:_NOTE_WIDTH - 3] + "..."
             for line in tb.splitlines()[1:]]
    size = sum(len(line.encode("utf-8", "replace")) + 1 for line in lines) + len(_NOTE_HEAD)
    cut = max(0, len(lines) - (_NOTE_LINES - 2))
    size -= sum(len(line.encode("utf-8", "replace")) + 1 for line in lines[:cut])
    while cut < len(lines) - 1 and size > _NOTE_BYTES - 40:
        size -= len(lines[cut].encode("utf-8", "replace")) + 1
        cut += 1
    if cut:
        lines[:cut] = ["  ... %d lines left out ..." % cut]
    return "\n".join([_NOTE_HEAD, *lines])


def _flush_repeats(lines, repeated):
    if repeated >= 3:
        lines.append("  [Previous line repeated %d more time%s]\n" % (repeated - 2, "s"[:repeated - 3]))


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


def reraise_interrupt(result):
    """Raise KeyboardInterrupt when result is what a call returns after Ctrl+C interrupted its
    wait for the answer; return result otherwise.

    A client hands Ctrl+C during a call back as a ConnectionError value, as it does a lost
    connection, so a loop of calls would go on: pass each result through this to stop it."""
    if isinstance(result, ConnectionError) and str(result).startswith("@RECV: KeyboardInterrupt"):
        raise KeyboardInterrupt
    return result


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
