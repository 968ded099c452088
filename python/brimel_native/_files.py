"""Files of codes in, tables of results out: the file handling of the ``brimel`` command line.

Inputs are read into memory, never memory-mapped: a file truncated while it is
read gives a clear error, not SIGBUS. A regular file is read up to the size it
had when opened; a stream (standard input, a pipe, a device) up to
``MAX_STREAM_BYTES``, and a NUL byte in it (``/dev/zero``, a binary file) is
refused at once, since no text input holds one.

Outputs are prepared before the join runs (format, pyarrow, directory, not an
input) and written to a temporary file in the target's directory, synced and
renamed into place: an interrupted or failed write leaves the previous file as
it was. Devices and pipes (``/dev/stdout``) are written directly.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import importlib
import io
import math
import os
import re
import stat
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Callable, Optional, Union

import numpy as np
import numpy.typing as npt

from .adapters import from_uint64, hex_digits_to_codes, pack_bits

#: Bytes read at most from a source with no size of its own (a pipe, a device).
MAX_STREAM_BYTES = 4 << 30

TABLE_SUFFIXES = (".parquet", ".pq")
OUTPUT_SUFFIXES = (".csv", ".npy", *TABLE_SUFFIXES)


class CommandError(Exception):
    """A file that cannot be read, used or written: one line, exit status 1."""


def pyarrow(what: str) -> Any:
    """pyarrow with pyarrow.parquet loaded, or CommandError naming `what` needs it."""
    # Imported by name: pyarrow is optional, and so are its type stubs.
    try:
        module = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise CommandError(f"{what} needs pyarrow (pip install pyarrow)") from None
    return module


def stderr_progress(enabled: bool, what: str) -> Optional[Callable[[int, int], None]]:
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


# --- reading -----------------------------------------------------------------------


@dataclass
class Codes:
    """An input's codes and how results name its rows.

    ``ids``: one name per row (line numbers of text, an id column), or None
    when rows are named by their row number. ``rows``: the row number in the
    file of each code, once some were left out (``drop``), else None."""

    name: str
    codes: npt.NDArray[np.uint8]
    ids: Optional[np.ndarray] = None
    rows: Optional[npt.NDArray[np.int64]] = None
    row_word: str = "row"  # how messages name a row: "row N", "line N", or "" for an id

    def names(self) -> np.ndarray:
        """The name of each code: its id, else its row number in the file."""
        rows = np.arange(len(self.codes)) if self.rows is None else self.rows
        return rows if self.ids is None else self.ids[rows]

    def drop(self, mask: npt.NDArray[np.bool_]) -> None:
        """Leaves out the codes where `mask` is True."""
        kept = np.flatnonzero(~mask)
        self.codes = self.codes[kept]
        self.rows = kept if self.rows is None else self.rows[kept]


def _open_source(source: str) -> tuple[IO[bytes], bool, str]:
    """(binary file, whether it is a regular file, name for messages)."""
    if source == "-":
        return sys.stdin.buffer, False, "<stdin>"
    try:
        handle = open(source, "rb")
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    if stat.S_ISDIR(os.fstat(handle.fileno()).st_mode):
        handle.close()
        raise CommandError(f"{source}: Is a directory")
    return handle, stat.S_ISREG(os.fstat(handle.fileno()).st_mode), source


def _read_exactly(handle: IO[bytes], into: memoryview, name: str) -> None:
    done = 0
    while done < len(into):
        got = handle.readinto(into[done:])  # type: ignore[attr-defined]
        if not got:
            raise CommandError(
                f"{name}: ended after {done} of {len(into)} bytes (truncated, or changed while being read)"
            )
        done += got


def _read_regular(handle: IO[bytes], name: str) -> bytes:
    """A regular file's content, as long as it was when opened."""
    size = os.fstat(handle.fileno()).st_size
    data = handle.read(size)
    if len(data) != size:
        raise CommandError(
            f"{name}: ended after {len(data)} of {size} bytes (truncated, or changed while being read)"
        )
    return data


