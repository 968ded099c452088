"""The hash bank: an Index that also removes codes and answers while it is written."""

from __future__ import annotations

import os
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _brimel_pairs
from .pairs import Pairs

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Bank:
    """A bank of binary codes of ``d_bytes`` bytes, queried within Hamming distance ``k``.

    Like ``Index``: ids are assigned 0, 1, 2, ... in insertion order and never
    reused, ``query`` answers every stored code within k, ``query_batch``
    answers many at once on all cores. Beyond it:

    - ``remove(ids)``: removed codes never come back in results and stay
      removed through ``save`` and ``open``; their ids are not reused.
    - Any method may be called from any thread at any time. Writes
      (``add``, ``add_batch``, ``remove``) run one at a time; queries and
      ``save`` never wait for them, and see each write whole or not at all.
    - ``save`` replaces its file atomically, and ``Bank.open(path)`` maps a
      saved file and answers at once, without rebuilding anything.
    """

    __slots__ = ("_native",)

    def __init__(self, d_bytes: int, k: int) -> None:
        self._native = _brimel_pairs.Bank(d_bytes, k)

    @classmethod
    def open(cls, path: PathLike, mmap: bool = True) -> Bank:
        """Open a file written by ``Bank.save`` or ``Index.save``.

        With ``mmap=True`` the file is mapped: only its head and table of
        contents are read and checked, so a bank of any size opens at once.
        With ``mmap=False`` it is read whole and every checksum is checked. A
        file that is not an intact bank or index file raises ValueError; one
        that cannot be read, OSError.
        """
        bank = cls.__new__(cls)
        bank._native = _brimel_pairs.Bank.open(path, mmap)
        return bank

    @property
    def d_bytes(self) -> int:
        return int(self._native.d_bytes)

    @property
    def k(self) -> int:
        return int(self._native.k)

    @property
    def n(self) -> int:
        """Ids issued so far: the id the next added code gets."""
        return int(self._native.n)

    @property
    def live(self) -> int:
        """Codes stored and not removed."""
        return int(self._native.live)

    def __len__(self) -> int:
        return self.live

    def __repr__(self) -> str:
        return f"Bank(d_bytes={self.d_bytes}, k={self.k}, n={self.n}, live={self.live})"

    def add(self, row: npt.NDArray[np.uint8]) -> int:
        """Add one code (1-D uint8 array of d_bytes bytes); returns its id."""
        row = np.asarray(row)
        if row.ndim != 1:
            raise ValueError(f"row must be 1-D, got {row.ndim} dimensions")
        return self.add_batch(row.reshape(1, -1))

    def add_batch(self, batch: npt.NDArray[np.uint8]) -> int:
        """Add codes (2-D uint8 array, shape (m, d_bytes)); returns the first id.

        The ids are consecutive. Ctrl-C stops a long batch, and then nothing
        was added.
        """
        return int(self._native.add_batch(batch))

    def remove(self, ids: Any) -> int:
        """Remove the codes with these ids (ints, any 1-D array-like).

        Returns how many were live and are now removed; ids already removed
        are skipped. An id that was never issued raises ValueError, and then
        nothing is removed.
        """
        wanted = np.asarray(ids)
        if wanted.size == 0:
            return 0
        if wanted.ndim != 1 or wanted.dtype.kind not in "iu":
            raise ValueError("ids must be a 1-D sequence of integers")
        if wanted.dtype.kind == "i" and wanted.min() < 0:
            raise ValueError(f"ids must be >= 0, got {int(wanted.min())}")
        rows = np.ascontiguousarray(wanted, dtype="<u8").view(np.uint8).reshape(-1, 8)
        return int(self._native.remove(rows))

    def compact(self) -> None:
        """Merge the bank's stored segments into one, leaving out removed codes.

        Codes are added to a few segments of growing sizes, so that adding
        stays fast; each query searches every segment. After a bulk load, a
        bank that answers far more queries than it takes codes answers them
        about twice as fast once compacted. It takes about as long as adding
        the codes again, with room for a second copy of the bank; queries from
        other threads go on meanwhile, against the bank as it was. Ctrl-C
        stops it, and then nothing changed.
        """
        self._native.compact()

    def query(self, row: npt.NDArray[np.uint8], k: Optional[int] = None) -> list[tuple[int, int]]:
        """``[(id, distance), ...]`` of the live codes within ``k`` (default and
        at most the bank's k) of ``row``, by ascending id."""
        return self._native.query(row, k)

    def query_batch(self, rows: npt.NDArray[np.uint8], k: Optional[int] = None) -> Pairs:
        """Query many rows at once (2-D uint8 array, shape (m, d_bytes)).

        Returns ``Pairs(i, j, distance)``: query row ``i``, stored id ``j``,
        sorted by (i, j), the hits ``query(rows[i], k)`` would give. Runs on
        all cores; Ctrl-C stops it.
        """
        return Pairs(*self._native.query_batch(rows, k))

    def save(self, path: PathLike) -> None:
        """Write the bank to ``path``, replacing any file there atomically: a
        temporary file in the same directory, fsync, rename, fsync of the
        directory, so a crash, a kill or a full disk leaves the old file or
        the new one. Failures raise OSError."""
        self._native.save(path)
