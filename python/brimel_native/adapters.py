"""Codes as people hold them, turned into the (n, d_bytes) uint8 matrix every
search takes: hex strings, 64-bit integers and bit arrays.

All three keep the bit order the hashes print in: the first hex digit, the most
significant bit of an integer and the first column of a bit array all land in
the high bits of byte 0. Distances do not depend on the order, but one order
everywhere lets codes from different sources be joined with each other.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, Optional

import numpy as np
import numpy.typing as npt

# ASCII byte -> nibble value, 255 where the byte is not a hex digit.
_NIBBLE = np.full(256, 255, dtype=np.uint8)
for _digits, _first in ((b"0123456789", 0), (b"abcdef", 10), (b"ABCDEF", 10)):
    _NIBBLE[np.frombuffer(_digits, dtype=np.uint8)] = np.arange(_first, _first + len(_digits))


def from_hex(strings: Iterable[str], d_bytes: Optional[int] = None) -> npt.NDArray[np.uint8]:
    """Hex strings, one code each, as an ``(n, d_bytes)`` uint8 code matrix.

    Every string must have the same even number of hex digits (either case,
    no prefix or spaces): 16 for a 64-bit pHash or SimHash, 64 for a 256-bit
    PDQ hash. ``d_bytes``, when given, is the width every string must have
    (and the width of the result when ``strings`` is empty). Raises
    ``ValueError`` naming the first bad row.
    """
    rows = list(strings)
    for r, s in enumerate(rows):
        if not isinstance(s, str):
            raise TypeError(f"from_hex: row {r} is {type(s).__name__}, not str")
    width = 2 * d_bytes if d_bytes is not None else (len(rows[0]) if rows else 0)
    if width % 2:
        raise ValueError(f"from_hex: row 0 has an odd number of hex digits ({width})")
    for r, s in enumerate(rows):
        if len(s) != width:
            raise ValueError(f"from_hex: row {r} has {len(s)} characters, expected {width} hex digits")
    if not rows:
        return np.zeros((0, width // 2), dtype=np.uint8)
    try:
        chars = np.array(rows, dtype=f"S{width}").view(np.uint8).reshape(len(rows), width)
    except UnicodeEncodeError:
        bad = next(r for r, s in enumerate(rows) if not s.isascii())
        raise ValueError(f"from_hex: row {bad} is not hex: {rows[bad]!r}") from None
    return hex_digits_to_codes(chars, lambda r: f"from_hex: row {r} is not hex: {rows[r]!r}")


def hex_digits_to_codes(chars: npt.NDArray[np.uint8], bad_row: Callable[[int], str]) -> npt.NDArray[np.uint8]:
    """(n, 2 * d_bytes) ASCII hex digits -> (n, d_bytes) codes.

    Raises ``ValueError(bad_row(r))`` for the first row r holding a non-hex byte."""
    nibbles = _NIBBLE[chars]
    invalid = (nibbles == 255).any(axis=1)
    if invalid.any():
        raise ValueError(bad_row(int(np.argmax(invalid))))
    return np.ascontiguousarray((nibbles[:, 0::2] << 4) | nibbles[:, 1::2])


def from_uint64(values: Any) -> npt.NDArray[np.uint8]:
    """64-bit integer codes as an ``(n, 8)`` uint8 code matrix, most significant byte first.

    ``values`` is a 1-D array (or sequence) of 64-bit codes: ``uint64``, or
    ``int64`` as databases store them (negative values are read as their
    two's complement bit pattern), or Python ints in ``[-2**63, 2**64)``.
    Raises ``TypeError`` for non-integer input and ``ValueError`` naming the
    first row out of range.
    """
    # A Python sequence is read element by element: NumPy would turn a mix of
    # large and negative ints into float64 and lose bits.
    array = values if isinstance(values, np.ndarray) else np.array(list(values), dtype=object)
    if array.ndim != 1:
        raise ValueError(f"from_uint64: values must be 1-D (one code per element), not {array.ndim}-D")
    if array.dtype == object or (array.dtype.kind in "iu" and array.dtype.itemsize > 8):
        for r, v in enumerate(array.tolist()):
            if not isinstance(v, int) or isinstance(v, bool):
                raise TypeError(f"from_uint64: row {r} is {type(v).__name__}, not an int")
            if not -(2**63) <= v < 2**64:
                raise ValueError(f"from_uint64: row {r} ({v}) does not fit in 64 bits")
        array = np.array([v % 2**64 for v in array.tolist()], dtype=np.uint64)
    elif array.size == 0:
        array = array.astype(np.uint64)  # np.asarray([]) is float64
    elif array.dtype.kind not in "iu":
        raise TypeError(f"from_uint64: values must be 64-bit integers, not {array.dtype}")
    # Narrower integers widen by value, int64 is reinterpreted bit for bit.
    array = array.view(np.uint64) if array.dtype == np.int64 else array.astype(np.uint64)
    return np.ascontiguousarray(array.astype(">u8").view(np.uint8).reshape(-1, 8))


def pack_bits(bits: Any) -> npt.NDArray[np.uint8]:
    """An ``(n, b)`` array of bits (bool, or integers 0 and 1) as an ``(n, ceil(b / 8))`` code matrix.

    Column 0 becomes the most significant bit of byte 0. When ``b`` is not a
    multiple of 8 the last byte is padded with zero bits, which leaves every
    distance unchanged. Raises ``ValueError`` naming the first row holding a
    value other than 0 or 1.
    """
    array = np.asarray(bits)
    if array.ndim != 2:
        raise ValueError(f"pack_bits: bits must be 2-D (n codes of b bits), not {array.ndim}-D")
    if array.dtype != np.bool_:
        if array.dtype.kind not in "iuf":
            raise TypeError(f"pack_bits: bits must be bool or 0/1 numbers, not {array.dtype}")
        invalid = ((array != 0) & (array != 1)).any(axis=1)
        if invalid.any():
            bad = int(np.argmax(invalid))
            raise ValueError(f"pack_bits: row {bad} holds values other than 0 and 1")
    return np.ascontiguousarray(np.packbits(array.astype(bool, copy=False), axis=1))


# Bits set per byte value.
_POPCOUNT = np.array([bin(v).count("1") for v in range(256)], dtype=np.uint8)


def degenerate_mask(codes: npt.NDArray[np.uint8], max_bits: Optional[int] = None) -> npt.NDArray[np.bool_]:
    """True for codes with at most ``max_bits`` bits set, or at most ``max_bits`` unset.

    Such codes say little about their input: a blank or single-colour image,
    a transparent PNG or an empty text all hash to (nearly) all zeros or all
    ones, so they match each other although their inputs are unrelated.
    ``max_bits`` defaults to one bit in 16 of the code width (4 of 64, 16 of
    256). Hashes of real content have about half their bits set: a random
    code of 64 bits or more is this far from half less than once in 10**13.
    """
    codes = np.asarray(codes)
    if codes.ndim != 2 or codes.dtype != np.uint8:
        raise TypeError(f"codes must be a 2-D uint8 array, not {codes.ndim}-D {codes.dtype}")
    bits = 8 * codes.shape[1]
    limit = bits // 16 if max_bits is None else int(max_bits)
    ones = np.zeros(codes.shape[0], dtype=np.int64)
    for byte in range(codes.shape[1]):  # one column at a time: no (n, d_bytes) temporary
        ones += _POPCOUNT[codes[:, byte]]
    mask: npt.NDArray[np.bool_] = (ones <= limit) | (ones >= bits - limit)
    return mask
