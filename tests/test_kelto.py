import json
import logging
import logging.handlers
import pickle
import re
import subprocess
import sys
from unittest import mock

import pytest

from lumo import kelto
from lumo.kelto import Skrivo, iformat, iprint
from lumo.protocol import REQUEST, RESPONSE

BASE = logging.getLogger("lumo")


@pytest.fixture(autouse=True)
def fresh_logging():
    """Each test starts with a "lumo" logger that carries only lumo's NullHandler and no level."""
    saved = BASE.handlers[:], BASE.level
    BASE.handlers[:] = [h for h in saved[0] if type(h) is logging.NullHandler]
    BASE.setLevel(logging.NOTSET)  # setLevel, not .level: it clears the loggers' level caches
    yield
    BASE.handlers[:] = saved[0]
    BASE.setLevel(saved[1])


def bare_root():
    """No root handlers, as in an application that never configured logging (pytest adds its own)."""
    return mock.patch.object(logging.root, "handlers", [])


def Collect():
    return logging.handlers.BufferingHandler(100)


def test_names_levels_and_return_values(caplog):
    caplog.set_level(logging.DEBUG, logger="lumo")
    calc, top = Skrivo("calc", exclude=["lumo"]), Skrivo("")
    assert calc.info("100% of %s") is None and top.warning("w") is None
    err = ZeroDivisionError("ZeroDivisionError in calc.div(1, 0): division by zero")
    assert calc.error(err) is err
    down = calc.critical("connection lost")
    assert type(down) is ConnectionError and down.args == ("connection lost",)
    assert calc.critical("connection lost") is not down
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("lumo.calc", logging.INFO, "100% of %s"), ("lumo", logging.WARNING, "w"),
        ("lumo.calc", logging.ERROR, err.args[0])] + [("lumo.calc", logging.CRITICAL, "connection lost")] * 2


def test_stderr_out_of_the_box_decided_at_each_line(capsys):
    with bare_root():
        logging.root.addHandler(app := Collect())  # configured when the Skrivo is made ...
        skrivos = [Skrivo(f"s{i}") for i in range(1000)]
        logging.root.removeHandler(app)            # ... and no longer when it logs
        assert BASE.handlers == [kelto._null] and BASE.level == logging.NOTSET
        skrivos[7].info("hello")
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO lumo\.s7: hello\n",
                            capsys.readouterr().err)
        logging.root.addHandler(app)  # the application configures logging afterwards
        skrivos[0].warning("once")
        assert capsys.readouterr().err == "" and [r.getMessage() for r in app.buffer] == ["once"]


def test_level_without_handler_still_reaches_stderr(capsys):
    with bare_root():
        BASE.setLevel(logging.ERROR)  # the app chose a level but no handler: lumo obeys the level
        calc = Skrivo("calc")
        calc.warning("dropped")
        calc.critical("kept")
        assert capsys.readouterr().err.endswith(" CRITICAL lumo.calc: kept\n")
        logging.getLogger("lumo.calc").setLevel(logging.CRITICAL + 1)
        calc.critical("silenced")
        logging.getLogger("lumo.calc").setLevel(logging.NOTSET)
        assert capsys.readouterr().err == ""


def test_error_traceback_at_debug_skips_excluded_packages(caplog):
    try:
        json.loads("{")
    except ValueError as exc:
        err = RuntimeError("JSONDecodeError in calc.f('{'): bad")
        err.__cause__ = cause = exc
    assert "json" in Skrivo("calc").trace(err).replace("json.decoder.JSONDecodeError", "")
    caplog.set_level(logging.DEBUG, logger="lumo")
    assert Skrivo("calc", exclude=["json"]).error(err) is err
    error, debug = caplog.records
    assert error.getMessage() == err.args[0] and debug.levelno == logging.DEBUG
    text = debug.getMessage()
    assert "test_error_traceback_at_debug" in text and text.endswith("JSONDecodeError: " + str(cause))
    assert "json" not in text.replace("json.decoder.JSONDecodeError", "").replace("json.loads", "")
    assert Skrivo("calc").trace(ValueError("never raised")) == ""


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


class BadList(list):
    def __iter__(self):
        raise RuntimeError("no iteration")


@pytest.mark.parametrize("name, args, kwds, text", [
    ("calc.add", (1, 2), {"x": 3}, " in calc.add(1, 2, x=3):"),
    ("calc.f", (), {}, " in calc.f():"),
    ("f", ({"b": 1, "a": 2},), None, " in f({'b': 1, 'a': 2}):"),  # as written, not sorted
    ("f", None, 5, " in f(**5):"),
    ("f", (1, BadRepr()), {}, " in f(1, <unrepresentable BadRepr object>):"),
    ("f", BadList([1]), {}, " in f(<unrepresentable arguments>):"),  # the name survives
    ("calc.f", [list(range(100))], None, " in calc.f([0, 1, 2, 3, 4, 5, ...]):"),
    ("calc.f", ({"a": [[["deep"]]]},), {1: None}, " in calc.f({'a': [[[...]]]}, 1=None):"),
])
def test_iformat_text(name, args, kwds, text):
    assert iformat(name, args, kwds) == text


