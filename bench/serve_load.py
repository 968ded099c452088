"""Load on `brimel serve`: single-code matches from many clients, the batch
endpoint, and match latency while codes are ingested. Prints throughput,
p50 / p99 latency and the machine.

    .venv/bin/python bench/serve_load.py [--codes 1000000] [--seconds 20] [--clients 64]

Starts the server on a free 127.0.0.1 port over a temporary data directory
with one PDQ bank (256-bit codes, k = 31), fills it with --codes PDQ-like codes
through the add endpoint (binary bodies of 50,000), then runs three phases,
each bounded by --seconds and a request count:

1. single: --clients connections, each sending one-code JSON matches back to back;
2. batch: 2 connections posting binary bodies of --batch codes;
3. ingest: phase 1 again while one more connection adds --ingest codes (default:
   a tenth of --codes) in requests of 10,000 (--ingest-format binary or json),
   and the server snapshots a changed bank every 5 s. Its match latency is set
   beside phase 1's; part of any rise is the bank's own growth.

Queries are half stored codes with 0 to k + 2 bits flipped, half random
(bench/workloads.py). The client is a minimal HTTP/1.1 client on asyncio
(keep-alive, one request in flight per connection, bodies prepared in advance)
so that it takes as little as possible of the CPU it shares with the server.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from report import machine_info  # noqa: E402
from workloads import near_queries, pdq_like  # noqa: E402

TOKEN = "load-test-token-0123456789"
K = 31


class Connection:
    """One keep-alive HTTP/1.1 connection, one request at a time."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.reader, self.writer = reader, writer

    @classmethod
    async def open(cls, port: int) -> Connection:
        return cls(*await asyncio.open_connection("127.0.0.1", port))

    async def post(self, path: str, body: bytes, content_type: str = "application/json") -> tuple[int, bytes]:
        head = (
            f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n"
            f"Content-Type: {content_type}\r\nContent-Length: {len(body)}\r\n\r\n"
        )
        self.writer.write(head.encode() + body)
        header = await self.reader.readuntil(b"\r\n\r\n")
        status = int(header[9:12])
        length = int(re.search(rb"(?i)content-length: *(\d+)", header).group(1))  # type: ignore[union-attr]
        return status, await self.reader.readexactly(length)

    def close(self) -> None:
        self.writer.close()


async def clients(
    port: int,
    count: int,
    bodies: list[bytes],
    path: str,
    seconds: float,
    content_type: str,
    stop: asyncio.Event | None = None,
) -> tuple[np.ndarray, float, int]:
    """`count` connections posting `bodies` round robin until `seconds` pass (or
    `stop` is set); returns the latencies (s), the elapsed time and the hits."""
    latencies: list[float] = []
    hits = [0]
    deadline = time.perf_counter() + seconds
    limit = 2_000_000  # requests, whatever the speed

    async def one(c: int) -> None:
        connection = await Connection.open(port)
        r = c
        while time.perf_counter() < deadline and len(latencies) < limit and not (stop and stop.is_set()):
            started = time.perf_counter()
            status, answer = await connection.post(path, bodies[r % len(bodies)], content_type)
            latencies.append(time.perf_counter() - started)
            if status != 200:
                raise RuntimeError(f"status {status}: {answer[:200]!r}")
            hits[0] += answer.count(b'"distance"')
            r += count
        connection.close()

    started = time.perf_counter()
    await asyncio.gather(*(one(c) for c in range(count)))
    return np.array(latencies), time.perf_counter() - started, hits[0]


def add_requests(codes: np.ndarray, first: int, per_request: int, form: str) -> list[tuple[str, bytes, str]]:
    """Add requests (path, body, content type) for `codes`, with external ids c<first + row>."""
    requests = []
    for start in range(0, len(codes), per_request):
        part = codes[start : start + per_request]
        ids = [f"c{first + start + r}" for r in range(len(part))]
        if form == "binary":
            body = part.tobytes() + "".join(f"{i}\n" for i in ids).encode()
            requests.append((f"/v1/banks/pdq/codes?count={len(part)}", body, "application/octet-stream"))
        else:
            items = ",".join(f'{{"id":"{i}","code":"{row.tobytes().hex()}"}}' for i, row in zip(ids, part))
            requests.append(("/v1/banks/pdq/codes", f'{{"codes":[{items}]}}'.encode(), "application/json"))
    return requests


async def ingest(port: int, requests: list[tuple[str, bytes, str]]) -> float:
    connection = await Connection.open(port)
    started = time.perf_counter()
    for path, body, content_type in requests:
        status, answer = await connection.post(path, body, content_type)
        if status != 200:
            raise RuntimeError(f"add: status {status}: {answer[:200]!r}")
    connection.close()
    return time.perf_counter() - started


