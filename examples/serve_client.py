"""A client of `brimel serve` with httpx: add hashes with external ids and
metadata, match one upload and a batch, delist a hash.

    python examples/serve_client.py                                 # starts a throwaway server
    python examples/serve_client.py --url http://127.0.0.1:8080 --token-file token

Without --url it starts `brimel serve --bank pdq:32:31` on a free loopback
port over a temporary directory (needs `pip install 'brimel_native[serve]'`)
and stops it at the end. The codes are random 256-bit (PDQ-width) hashes; a
near copy differs from its original in 10 bits.
"""

from __future__ import annotations

import argparse
import contextlib
import re
import secrets
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

import httpx


@contextlib.contextmanager
def throwaway_server() -> Iterator[tuple[str, str]]:
    """A server over a temporary directory: (its URL, its write token)."""
    with tempfile.TemporaryDirectory() as tmp:
        token = secrets.token_hex(16)
        (Path(tmp) / "token").write_text(token)
        (Path(tmp) / "token").chmod(0o600)
        command = [
            sys.executable,
            "-m",
            "brimel_native",
            "serve",
            "--bank",
            "pdq:32:31",
            "--data",
            tmp + "/data",
        ]
        server = subprocess.Popen(
            command + ["--port", "0", "--token-file", tmp + "/token"], stderr=subprocess.PIPE, text=True
        )
        try:
            line = server.stderr.readline() if server.stderr else ""
            found = re.search(r"listening on (\S+)", line)
            if not found:
                raise SystemExit(f"the server did not start: {line}")
            yield found.group(1), token
        finally:
            server.terminate()
            server.wait(timeout=60)


def near_copy(code: bytes, bits: int) -> bytes:
    flipped = bytearray(code)
    for bit in range(bits):
        flipped[bit * 3 // 8] ^= 0x80 >> (bit * 3 % 8)  # bits 0, 3, 6, ...: all distinct
    return bytes(flipped)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", help="a running server (default: start one)")
    parser.add_argument("--token-file", type=Path, help="the server's write token (with --url)")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        if args.url:
            url, token = args.url, args.token_file.read_text().strip()
        else:
            url, token = stack.enter_context(throwaway_server())
        client = stack.enter_context(
            httpx.Client(base_url=url, headers={"Authorization": f"Bearer {token}"}, timeout=30)
        )

        known = {f"case-{n}": secrets.token_bytes(32) for n in range(5)}
        added = client.post(
            "/v1/banks/pdq/codes",
            json={
                "codes": [
                    {"id": name, "code": code.hex(), "metadata": {"source": "example", "n": n}}
                    for n, (name, code) in enumerate(known.items())
                ]
            },
        )
        added.raise_for_status()
        print(f"added:    {added.json()['added']} codes")

        upload = near_copy(known["case-2"], 10)
        hits = client.post("/v1/banks/pdq/match", json={"code": upload.hex()}).json()["matches"]
        print(f"match:    {[(h['id'], h['distance'], h['metadata']) for h in hits]}")

        uploads = [upload, secrets.token_bytes(32), known["case-4"]]
        batch = client.post("/v1/banks/pdq/match", json={"codes": [u.hex() for u in uploads], "k": 12}).json()
        print(f"batch:    {[[h['id'] for h in hits] for hits in batch['matches']]}")

        removed = client.request("DELETE", "/v1/banks/pdq/codes", json={"ids": ["case-2"]}).json()
        again = client.post("/v1/banks/pdq/match", json={"code": upload.hex()}).json()["matches"]
        print(f"delisted: {removed['removed']} code; the upload now matches {len(again)} codes")

        refused = httpx.post(url + "/v1/banks/pdq/codes", json={"codes": []})
        print(f"no token: {refused.status_code} {refused.json()['error']}")
        info = client.get("/v1/banks/pdq").json()
        print(f"bank:     {info['size']} codes of {info['bits']} bits, k = {info['k']}")


if __name__ == "__main__":
    main()
