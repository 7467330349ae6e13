"""The native runtime's function type and binder, seen through the test-only module's
_probe(self, a: int, t: tuple, b: str = "x", c: float = 1.0, *args, **kwds) and lumo.ring's
get_port(name: str) and the methods of Connection."""

import functools
import inspect
import pydoc
import re
import socket
import types
import weakref

import pytest

from lumo import ring
from lumo._testrt import _probe
from lumo.ring import Connection, get_port

SIGNATURE = "(self, a: 'int', t: 'tuple', b: 'str' = 'x', c: 'float' = 1.0, *args, **kwds) -> 'tuple'"


@pytest.fixture(autouse=True)
def restore_probe():
    """_probe is shared by the whole process: put back what a test changes."""
    defaults = _probe.__defaults__
    yield
    _probe.__defaults__ = defaults
    _probe.__dict__.clear()


@pytest.fixture
def chan():
    a, b = socket.socketpair()
    a.settimeout(10)
    b.settimeout(10)
    with a, b:
        yield Connection(a)


class Holder:
    m = _probe


# ------------------------------------------------------------------ methods


def test_binds_as_a_method():
    h = Holder()
    bound = h.m
    assert type(bound) is types.MethodType
    assert bound.__func__ is _probe and bound.__self__ is h
    assert h.m(1, ()) == (h, 1, (), "x", 1.0, (), {})
    assert bound(2, (3,), "y") == (h, 2, (3,), "y", 1.0, (), {})
    # Through the class: the function itself, no bound method.
    assert Holder.m is _probe
    assert Holder.__dict__["m"].__get__(None, Holder) is _probe
    assert Holder.m(h, 1, ()) == (h, 1, (), "x", 1.0, (), {})
    # A method call on an instance skips the bound method altogether.
    assert type(_probe).__flags__ & (1 << 17), "Py_TPFLAGS_METHOD_DESCRIPTOR"


def test_methods_of_connection(chan):
    # One function type in the process, lumo.ring's, whichever module made the function.
    import lumo.client
    import lumo.server

    assert type(Connection.send) is type(get_port) is type(_probe) is type(lumo.server.serve) is type(
        lumo.client.Client.call)
    assert f"{type(_probe).__module__}.{type(_probe).__name__}" == "lumo.ring.function"
    assert type(chan.send) is types.MethodType and chan.send.__self__ is chan
    assert Connection.send.__qualname__ == "Connection.send"
    assert Connection.send.__name__ == "send"
    assert Connection.recv.__module__ == "lumo.ring"
    with pytest.raises(TypeError, match="expected a Connection, got int"):
        Connection.send(5, 1)


# -------------------------------------------------------------- attributes


def test_attributes():
    assert _probe.__name__ == "_probe"
    assert _probe.__qualname__ == "_probe"
    assert _probe.__module__ == "lumo._testrt"
    assert not hasattr(ring, "_probe"), "the test hook lives in lumo._testrt only"
    assert _probe.__defaults__ == ("x", 1.0)
    assert _probe.__kwdefaults__ is None
    assert _probe.__annotations__ == {"a": "int", "t": "tuple", "b": "str", "c": "float", "return": "tuple"}
    assert isinstance(_probe.__doc__, str) and _probe.__doc__
    assert get_port.__annotations__ == {"name": "str", "return": "int"}
    assert "10000..31999" in get_port.__doc__
    assert repr(get_port).startswith("<function get_port at 0x")
    assert weakref.ref(get_port)() is get_port


def test_instance_dictionary():
    assert _probe.__dict__ == {}
    _probe.tag = "t"
    assert _probe.__dict__ == {"tag": "t"} and _probe.tag == "t"
    _probe.__dict__ = {"other": 1}
    assert _probe.other == 1 and not hasattr(_probe, "tag")

    # What decorators do with a function: functools.wraps reads and copies the attributes.
    @functools.wraps(get_port)
    def wrapper(*args, **kwds):
        return get_port(*args, **kwds)

    assert wrapper.__name__ == "get_port" and wrapper.__qualname__ == "get_port"
    assert wrapper.__doc__ == get_port.__doc__ and wrapper.__wrapped__ is get_port
    assert wrapper("calc") == get_port("calc")
    assert str(inspect.signature(wrapper)) == "(name: 'str') -> 'int'"


@pytest.mark.parametrize(
    "name, value",
    [("__defaults__", ["x", 1.0]), ("__kwdefaults__", ("a",)), ("__annotations__", ()), ("__qualname__", 5), ("__name__", None)],
)
def test_attribute_types_are_kept(name, value):
    with pytest.raises(TypeError):
        setattr(_probe, name, value)