def line(what: str, latencies: np.ndarray, elapsed: float, per_request: int = 1) -> str:
    ms = np.percentile(latencies, [50, 99]) * 1000
    rate = len(latencies) * per_request / elapsed
    unit = "matches/s" if per_request == 1 else f"codes/s ({per_request} per request)"
    return f"{what:<28} {rate:>10,.0f} {unit}; request p50 {ms[0]:.2f} ms, p99 {ms[1]:.2f} ms ({len(latencies)} requests)"


async def run(args: argparse.Namespace, port: int, server: subprocess.Popen) -> None:
    stored = pdq_like(args.codes, seed=7)
    extra = pdq_like(args.ingest, seed=8)
    queries = near_queries(stored, 20_000, K, seed=9)
    singles = [json.dumps({"code": q.tobytes().hex()}).encode() for q in queries]
    batches = [
        queries[s : s + args.batch].tobytes() for s in range(0, len(queries) - args.batch + 1, args.batch)
    ]

    took = await ingest(port, add_requests(stored, 0, 50_000, "binary"))
    print(
        f"{'fill':<28} {args.codes / took:>10,.0f} codes/s, binary adds of 50,000 ({args.codes:,} codes in {took:.1f} s)"
    )

    latencies, elapsed, hits = await clients(
        port, args.clients, singles, "/v1/banks/pdq/match", args.seconds, "application/json"
    )
    alone = latencies
    print(
        line(f"single, {args.clients} clients", latencies, elapsed)
        + f"; {hits / len(latencies):.2f} hits per query"
    )

    latencies, elapsed, _ = await clients(
        port, 2, batches, "/v1/banks/pdq/match?k=31", args.seconds, "application/octet-stream"
    )
    print(line("batch, 2 clients", latencies, elapsed, args.batch))

    stop = asyncio.Event()
    ingest_requests = add_requests(extra, args.codes, 10_000, args.ingest_format)

    async def ingest_then_stop() -> float:
        try:
            return await ingest(port, ingest_requests)
        finally:
            stop.set()

    (latencies, elapsed, _), took = await asyncio.gather(
        clients(
            port, args.clients, singles, "/v1/banks/pdq/match", args.seconds * 5, "application/json", stop
        ),
        ingest_then_stop(),
    )
    print(line("single during ingest", latencies, elapsed))
    print(
        f"{'ingest meanwhile':<28} {args.ingest / took:>10,.0f} codes/s ({args.ingest:,} codes in {took:.1f} s,"
        f" {args.ingest_format} adds of 10,000)"
    )
    ratio = np.percentile(latencies, [50, 99]) / np.percentile(alone, [50, 99])
    print(f"{'latency during / alone':<28} p50 x{ratio[0]:.2f}, p99 x{ratio[1]:.2f}")
    with open(f"/proc/{server.pid}/status") as status:
        rss = next(int(row.split()[1]) * 1024 for row in status if row.startswith("VmRSS"))
    total = args.codes + args.ingest
    print(
        f"{'server memory':<28} {rss / 2**20:,.0f} MiB RSS, {rss / total:.0f} bytes per stored code (id map included)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--codes", type=int, default=1_000_000, help="codes in the bank before the phases")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each phase")
    parser.add_argument("--clients", type=int, default=64, help="connections sending single matches")
    parser.add_argument("--batch", type=int, default=1000, help="codes per batch request")
    parser.add_argument(
        "--ingest", type=int, help="codes added during phase 3 (default: a tenth of --codes, as 1M into 10M)"
    )
    parser.add_argument(
        "--ingest-format", choices=("binary", "json"), default="binary", help="the add requests of phase 3"
    )
    parser.add_argument("--threads", type=int, default=4, help="the server's --threads")
    args = parser.parse_args()
    args.ingest = args.codes // 10 if args.ingest is None else args.ingest

    info = machine_info(os.cpu_count() or 1)
    print(
        f"machine: {info['cpu']}; flags {', '.join(info['flags'])}; {info['logical_cpus']} logical CPUs, "
        f"{info['memory_gib']} GiB; Python {info['python']}; {info['brimel_native']}"
    )
    print(f"load average at start: {info['load_average']}")
    with tempfile.TemporaryDirectory() as tmp:
        token = Path(tmp) / "token"
        token.write_text(TOKEN)
        token.chmod(0o600)
        command = [
            sys.executable,
            "-m",
            "brimel_native",
            "serve",
            "--bank",
            f"pdq:32:{K}",
            "--data",
            f"{tmp}/data",
            "--port",
            "0",
            "--token-file",
            str(token),
            "--max-batch",
            "100000",
            "--max-body-bytes",
            str(64 << 20),
            "--snapshot-seconds",
            "5",
            "--threads",
            str(args.threads),
        ]
        server = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
        try:
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", server.stderr.readline())  # type: ignore[union-attr]
            if not found:
                raise SystemExit("the server did not start")
            try:
                from uvloop import run as run_loop  # the server's event loop too
            except ImportError:
                run_loop = asyncio.run
            run_loop(run(args, int(found.group(1)), server))
        finally:
            server.terminate()
            server.wait(timeout=120)


if __name__ == "__main__":
    main()
