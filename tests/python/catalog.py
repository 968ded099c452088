"""The pair-search functions as one table, for the tests that run every function.

Each entry names a module function, whether it joins one array with itself or
two arrays with each other, and which `k` it accepts for a width `d_bytes`.
A function the built module does not have yet is skipped with a visible reason,
so a test over the table covers each function as soon as it is built.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import pytest

from brimel_native import _brimel_native as m

MAX_CHUNK_BITS = 128


def byte_accepts(d_bytes: int, k: int) -> bool:
    """Byte chunks: k + 1 chunks of whole bytes, so k < d_bytes."""
    return 0 <= k < d_bytes


def bit_accepts(d_bytes: int, k: int) -> bool:
    """Bit chunks: k < 8*d_bytes and every chunk key fits 128 bits (k = 0 keys
    the first 128 bits only)."""
    total = 8 * d_bytes
    return 0 <= k < total and (k == 0 or math.ceil(total / (k + 1)) <= MAX_CHUNK_BITS)


def accepted_ks(accepts: Callable[[int, int], bool], d_bytes: int) -> list[int]:
    return [k for k in range(8 * d_bytes) if accepts(d_bytes, k)]


@dataclass(frozen=True)
class Join:
    name: str
    kind: str  # "self" or "cross"
    accepts: Callable[[int, int], bool]
    # (shape, k) that passes the entry checks but that the engine refuses with
    # PanicException carrying `panic_text`; None when no such input exists.
    panic_case: tuple[tuple[int, int], int] | None = None
    panic_text: str = ""

    @property
    def available(self) -> bool:
        return hasattr(m, self.name)

    def function(self):
        """The module function; skips the calling test when it is not built."""
        if not self.available:
            pytest.skip(f"{self.name} is not in this build of the module")
        return getattr(m, self.name)

    def ks(self, d_bytes: int) -> list[int]:
        return accepted_ks(self.accepts, d_bytes)

    def __str__(self) -> str:
        return self.name


JOINS = [
    Join("find_pairs_self", "self", byte_accepts),
    Join("find_pairs_self_bit", "self", bit_accepts,
         panic_case=((5, 64), 1), panic_text="bit chunk wider than 128 bits"),
    Join("find_pairs_cross", "cross", byte_accepts),
    Join("find_pairs_cross_bit", "cross", bit_accepts,
         panic_case=((5, 64), 1), panic_text="bit chunk wider than 128 bits"),
    Join("_find_pairs_self_full_popcount", "self", byte_accepts),
    # Every k passes the entry; on rows that vary in fewer than k + 1 bits the
    # search falls back to the bit-level plan, so the bit limits are the ones
    # that hold for every input.
    Join("find_pairs_self_adaptive", "self", bit_accepts,
         panic_case=((5, 8), 64), panic_text="brimel: k (64) must be < 8*d_bytes (64)"),
]

SELF_JOINS = [j for j in JOINS if j.kind == "self"]
CROSS_JOINS = [j for j in JOINS if j.kind == "cross"]


def run(join: Join, arrays, k: int):
    """Calls the join on one array (self) or two (cross)."""
    return join.function()(*arrays, k)


def index_class():
    """The Index class; skips the calling test when it is not built."""
    if not hasattr(m, "Index"):
        pytest.skip("Index is not in this build of the module")
    return m.Index


def index_accepts(d_bytes: int, k: int) -> bool:
    return d_bytes >= 1 and bit_accepts(d_bytes, k)


class NotRaisedYet(BaseException):
    """Stands for PanicException while no built function can raise it."""


def panic_exception() -> type[BaseException]:
    """PanicException is not a module attribute: fetch it from a refused call."""
    import numpy as np

    for join in JOINS:
        if join.available and join.panic_case is not None:
            (shape, k) = join.panic_case
            arrays = [np.zeros(shape, np.uint8)] * (1 if join.kind == "self" else 2)
            try:
                join.function()(*arrays, k)
            except BaseException as failure:  # noqa: BLE001 - this is what we want
                return type(failure)
    return NotRaisedYet
