"""Every pair of codes within Hamming distance k, as arrays."""

from __future__ import annotations

import contextlib
import importlib
import json
from collections.abc import Iterator
from typing import Any, Callable, NamedTuple, Optional, Union, cast

import numpy as np
import numpy.typing as npt

from . import _brimel_native, _brimel_pairs

#: What ``progress=`` accepts: None, True (a tqdm bar) or a callable
#: ``progress(done, total)``.
Progress = Union[None, bool, Callable[[int, int], object]]


class Pairs(NamedTuple):
    """Pairs within distance k: row ``i``, row ``j`` and their ``distance``.

    Three 1-D arrays of equal length, sorted by ``(i, j)``. ``i`` and ``j``
    are ``uint32``; ``distance`` is ``uint16`` (``uint32`` when k > 65535).
    In a self-join ``i < j``; in a cross-join ``i`` indexes ``a`` and ``j``
    indexes ``b``.
    """

    i: npt.NDArray[np.uint32]
    j: npt.NDArray[np.unsignedinteger[Any]]
    distance: npt.NDArray[np.unsignedinteger[Any]]

    def with_ids(self, ids_a: Any, ids_b: Any = None) -> IdPairs:
        """The pairs named by ids: ``IdPairs(ids_a[i], ids_b[j], distance)``.

        ``ids_a`` names the rows of ``a`` (file paths, database keys...),
        ``ids_b`` those of ``b`` (default: ``ids_a``, as for a self-join).
        Each is a NumPy array, a pyarrow Array, a pandas Series or a
        sequence; the result columns are of the same kind (``take`` by
        position), so no Python object is made per pair."""
        return IdPairs(take(ids_a, self.i), take(ids_a if ids_b is None else ids_b, self.j), self.distance)


# Index.query_batch (native) returns this same class; it is handed over here
# so that the native module imports nothing from the package.
_brimel_native._set_pairs_type(Pairs)


class IdPairs(NamedTuple):
    """Pairs within distance k named by ids: ``id_a``, ``id_b`` and their ``distance``."""

    id_a: Any
    id_b: Any
    distance: npt.NDArray[np.unsignedinteger[Any]]


def take(ids: Any, index: npt.NDArray[np.integer[Any]]) -> Any:
    """``ids`` at positions ``index``: NumPy, pyarrow and pandas take by position, lists become arrays."""
    if not isinstance(ids, np.ndarray) and (isinstance(ids, (list, tuple)) or not hasattr(ids, "take")):
        ids = np.asarray(ids)
    if index.size and int(index.max()) >= len(ids):
        raise ValueError(f"ids has {len(ids)} entries, and row {int(index.max())} needs a name")
    return ids.take(index)


def _check_codes(array: Any, name: str, kind: Any, kind_name: str) -> None:
    """A code matrix of `kind` (numpy or dask arrays): uint8, 2-D."""
    if not isinstance(array, kind):
        raise TypeError(f"{name} must be a {kind_name} of uint8 codes, not {type(array).__name__}")
    if array.dtype != np.uint8:
        raise TypeError(f"{name} must have dtype uint8 (one code per row, d_bytes bytes), not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-D (n rows of d_bytes bytes), not {array.ndim}-D")


def _check_k(k: Any, a: Any, b: Any) -> int:
    """k as an int below the code width of `a`, whose width `b` (or None) shares."""
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    k = int(k)
    refusal = _brimel_pairs.k_error(k, a.shape[1])
    if refusal is not None:
        raise ValueError(refusal)
    if b is not None and b.shape[1] != a.shape[1]:
        raise ValueError(f"a and b must have the same code width (shape[1]): {a.shape[1]} != {b.shape[1]}")
    return k


def _codes(array: Any, name: str) -> npt.NDArray[np.uint8]:
    _check_codes(array, name, np.ndarray, "numpy.ndarray")
    # Zero-copy for C-contiguous input, the common case; anything else is
    # copied once, here.
    return np.ascontiguousarray(array)


def _arguments(a: Any, k: Any, b: Any) -> tuple[Any, Optional[Any], int]:
    codes_a = _codes(a, "a")
    codes_b = None if b is None else _codes(b, "b")
    return codes_a, codes_b, _check_k(k, codes_a, codes_b)


