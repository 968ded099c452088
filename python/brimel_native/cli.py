"""The ``brimel`` command: near-duplicate pairs and groups of codes held in files.

    brimel pairs CODES [--against CODES] -k K [-o OUT]
    brimel groups CODES -k K [-o OUT]

CODES is a ``.npy`` file (an (n, d_bytes) uint8 matrix, a 1-D array of 64-bit
integers or an (n, bits) bool matrix), a ``.parquet`` file (one column of hex
strings, fixed-width binary values or 64-bit integers; needs pyarrow), or
text with one hex code per line (``-`` reads standard input). OUT ends in
``.csv``, ``.npy`` or ``.parquet``; without ``-o`` the result goes to
standard output as CSV. Progress and a summary go to standard error.

Exit status: 0 on success, 1 when an input cannot be read or used, 2 for a
command line error, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time
from pathlib import Path
from typing import Any, Callable, Optional, TextIO

import numpy as np

from . import __version__, _brimel_pairs, find_groups, find_pairs
from .adapters import from_hex, from_uint64, hex_digits_to_codes, pack_bits


class InputError(Exception):
    """An input file that cannot be read or used; reported as "brimel: error: ..." with exit status 1."""


def _pyarrow(what: str) -> Any:
    # Imported by name: pyarrow is optional, and so are its type stubs.
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise InputError(f"{what} needs pyarrow (pip install pyarrow)") from None
    return pyarrow


def _hex_text(data: bytes, name: str) -> np.ndarray:
    """One hex code per line; blank lines and surrounding spaces are ignored."""
    # Fast path, no Python object per line: "\n" endings, every line the same length.
    width = data.find(b"\n")
    if width > 0 and width % 2 == 0 and len(data) % (width + 1) == 0:
        lines = np.frombuffer(data, dtype=np.uint8).reshape(-1, width + 1)
        if (lines[:, width] == ord("\n")).all():
            return _hex_rows(lines[:, :width], lambda r: (r + 1, lines[r, :width].tobytes()), name)
    rows, numbers = [], []
    for number, line in enumerate(data.splitlines(), 1):
        line = line.strip()
        if line:
            rows.append(line)
            numbers.append(number)
    if not rows:
        raise InputError(f"{name}: no codes (expected one hex code per line)")
    for number, line in zip(numbers, rows):
        if len(line) != len(rows[0]) or len(line) % 2:
            raise InputError(
                f"{name}: line {number} has {len(line)} characters, line {numbers[0]} has {len(rows[0])}"
                " (expected one hex code of an even number of digits per line)"
            )
    chars = np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(len(rows), -1)
    return _hex_rows(chars, lambda r: (numbers[r], rows[r]), name)


def _hex_rows(chars: np.ndarray, line: Callable[[int], tuple[int, bytes]], name: str) -> np.ndarray:
    def bad_row(r: int) -> str:
        number, text = line(r)
        return f"{name}: line {number} is not hex: {text.decode(errors='replace')!r}"

    try:
        return hex_digits_to_codes(chars, bad_row)
    except ValueError as error:
        raise InputError(str(error)) from None


def _array_codes(array: np.ndarray, name: str) -> np.ndarray:
    if array.dtype == np.uint8 and array.ndim == 2:
        return array
    if array.ndim == 1 and array.dtype.kind in "iu" and array.dtype.itemsize == 8:
        return from_uint64(array)
    if array.ndim == 2 and array.dtype == np.bool_:
        return pack_bits(array)
    raise InputError(
        f"{name}: holds a {array.ndim}-D {array.dtype} array; expected an (n, d_bytes) uint8 matrix,"
        " a 1-D array of 64-bit integers or an (n, bits) bool matrix"
    )


def _parquet_codes(path: Path, column: Optional[str]) -> np.ndarray:
    pa = _pyarrow("reading Parquet")
    try:
        schema = pa.parquet.read_schema(path)
        if column is None:
            if len(schema.names) != 1:
                raise InputError(f"{path}: has columns {schema.names}; choose one with --column")
            column = schema.names[0]
        if column not in schema.names:
            raise InputError(f"{path}: no column {column!r} (columns: {schema.names})")
        values = pa.parquet.read_table(path, columns=[column]).column(0).combine_chunks()
    except (OSError, pa.ArrowException) as error:
        raise InputError(f"{path}: {error}") from None
    name = f"{path} column {column!r}"
    if values.null_count:
        raise InputError(f"{name}: row {values.is_null().to_numpy(zero_copy_only=False).argmax()} is null")
    kind = values.type
    if pa.types.is_integer(kind):
        return _array_codes(values.to_numpy(), name)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        try:
            return from_hex(values.to_pylist())
        except ValueError as error:
            raise InputError(f"{name}: {str(error).removeprefix('from_hex: ')}") from None
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or pa.types.is_fixed_size_binary(kind):
        rows = values.to_pylist()
        for r, value in enumerate(rows):
            if len(value) != len(rows[0]):
                raise InputError(f"{name}: row {r} has {len(value)} bytes, row 0 has {len(rows[0])}")
        return np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(len(rows), -1)
    raise InputError(f"{name}: has type {kind}; expected hex strings, binary values or 64-bit integers")


def read_codes(source: str, column: Optional[str] = None) -> np.ndarray:
    """The (n, d_bytes) code matrix held in `source` (a path, or "-" for hex text on standard input)."""
    if source == "-":
        return _hex_text(sys.stdin.buffer.read(), "<stdin>")
    path = Path(source)
    try:
        if path.suffix in (".parquet", ".pq"):
            return _parquet_codes(path, column)
        if path.suffix == ".npy":
            try:
                array = np.load(path, mmap_mode="r", allow_pickle=False)
            except ValueError as error:
                raise InputError(f"{path}: not a NumPy array file ({error})") from None
            return _array_codes(array, str(path))
        return _hex_text(path.read_bytes(), str(path))
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


def _write(columns: dict[str, np.ndarray], out: Optional[str]) -> None:
    """Writes equal-length columns as CSV (standard output when `out` is None), .npy or .parquet."""
    suffix = Path(out).suffix if out else ".csv"
    if out and suffix == ".npy":
        table = np.empty(len(next(iter(columns.values()))), dtype=[(n, c.dtype) for n, c in columns.items()])
        for n, c in columns.items():
            table[n] = c
        np.save(out, table)
    elif out and suffix in (".parquet", ".pq"):
        pa = _pyarrow("writing Parquet")
        pa.parquet.write_table(pa.table(columns), out)
    elif suffix == ".csv":
        stream: TextIO = open(out, "w", newline="") if out else sys.stdout
        try:
            stream.write(",".join(columns) + "\n")
            stacked = np.column_stack(list(columns.values())).astype(np.int64)
            step = 1 << 20  # rows formatted per write, to bound the text held at once
            for first in range(0, len(stacked), step):
                np.savetxt(stream, stacked[first : first + step], fmt="%d", delimiter=",")
        finally:
            if out:
                stream.close()
    else:
        raise InputError(f"{out}: unknown output format {suffix!r} (use .csv, .npy or .parquet)")


def _progress(enabled: bool, what: str) -> Optional[Callable[[int, int], None]]:
    if not enabled:
        return None
    shown = [-1]  # the percentage on screen

    def report(done: int, total: int) -> None:
        percent = 100 * done // total if total else -1  # no total yet: still planning
        if percent != shown[0] and percent >= 0:
            shown[0] = percent
            end = "\n" if done >= total else ""
            print(f"\rbrimel: {what}: {percent:3d}%", end=end, file=sys.stderr, flush=True)

    return report


def _distance(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, not {text!r}")
    return int(text)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brimel", description="Exact near-duplicate search over binary codes by Hamming distance."
    )
    parser.add_argument("--version", action="version", version=f"brimel_native {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{pairs,groups}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("codes", help='codes: .npy, .parquet, or hex text one per line ("-": stdin)')
    common.add_argument("-k", type=_distance, required=True, help="largest Hamming distance (bits)")
    common.add_argument("-o", "--output", help="output file: .csv, .npy or .parquet (default: CSV on stdout)")
    common.add_argument("--column", help="the Parquet column holding the codes")
    common.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show progress on stderr (default: when stderr is a terminal)",
    )
    pairs = commands.add_parser(
        "pairs", parents=[common], help="every pair within distance k: i, j, distance"
    )
    pairs.add_argument("--against", metavar="CODES", help="join CODES against these codes instead of itself")
    commands.add_parser(
        "groups",
        parents=[common],
        help="a group per row (the lowest row of its near-duplicate cluster): row, group",
    )
    return parser


def run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    started = time.perf_counter()
    codes = read_codes(args.codes, args.column)
    against = read_codes(args.against, args.column) if getattr(args, "against", None) else None
    if against is not None and against.shape[1] != codes.shape[1]:
        raise InputError(
            f"{args.against}: codes of {against.shape[1]} bytes, {args.codes} has {codes.shape[1]}"
        )
    if _brimel_pairs.k_error(args.k, codes.shape[1]) is not None:
        parser.error(f"argument -k: {args.k} is not below the code width ({8 * codes.shape[1]} bits)")
    show = sys.stderr.isatty() if args.progress is None else args.progress
    if args.command == "pairs":
        found = find_pairs(codes, args.k, against, progress=_progress(show, "pairs"))
        _write({"i": found.i, "j": found.j, "distance": found.distance}, args.output)
        summary = f"{len(found.i)} pairs within {args.k}"
    else:
        labels = find_groups(codes, args.k, progress=_progress(show, "groups"))
        _write({"row": np.arange(len(labels), dtype=labels.dtype), "group": labels}, args.output)
        kept = int(np.count_nonzero(labels == np.arange(len(labels))))
        summary = f"{kept} groups, {len(labels) - kept} rows within {args.k} of a lower row"
    rows = f"{len(codes)}" + (f" x {len(against)}" if against is not None else "")
    elapsed = time.perf_counter() - started
    print(f"brimel: {rows} codes of {8 * codes.shape[1]} bits: {summary} ({elapsed:.2f} s)", file=sys.stderr)


def main(argv: Optional[list[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        run(parser, args)
    except InputError as error:
        print(f"brimel: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("brimel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): nothing more to say, and no
        # second error when the interpreter flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
