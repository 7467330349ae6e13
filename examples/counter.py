"""A counter with state, shared by every client of one server.

    lumo serve examples/counter.py:counter     # publishes the instance below as "counter"
    lumo call counter.increment                # 1
    lumo call counter.increment by=5           # 6
    lumo call counter.value                    # 6

The server runs each connection on a thread of its own, so methods that change state take a lock.
"""
from __future__ import annotations

import threading


class Counter:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._value = 0

    def increment(self, by: int = 1) -> int:
        with self._lock:
            self._value += by
            return self._value

    def value(self) -> int:
        return self._value

    def reset(self) -> int:
        """Set the counter back to 0 and return the value it had."""
        with self._lock:
            old, self._value = self._value, 0
            return old


counter = Counter()