def test_signature():
    assert str(inspect.signature(_probe)) == SIGNATURE
    kinds = [p.kind for p in inspect.signature(_probe).parameters.values()]
    P = inspect.Parameter
    assert kinds == [P.POSITIONAL_OR_KEYWORD] * 5 + [P.VAR_POSITIONAL, P.VAR_KEYWORD]
    assert str(inspect.signature(Holder().m)) == SIGNATURE.replace("self, ", "")
    assert str(inspect.signature(get_port)) == "(name: 'str') -> 'int'"
    assert str(inspect.signature(Connection.send)) == "(self, obj)"
    assert inspect.signature(get_port).bind("calc").arguments == {"name": "calc"}


def one_line_signatures(text):
    """pydoc's text with every signature on one line: from 3.13 it puts each parameter of a
    long one on a line of its own."""
    text = re.sub(r"\(\n\s+", "(", text)
    return re.sub(r"\n\)", ")", re.sub(r",\n\s+", ", ", text))


def test_help_renders():
    text = one_line_signatures(pydoc.render_doc(_probe, renderer=pydoc.plaintext))
    assert "_probe" + SIGNATURE in text and _probe.__doc__ in text
    text = pydoc.render_doc(Connection, renderer=pydoc.plaintext)
    assert "send(self, obj)" in text and "recv(self)" in text and "flush(self)" in text
    text = pydoc.render_doc(ring, renderer=pydoc.plaintext)
    assert "get_port(name: 'str') -> 'int'" in text


# ----------------------------------------------------------------- defaults


@pytest.mark.parametrize(
    "defaults, args, expected",
    [
        (("y", 2.5), (0, 1, ()), (0, 1, (), "y", 2.5, (), {})),
        (((9,), "y", 2.5), (0, 1), (0, 1, (9,), "y", 2.5, (), {})),
        (("y", 2.5), (0, 1, (), "z"), (0, 1, (), "z", 2.5, (), {})),
        # As for a Python function, defaults line up with the last parameters.
        (("unused", "S", 7, (1,), "q", 2.0), (), ("S", 7, (1,), "q", 2.0, (), {})),
    ],
)
def test_setting_defaults_changes_calls(defaults, args, expected):
    _probe.__defaults__ = defaults
    assert _probe.__defaults__ == defaults
    assert _probe(*args) == expected
    sig = inspect.signature(_probe)
    shown = tuple(p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty)
    assert shown == defaults[-5:]


def test_no_defaults():
    _probe.__defaults__ = None
    with pytest.raises(TypeError) as info:
        _probe(0, 1, ())
    assert str(info.value) == "_probe() takes at least 5 positional arguments (3 given)"
    assert _probe(0, 1, (), "b", 2.0) == (0, 1, (), "b", 2.0, (), {})
    assert "=" not in str(inspect.signature(_probe))
    del _probe.__defaults__
    assert _probe.__defaults__ is None


def test_defaults_in_use_survive_their_replacement():
    """Python code that runs while the arguments are bound (here __float__) may
    replace __defaults__; the values already taken from the old tuple must live
    until the call is over."""

    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    _probe.__defaults__ = (marker, 1.0)
    del marker
    seen = []

    class Replaces:
        def __float__(self):
            _probe.__defaults__ = ("x", 1.0)
            seen.append(alive() is not None)
            return 3.0

    with pytest.raises(TypeError) as info:
        _probe(0, 1, (), c=Replaces())
    assert seen == [True]
    assert str(info.value) == "Argument 'b' has incorrect type (expected str, got Marker)"
    assert alive() is None  # released once the call is over


# ------------------------------------------------------------------ binding


def test_arguments_bind_by_position_and_keyword():
    assert _probe(0, t=(), a=1) == (0, 1, (), "x", 1.0, (), {})
    assert _probe(self=0, a=1, t=(), c=2) == (0, 1, (), "x", 2.0, (), {})
    assert _probe(0, 1, (), "y", 2.0, 7, 8, z=9, b2=1) == (0, 1, (), "y", 2.0, (7, 8), {"z": 9, "b2": 1})
    # Keywords named like the catch-all parameters are ordinary extra keywords.
    assert _probe(0, 1, (), args=5, kwds=6) == (0, 1, (), "x", 1.0, (), {"args": 5, "kwds": 6})
    assert _probe(*[0, 1, ()], **{"c": 4}) == (0, 1, (), "x", 4.0, (), {})
    assert get_port(name="calc") == get_port("calc")


class SubStr(str):
    pass


h = Holder()

