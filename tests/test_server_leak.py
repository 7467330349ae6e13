"""lumo.server keeps no memory per call: 100,000 calls on one connection, the server's RSS watched."""

import socket
import subprocess
import sys
import threading

import psutil

from lumo.ring import Connection
from netutil import free_port

SERVER = """
import sys, types
import lumo.server as server

calc = types.ModuleType("calc")
calc.add = lambda a, b: a + b
calc.div = lambda a, b: a / b
calc.gen = lambda: (i for i in range(3))
server.Skrivo = lambda name, exclude: Quiet()

class Quiet:  # a logger that writes nothing, so that the run measures the server alone
    def info(self, text): pass
    def warning(self, text): pass
    def critical(self, text): return ConnectionError(text)
    def error(self, err): return err

server.serve(calc, "calc", port=int(sys.argv[1]))
"""

WARM_UP = 10_000
CALLS = 100_000
BOUND = 5 * 1024 * 1024

# Every road through a pass: a success, a failing call, an unknown name, a result that cannot be sent.
MIX = [
    ("calc.add", (1, 2), {}),
    ("calc.ping", (b"x" * 1000,), {}),
    ("calc.add", ("a",), {"b": "b"}),
    ("calc.div", (1, 0), {}),
    ("calc.nope", (), {}),
    ("calc.gen", (), {}),
    ("other", (), {}),
    ("calc.stats", (), {}),
]


def connect(port):
    tick = threading.Event()
    for attempt in range(200):  # the server is still starting: 10 s at most
        try:
            return Connection(socket.create_connection(("127.0.0.1", port), timeout=30))
        except ConnectionRefusedError:
            if attempt == 199:
                raise
            tick.wait(0.05)


def run_calls(channel, start, count):
    for msgid in range(start, start + count):
        name, args, kwds = MIX[msgid % len(MIX)]
        channel.send((2, msgid, name, args, kwds))
        tag, got, _ = channel.recv()
        assert (tag, got) == (3, msgid)


def test_no_memory_growth_over_100000_calls():
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-c", SERVER, str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        channel = connect(port)
        watched = psutil.Process(proc.pid)
        run_calls(channel, 0, WARM_UP)
        before = watched.memory_info().rss
        run_calls(channel, WARM_UP, CALLS)
        after = watched.memory_info().rss
        channel.close()
        print(f"\nserver RSS after {WARM_UP} calls: {before / 2**20:.2f} MiB, after {CALLS} more: "
              f"{after / 2**20:.2f} MiB, growth {(after - before) / 2**10:.0f} KiB")
        assert after - before < BOUND, (before, after)
    finally:
        proc.kill()
        proc.wait(30)
