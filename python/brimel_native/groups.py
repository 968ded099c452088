"""Rows grouped by "within distance k", and one row kept per group."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _brimel_pairs
from .pairs import Progress, _arguments, _progress_callback


def find_groups(a: npt.NDArray[np.uint8], k: int, *, progress: Progress = None) -> npt.NDArray[np.int64]:
    """The group of every row: connected components of "within distance ``k``".

    Two rows are in one group when a chain of rows leads from one to the
    other, each within Hamming distance ``k`` of the next (so a group may hold
    rows further apart than ``k``). ``a`` is a 2-D ``uint8`` array of shape
    ``(n, d_bytes)``, one code per row; ``0 <= k < 8 * d_bytes``.

    Returns an ``int64`` array of length ``n``: the label of row ``r`` is the
    lowest row of its group, so labels are canonical (two runs, or two
    methods, give equal arrays) and ``labels[r] == r`` marks the first row of
    each group (``keep_mask``). Identical codes are collapsed before the join
    and no pair list is built: a million identical rows cost one pass, and
    memory beyond the input is a few bytes per row plus a copy of the
    distinct codes.

    ``progress`` and Ctrl-C as for ``find_pairs``; the counts are those of
    the join over the distinct codes.
    """
    codes, _, k = _arguments(a, k, None)
    with _progress_callback(progress, "find_groups") as callback:
        labels: npt.NDArray[np.int64] = _brimel_pairs.groups(codes, k, callback)
    return labels


def keep_mask(labels: Any) -> npt.NDArray[np.bool_]:
    """One row per group: True at the lowest row of each group, else False.

    ``labels`` is what ``find_groups`` returns (any 1-D integer array where
    each label is the lowest row of its group). ``codes[keep_mask(labels)]``
    drops every near-duplicate and keeps the first row of each group, in
    their original order.
    """
    labels = np.asarray(labels)
    if labels.ndim != 1 or not np.issubdtype(labels.dtype, np.integer):
        raise TypeError(f"labels must be a 1-D integer array, not {labels.ndim}-D {labels.dtype}")
    mask: npt.NDArray[np.bool_] = labels == np.arange(labels.shape[0])
    return mask