MESSAGES = [
    (lambda: _probe(1), "_probe() takes at least 3 positional arguments (1 given)"),
    (lambda: _probe(), "_probe() takes at least 3 positional arguments (0 given)"),
    (lambda: h.m(), "_probe() takes at least 3 positional arguments (1 given)"),  # self counts
    (lambda: get_port(), "get_port() takes exactly 1 positional argument (0 given)"),
    (lambda: get_port("a", "b"), "get_port() takes exactly 1 positional argument (2 given)"),
    (lambda: get_port(nam="x"), "get_port() got an unexpected keyword argument 'nam'"),
    (lambda: get_port("a", name="b"), "get_port() got multiple values for argument 'name'"),
    (lambda: _probe(0, 1, (), a=2), "_probe() got multiple values for argument 'a'"),
    (lambda: _probe(0, True, ()), "Argument 'a' has incorrect type (expected int, got bool)"),
    (lambda: get_port(SubStr("x")), "Argument 'name' has incorrect type (expected str, got SubStr)"),
    (lambda: get_port(5), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda: _probe(0, 1, None), "Argument 't' has incorrect type (expected tuple, got NoneType)"),
    (lambda: _probe(0, 1, [1]), "Argument 't' has incorrect type (expected tuple, got list)"),
    (lambda: _probe(0, 1, (), b"x"), "Argument 'b' has incorrect type (expected str, got bytes)"),
    # The exact-type checks run in parameter order: 'a' is reported, not 't'.
    (lambda: _probe(0, 1.0, None), "Argument 'a' has incorrect type (expected int, got float)"),
    # Counts and keyword names come before any conversion or type check.
    (lambda: _probe(c="bad"), "_probe() takes at least 3 positional arguments (0 given)"),
    (lambda: get_port(5, nam=1), "get_port() got an unexpected keyword argument 'nam'"),
]


@pytest.mark.parametrize("call, message", MESSAGES, ids=[m for _, m in MESSAGES])
def test_binder_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_method_messages(chan):
    with pytest.raises(TypeError) as info:
        chan.send()
    assert str(info.value) == "send() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as info:
        chan.send(1, obj=2)
    assert str(info.value) == "Connection.send() got multiple values for argument 'obj'"
    with pytest.raises(TypeError) as info:
        chan.recv(1)
    assert str(info.value) == "recv() takes exactly 1 positional argument (2 given)"
    assert not chan.closed  # a call that did not bind touched nothing


# ------------------------------------------------------- float conversion


class WithFloat:
    def __float__(self):
        return 2.5


class WithIndex:
    def __index__(self):
        return 7


class SubFloat(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (2**60, float(2**60)), (True, 1.0), (WithFloat(), 2.5), (WithIndex(), 7.0), (SubFloat(1.5), 1.5), (0.25, 0.25)],
    ids=["int", "big-int", "bool", "__float__", "__index__", "float-subclass", "float"],
)
def test_float_conversion(value, expected):
    got = _probe(0, 1, (), "x", value)[4]
    assert type(got) is float and got == expected
    assert _probe(0, 1, (), c=value)[4] == expected


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


class FloatReturnsText:
    def __float__(self):
        return "2.5"


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("bad", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (FloatRaises(), ValueError, "no float here"),
        (FloatReturnsText(), TypeError, "FloatReturnsText.__float__ returned non-float (type str)"),
        (2**2000, OverflowError, "int too large to convert to float"),
    ],
    ids=["str", "None", "raises", "returns-text", "overflow"],
)
def test_float_conversion_failure_propagates(value, error, message):
    with pytest.raises(error) as info:
        _probe(0, 1, (), "x", value)
    assert str(info.value) == message


def test_float_conversion_comes_before_type_checks():
    # 'a', 't' and 'b' are all wrong, but the conversion of 'c' runs first.
    with pytest.raises(TypeError) as info:
        _probe(0, True, None, 5, "bad")
    assert str(info.value) == "must be real number, not str"
    # Once 'c' converts, the first exact-type failure is reported.
    with pytest.raises(TypeError) as info:
        _probe(0, True, None, 5, WithIndex())
    assert str(info.value) == "Argument 'a' has incorrect type (expected int, got bool)"


def test_a_subinterpreter_is_refused_with_a_clear_import_error():
    """lumo's state is the process's: importing it into a subinterpreter raises, and the
    main interpreter's lumo goes on working."""
    testcapi = pytest.importorskip("_testcapi")
    import os
    import tempfile

    src = os.path.dirname(os.path.dirname(ring.__file__))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out")
        code = (f"import sys; sys.path.insert(0, {src!r})\n"
                "try:\n    import lumo.ring\n    said = 'imported'\n"
                "except ImportError as e:\n    said = str(e)\n"
                f"open({out!r}, 'w').write(said)\n")
        assert testcapi.run_in_subinterp(code) == 0
        with open(out) as f:
            said = f.read()
    assert said == "lumo runs in the main interpreter only: import it there, not in a subinterpreter"
    assert get_port("x") == get_port("x")