BIG = {"bytes": lambda: b"\0" * 10**7, "str": lambda: "s" * 10**7, "bytearray": lambda: bytearray(10**7),
       "memoryview": lambda: memoryview(b"m" * 10**7), "int": lambda: 10**20000,
       "dict": lambda: {i: i for i in range(10**5)}, "set": lambda: set(range(10**5))}


@pytest.mark.parametrize("kind", BIG)
def test_iformat_bounded(kind):
    arg = BIG[kind]()
    text = iformat("calc.f", (arg,) * 20, {"k" * 10**6: arg})
    assert len(text) < 400 and text.startswith(" in calc.f(") and text.endswith("):")


def test_iformat_cuts_big_values_before_repr():
    assert iformat("f", (b"\0" * 10**7,), {}) == r" in f(b'" + r"\x00" * 16 + r"'...<10000000 bytes>):"
    assert iformat("f", ("s" * 10**7,), {}) == " in f('" + "s" * 27 + "..." + "s" * 28 + "'):"


def test_iformat_bounded_numpy():
    np = pytest.importorskip("numpy")
    assert iformat("f", (np.zeros(10**7),), {}) == " in f(<ndarray shape=(10000000,) dtype=float64>):"


@pytest.mark.parametrize("name, args, kwds", [
    ("f", None, 5), ("f", 5, None), (BadRepr(), (BadRepr(),), {"x": BadRepr()}),
    ("f", BadList([1]), {}), ("f", (BadList([1]),), {BadRepr(): 1}), (None, object(), object()),
])
def test_iformat_never_raises(name, args, kwds):
    text = iformat(name, args, kwds)
    assert text.startswith(" in ") and text.endswith(":") and len(text) < 400


def test_iprint(capsys):
    value = {"a": 1}
    assert iprint(value) is value and capsys.readouterr().out == "{'a': 1}\n"


def test_protocol_tags_distinct_and_survive_pickle():
    back = [pickle.loads(pickle.dumps(t, 5)) for t in (REQUEST, RESPONSE)]
    assert REQUEST != RESPONSE and back[0] == REQUEST and back[1] == RESPONSE and back[0] != RESPONSE
    assert not {REQUEST, RESPONSE} & {True, False, None}


APP_FORMAT = "logging.Formatter('APP %(levelname)s %(message)s')"
# How an application configures logging, and the stderr lines that lumo's info, warning, error
# and critical lines then make: each once, at the levels that the application chose.
CONFIGURED = {
    "nothing": ("", ["INFO lumo.calc: i", "WARNING lumo.calc: w", "ERROR lumo.calc: e",
                     "CRITICAL lumo.calc: c"]),
    "basicConfig(level=WARNING)": (
        "logging.basicConfig(level=logging.WARNING, format='APP %(levelname)s %(message)s')",
        ["APP WARNING w", "APP ERROR e", "APP CRITICAL c"]),
    "handler on lumo": (
        f"h = logging.StreamHandler(); h.setFormatter({APP_FORMAT}); logging.getLogger('lumo').addHandler(h)",
        ["APP WARNING w", "APP ERROR e", "APP CRITICAL c"]),
    "handler and level on lumo.calc": (
        f"h = logging.StreamHandler(); h.setFormatter({APP_FORMAT}); c = logging.getLogger('lumo.calc'); "
        "c.addHandler(h); c.setLevel(logging.INFO)",
        ["APP INFO i", "APP WARNING w", "APP ERROR e", "APP CRITICAL c"]),
    "level on lumo": ("logging.getLogger('lumo').setLevel(logging.ERROR)",
                      ["ERROR lumo.calc: e", "CRITICAL lumo.calc: c"]),
}


@pytest.mark.parametrize("order", ["configured first", "lumo first"])
@pytest.mark.parametrize("way", CONFIGURED)
def test_lines_follow_the_application_configuration(way, order):
    config, expected = CONFIGURED[way]
    before, after = (config, "") if order == "configured first" else ("", config)
    program = "\n".join([
        "import logging", before, "from lumo.kelto import Skrivo", "log = Skrivo('calc')", after,
        "log.info('i'); log.warning('w'); log.error(Exception('e')); log.critical('c')",
        "print(logging.getLogger('lumo').level, *map(type, logging.getLogger('lumo').handlers))"])
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} "  # lumo's own format starts with the time
    assert [re.sub(stamp, "", line) if not line.startswith("APP ") else line
            for line in done.stderr.splitlines()] == expected
    level = done.stdout.split()[0]  # lumo adds a NullHandler and no level of its own
    assert level == str(40 if way == "level on lumo" else 0) and "logging.NullHandler" in done.stdout
