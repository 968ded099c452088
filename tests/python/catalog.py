"""The pair-search functions as one table, for the tests that run every function:
its name, whether it joins one array with itself or two with each other, and
which k it accepts for a width of d_bytes bytes."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

import brimel_native
from brimel_native import _brimel_native as m


# The k each function accepts for d_bytes: byte chunks, k + 1 chunks of whole
# bytes; bit chunks, every chunk fits the widest key (k = 0 keys its first bits
# only); find_pairs, any k below the code width.
def byte_accepts(d_bytes: int, k: int) -> bool:
    return 0 <= k < d_bytes


def bit_accepts(d_bytes: int, k: int) -> bool:
    return 0 <= k < 8 * d_bytes and (k == 0 or math.ceil(8 * d_bytes / (k + 1)) <= m._MAX_CHUNK_BITS)


def any_k(d_bytes: int, k: int) -> bool:
    return 0 <= k < 8 * d_bytes


def accepted_ks(accepts: Callable[[int, int], bool], d_bytes: int) -> list[int]:
    return [k for k in range(8 * d_bytes) if accepts(d_bytes, k)]


@dataclass(frozen=True)
class Join:
    name: str
    kind: str  # "self" or "cross"
    # The k the function accepts for every input; find_pairs_self_adaptive takes
    # any k and falls back to the bit plan, whose limits hold for every input.
    accepts: Callable[[int, int], bool]

    def function(self):
        return getattr(m, self.name)

    def __call__(self, a, b, k):  # a with itself (self) or with b (cross)
        return self.function()(a, k) if self.kind == "self" else self.function()(a, b, k)

    def __str__(self) -> str:
        return self.name


JOINS = [
    Join("find_pairs_self", "self", byte_accepts),
    Join("find_pairs_self_bit", "self", bit_accepts),
    Join("find_pairs_cross", "cross", byte_accepts),
    Join("find_pairs_cross_bit", "cross", bit_accepts),
    Join("_find_pairs_self_full_popcount", "self", byte_accepts),
    Join("find_pairs_self_adaptive", "self", bit_accepts),
]


class FindPairs(Join):
    """find_pairs (the planner's join, arrays out) as one of the joins above."""

    def function(self):
        return brimel_native.find_pairs

    def __call__(self, a, b, k):
        found = brimel_native.find_pairs(a, k, b if self.kind == "cross" else None)
        assert found.i.dtype == found.j.dtype == np.uint32 and found.distance.dtype == np.uint16
        return list(zip(found.i.tolist(), found.j.tolist(), found.distance.tolist()))

    def __str__(self) -> str:
        return f"find_pairs[{self.kind}]"


class PlanOptions(FindPairs):
    """find_pairs run with each plan its planner considers (explain's options:
    parts with thresholds, blocks combined, the fixed chunk plans, the scan);
    every option must give the same pairs."""

    def __call__(self, a, b, k):
        b = b if self.kind == "cross" else None
        options = len(brimel_native.explain(a, k, b)["options"])
        results = []
        for option in range(options):
            i, j, distance, _ = brimel_native._brimel_pairs.option_pairs(a, b, k, option)
            results.append(list(zip(i.tolist(), j.tolist(), distance.tolist())))
        assert all(result == results[-1] for result in results)
        return results[-1]

    def __str__(self) -> str:
        return f"plan_options[{self.kind}]"


PLANNED = [FindPairs("find_pairs", "self", any_k), FindPairs("find_pairs", "cross", any_k)]
PLAN_OPTIONS = [PlanOptions("find_pairs", "self", any_k), PlanOptions("find_pairs", "cross", any_k)]


def panic_exception() -> type[BaseException]:
    """PanicException is not a module attribute: fetch it from a refused call."""
    try:
        m.find_pairs_self_bit(np.zeros((0, 64), np.uint8), 1)
    except BaseException as failure:  # noqa: BLE001 - this is what we want
        return type(failure)
    raise AssertionError("a chunk wider than a key was accepted")
