"""`python -m bench.trust`: what a key and TLS cost lumo, measured in one run.

    python -m bench.trust [--rounds N] [--out FILE]

One server process per mode (plain, key, TLS, key and TLS) on 127.0.0.1, all running at once;
the client (this process) visits the modes in turn, call after call, so that every mode sees
the same phases of the machine. Per mode: connect plus the first call (a new client each time),
the p50 of `add(1, 2)` on an open connection, and the median time of a 16 MiB float32 numpy
echo. The TLS certificate is a self-signed one made with the `openssl` command for 127.0.0.1.
"""
from __future__ import annotations

import argparse
import json
import os
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench.measure import free_port, wait_listening

MODES = ("plain", "key", "tls", "key+tls")
KEY = b"bench-key-" * 4

SERVER = r"""
import ssl, sys, logging
logging.getLogger("lumo").setLevel(logging.CRITICAL + 1)
from lumo import ring, server
import bench.calc as calc
mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
if "key" in mode.split("+"):
    ring.set_authkey(%r)
if "tls" in mode:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    ring.set_tls(server=context)
server.serve(calc, "calc", "127.0.0.1", port)
""" % KEY


def turn(i: int) -> tuple[str, ...]:
    """The modes in the order of pass i: each comes first as often as the others."""
    k = i % len(MODES)
    return MODES[k:] + MODES[:k]


def use(mode: str, client_context: ssl.SSLContext) -> None:
    from lumo import ring

    ring.set_authkey(KEY if "key" in mode.split("+") else None)
    ring.set_tls(client=client_context if "tls" in mode else None)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.trust", description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--out", type=Path, default=None)
    args = ap.parse_args(argv)

    import numpy as np
    from lumo.client import connect

    root = Path(__file__).resolve().parent.parent
    folder = Path(tempfile.mkdtemp(prefix="lumo-bench-trust-"))
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=bench", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True,
                   timeout=60)
    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_context.load_verify_locations(str(cert))
    env = dict(os.environ, PYTHONPATH=f"{root}{os.pathsep}{root / 'src'}")
    ports = {mode: free_port() for mode in MODES}
    logs = {mode: folder / f"{mode}.log" for mode in MODES}
    procs = {mode: subprocess.Popen([sys.executable, "-c", SERVER, mode, str(ports[mode]), str(cert),
                                     str(key)], env=env, cwd=root, stdin=subprocess.DEVNULL,
                                    stdout=logs[mode].open("w"), stderr=subprocess.STDOUT)
             for mode in MODES}
    results: dict[str, dict[str, list[float]]] = {m: {"connect": [], "p50": [], "echo": []} for m in MODES}
    array = np.arange(4 * 1024 * 1024, dtype=np.float32)  # 16 MiB
    try:
        for mode in MODES:
            wait_listening(ports[mode], procs[mode], logs[mode])
        for _ in range(args.rounds):
            # Each measurement visits the modes in turn, call after call.
            connect_times: dict[str, list[float]] = {m: [] for m in MODES}
            for i in range(50):
                for mode in turn(i):
                    use(mode, client_context)
                    start = time.perf_counter()
                    proxy = connect("calc", "127.0.0.1", ports[mode], 30.0)
                    assert proxy.add(1, 2) == 3, mode
                    connect_times[mode].append(time.perf_counter() - start)
                    proxy._client._connection.close()
            proxies = {}
            for mode in MODES:
                use(mode, client_context)
                proxies[mode] = connect("calc", "127.0.0.1", ports[mode], 30.0)
                for _ in range(200):
                    proxies[mode].add(1, 2)
            call_times: dict[str, list[float]] = {m: [] for m in MODES}
            for i in range(3000):
                for mode in turn(i):
                    start = time.perf_counter()
                    proxies[mode].add(1, 2)
                    call_times[mode].append(time.perf_counter() - start)
            echo_times: dict[str, list[float]] = {m: [] for m in MODES}
            for i in range(8):
                for mode in turn(i):
                    start = time.perf_counter()
                    back = proxies[mode].echo(array)
                    echo_times[mode].append(time.perf_counter() - start)
                    assert back.shape == array.shape, mode
            for mode in MODES:
                results[mode]["connect"].append(statistics.median(connect_times[mode]))
                results[mode]["p50"].append(statistics.median(call_times[mode]))
                results[mode]["echo"].append(statistics.median(echo_times[mode]))
                proxies[mode]._client._connection.close()
    finally:
        for proc in procs.values():
            proc.terminate()
            proc.wait(timeout=30)

    table = {m: {k: statistics.median(v) for k, v in r.items()} for m, r in results.items()}
    plain = table["plain"]
    lines = ["| | connect + first call, µs | `add(1, 2)` p50, µs | echo 16 MiB float32, ms |",
             "|---|---|---|---|"]
    for mode in MODES:
        row = table[mode]
        cells = [f"{row['connect'] * 1e6:,.0f}", f"{row['p50'] * 1e6:.1f}", f"{row['echo'] * 1e3:.1f}"]
        if mode != "plain":
            cells = [f"{c} ({row[k] / plain[k]:.2f}x)" for c, k in zip(cells, ("connect", "p50", "echo"))]
        lines.append(f"| {mode} | " + " | ".join(cells) + " |")
    print("\n".join(lines))
    if args.out:
        args.out.write_text(json.dumps({"rounds": args.rounds, "results": results, "median": table}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
