"""Rows grouped by "within distance k", and one row kept per group."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _brimel_pairs
from .pairs import Progress, _arguments, _progress_callback, take


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


def _first_rows(labels: np.ndarray) -> npt.NDArray[np.int64]:
    """For each row, the first row holding its label."""
    rows = np.arange(labels.shape[0])
    if np.issubdtype(labels.dtype, np.integer) and labels.size:
        # find_groups' labels name the first row of their group: every label is
        # at most its row and labels itself, so it is that first row. One pass.
        if labels.min() >= 0 and (labels <= rows).all() and (labels[labels] == labels).all():
            return labels.astype(np.int64, copy=False)
    _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    return first[inverse.reshape(-1)]


def keep_mask(labels: Any) -> npt.NDArray[np.bool_]:
    """One row per group: True at the first row of each distinct label, else False.

    ``labels`` is a 1-D array of group labels of any kind: what
    ``find_groups`` returns (each label is the first row of its group, so
    the mask is ``labels == arange(n)``), the inverse of ``np.unique``, or a
    database's group ids. ``codes[keep_mask(labels)]`` drops every
    near-duplicate and keeps the first row of each group, in their original
    order.
    """
    labels = np.asarray(labels)
    if labels.ndim != 1:
        raise TypeError(f"labels must be a 1-D array, not {labels.ndim}-D {labels.dtype}")
    mask: npt.NDArray[np.bool_] = _first_rows(labels) == np.arange(labels.shape[0])
    return mask


class IdGroups(NamedTuple):
    """Groups named by ids: each row's ``id``, the ``group`` (the id of its
    group's first row) and ``keep`` (True at that first row)."""

    id: Any
    group: Any
    keep: npt.NDArray[np.bool_]


def groups_with_ids(labels: Any, ids: Any) -> IdGroups:
    """``find_groups`` labels named by ``ids`` (one per row: paths, keys...).

    A group is named by the id of its first row, which is the row kept.
    ``ids`` is a NumPy array, pyarrow Array, pandas Series or sequence;
    the columns are of its kind, without a Python object per row."""
    labels = np.asarray(labels)
    if labels.ndim != 1:
        raise TypeError(f"labels must be a 1-D array, not {labels.ndim}-D {labels.dtype}")
    if len(ids) != labels.shape[0]:
        raise ValueError(f"ids has {len(ids)} entries for {labels.shape[0]} labels")
    rows = np.arange(labels.shape[0])
    first = _first_rows(labels)
    return IdGroups(take(ids, rows), take(ids, first), first == rows)
