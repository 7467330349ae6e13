"""What differs between the supported interpreters stays inside the build: the private
internals it reads belong to the interpreter it runs on, and the package says one version."""
from __future__ import annotations

import importlib.metadata
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import lumo
from lumo import ring
from lumo.ring import Connection

VERSION = "%d.%d" % sys.version_info[:2]


def tcp_pair() -> tuple[socket.socket, socket.socket]:
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(10)
        client = socket.create_connection(listener.getsockname(), timeout=10)
        server, _ = listener.accept()
    return client, server


def test_the_build_reads_only_its_own_interpreters_internals() -> None:
    # "" is the plain path: a build with LUMO_PLAIN_INTERP, or an interpreter lumo does not know.
    assert ring._internals in (VERSION, "")
    if VERSION not in ("3.11", "3.12", "3.13"):
        assert ring._internals == ""


@pytest.mark.parametrize("make", [tcp_pair, socket.socketpair], ids=["tcp", "unix"])
@pytest.mark.parametrize("timeout", [None, 2.5, 0.0])
def test_sockets_are_read_in_place_where_their_layout_is_known(make, timeout) -> None:
    a, b = make()
    with a, b:
        a.settimeout(timeout)
        conn = Connection(a)
        # False on a known interpreter means the socket's layout no longer matches what the
        # build reads: the channel then still works, through fileno() and gettimeout().
        assert conn._mirrored is bool(ring._internals)
        assert conn.timeout == timeout
        a.settimeout(1.5)  # the channel follows it from its next operation on
        conn.send((2**30 - 1, -(2**30), 2**40, "x"))
        assert conn.fileno() == a.fileno() and conn.timeout == 1.5
        b.settimeout(10)
        assert Connection(b).recv() == (2**30 - 1, -(2**30), 2**40, "x")


def test_one_version_everywhere() -> None:
    shown = subprocess.run([sys.executable, "-m", "lumo", "--version"], capture_output=True,
                           text=True, timeout=60)
    assert shown.stdout == f"lumo {lumo.__version__}\n"
    try:
        dist = importlib.metadata.distribution("lumo")
    except importlib.metadata.PackageNotFoundError:
        dist = None
    installed = dist is not None and \
        Path(str(dist.locate_file("lumo/__init__.py"))).resolve() == Path(lumo.__file__).resolve()
    if not installed:
        pytest.skip("lumo runs from the checkout (a developer build): no package metadata")
    assert dist is not None and dist.version == lumo.__version__