def read_bytes(source: str) -> tuple[bytes, str]:
    """The whole content of a text source ("-": standard input), and its name."""
    handle, regular, name = _open_source(source)
    with contextlib.nullcontext() if source == "-" else handle:
        try:
            if regular:
                return _read_regular(handle, name), name
            chunks, total = [], 0
            while chunk := handle.read(1 << 20):
                if b"\0" in chunk:
                    raise CommandError(f"{name}: holds a NUL byte at byte {total + chunk.index(0)}: not text")
                total += len(chunk)
                if total > MAX_STREAM_BYTES:
                    raise CommandError(
                        f"{name}: more than {MAX_STREAM_BYTES} bytes; write it to a file first"
                    )
                chunks.append(chunk)
            return b"".join(chunks), name
        except OSError as error:
            raise CommandError(f"{name}: {error.strerror or error}") from None


def _npy_codes(source: str) -> Codes:
    handle, regular, name = _open_source(source)
    with handle:
        if not regular:
            raise CommandError(f"{name}: a .npy input must be a regular file")
        size = os.fstat(handle.fileno()).st_size
        try:
            version = np.lib.format.read_magic(handle)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(handle)
            else:  # 2.0 and 3.0 differ only in the header's length field and encoding
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(handle)
        except (ValueError, OSError, EOFError) as error:
            handle.seek(0)
            start = handle.read(4)
            what = "a .npz archive of arrays" if start == b"PK\x03\x04" else "not a NumPy .npy array file"
            detail = "" if start == b"PK\x03\x04" else f" ({error})"
            raise CommandError(f"{name}: {what}{detail}; save one array with numpy.save") from None
        if dtype.hasobject:
            raise CommandError(f"{name}: holds Python objects ({dtype}); expected numbers or bools")
        expected = math.prod(shape) * dtype.itemsize  # Python ints: a crafted shape cannot wrap
        if expected > size - handle.tell():
            raise CommandError(
                f"{name}: its header declares {expected} bytes of data, the file holds {size - handle.tell()}"
                " (truncated?)"
            )
        array = np.empty(shape, dtype=dtype, order="F" if fortran else "C")
        _read_exactly(handle, array.reshape(-1, order="A").view(np.uint8).data, name)
    return Codes(name, array_codes(np.ascontiguousarray(array), name))


def array_codes(array: np.ndarray, name: str) -> npt.NDArray[np.uint8]:
    if array.dtype == np.uint8 and array.ndim == 2:
        return array
    if array.ndim == 1 and array.dtype.kind in "iu" and array.dtype.itemsize == 8:
        return from_uint64(array.astype(array.dtype.newbyteorder("=")))
    if array.ndim == 2 and array.dtype == np.bool_:
        return pack_bits(array)
    raise CommandError(
        f"{name}: holds a {array.ndim}-D {array.dtype} array; expected an (n, d_bytes) uint8 matrix,"
        " a 1-D array of 64-bit integers or an (n, bits) bool matrix"
    )


# A first line that is a name rather than a code: a column header.
_HEADER = re.compile(rb"[A-Za-z_][\w .-]*")


def _hex_codes(
    values: list[bytes], where: Callable[[int], str], name: str, what: str = "one hex code per line"
) -> npt.NDArray[np.uint8]:
    """Hex codes, already stripped, to a code matrix; `where(r)` names row r in messages."""
    if not values:
        raise CommandError(f"{name}: no codes (expected {what})")
    values = [v[2:] if v[:2] in (b"0x", b"0X") else v for v in values]
    width = len(values[0])
    for r, value in enumerate(values):
        if len(value) % 2:
            raise CommandError(f"{name}: {where(r)} has an odd number of hex digits ({len(value)})")
        if len(value) != width:
            raise CommandError(f"{name}: {where(r)} has {len(value)} hex digits, {where(0)} has {width}")
    chars = np.frombuffer(b"".join(values), dtype=np.uint8).reshape(len(values), width)

    def bad_row(r: int) -> str:
        return f"{name}: {where(r)} is not hex: {values[r].decode(errors='replace')!r}"

    try:
        return hex_digits_to_codes(chars, bad_row)
    except ValueError as error:
        raise CommandError(str(error)) from None


