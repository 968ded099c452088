# Types of the native module. A code matrix is a 2-D uint8 array of shape
# (n, d_bytes), one code per row; a row is a 1-D uint8 array of d_bytes bytes.
# k and d_bytes take any object with __index__ (int, bool, NumPy integers).
# Pair records come back as (i, j, dist) and query hits as (id, dist), all
# non-negative ints. Docstrings are the module's own.

import os
from typing import Final, SupportsIndex, final

import numpy as np
import numpy.typing as npt

from .pairs import Pairs

__all__ = [
    "find_pairs_self",
    "find_pairs_self_bit",
    "find_pairs_cross",
    "find_pairs_cross_bit",
    "_find_pairs_self_full_popcount",
    "find_pairs_self_adaptive",
    "Index",
    "__version__",
]

__version__: Final[str]

def find_pairs_self(a: npt.NDArray[np.uint8], k: SupportsIndex) -> list[tuple[int, int, int]]: ...
def find_pairs_self_bit(a: npt.NDArray[np.uint8], k: SupportsIndex) -> list[tuple[int, int, int]]: ...
def find_pairs_cross(
    a: npt.NDArray[np.uint8], b: npt.NDArray[np.uint8], k: SupportsIndex
) -> list[tuple[int, int, int]]: ...
def find_pairs_cross_bit(
    a: npt.NDArray[np.uint8], b: npt.NDArray[np.uint8], k: SupportsIndex
) -> list[tuple[int, int, int]]: ...
def _find_pairs_self_full_popcount(a: npt.NDArray[np.uint8], k: SupportsIndex) -> list[tuple[int, int, int]]:
    """Bench-only: pre-Task-3 path using full popcount + compare (no early exit)."""

def find_pairs_self_adaptive(a: npt.NDArray[np.uint8], k: SupportsIndex) -> list[tuple[int, int, int]]:
    """Entropy-aware adaptive chunk planning (Task 4). Bit chunks are chosen
    from the positive-entropy bits only, balanced across k+1 chunks."""

def _set_pairs_type(type: type[Pairs], /) -> None:
    """Set the Pairs named tuple Index.query_batch returns (brimel_native.pairs)."""

@final
class Index:
    """Streaming near-duplicate index. Stateful, append-only. Bit-level chunks
    so any `k < 8 * d_bytes` is supported.

    An Index may be handed from one thread to another. Its state is plain data
    with no interior mutability, and the access rules are enforced here, on the
    Python side: several readers at a time or one writer alone, with a
    conflicting call failing at once instead of waiting. Earlier releases tied
    each object to the thread that created it, so a use from any other thread
    failed with PanicException rather than a ValueError, which did not suit the
    real-time content-moderation services this module is offered for."""

    def __new__(cls, d_bytes: SupportsIndex, k: SupportsIndex) -> Index: ...
    @property
    def k(self) -> int: ...
    @property
    def n(self) -> int: ...
    @property
    def d_bytes(self) -> int: ...
    def __len__(self) -> int: ...
    def add(self, row: npt.NDArray[np.uint8]) -> int:
        """Add one row (1-D uint8 array of length d_bytes). Returns assigned id."""

    def add_batch(self, batch: npt.NDArray[np.uint8]) -> int:
        """Add a batch (2-D uint8 array, shape (m, d_bytes)). Returns first assigned id."""

    def query(self, row: npt.NDArray[np.uint8]) -> list[tuple[int, int]]:
        """Query one row (1-D uint8 array of length d_bytes). Returns
        `list[(id, hamming_dist)]` for all stored rows within distance ≤ k.

        Note: if the query row was previously added to the index, the
        corresponding `(stored_id, 0)` entry IS included in the result.
        Callers performing self-query (e.g. iterating over the corpus to
        find near-dups of each row) should filter `id != self_id` themselves."""

    def query_batch(self, rows: npt.NDArray[np.uint8], k: SupportsIndex | None = None) -> Pairs:
        """Query many rows at once (2-D uint8 array, shape (m, d_bytes)), with
        bound `k` (default: the index's k; at most the index's k). Returns
        `Pairs(i, j, distance)` as `find_pairs` does: query row `i`, stored
        id `j`, sorted by (i, j), the hits `query(rows[i])` would give.
        Runs on all cores with the interpreter lock released."""

    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Write the index to the file `path` (str or os.PathLike): its stored
        codes and their tables, with checksums. An existing file is replaced
        atomically (a temporary file in the same directory, fsync, rename),
        so a crash, a kill or a full disk leaves the old file or the new one.
        Failures to write raise OSError."""

    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], mmap: bool = False) -> Index:
        """Read an index written by `save`; its ids and answers are those of the
        saved index, and its tables come from the file as they are (a file of
        an earlier release holds codes only: its tables are built). With
        mmap=True the file is mapped instead of read, so that an index of any
        size answers at once; only its head and table of contents are checked
        then. A file that is truncated, corrupted, not an index file or of a
        newer format raises ValueError; one that cannot be read, OSError."""

    def __reduce__(self) -> tuple[type[Index], tuple[int, int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...
