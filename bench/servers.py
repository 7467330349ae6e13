"""Server processes of the benchmarks.

    python -m bench.servers NAME PORT [--cpu N]   serve bench.calc with target NAME until killed
    python -m bench.servers --check NAME          print {"version": ...} or {"error": ...}

The availability check runs in a process of its own, so that a broken extension module costs
its target and not the whole run.
"""
from __future__ import annotations

import argparse
import json
import os
import sys


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.servers")
    ap.add_argument("name")
    ap.add_argument("port", type=int, nargs="?")
    ap.add_argument("--cpu", type=int, default=None, help="pin the server to this CPU")
    ap.add_argument("--check", action="store_true", help="only report whether NAME is usable")
    args = ap.parse_args(argv)

    from bench.targets import PYTHON_TARGETS, quiet_logging

    target = PYTHON_TARGETS[args.name]
    if args.check:
        try:
            print(json.dumps({"version": target.version()}))
        except Exception as exc:  # ImportError mostly; anything else also means "skip it"
            print(json.dumps({"error": f"{type(exc).__name__}: {exc}"}))
        return 0
    if args.port is None:
        ap.error("PORT is required")
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    quiet_logging()
    # Every server echoes arrays, so every server process holds numpy: the idle footprints
    # that the memory figures start from stay comparable.
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    target.serve(args.port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
