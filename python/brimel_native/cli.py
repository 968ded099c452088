"""The ``brimel`` command: near-duplicate pairs and groups of codes held in files,
and the hashes of images and texts.

    brimel pairs CODES [--against CODES] -k K [-o OUT]
    brimel groups CODES -k K [-o OUT]
    brimel hash images DIR -o OUT
    brimel hash text FILE -o OUT
    brimel serve --bank NAME:D_BYTES:K --data DIR --token-file FILE [--port 8080]

CODES is a ``.npy`` file (an (n, d_bytes) uint8 matrix, a 1-D array of 64-bit
integers or an (n, bits) bool matrix), a ``.parquet`` file (a column of hex
strings, binary values or 64-bit integers; needs pyarrow), a ``.csv`` file
with a header line, or text with one hex code per line (``-`` reads standard
input). Results name rows by id: an id column (``--id-column``), the line
number for text, else the row number. OUT ends in ``.csv``, ``.npy`` or
``.parquet``; without ``-o`` (or with ``-o -``) the result goes to standard
output as CSV. Progress, warnings and a summary go to standard error.

Exit status: 0 on success (also when the reader of standard output stops
reading), 1 when a file cannot be read, used or written, 2 for a command line
error, 130 when interrupted. Every failure is one line on standard error.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from . import __version__, _brimel_pairs, find_groups, find_pairs
from ._files import CommandError, Codes, Output, Taken, read_codes, stderr_progress as _progress
from .adapters import degenerate_mask
from .groups import keep_mask


class UsageError(Exception):
    """A command line that cannot work: reported with the usage, exit status 2."""


def _show_progress(args: argparse.Namespace) -> bool:
    return bool(sys.stderr.isatty() if args.progress is None else args.progress)


def warn(text: str) -> None:
    print(f"brimel: warning: {text}", file=sys.stderr)


def _distance(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, not {text!r}")
    return int(text)


# --- pairs and groups -----------------------------------------------------------------


def _codes_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("codes", help='codes: .npy, .parquet, .csv, or hex text one per line ("-": stdin)')
    parser.add_argument("-k", type=_distance, required=True, help="largest Hamming distance (bits)")
    parser.add_argument("-o", "--output", help="output file: .csv, .npy or .parquet (default: CSV on stdout)")
    parser.add_argument("--column", help="the Parquet or CSV column holding the codes")
    parser.add_argument(
        "--id-column", help="the Parquet or CSV column naming each row in the results (paths, keys)"
    )
    parser.add_argument(
        "--skip-degenerate",
        action="store_true",
        help="leave out codes with almost no bits set or unset (blank images, empty texts)",
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show progress on stderr (default: when stderr is a terminal)",
    )


def _pairs_arguments(parser: argparse.ArgumentParser) -> None:
    _codes_arguments(parser)
    parser.add_argument("--against", metavar="CODES", help="join CODES against these codes instead of itself")
    parser.add_argument(
        "--against-column", metavar="NAME", help="the codes column of --against (default: --column)"
    )
    parser.add_argument(
        "--against-id-column", metavar="NAME", help="the id column of --against (default: --id-column)"
    )


def _read(source: str, column: Optional[str], id_column: Optional[str], skip: bool) -> Codes:
    codes = read_codes(source, column, id_column)
    degenerate = degenerate_mask(codes.codes)
    count = int(np.count_nonzero(degenerate))
    if count:
        limit = codes.codes.shape[1] * 8 // 16
        word = f"{codes.row_word} " if codes.row_word else ""
        names = ", ".join(f"{word}{n}" for n in codes.names()[np.flatnonzero(degenerate)[:3]])
        more = ", ..." if count > 3 else ""
        action = (
            "left out"
            if skip
            else "they match each other whatever their inputs (--skip-degenerate leaves them out)"
        )
        plural = "s" if count > 1 else ""
        warn(
            f"{codes.name}: {count} code{plural} with at most {limit} bits set or unset ({names}{more}): {action}"
        )
        if skip:
            codes.drop(degenerate)
    return codes


def _inputs(args: argparse.Namespace) -> tuple[Codes, Optional[Codes]]:
    codes = _read(args.codes, args.column, args.id_column, args.skip_degenerate)
    against = None
    if getattr(args, "against", None):
        column = args.against_column or args.column
        id_column = args.against_id_column or args.id_column
        against = _read(args.against, column, id_column, args.skip_degenerate)
        if against.codes.shape[1] != codes.codes.shape[1]:
            raise CommandError(
                f"{against.name}: codes of {against.codes.shape[1]} bytes, {codes.name} has {codes.codes.shape[1]}"
            )
    if _brimel_pairs.k_error(args.k, codes.codes.shape[1]) is not None:
        raise UsageError(
            f"argument -k: {args.k} is not below the code width ({8 * codes.codes.shape[1]} bits)"
        )
    return codes, against


def _sources(args: argparse.Namespace) -> list[str]:
    return [s for s in (args.codes, getattr(args, "against", None)) if s]


def _summary(started: float, codes: Codes, against: Optional[Codes], text: str) -> None:
    rows = f"{len(codes.codes)}" + (f" x {len(against.codes)}" if against is not None else "")
    elapsed = time.perf_counter() - started
    bits = 8 * codes.codes.shape[1]
    print(f"brimel: {rows} codes of {bits} bits: {text} ({elapsed:.2f} s)", file=sys.stderr)


def run_pairs(args: argparse.Namespace) -> None:
    started = time.perf_counter()
    output = Output(args.output, _sources(args))
    try:
        codes, against = _inputs(args)
        other = against if against is not None else codes
        found = find_pairs(
            codes.codes,
            args.k,
            None if against is None else against.codes,
            progress=_progress(_show_progress(args), "pairs"),
        )
        if codes.ids is None and other.ids is None:
            i = found.i if codes.rows is None else codes.rows[found.i]  # rows of the file
            j = found.j if other.rows is None else other.rows[found.j]
            output.write({"i": i, "j": j, "distance": found.distance})
        else:
            output.write(
                {
                    "id_a": Taken(codes.names(), found.i),
                    "id_b": Taken(other.names(), found.j),
                    "distance": found.distance,
                }
            )
    finally:
        output.discard()
    _summary(started, codes, against, f"{len(found.i)} pairs within {args.k}")


def run_groups(args: argparse.Namespace) -> None:
    started = time.perf_counter()
    output = Output(args.output, _sources(args))
    try:
        codes, _ = _inputs(args)
        labels = find_groups(codes.codes, args.k, progress=_progress(_show_progress(args), "groups"))
        keep = keep_mask(labels)
        rows = np.arange(len(labels))
        names = codes.names()
        first = "row" if codes.ids is None else "id"
        output.write(
            {first: Taken(names, rows), "group": Taken(names, labels), "keep": keep.astype(np.uint8)}
        )
    finally:
        output.discard()
    kept = int(np.count_nonzero(keep))
    _summary(started, codes, None, f"{kept} groups, {len(labels) - kept} rows within {args.k} of a kept row")


# --- the commands -----------------------------------------------------------------------


@dataclass
class Command:
    """A subcommand: its name, one line of help, its arguments and what runs it."""

    name: str
    help: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], None]


def _hash_arguments(parser: argparse.ArgumentParser) -> None:
    from .hashing import add_hash_commands

    add_hash_commands(parser)


def _run_hash(args: argparse.Namespace) -> None:
    args.hash_run(args)


def _serve_arguments(parser: argparse.ArgumentParser) -> None:
    from .serve import command  # argparse only: the server's packages load when it runs

    command.add_arguments(parser)


def _run_serve(args: argparse.Namespace) -> None:
    from .serve import command

    status = command.run(args)  # reports its own errors
    if status:
        raise SystemExit(status)


#: Every subcommand, in the order `brimel --help` lists them. A new one is one entry here.
COMMANDS = [
    Command(
        "pairs",
        "every pair within distance k: i, j, distance (or id_a, id_b, distance)",
        _pairs_arguments,
        run_pairs,
    ),
    Command(
        "groups",
        "a group per row, named by the first row of its near-duplicate cluster: row (or id), group, keep",
        _codes_arguments,
        run_groups,
    ),
    Command("hash", "hash the images under a folder, or the lines of a text", _hash_arguments, _run_hash),
    Command("serve", "a matching service over HTTP (the serve extra)", _serve_arguments, _run_serve),
]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brimel", description="Exact near-duplicate search over binary codes by Hamming distance."
    )
    parser.add_argument("--version", action="version", version=f"brimel_native {__version__}")
    names = ",".join(c.name for c in COMMANDS)
    commands = parser.add_subparsers(dest="command", required=True, metavar=f"{{{names}}}")
    for command in COMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def main(argv: Optional[list[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
    except UsageError as error:
        args.parser.error(str(error))  # exits with status 2
    except CommandError as error:
        print(f"brimel: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nbrimel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): it has what it wanted. No
        # second error when the interpreter flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except MemoryError:
        print("brimel: error: out of memory", file=sys.stderr)
        return 1
    return 0
