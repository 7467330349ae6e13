"""Pieces shared by the fuzz targets: a guard on unpickling, and Python objects built from fuzz bytes.

The channel unpickles whatever arrives. Random bytes almost never spell a dangerous global,
but a coverage-guided fuzzer is good at finding rare spellings, so every target installs
`guard_unpickling()` first: an audit hook that refuses `find_class` for anything outside a
short list of harmless classes. A refused global surfaces as the channel's decode error
(ConnectionAbortedError), exactly like any other payload that does not unpickle.
"""

import builtins
import sys

# Globals an unpickled fuzz payload may name: plain value types and exception classes.
_SAFE_BUILTINS = frozenset(
    name for name, value in vars(builtins).items()
    if isinstance(value, type) and issubclass(value, BaseException)
) | frozenset({"set", "frozenset", "bytearray", "bytes", "complex", "slice", "range", "int", "float",
               "str", "list", "tuple", "dict", "bool"})
_SAFE = {"builtins": _SAFE_BUILTINS, "__builtin__": _SAFE_BUILTINS,
         "collections": frozenset({"OrderedDict"}), "copyreg": frozenset({"_reconstructor"})}

_guard_extra = {}


def replay(test_one_input, paths):
    """Run test_one_input once on each file (no fuzzer needed); 0 when all pass, else 1."""
    failed = 0
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        try:
            test_one_input(data)
        except Exception as e:
            failed += 1
            print(f"FAIL {path}: {type(e).__name__}: {e}", flush=True)
        else:
            print(f"ok   {path}", flush=True)
    return 1 if failed else 0


def main(test_one_input):
    """A target's command line: `--replay FILE...` runs the inputs once each, anything else fuzzes."""
    if len(sys.argv) > 1 and sys.argv[1] == "--replay":
        sys.exit(replay(test_one_input, sys.argv[2:]))
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def guard_unpickling(extra=None):
    """Refuse unpickling of any global outside the allow list (plus `extra`: module -> names)."""
    if extra:
        for mod, names in extra.items():
            _guard_extra.setdefault(mod, set()).update(names)
    if getattr(guard_unpickling, "installed", False):
        return

    def hook(event, args):
        if event == "pickle.find_class":
            mod, name = args
            if name in _SAFE.get(mod, ()) or name in _guard_extra.get(mod, ()):
                return
            raise RuntimeError(f"fuzz guard: unpickling {mod}.{name} refused")

    sys.addaudithook(hook)
    guard_unpickling.installed = True


# ------------------------------------------------------------- objects from bytes

NAMES = (
    "fz", "fz.echo", "fz.boom", "fz.none", "fz.ping", "fz.stats", "fz.client", "fz.getpid", "fz.kw",
    "fz.missing", "fz.echo.extra", "fz.echo.a.b", "fz.", ".echo", ".", "", "nope", "nope.echo",
    "fz.__class__", "fz.__dict__", "fz.__len__", "fz.__repr__", "fz.__init__", "fz.unpicklable",
    "fz.big", "FZ.echo", "fz..echo", "fz.echo\x00", "fz.\u00e9cho",
)
TOKENS = ("fz", "echo", "ping", "stats", ".", "", "x", "\u00e9", "\x00", "__class__", "boom", "kw")
FORBIDDEN = ("terminate",)  # a remote terminate would end the process that runs the fuzzer


def safe_name(name):
    """The name, unless it could reach the terminate service function."""
    if isinstance(name, str) and any(f in name for f in FORBIDDEN):
        return "fz.echo"
    return name


