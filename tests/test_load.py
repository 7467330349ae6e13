"""Load, bounded: many clients at once against one server, every result and every count checked.

64 client threads x 200 calls, and 16 client processes x 200 calls, against a server on
127.0.0.1. Each client sends its own arguments, so a response delivered to the wrong
connection, or a count booked on the wrong record, shows up. tools/load.py measures the
same set-up for throughput and latency; this file only checks correctness.
"""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import lumo
import lumo.client
from netutil import serving, wait_until

pytestmark = [pytest.mark.timeout(180), pytest.mark.usefixtures("quiet_lumo")]

TIMEOUT = 30.0
CALLS = 200




class Calc:
    def mix(self, client, i, text=""):
        return client, i, text + "!"


@pytest.fixture
def server():
    with serving(Calc(), "load", TIMEOUT) as srv:
        yield srv



def test_64_client_threads(server):
    n = 64
    port = server.server_address[1]
    all_done = threading.Barrier(n + 1, timeout=TIMEOUT)
    release = threading.Event()
    wrong = []
    proxies = [lumo.client.connect("load", "127.0.0.1", port, TIMEOUT) for _ in range(n)]

    def client(j):
        p = proxies[j]
        try:
            for i in range(CALLS):
                got = p.mix(j, i, text=str(i))
                if got != (j, i, f"{i}!"):
                    wrong.append((j, i, got))
                    break
        finally:
            all_done.wait()
            release.wait(TIMEOUT)
            p._client._connection.close()

    threads = [threading.Thread(target=client, args=(j,), daemon=True) for j in range(n)]
    for t in threads:
        t.start()
    all_done.wait()
    try:
        assert not wrong, wrong[:5]
        # every connection is still open: one record each, with exactly its own calls booked
        stats = server.statistics
        assert len(stats) == n
        assert sorted(rec["load.mix"]["count"] for rec in stats.values()) == [CALLS] * n
    finally:
        release.set()
        for t in threads:
            t.join(TIMEOUT)
    wait_until(lambda: not server.statistics, "the statistics to empty")


CLIENT = """
    import logging, sys
    logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)
    import lumo.client
    j, port, calls = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    p = lumo.client.connect("load", "127.0.0.1", port, 30.0)
    bad = 0
    for i in range(calls):
        if p.mix(j, i, text="p") != (j, i, "p!"):
            bad += 1
    print("done", j, bad, flush=True)
"""


def test_16_client_processes(server):
    n = 16
    port = server.server_address[1]
    env = dict(os.environ)
    here = os.path.dirname(os.path.dirname(os.path.abspath(lumo.__file__)))
    env["PYTHONPATH"] = here + os.pathsep + env.get("PYTHONPATH", "")
    procs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(CLIENT), str(j), str(port), str(CALLS)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
             for j in range(n)]
    outputs = []
    try:
        for p in procs:
            out, err = p.communicate(timeout=120)
            outputs.append((p.returncode, out.strip(), err))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait(TIMEOUT)
    assert [o[:2] for o in outputs] == [(0, f"done {j} 0") for j in range(n)], [o for o in outputs if o[0]]
    wait_until(lambda: not server.statistics, "the statistics to empty")
