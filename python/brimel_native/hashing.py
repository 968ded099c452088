"""Hashes of texts and images, as the joins take them, and ``brimel hash``.

``simhash_text`` computes 64-bit SimHash codes in the native module, on all
cores; docs/hashing.md tells how documents are cut into tokens and shingles
and how they are hashed. ``image_hash`` computes pHash (``imagehash``) or PDQ
(``pdqhash``), optional packages: ``pip install 'brimel_native[images]'``.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from . import _brimel_pairs
from ._files import CommandError, Output, Taken, read_bytes, stderr_progress
from .adapters import pack_bits
from .pairs import Progress, _progress_callback

IMAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".png", ".gif", ".bmp", ".tif", ".tiff", ".webp"})


def simhash_text(
    documents: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8], Sequence[str]],
    shingle: int = 3,
    *,
    progress: Progress = None,
) -> npt.NDArray[np.uint8]:
    """64-bit SimHash of each document, as an ``(n, 8)`` uint8 code matrix.

    ``documents`` is a sequence of strings, one document each, or bytes
    (UTF-8, or a 1-D uint8 array) holding one document per line. Tokens are
    runs of ASCII letters and digits and non-ASCII characters, lowered;
    shingles are runs of ``shingle`` consecutive tokens. Empty documents get
    code 0. Runs on all cores with the interpreter lock released; Ctrl-C and
    ``progress`` (counting documents) as for ``find_pairs``.
    """
    if isinstance(shingle, bool) or not isinstance(shingle, (int, np.integer)) or shingle < 1:
        raise ValueError(f"shingle must be an int >= 1, not {shingle!r}")
    if isinstance(documents, np.ndarray):
        text = documents
    elif isinstance(documents, (bytes, bytearray, memoryview)):
        text = np.frombuffer(documents, dtype=np.uint8)
    else:
        # A newline separates tokens as a space does, so one inside a
        # document becomes a space and the document stays one line.
        parts = [d.replace("\n", " ") + "\n" for d in documents]
        text = np.frombuffer("".join(parts).encode("utf-8", errors="surrogatepass"), dtype=np.uint8)
    with _progress_callback(progress, "simhash") as callback:
        codes: npt.NDArray[np.uint8] = _brimel_pairs.simhash(
            np.ascontiguousarray(text), int(shingle), callback
        )
    return codes


def _module(name: str, extra: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        package = {"PIL.Image": "Pillow"}.get(name, name)
        raise ImportError(f"needs the {package} package: pip install 'brimel_native[{extra}]'") from None


def image_hash(path: Union[str, os.PathLike[str]], kind: str = "phash") -> str:
    """The pHash (64 bits, ``imagehash``) or PDQ hash (256 bits, ``pdqhash``) of an image file, in hex."""
    image_module = _module("PIL.Image", "images")
    with image_module.open(path) as image:
        if kind == "pdq":
            bits, _quality = _module("pdqhash", "pdq").compute(np.asarray(image.convert("RGB")))
            return bytes(pack_bits(np.asarray(bits, dtype=bool).reshape(1, -1))[0]).hex()
        if kind == "phash":
            return str(_module("imagehash", "images").phash(image))
    raise ValueError(f"kind must be 'phash' or 'pdq', not {kind!r}")


def hex_strings(codes: npt.NDArray[np.uint8]) -> np.ndarray:
    """Each code row as a lower-case hex string (an array of str)."""
    digits = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
    chars = np.empty((codes.shape[0], 2 * codes.shape[1]), dtype=np.uint8)
    chars[:, 0::2] = digits[codes >> 4]
    chars[:, 1::2] = digits[codes & 15]
    width = max(1, chars.shape[1])
    return np.ascontiguousarray(chars).view(f"S{width}").reshape(-1).astype(f"U{width}")


# --- brimel hash ----------------------------------------------------------------------


def _images(args: argparse.Namespace) -> None:
    started = time.perf_counter()
    if not os.path.isdir(args.folder):
        raise CommandError(f"{args.folder}: not a folder")
    output = Output(args.output, [])
    try:
        extra = "pdq" if args.kind == "pdq" else "images"
        try:
            _module("PIL.Image", extra)
            _module("pdqhash" if args.kind == "pdq" else "imagehash", extra)
        except ImportError as error:
            raise CommandError(str(error)) from None
        paths = sorted(
            os.path.join(root, name)
            for root, _, names in os.walk(args.folder)
            for name in names
            if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES
        )
        show = sys.stderr.isatty() if args.progress is None else args.progress

        def one(path: str) -> Union[str, Exception]:
            try:
                return image_hash(path, args.kind)
            except Exception as error:  # an unreadable file is listed, not fatal
                return error

        hashes, failed = [], []
        pool = ThreadPoolExecutor(args.jobs or os.cpu_count() or 1)
        try:
            for done, (path, result) in enumerate(zip(paths, pool.map(one, paths)), 1):
                if isinstance(result, Exception):
                    failed.append(path)
                    print(f"brimel: skipped {path}: {result}", file=sys.stderr)
                else:
                    hashes.append((path, result))
                if show and (done % 50 == 0 or done == len(paths)):
                    print(
                        f"\rbrimel: images: {done}/{len(paths)}",
                        end="\n" if done == len(paths) else "",
                        file=sys.stderr,
                        flush=True,
                    )
        finally:  # on Ctrl-C, the images not started yet are dropped, not decoded first
            pool.shutdown(wait=False, cancel_futures=True)
        names = np.array([p for p, _ in hashes], dtype=object)
        values = np.array([h for _, h in hashes], dtype=object)
        rows = np.arange(len(hashes))
        output.write({"path": Taken(names, rows), "hash": Taken(values, rows)})
    finally:
        output.discard()
    elapsed = time.perf_counter() - started
    print(
        f"brimel: {len(hashes)} images hashed ({args.kind}), {len(failed)} unreadable ({elapsed:.2f} s)",
        file=sys.stderr,
    )


def _jsonl_documents(data: bytes, field: str, name: str) -> list[str]:
    documents = []
    for number, line in enumerate(data.splitlines(), 1):
        if not line.strip():
            documents.append("")
            continue
        try:
            value = json.loads(line)[field]
        except (ValueError, TypeError, KeyError, IndexError):
            raise CommandError(f"{name}: line {number} is not a JSON object with a field {field!r}") from None
        if not isinstance(value, str):
            raise CommandError(
                f"{name}: line {number}: field {field!r} is {type(value).__name__}, not a string"
            )
        documents.append(value)
    return documents


def _text(args: argparse.Namespace) -> None:
    started = time.perf_counter()
    output = Output(args.output, [args.file])
    try:
        data, name = read_bytes(args.file)
        show = sys.stderr.isatty() if args.progress is None else args.progress
        documents: Union[bytes, list[str]] = (
            data if args.field is None else _jsonl_documents(data, args.field, name)
        )
        codes = simhash_text(documents, args.shingle, progress=stderr_progress(show, "simhash"))
        rows = np.arange(len(codes))
        output.write({"line": rows + 1, "hash": Taken(hex_strings(codes), rows)})
    finally:
        output.discard()
    elapsed = time.perf_counter() - started
    print(f"brimel: {len(codes)} documents hashed (64-bit SimHash) ({elapsed:.2f} s)", file=sys.stderr)


def _at_least(minimum: int) -> Any:
    def count(text: str) -> int:
        if not text.isdigit() or int(text) < minimum:
            raise argparse.ArgumentTypeError(f"must be an integer >= {minimum}, not {text!r}")
        return int(text)

    return count


def add_hash_commands(parser: argparse.ArgumentParser) -> None:
    """`brimel hash images` and `brimel hash text`."""
    kinds = parser.add_subparsers(dest="source", required=True, metavar="{images,text}")
    images = kinds.add_parser("images", help="pHash or PDQ of every image under a folder: path, hash")
    images.add_argument("folder", help="folder searched recursively for images")
    images.add_argument(
        "--kind", choices=["phash", "pdq"], default="phash", help="pHash (64 bits) or PDQ (256 bits)"
    )
    images.add_argument(
        "--jobs", type=_at_least(0), default=0, help="images decoded at once (default: one per core)"
    )
    text = kinds.add_parser("text", help="64-bit SimHash of each line (or JSONL field) of a file: line, hash")
    text.add_argument("file", help='text, one document per line ("-": stdin)')
    text.add_argument("--field", help="read JSON lines and hash this field of each")
    text.add_argument("--shingle", type=_at_least(1), default=3, help="tokens per shingle (default 3)")
    for sub, run in ((images, _images), (text, _text)):
        sub.add_argument("-o", "--output", required=True, help="output file: .parquet, .csv or .npy")
        sub.add_argument(
            "--progress",
            action=argparse.BooleanOptionalAction,
            default=None,
            help="show progress on stderr (default: when stderr is a terminal)",
        )
        sub.set_defaults(hash_run=run, parser=sub)
