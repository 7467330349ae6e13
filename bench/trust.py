"""`python -m bench.trust`: what a key and TLS cost lumo, measured in one run.

    python -m bench.trust [--rounds N] [--out FILE]

One server process per mode (plain, key, TLS, key and TLS) on 127.0.0.1, all running at once;
the client (this process) visits the modes in turn, round after round, so that every mode sees
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


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def wait_listening(port: int, proc: subprocess.Popen, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"the server exited with {proc.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1.0):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


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
    procs = {mode: subprocess.Popen([sys.executable, "-c", SERVER, mode, str(ports[mode]), str(cert),
                                     str(key)], env=env, cwd=root, stdin=subprocess.DEVNULL)
             for mode in MODES}
    results: dict[str, dict[str, list[float]]] = {m: {"connect": [], "p50": [], "echo": []} for m in MODES}
    array = np.arange(4 * 1024 * 1024, dtype=np.float32)  # 16 MiB
    try:
        for mode in MODES:
            wait_listening(ports[mode], procs[mode])
        for _ in range(args.rounds):
            for mode in MODES:
                use(mode, client_context)
                port = ports[mode]
                times = []
                for _ in range(50):
                    start = time.perf_counter()
                    proxy = connect("calc", "127.0.0.1", port, 30.0)
                    assert proxy.add(1, 2) == 3, mode
                    times.append(time.perf_counter() - start)
                    proxy._client._connection.close()
                results[mode]["connect"].append(statistics.median(times))
                proxy = connect("calc", "127.0.0.1", port, 30.0)
                for _ in range(200):
                    proxy.add(1, 2)
                times = []
                for _ in range(3000):
                    start = time.perf_counter()
                    proxy.add(1, 2)
                    times.append(time.perf_counter() - start)
                results[mode]["p50"].append(statistics.median(times))
                times = []
                for _ in range(5):
                    start = time.perf_counter()
                    back = proxy.echo(array)
                    times.append(time.perf_counter() - start)
                    assert back.shape == array.shape, mode
                results[mode]["echo"].append(statistics.median(times))
                proxy._client._connection.close()
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
