"""A numpy array service. Arrays travel without being copied into the message (pickle protocol 5).

    lumo serve examples/arrays.py
    lumo call arrays.summary "[1, 2, 3, 4]"    # {'size': 4, 'mean': 2.5, 'std': 1.118..., ...}

From Python (the client needs numpy too, to receive arrays):

    import numpy as np
    from lumo.client import connect
    arrays = connect("arrays")
    arrays.scale(np.arange(5.0), 2)            # array([0., 2., 4., 6., 8.])
    arrays.matmul(np.eye(2), [[1, 2], [3, 4]])
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def scale(a: npt.ArrayLike, factor: float) -> npt.NDArray[Any]:
    return np.asarray(a) * factor


def matmul(a: npt.ArrayLike, b: npt.ArrayLike) -> npt.NDArray[Any]:
    return np.asarray(a) @ np.asarray(b)


def random(shape: tuple[int, ...], seed: int = 0) -> npt.NDArray[np.float64]:
    """Uniform random numbers in [0, 1) of the given shape, reproducible through seed."""
    return np.random.default_rng(seed).random(shape)


def summary(a: npt.ArrayLike) -> dict[str, Any]:
    """Plain Python numbers, so that a client without numpy can read the answer too."""
    x = np.asarray(a, dtype=float)
    return {"size": int(x.size), "mean": float(x.mean()), "std": float(x.std()),
            "min": float(x.min()), "max": float(x.max())}
