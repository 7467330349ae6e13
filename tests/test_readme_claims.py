"""What the README says about failures, logging and addresses is what the code does."""
from __future__ import annotations

import logging
import pickle
import re
import threading
import types
from pathlib import Path

import pytest

from lumo import _demo
from lumo.client import connect
from lumo.server import serve
from netutil import free_port

README = (Path(__file__).resolve().parents[1] / "README.md").read_text()


def _local_instance() -> object:
    class Local:
        pass
    return Local()


@pytest.fixture(scope="module")
def echo():
    module = types.ModuleType("claims")
    module.echo = lambda x: x
    module.div = lambda a, b: a / b
    port = free_port()
    serve(module, "claims", port=port, thread=True)
    return connect("claims", port=port, timeout=10.0)


def test_an_unpicklable_argument_raises_what_the_readme_names(echo) -> None:
    said = README[README.index("argument that cannot be pickled"):][:400]
    for arg in [threading.Lock(), _local_instance(), lambda: 1]:
        with pytest.raises((TypeError, AttributeError, pickle.PicklingError)) as raised:
            echo.echo(arg)
        assert f"`{raised.type.__name__}`" in said or f"`pickle.{raised.type.__name__}`" in said
    assert echo.echo(5) == 5  # the connection is still usable


def test_calls_are_not_logged_failures_are(echo, caplog: pytest.LogCaptureFixture,
                                           capsys: pytest.CaptureFixture[str]) -> None:
    caplog.set_level(logging.INFO, logger="lumo")
    echo.echo(1)  # connects: one INFO line on the server
    caplog.clear()
    assert echo.echo(2) == 2 and caplog.records == []
    echo.div(1, 0)
    assert [r.levelname for r in caplog.records] == ["ERROR"]
    _demo.main()
    assert "logs its connections and failed calls" in capsys.readouterr().out.splitlines()[-1]
    assert "Successful calls are not logged." in README


def test_ipv6_is_refused_as_the_readme_says() -> None:
    with pytest.raises(OSError):
        serve(types.ModuleType("v6"), "v6", host="::1", port=free_port(), thread=True)
    assert re.search(r"IPv6 addresses such as `::1` are not\s+supported", README)
