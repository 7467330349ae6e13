"""Benchmarks of lumo beside its floors and peers: `python -m bench` (see bench/harness.py)."""
