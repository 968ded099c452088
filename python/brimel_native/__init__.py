"""Exact near-duplicate search over binary codes by Hamming distance."""

from ._brimel_native import *  # noqa: F401,F403
from .adapters import degenerate_mask, from_hex, from_uint64, pack_bits
from .bank import Bank
from .groups import IdGroups, find_groups, groups_with_ids, keep_mask
from .pairs import IdPairs, Pairs, explain, find_pairs

# The native module's names in its own order, then the Python layer's,
# written out so that type checkers read the package's exports from it too.
__all__ = [
    "find_pairs_self",
    "find_pairs_self_bit",
    "find_pairs_cross",
    "find_pairs_cross_bit",
    "_find_pairs_self_full_popcount",
    "find_pairs_self_adaptive",
    "Index",
    "__version__",
    "find_pairs",
    "explain",
    "Pairs",
    "find_groups",
    "keep_mask",
    "from_hex",
    "from_uint64",
    "pack_bits",
    "Bank",
    "degenerate_mask",
    "IdPairs",
    "IdGroups",
    "groups_with_ids",
]