class Builder:
    """Builds bounded Python objects from a FuzzedDataProvider-like source."""

    def __init__(self, fdp, budget=200):
        self.fdp = fdp
        self.budget = budget  # objects left to make: bounds size and time

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def text(self):
        k = self.pick(4)
        if k == 0:
            return NAMES[self.pick(len(NAMES))]
        if k == 1:
            return "".join(TOKENS[self.pick(len(TOKENS))] for _ in range(self.pick(5)))
        if k == 2:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.pick(24))
        return self.fdp.ConsumeString(self.pick(12))

    def name(self):
        return safe_name(self.text() if self.pick(4) == 0 else NAMES[self.pick(len(NAMES))])

    def scalar(self):
        k = self.pick(12)
        if k == 0:
            return None
        if k == 1:
            return bool(self.pick(2))
        if k == 2:
            return self.fdp.ConsumeIntInRange(-5, 300)
        if k == 3:
            return self.fdp.ConsumeInt(self.pick(40) + 1)  # up to 320 bits
        if k == 4:
            return self.fdp.ConsumeRegularFloat() if self.pick(2) else self.fdp.ConsumeFloat()
        if k == 5:
            return self.text()
        if k == 6:
            return self.fdp.ConsumeBytes(self.pick(64))
        if k == 7:
            return bytearray(self.fdp.ConsumeBytes(self.pick(16)))
        if k == 8:
            return (2, 3)[self.pick(2)]  # the protocol tags
        if k == 9:
            return (ValueError, KeyError, ZeroDivisionError, Exception)[self.pick(4)](self.text())
        if k == 10:
            return complex(self.pick(5), self.pick(5))
        return self.fdp.ConsumeIntInRange(-(2 ** 63), 2 ** 63)

    def value(self, depth=3):
        self.budget -= 1
        if depth <= 0 or self.budget <= 0 or self.fdp.remaining_bytes() == 0:
            return self.scalar()
        k = self.pick(9)
        if k <= 3:
            return self.scalar()
        n = self.pick(6)
        if k == 4:
            return tuple(self.value(depth - 1) for _ in range(n))
        if k == 5:
            return [self.value(depth - 1) for _ in range(n)]
        if k == 6:
            return {self.key(): self.value(depth - 1) for _ in range(n)}
        if k == 7:
            return frozenset(self.key() for _ in range(n))
        # shared and self-referencing structure: the pickle memo at work
        inner = [self.scalar()]
        outer = [inner, inner]
        if self.pick(2):
            inner.append(outer)
        return outer

    def key(self):
        k = self.pick(4)
        if k == 0:
            return self.text()
        if k == 1:
            return self.fdp.ConsumeIntInRange(-3, 3)
        if k == 2:
            return NAMES[self.pick(len(NAMES))]
        return (self.pick(3), self.text())

    def args(self):
        k = self.pick(8)
        n = self.pick(5)
        if k <= 4:
            return tuple(self.value(2) for _ in range(n))
        if k == 5:
            return [self.value(2) for _ in range(n)]
        if k == 6:
            return self.text()  # any iterable is turned into a tuple
        return self.value(2)

    def kwds(self):
        k = self.pick(8)
        n = self.pick(4)
        if k <= 4:
            return {self.text() if self.pick(3) else "k" + str(i): self.value(2) for i in range(n)}
        if k == 5:
            return None
        if k == 6:
            return [(self.text(), self.value(1)) for _ in range(n)]  # dict() of pairs
        return self.value(2)

    def msgid(self):
        k = self.pick(6)
        if k <= 2:
            return self.fdp.ConsumeIntInRange(0, 2 ** 31)
        if k == 3:
            return self.text()
        if k == 4:
            return None
        return (self.pick(100), self.text())

    def request(self):
        """A message for the server: mostly well-formed requests, with every way of being wrong."""
        k = self.pick(12)
        if k <= 5:
            msg = (2, self.msgid(), self.name(), self.args(), self.kwds())
            return list(msg) if k == 5 else msg
        if k == 6:  # wrong tag
            return (self.scalar(), self.msgid(), self.name(), self.args(), self.kwds())
        if k == 7:  # wrong length
            items = [2, self.msgid(), self.name(), (), {}, self.value(1), self.value(1), self.value(1)]
            return tuple(items[: self.pick(9)])
        if k == 8:  # element 2 of any type
            return (2, self.msgid(), self.value(2), self.args(), self.kwds())
        if k == 9:
            return [self.value(2) for _ in range(self.pick(7))]
        return self.value(3)


# ------------------------------------------------------------- what the server must do

class Target:
    """The object that the server target publishes under the alias "fz"."""

    def echo(self, *args, **kwds):
        return args, kwds

    def boom(self, *args, **kwds):
        raise ValueError("boom", len(args), sorted(kwds))

    def none(self):
        return None

    def kw(self, a, b=1, *, c=2):
        return a, b, c

    def unpicklable(self, *args):
        return (x for x in args)  # a generator: the channel cannot encode it

    def big(self, n=0):
        return b"b" * max(0, min(int(n), 1 << 20))


def echo_expected(args, kwds):
    """What fz.echo answers for these arguments: ("ok", value) or ("error", exception type)."""
    try:
        return "ok", server_call(lambda *a, **k: (a, k), args, kwds)
    except Exception as e:
        return "error", type(e)


def answerable(msg, request_tag=2):
    """True when the server has to answer `msg`; False when it has to close the connection.

    The server answers every request it can parse: a tuple or list of five elements whose
    element 0 equals the request tag and whose element 2 is a text. Anything else (not a
    sequence, too short, an unhashable or non-text name, a wrong length or tag) ends the
    connection without a response.
    """
    if not isinstance(msg, (tuple, list)) or len(msg) < 3:
        return False
    try:
        hash(msg[2])
    except TypeError:
        return False
    if len(msg) != 5:
        return False
    try:
        if msg[0] != request_tag:
            return False
    except Exception:
        return False
    return isinstance(msg[2], str)


def server_call(function, args, kwds):
    """Call `function` the way the server does: any iterable as args, any mapping (not None) as kwds."""
    a = args if type(args) is tuple else tuple(args)
    if kwds is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    k = dict(kwds) if type(kwds) is not dict else kwds.copy()
    return function(*a, **k)


def same(a, b, _seen=None):
    """Structural equality of what went through pickle: exceptions by type and arguments, NaN
    equal to NaN, sets element by element, cycles followed once."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    if isinstance(a, BaseException):
        return same(a.args, b.args, _seen)
    if not isinstance(a, (tuple, list, dict, set, frozenset)):
        try:
            return bool(a == b)
        except Exception:
            return False
    _seen = set() if _seen is None else _seen
    key = (id(a), id(b))
    if key in _seen:
        return True
    _seen.add(key)
    if len(a) != len(b):
        return False
    if isinstance(a, (tuple, list)):
        return all(same(x, y, _seen) for x, y in zip(a, b))
    if isinstance(a, dict):  # by key: a dict built from a set has no fixed order
        try:
            return all(k in b and same(v, b[k], _seen) for k, v in a.items())
        except TypeError:
            return False
    rest = list(b)
    for x in a:
        for j, y in enumerate(rest):
            if same(x, y, _seen):
                del rest[j]
                break
        else:
            return False
    return True
