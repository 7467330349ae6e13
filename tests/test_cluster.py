"""tools/cluster.py: lumo hosts behind HAProxy, whose health check is a lumo ping written out as
bytes in the configuration."""
from __future__ import annotations

import importlib.util
import socket
import threading
from pathlib import Path

import pytest

import lumo.server
from lumo.kelto import Skrivo
from lumo.protocol import REQUEST, RESPONSE
from lumo.ring import Connection
from netutil import free_port

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("cluster", ROOT / "tools" / "cluster.py")
assert _spec is not None and _spec.loader is not None
cluster = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(cluster)


def sent_by_the_channel(message: tuple) -> bytes:
    a, b = socket.socketpair()
    with a, b:
        b.settimeout(5.0)
        Connection(a).send(message)
        return b.recv(4096)


def test_the_health_check_bytes_are_a_lumo_ping_and_its_answer(quiet_lumo) -> None:
    request, answer = cluster.ping_check("calc", "lb")
    assert request == sent_by_the_channel((REQUEST, 1, "calc.ping", ("lb",), {}))
    assert answer == sent_by_the_channel((RESPONSE, 1, "lb"))

    def calc() -> None:
        pass

    server = lumo.server.Server(("127.0.0.1", free_port()), lumo.server.RequestHandler,
                                obj=calc, alias="calc")
    server.log = Skrivo("calc")
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        with socket.create_connection(server.server_address, timeout=5.0) as sock:
            sock.sendall(request)  # what HAProxy sends, byte for byte
            got = b""
            for _ in range(100):
                chunk = sock.recv(4096)
                got += chunk
                if not chunk or len(got) >= len(answer):
                    break
        assert got == answer
    finally:
        server.shutdown()
        server.server_close()
        thread.join(10)


@pytest.mark.skipif(cluster.haproxy_binary() is None,
                    reason="HAProxy is not installed (apt-get install haproxy): the "
                           "load-balancer test needs it")
def test_calls_through_the_balancer_outlive_a_crashed_host(tmp_path: Path, quiet_lumo) -> None:
    with cluster.Cluster(tmp_path, cluster.haproxy_binary(), workers=2, inter_ms=150,
                         fall=2, rise=1) as hosts:
        spread = hosts.backends_reached(9)
        assert set(spread) == {hosts.backend_pid(h) for h in cluster.HOSTS}
        run = cluster.failover(hosts, clients=4, seconds=0.5)
    print(run)  # the figures, with pytest -s
    assert (run["hung"], run["wrong"]) == (0, 0)
    assert run["answered"] > 0
    # Once the check has marked the host down, no new connection goes there; once it is back,
    # new connections reach it again.
    assert run["dead_backend_reached_while_down"] == 0 and run["connections_while_down"] == 9
    assert run["restarted_backend_reached"] > 0