@contextlib.contextmanager
def _progress_callback(
    progress: Progress, description: str
) -> Iterator[Optional[Callable[[int, int], object]]]:
    """The callable the native join calls as ``(done, total)``: ``progress``
    itself, or for ``progress=True`` one that drives a tqdm bar, closed when
    the join returns or raises."""
    if progress is None or progress is False:
        yield None
        return
    if progress is not True:
        if not callable(progress):
            raise TypeError(f"progress must be None, True or a callable, not {type(progress).__name__}")
        yield progress
        return
    try:
        # Imported by name: tqdm is optional, and so are its type stubs.
        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        raise ImportError(
            "progress=True shows a tqdm bar, and tqdm is not installed: "
            "pip install 'brimel_native[progress]', or pass a callable"
        ) from None
    bar = tqdm(total=0, desc=description, unit="row")

    def update(done: int, total: int) -> None:
        if bar.total != total:
            bar.total = total
            bar.refresh()
        bar.update(done - bar.n)

    try:
        yield update
    finally:
        bar.close()


def find_pairs(
    a: npt.NDArray[np.uint8], k: int, b: Optional[npt.NDArray[np.uint8]] = None, *, progress: Progress = None
) -> Pairs:
    """Every pair of rows within Hamming distance ``k``, exactly.

    ``a`` (and ``b``) hold one code per row: a 2-D ``uint8`` array of shape
    ``(n, d_bytes)``. With ``b`` None, the self-join of ``a`` (pairs ``i < j``);
    otherwise every row ``i`` of ``a`` against every row ``j`` of ``b``. Any
    ``0 <= k < 8 * d_bytes`` is accepted; the planner picks how to search
    (see ``explain``), and the result is the same whichever plan runs.

    Returns a ``Pairs(i, j, distance)`` of arrays sorted by ``(i, j)``:
    10 bytes per pair, no Python object per pair. Runs on all cores with
    the interpreter lock released; C-contiguous input is not copied.
    Ctrl-C stops the join within a fraction of a second (KeyboardInterrupt).

    ``progress``: a callable, called about every 50 ms from this thread as
    ``progress(done, total)``, and once more with the final counts; its
    exception stops the join and is raised here. The counts are rows: the
    join goes through the rows of ``a`` once per part of its plan, so
    ``total`` is parts times rows (0 when there is nothing to join) and
    ``done`` only grows. ``progress=True`` shows a tqdm bar (needs tqdm:
    ``pip install 'brimel_native[progress]'``).
    """
    codes_a, codes_b, k = _arguments(a, k, b)
    with _progress_callback(progress, "find_pairs") as callback:
        i, j, distance, _ = _brimel_pairs.pairs(codes_a, codes_b, k, callback)
    return Pairs(i, j, distance)


def explain(
    a: npt.NDArray[np.uint8], k: int, b: Optional[npt.NDArray[np.uint8]] = None, *, run: bool = False
) -> dict[str, Any]:
    """How ``find_pairs(a, k, b)`` would search; with ``run=True``, also how it did.

    Returns a dict: ``"plan"``, the option chosen, and ``"options"``, every
    plan estimated (those that could not beat one estimated before them are
    left out, unless the join is tiny), each with its ``"plan"`` kind ("scan": verify every
    pair; "even": contiguous parts; "balanced": parts dealt by bit entropy;
    "blocks", "balanced blocks": parts combining blocks of bits, which
    overlap; "chunks": the plan of a list-returning join),
    its ``"parts"`` (``"bits"`` range or ``"positions"``, ``"width"`` and
    ``"threshold"``: a pair is probed on a part when its rows differ in at
    most that many of the part's bits), ``"estimated_candidates"`` (pairs to
    verify) and ``"estimated_cost_ns"`` (single-core nanoseconds), as
    estimated on a sample of the input.

    With ``run=True`` the join runs too, and ``"run"`` tells what it did: the
    ``"plan"`` kind that ran, the pairs ``"verified"`` and the ``"pairs"``
    found, and per part the ``"groups"`` of rows, the pairs ``"verified"``
    and the pairs ``"recorded"`` (a pair near on several parts is recorded by
    the first).
    """
    codes_a, codes_b, k = _arguments(a, k, b)
    choice: dict[str, Any] = json.loads(_brimel_pairs.explain(codes_a, codes_b, k))
    options = choice["options"]
    explained = {"plan": options[choice["chosen"]], "options": options}
    if run:
        explained["run"] = json.loads(cast(str, _brimel_pairs.pairs(codes_a, codes_b, k, stats=True)[3]))
    return explained