def _text_codes(data: bytes, name: str, column: Optional[str], id_column: Optional[str]) -> Codes:
    """One hex code per line. Rows are named by their line number (from 1)."""
    data = data.removeprefix(b"\xef\xbb\xbf")
    # Fast path, no Python object per line: "\n" endings, every line a code of
    # the same even width.
    width = data.find(b"\n")
    if width > 0 and width % 2 == 0 and len(data) % (width + 1) == 0:
        lines = np.frombuffer(data, dtype=np.uint8).reshape(-1, width + 1)
        if (lines[:, width] == ord("\n")).all():
            try:
                codes = hex_digits_to_codes(lines[:, :width], str)
                return Codes(name, codes, np.arange(1, len(codes) + 1, dtype=np.int64), row_word="line")
            except ValueError:
                pass  # a header, spaces, "0x", or a bad line: the general path says which
    values, numbers, first = [], [], True
    for number, line in enumerate(data.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith(b"#"):
            continue
        if first:
            first = False
            if b"," in line:
                return _csv_codes(data.decode("utf-8", errors="replace"), name, column, id_column)
            if _HEADER.fullmatch(line) and not _is_hex(line):
                continue  # a header line naming the column
        values.append(line)
        numbers.append(number)
    codes = _hex_codes(values, lambda r: f"line {numbers[r]}", name)
    return Codes(name, codes, np.array(numbers, dtype=np.int64), row_word="line")


def _is_hex(value: bytes) -> bool:
    return re.fullmatch(rb"(0[xX])?[0-9A-Fa-f]+", value) is not None


def _choose_columns(
    names: list[str], column: Optional[str], id_column: Optional[str], name: str
) -> tuple[str, Optional[str]]:
    """The codes column and the id column of a table with columns `names`."""
    for wanted in (column, id_column):
        if wanted is not None and wanted not in names:
            raise CommandError(f"{name}: no column {wanted!r} (columns: {', '.join(names)})")
    if column is None:
        others = [n for n in names if n != id_column]
        others = ["hash"] if "hash" in others else others  # what `brimel hash` writes
        if len(others) != 1:
            raise CommandError(f"{name}: has columns {', '.join(names)}; choose the codes with --column")
        column = others[0]
    return column, id_column


def _csv_codes(text: str, name: str, column: Optional[str], id_column: Optional[str]) -> Codes:
    """CSV; `#` lines and blank lines are skipped. Codes are hex. A first line
    holding a code (8 hex digits or more) is data, not a header: the columns
    are then named 1, 2, ... and the codes are the first column holding one."""
    reader = csv.reader(io.StringIO(text.removeprefix("\ufeff"), newline=""))
    header: Optional[list[str]] = None
    values, ids, numbers = [], [], []
    for row in reader:
        if not row or not any(f.strip() for f in row) or row[0].lstrip().startswith("#"):
            continue
        if header is None:
            header = [f.strip() for f in row]
            codes_at = [c for c, f in enumerate(header) if len(f) >= 8 and _is_hex(f.encode())]
            if codes_at:  # no header: the line holds a code; columns are named 1, 2, ...
                header = [str(c + 1) for c in range(len(row))]
                column = column or header[codes_at[0]]
            column, id_column = _choose_columns(header, column, id_column, name)
            at, id_at = header.index(column), None if id_column is None else header.index(id_column)
            if not codes_at:
                continue
        if len(row) != len(header):
            raise CommandError(
                f"{name}: line {reader.line_num} has {len(row)} fields, the header {len(header)}"
            )
        values.append(row[at].strip().encode("ascii", errors="replace"))
        numbers.append(reader.line_num)
        if id_at is not None:
            ids.append(row[id_at])
    if header is None:
        raise CommandError(f"{name}: no header line (CSV input starts with a line naming its columns)")
    codes = _hex_codes(values, lambda r: f"line {numbers[r]}", name, f"hex codes in column {column!r}")
    row_ids = np.array(ids, dtype=object) if id_column is not None else np.array(numbers, dtype=np.int64)
    return Codes(name, codes, row_ids, row_word="" if id_column is not None else "line")


def _parquet_codes(source: str, column: Optional[str], id_column: Optional[str]) -> Codes:
    pa = pyarrow("reading Parquet")
    handle, regular, name = _open_source(source)
    with handle:
        if not regular:
            raise CommandError(f"{name}: a Parquet input must be a regular file")
        try:
            # Read whole, then parsed from memory: no file access from pyarrow's
            # threads, and a truncation meanwhile is a short read.
            parquet = pa.parquet.ParquetFile(pa.BufferReader(_read_regular(handle, name)))
            column, id_column = _choose_columns(parquet.schema_arrow.names, column, id_column, name)
            wanted = [column] + ([id_column] if id_column is not None else [])
            table = parquet.read(columns=wanted)
        except (OSError, pa.ArrowException) as error:
            raise CommandError(f"{name}: {error}") from None
    codes = _column_codes(pa, table.column(column).combine_chunks(), f"{name} column {column!r}")
    ids = None
    if id_column is not None:
        ids = _column_ids(pa, table.column(id_column).combine_chunks(), f"{name} column {id_column!r}")
    return Codes(name, codes, ids, row_word="row" if ids is None else "")


def _decoded(pa: Any, values: Any, name: str) -> Any:
    if values.null_count:
        raise CommandError(f"{name}: row {values.is_null().to_numpy(zero_copy_only=False).argmax()} is null")
    return values.dictionary_decode() if pa.types.is_dictionary(values.type) else values


def _column_codes(pa: Any, values: Any, name: str) -> npt.NDArray[np.uint8]:
    values = _decoded(pa, values, name)
    kind = values.type
    if pa.types.is_integer(kind):
        return array_codes(values.to_numpy(), name)
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        strings = [s.strip().encode("ascii", errors="replace") for s in values.to_pylist()]
        return _hex_codes(strings, lambda r: f"row {r}", name, "hex strings")
    if pa.types.is_fixed_size_binary(kind):
        width = kind.byte_width
        data = np.frombuffer(values.buffers()[1], np.uint8, len(values) * width, values.offset * width)
        return data.reshape(-1, width)
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
        if not len(values):
            raise CommandError(f"{name}: no codes")
        lengths = pa.compute.binary_length(values).to_numpy()
        bad = np.flatnonzero(lengths != lengths[0])
        if bad.size:
            raise CommandError(f"{name}: row {bad[0]} has {lengths[bad[0]]} bytes, row 0 has {lengths[0]}")
        return _column_codes(pa, values.cast(pa.binary(int(lengths[0]))), name)
    raise CommandError(f"{name}: has type {kind}; expected hex strings, binary values or 64-bit integers")


def _column_ids(pa: Any, values: Any, name: str) -> np.ndarray:
    values = _decoded(pa, values, name)
    kind = values.type
    if pa.types.is_integer(kind):
        return values.to_numpy()
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return values.to_numpy(zero_copy_only=False)
    raise CommandError(f"{name}: has type {kind}; ids are integers or strings")


def read_codes(source: str, column: Optional[str] = None, id_column: Optional[str] = None) -> Codes:
    """The codes held in `source` (a path, or "-" for text on standard input).

    .npy: a code matrix, 64-bit integers or bits; .parquet: a column of hex
    strings, binary values or integers; .csv, or text whose first line holds
    a comma: CSV with a header line; anything else: one hex code per line.
    `column` and `id_column` name Parquet and CSV columns and are not used
    for the other forms."""
    suffix = Path(source).suffix.lower() if source != "-" else ""
    if suffix in TABLE_SUFFIXES:
        return _parquet_codes(source, column, id_column)
    if suffix == ".npy":
        return _npy_codes(source)
    data, name = read_bytes(source)
    if suffix == ".csv":
        return _csv_codes(data.decode("utf-8", errors="replace"), name, column, id_column)
    return _text_codes(data, name, column, id_column)


# --- writing -----------------------------------------------------------------------

Column = Union[np.ndarray, "Taken"]


@dataclass
class Taken:
    """``ids[index]``, kept apart so that string ids are encoded once per id, not once per row."""

    ids: np.ndarray
    index: np.ndarray

    def values(self) -> np.ndarray:
        return self.ids[self.index]


# "0000" to "9999" as one 32-bit word each (four ASCII digits in memory order).
_QUADS = np.frombuffer("".join(f"{v:04d}" for v in range(10000)).encode(), dtype=np.uint32)


def _digits(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Decimal text of integers: (rows, width) ASCII right-aligned, and the mask of characters kept."""
    values = values.astype(np.int64) if values.dtype.kind == "b" else values
    negative = values < 0 if values.dtype.kind == "i" and values.size and values.min() < 0 else None
    magnitude = values if negative is None else np.where(negative, -values, values).view(np.uint64)
    largest = int(magnitude.max()) if magnitude.size else 0
    quads = (len(str(largest)) + 3) // 4
    kind = np.uint32 if largest < 2**32 else np.uint64  # 32-bit division is faster
    rest = magnitude.astype(kind)
    words = np.empty((len(values), quads), dtype=np.uint32)
    for q in range(quads - 1, -1, -1):  # four digits per division
        rest, part = np.divmod(rest, kind(10000))
        words[:, q] = _QUADS[part]
    # Leading zeros are left out: a value of d digits keeps its last d characters,
    # a row of the table of masks by digit count (4 mask bytes per word).
    count = np.ones(len(values), dtype=np.uint8)
    for power in range(1, len(str(largest))):
        count += (magnitude >= kind(10**power)).view(np.uint8)
    table = np.arange(4 * quads)[None, :] >= (4 * quads - np.arange(4 * quads + 1))[:, None]
    chars, keep = words.view(np.uint8), table.view(np.uint32)[count].view(bool)
    if negative is not None:  # a word "   -" before the digits, its "-" kept where negative
        sign = np.zeros((len(values), 4), dtype=np.uint8)
        sign[:, 3] = ord("-")
        chars = np.concatenate([sign, chars], axis=1)
        keep = np.concatenate([np.zeros((len(values), 3), bool), negative[:, None], keep], axis=1)
    return chars, keep


def _field_text(value: object) -> bytes:
    text = str(value)
    if any(c in text for c in ',"\r\n'):
        text = '"' + text.replace('"', '""') + '"'
    return text.encode()


class _Strings:
    """Strings encoded once as CSV fields, gathered by index into character matrices."""

    def __init__(self, ids: np.ndarray) -> None:
        fields = [_field_text(v) for v in ids.tolist()]
        self.data = np.frombuffer(b"".join(fields) + b"\0", dtype=np.uint8)
        self.lengths = np.fromiter(map(len, fields), dtype=np.int64, count=len(fields))
        self.starts = np.concatenate([[0], np.cumsum(self.lengths)[:-1]]).astype(np.int64)

    def chars(self, index: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        lengths = self.lengths[index]
        width = -(-int(lengths.max(initial=0)) // 4) * 4  # whole 32-bit words
        positions = np.arange(width)
        keep = positions < lengths[:, None]
        at = np.where(keep, self.starts[index][:, None] + positions, len(self.data) - 1)
        return self.data[at], keep


# The words of a "," and of a "\n" (one character, three left out), and the mask of one character.
_SEPARATORS = np.frombuffer(b",\0\0\0\n\0\0\0\1\0\0\0", dtype=np.uint32)


def _taken_chars(strings: _Strings, index: np.ndarray, block: slice) -> tuple[np.ndarray, np.ndarray]:
    return strings.chars(index[block])


def _block_digits(values: np.ndarray, block: slice) -> tuple[np.ndarray, np.ndarray]:
    return _digits(values[block])


def _csv_bytes(columns: dict[str, Column], out: IO[bytes]) -> None:
    """CSV of integer columns and Taken columns, formatted in blocks by NumPy."""
    out.write((",".join(columns) + "\n").encode())
    formatters: list[Callable[[slice], tuple[np.ndarray, np.ndarray]]] = []
    row_width = 0
    for column in columns.values():
        if isinstance(column, Taken) and column.ids.dtype.kind in "OUS":
            strings = _Strings(column.ids)
            formatters.append(functools.partial(_taken_chars, strings, column.index))
            row_width += 1 + int(strings.lengths.max(initial=0))
        else:
            values = column.values() if isinstance(column, Taken) else column
            formatters.append(functools.partial(_block_digits, values))
            row_width += 22
    first_column = next(iter(columns.values()))
    rows = len(first_column.index if isinstance(first_column, Taken) else first_column)
    step = max(1, (1 << 22) // row_width)  # about 4 MB of text per block
    for first in range(0, rows, step):
        block = slice(first, min(first + step, rows))
        # Rows of 32-bit words (four characters each) and their masks: fewer,
        # wider elements to move than characters.
        fields = [(c.view(np.uint32), k.view(np.uint32)) for c, k in (f(block) for f in formatters)]
        width = sum(chars.shape[1] + 1 for chars, _ in fields)
        text = np.empty((block.stop - block.start, width), dtype=np.uint32)
        kept = np.empty((block.stop - block.start, width), dtype=np.uint32)
        at = 0
        for c, (chars, keep) in enumerate(fields):
            end = at + chars.shape[1]
            text[:, at:end], kept[:, at:end] = chars, keep
            text[:, end] = _SEPARATORS[int(c == len(fields) - 1)]
            kept[:, end] = _SEPARATORS[2]
            at = end + 1
        out.write(np.compress(kept.view(bool).reshape(-1), text.view(np.uint8).reshape(-1)).data)


def _npy(columns: dict[str, Column], out: IO[bytes]) -> None:
    values = {n: c.values() if isinstance(c, Taken) else c for n, c in columns.items()}
    values = {n: v.astype(str) if v.dtype == object else v for n, v in values.items()}
    table = np.empty(len(next(iter(values.values()))), dtype=[(n, v.dtype) for n, v in values.items()])
    for n, v in values.items():
        table[n] = v
    np.save(out, table)


def _parquet(columns: dict[str, Column], out: IO[bytes]) -> None:
    pa = pyarrow("writing Parquet")
    arrays = {}
    for n, c in columns.items():
        arrays[n] = pa.array(c.ids).take(pa.array(c.index)) if isinstance(c, Taken) else pa.array(c)
    pa.parquet.write_table(pa.table(arrays), out)


class Output:
    """Where a table of results goes, checked before any work.

    ``path`` None or "-": CSV on standard output. A regular file (or a new
    one) is written to a temporary file beside it and renamed into place by
    ``write``; a device or pipe is written directly (CSV unless its name ends
    in .npy or .parquet)."""

    def __init__(self, path: Optional[str], inputs: list[str]) -> None:
        self.path, self.temp, self.direct = path, None, path in (None, "-")
        self.suffix = ".csv" if self.direct else Path(str(path)).suffix.lower()
        if self.direct:
            if sys.stdout is None:  # started with its standard output closed (`>&-`)
                raise CommandError("<stdout>: standard output is closed; name an output with -o")
            return
        assert path is not None
        try:
            existing: Optional[os.stat_result] = os.stat(path)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise CommandError(f"{path}: {error.strerror or error}") from None
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise CommandError(f"{path}: Is a directory")
        if existing is not None:
            for source in inputs:
                try:
                    same = source != "-" and os.path.samestat(existing, os.stat(source))
                except OSError:
                    same = False
                if same:
                    raise CommandError(f"{path}: is also an input ({source}); choose another output")
        # Devices, pipes and the /dev/stdout kind of name are written in place:
        # renaming a file over them would replace the name, not feed the stream.
        special = os.path.abspath(path).startswith(("/dev/", "/proc/"))
        if existing is not None and (special or not stat.S_ISREG(existing.st_mode)):
            self.direct = True
            self.suffix = self.suffix if self.suffix in OUTPUT_SUFFIXES else ".csv"
            return
        if self.suffix not in OUTPUT_SUFFIXES:
            raise CommandError(f"{path}: unknown output format {self.suffix!r} (use .csv, .npy or .parquet)")
        if self.suffix in TABLE_SUFFIXES:
            pyarrow("writing Parquet")
        directory = os.path.dirname(os.path.abspath(path))
        try:
            fd, self.temp = tempfile.mkstemp(
                prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory
            )
        except OSError as error:
            raise CommandError(f"{path}: cannot write in {directory}: {error.strerror or error}") from None
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, stat.S_IMODE(existing.st_mode) if existing else 0o666 & ~umask)
        os.close(fd)

    def write(self, columns: dict[str, Column]) -> None:
        """Writes the table: equal-length columns of integers, or Taken ids."""
        writer = {".npy": _npy, ".csv": _csv_bytes}.get(self.suffix, _parquet)
        if self.path in (None, "-"):
            try:
                writer(columns, sys.stdout.buffer)
                sys.stdout.buffer.flush()
            except BrokenPipeError:
                raise  # the reader stopped: not an error
            except OSError as error:
                raise CommandError(f"<stdout>: {error.strerror or error}") from None
            return
        target = self.temp if self.temp is not None else str(self.path)
        try:
            with open(target, "wb" if self.temp else "ab") as out:  # a stream: no truncation
                writer(columns, out)
                out.flush()
                if self.temp:
                    os.fsync(out.fileno())
            if self.temp:
                os.replace(self.temp, str(self.path))
                self.temp = None
                directory = os.open(os.path.dirname(os.path.abspath(str(self.path))), os.O_RDONLY)
                try:
                    os.fsync(directory)
                finally:
                    os.close(directory)
        except OSError as error:
            raise CommandError(f"{self.path}: {error.strerror or error}") from None

    def discard(self) -> None:
        """Removes the temporary file of a write that did not complete."""
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None
