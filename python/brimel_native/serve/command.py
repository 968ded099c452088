"""``brimel serve``: its arguments (argparse only, so that the other commands
do not load the server) and its start-up."""

from __future__ import annotations

import argparse
import fcntl
import re
import socket
import stat
import sys
from pathlib import Path
from typing import Any

_BANK = re.compile(r"([a-z0-9][a-z0-9_-]{0,63}):([0-9]+):([0-9]+)")


def _bank(text: str) -> tuple[str, int, int]:
    match = _BANK.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(
            f"expected NAME:D_BYTES:K (NAME of lowercase letters, digits, _ and -), not {text!r}"
        )
    name, d_bytes, k = match.group(1), int(match.group(2)), int(match.group(3))
    if not 1 <= d_bytes or k >= 8 * d_bytes:
        raise argparse.ArgumentTypeError(f"{text}: K must be below the code width ({8 * d_bytes} bits)")
    return name, d_bytes, k


def _count(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) == 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return int(text)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.description = (
        "Serve banks of codes over HTTP: match (one code or a batch), add and remove by external id."
        " Every acknowledged write is in an fsynced log; see docs/serving.md."
    )
    parser.add_argument(
        "--bank",
        type=_bank,
        action="append",
        required=True,
        metavar="NAME:D_BYTES:K",
        help="a bank: its name, code width in bytes and largest match distance, e.g. pdq:32:31 (repeatable)",
    )
    parser.add_argument("--data", required=True, type=Path, help="directory of the banks' logs and snapshots")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port (default: 8080; 0: any free port)")
    parser.add_argument(
        "--token-file", required=True, type=Path, help="file holding the bearer token that writes need"
    )
    parser.add_argument(
        "--read-token-file",
        type=Path,
        help="file holding a bearer token that reads need (default: reads are open)",
    )
    parser.add_argument(
        "--max-body-bytes", type=_count, default=16 << 20, help="largest request body (16 MiB)"
    )
    parser.add_argument("--max-batch", type=_count, default=100_000, help="most codes or ids per request")
    parser.add_argument("--max-metadata-bytes", type=_count, default=1024, help="largest metadata per code")
    parser.add_argument(
        "--snapshot-seconds",
        type=float,
        default=300.0,
        help="snapshot a changed bank this often (0: never by time)",
    )
    parser.add_argument(
        "--snapshot-log-bytes",
        type=_count,
        default=256 << 20,
        help="snapshot once the log has grown by this much",
    )
    parser.add_argument("--threads", type=_count, default=4, help="worker threads for bank queries")


def _token(path: Path, what: str) -> str:
    try:
        token = path.read_text().strip()
        mode = path.stat().st_mode
    except (OSError, UnicodeDecodeError) as error:
        raise SystemExit(f"brimel serve: error: {what} {path}: {error}") from None
    if len(token) < 16 or not token.isascii() or not token.isprintable() or " " in token:
        raise SystemExit(
            f"brimel serve: error: {what} {path}: a token is at least 16 printable ASCII characters"
        )
    if mode & (stat.S_IRWXG | stat.S_IRWXO):
        print(f"brimel serve: warning: {path} can be read by other users (chmod 600 it)", file=sys.stderr)
    return token


def run(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from .app import Limits, Service
        from .store import RecoveryError, Store
    except ImportError as error:
        print(
            f"brimel serve: error: {error.name} is missing: pip install 'brimel_native[serve]'",
            file=sys.stderr,
        )
        return 1
    names = [name for name, _, _ in args.bank]
    if len(set(names)) < len(names):
        print("brimel serve: error: two --bank options name the same bank", file=sys.stderr)
        return 2
    write_token = _token(args.token_file, "--token-file")
    read_token = _token(args.read_token_file, "--read-token-file") if args.read_token_file else None
    try:
        args.data.mkdir(parents=True, exist_ok=True)
        lock = open(args.data / ".lock", "a")
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)  # released by the kernel however the process ends
    except OSError as error:
        print(
            f"brimel serve: error: {args.data}: {error.strerror} (is another server using it?)",
            file=sys.stderr,
        )
        return 1
    try:
        stores = {
            name: Store(name, args.data, d_bytes, k, args.snapshot_log_bytes, args.snapshot_seconds)
            for name, d_bytes, k in args.bank
        }
    except (RecoveryError, ValueError, OSError) as error:
        print(f"brimel serve: error: {error}", file=sys.stderr)
        return 1
    limits = Limits(args.max_body_bytes, args.max_batch, args.max_metadata_bytes)
    service = Service(stores, write_token, read_token, limits, args.threads)
    try:
        sock = socket.socket(socket.AF_INET6 if ":" in args.host else socket.AF_INET)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.host, args.port))
    except OSError as error:
        print(f"brimel serve: error: {args.host}:{args.port}: {error.strerror}", file=sys.stderr)
        return 1
    host, port = sock.getsockname()[:2]
    sizes = ", ".join(f"{name} ({len(s.internal_of)} codes)" for name, s in stores.items())
    print(f"brimel serve: {sizes}; listening on http://{host}:{port}", file=sys.stderr, flush=True)
    config: dict[str, Any] = {"log_level": "warning", "access_log": False, "timeout_graceful_shutdown": 30}
    uvicorn.Server(uvicorn.Config(service.app(), **config)).run(sockets=[sock])
    lock.close()
    return 0
