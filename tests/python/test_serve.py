"""brimel serve as a client sees it: the real server in a subprocess on a free
loopback port, answers checked against the brute-force reference, refusals,
kill -9 under write load, and fuzzed requests."""

from __future__ import annotations

import itertools
import json
import random
import re
import resource
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import support

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

WRITE, READ = "write-token-0123456789", "read-token-0123456789"
BANKS = {"pdq": (32, 31), "ph": (8, 10)}


class Server:
    def __init__(self, tmp_path, *extra: str, file_limit: int = resource.RLIM_INFINITY):
        self.file_limit = file_limit  # RLIMIT_FSIZE: a full disk
        (tmp_path / "write").write_text(WRITE + "\n")
        (tmp_path / "read").write_text(READ)
        for name in ("write", "read"):
            (tmp_path / name).chmod(0o600)
        banks = [a for name, (d, k) in BANKS.items() for a in ("--bank", f"{name}:{d}:{k}")]
        files = ["--token-file", str(tmp_path / "write"), "--read-token-file", str(tmp_path / "read")]
        limits = ["--max-body-bytes", "100000", "--max-batch", "1000"]
        self.command = [
            sys.executable,
            "-m",
            "brimel_native",
            "serve",
            *banks,
            "--data",
            str(tmp_path / "data"),
        ]
        self.command += ["--port", "0", *files, *limits, *extra]
        self.start()

    def start(self) -> None:
        limit = self.file_limit
        self.proc = subprocess.Popen(
            self.command,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
        )
        said = ""  # warnings (a torn log tail dropped) come before the address
        while not (found := re.search(r"listening on (http://127\.0\.0\.1:\d+)", said)):
            line = self.proc.stderr.readline()
            assert line, said
            said += line
        threading.Thread(target=self.proc.stderr.read, daemon=True).start()  # drain
        self.url = found.group(1)
        self.client = httpx.Client(base_url=self.url, timeout=30, headers=auth(READ))

    def stop(self, sig: int = signal.SIGTERM) -> None:
        self.client.close()
        self.proc.send_signal(sig)
        assert self.proc.wait(timeout=60) in (0, -sig)  # uvicorn ends by its signal after a clean shutdown


def auth(token: str) -> dict[str, str]:
    return {"Authorization": f"Bearer {token}"}


def write(server, method, path, binary=False, **request):
    headers = {**auth(WRITE), **({"Content-Type": "application/octet-stream"} if binary else {})}
    return server.client.request(method, path, headers=headers, **request)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    running = Server(tmp_path_factory.mktemp("serve"))
    yield running
    running.stop()


@pytest.fixture
def start_server(tmp_path):
    """Servers over tmp_path, killed at the end whatever the test's outcome."""
    started: list[Server] = []
    yield lambda *extra, **options: started.append(Server(tmp_path, *extra, **options)) or started[-1]
    for server in started:
        server.proc.kill()
        server.proc.wait()


def live_matches(server, bank, codes, k):
    """Per query row, {external id: distance} from the server's binary batch path."""
    body = np.ascontiguousarray(codes).tobytes()
    answer = server.client.post(
        f"/v1/banks/{bank}/match",
        params={"k": k},
        content=body,
        headers={"Content-Type": "application/octet-stream"},
    )
    assert answer.status_code == 200, answer.text
    return [{hit["id"]: hit["distance"] for hit in hits} for hits in answer.json()["matches"]]


def test_matches_equal_the_reference(server):
    d_bytes, k = BANKS["pdq"]
    codes, _, _ = support.planted(300, d_bytes, 12, seed=5)
    ids = [f"img-{r}" for r in range(len(codes))]
    items = [{"id": ids[r], "code": codes[r].tobytes().hex(), "metadata": {"row": r}} for r in range(100)]
    assert write(server, "POST", "/v1/banks/pdq/codes", json={"codes": items}).json() == {"added": 100}
    binary = codes[100:].tobytes() + "".join(f"{i}\n" for i in ids[100:]).encode()
    added = write(server, "POST", "/v1/banks/pdq/codes?count=200", binary=True, content=binary)
    assert added.json() == {"added": 200}
    removed = list(range(0, len(codes), 4))
    gone = write(server, "DELETE", "/v1/banks/pdq/codes", json={"ids": [ids[r] for r in removed] + ["never"]})
    assert gone.json() == {"removed": len(removed), "missing": ["never"]}
    # Re-adding a removed external id makes a new code under it.
    again = {"id": ids[0], "code": codes[1].tobytes().hex(), "metadata": {"again": True}}
    assert write(server, "POST", "/v1/banks/pdq/codes", json={"codes": [again]}).status_code == 200
    stored = {ids[r]: codes[r] for r in range(len(codes)) if r not in removed} | {ids[0]: codes[1]}
    names, matrix = list(stored), np.stack(list(stored.values()))
    queries = np.concatenate([codes[:40], support.random_codes(10, d_bytes, seed=9)])
    for bound in (0, 12, k):
        expected = [{} for _ in queries]
        for i, j, distance in reference.cross_join(queries, matrix, bound):
            expected[i][names[j]] = distance
        assert live_matches(server, "pdq", queries, bound) == expected
        one = server.client.post("/v1/banks/pdq/match", json={"code": queries[1].tobytes().hex(), "k": bound})
        hits = one.json()["matches"]
        assert {h["id"]: h["distance"] for h in hits} == expected[1]
        assert [(h["distance"], h["id"]) for h in hits] == sorted((h["distance"], h["id"]) for h in hits)
        # ids[0] now holds codes[1]: both at distance 0, by id.
        assert [h["metadata"] for h in hits if h["id"] in ids[:2]] == [{"again": True}, {"row": 1}]
        batch = server.client.post(
            "/v1/banks/pdq/match", json={"codes": [q.tobytes().hex() for q in queries[:5]], "k": bound}
        )
        assert [{h["id"]: h["distance"] for h in hits} for hits in batch.json()["matches"]] == expected[:5]
    info = server.client.get("/v1/banks/pdq").json()
    assert (info["size"], info["ids_issued"], info["k"], info["d_bytes"]) == (len(stored), 301, 31, 32)


PDQ_HEX = "ab" * 32


def adding(**item):
    return {"codes": [{"id": "x", "code": PDQ_HEX, **item}]}


REFUSALS = [
    # method, path, token, body (dict: as JSON; str: JSON text; bytes: a binary body), status
    ("POST", "/v1/banks/pdq/codes", None, adding(), 401),
    ("POST", "/v1/banks/pdq/codes", "wrong-token-0123456789", adding(), 401),
    ("POST", "/v1/banks/pdq/codes", READ, adding(), 403),
    ("DELETE", "/v1/banks/pdq/codes", READ, {"ids": ["x"]}, 403),
    ("POST", "/v1/banks/pdq/match", None, {"code": PDQ_HEX}, 401),
    ("GET", "/metrics", None, None, 401),
    ("POST", "/v1/banks/pdq/match", READ, "{not json", 400),
    ("POST", "/v1/banks/pdq/match", READ, {"code": "zz" * 32}, 400),
    ("POST", "/v1/banks/pdq/match", READ, {"code": "ab" * 8}, 400),
    ("POST", "/v1/banks/pdq/match", READ, {"code": PDQ_HEX, "k": 32}, 400),
    ("POST", "/v1/banks/pdq/match", READ, {"code": PDQ_HEX, "codes": [PDQ_HEX]}, 400),
    ("POST", "/v1/banks/pdq/match", READ, {"codes": [PDQ_HEX] * 1001}, 413),
    ("POST", "/v1/banks/pdq/match", READ, b"\0" * 200_000, 413),
    ("POST", "/v1/banks/nope/match", READ, {"code": PDQ_HEX}, 404),
    ("POST", "/v1/banks/pdq/codes", WRITE, adding(id="a\nb"), 400),
    ("POST", "/v1/banks/pdq/codes", WRITE, adding(metadata=[1]), 400),
    ("POST", "/v1/banks/pdq/codes", WRITE, adding(metadata={"x": "y" * 2000}), 413),
    ("POST", "/v1/banks/pdq/codes", WRITE, {"codes": adding()["codes"] * 2}, 409),
    ("POST", "/v1/banks/ph/codes", WRITE, adding(), 400),
    ("POST", "/v1/banks/ph/codes?count=2", WRITE, b"\0" * 16 + b"a\nb", 400),
    ("PUT", "/v1/banks/pdq/codes", WRITE, {}, 405),
]


@pytest.mark.parametrize("method, path, token, body, status", REFUSALS)
def test_refusals_are_4xx_with_a_json_error(server, method, path, token, body, status):
    headers = {} if token is None else auth(token)
    if isinstance(body, bytes):
        headers["Content-Type"] = "application/octet-stream"
    else:
        body = (body if isinstance(body, str) else json.dumps(body)).encode()
    answer = httpx.request(method, server.url + path, content=body, headers=headers)
    assert answer.status_code == status, answer.text
    assert isinstance(answer.json()["error"], str)


hex_text = st.one_of(st.text("0123456789abcdefABCDEFxz ", max_size=70), st.sampled_from([PDQ_HEX, "ab" * 8]))
json_value = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=10) | hex_text,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=10,
)
fields = st.fixed_dictionaries(
    {},
    optional={
        "code": hex_text,
        "codes": st.lists(hex_text | json_value, max_size=3)
        | st.lists(
            st.fixed_dictionaries(
                {"id": st.text(max_size=8) | json_value, "code": hex_text}, optional={"metadata": json_value}
            ),
            max_size=3,
        ),
        "k": st.integers(-3, 40) | json_value,
        "ids": st.lists(st.text(max_size=8) | json_value, max_size=3),
    },
)


@settings(max_examples=40 if support.SANITIZED else 150)
@given(
    method=st.sampled_from(["GET", "POST", "DELETE", "PUT"]),
    path=st.sampled_from(
        [
            "/v1/banks/pdq/match",
            "/v1/banks/ph/codes",
            "/v1/banks/ph/codes?count=1",
            "/v1/banks/pdq/codes",
            "/v1/banks/x%ff",
            "/v1/banks",
            "/metrics",
            "/healthz",
            "/v1/banks/pdq/match?k=-1",
            "/v1/banks/ph/match?k=%C2%B2",
        ]
    ),
    body=st.one_of(
        st.binary(max_size=100),
        fields.map(lambda f: json.dumps(f).encode()),
        json_value.map(lambda v: json.dumps(v).encode()),
    ),
    binary=st.booleans(),
    token=st.sampled_from([None, WRITE, READ, "x", "é"]),
)
def test_fuzzed_requests_get_2xx_or_4xx(server, method, path, body, binary, token):
    headers = {"Content-Type": "application/octet-stream" if binary else "application/json"}
    if token is not None:
        headers["Authorization"] = f"Bearer {token}".encode("latin-1")  # type: ignore[assignment]
    answer = server.client.request(method, path, content=body, headers=headers)
    assert answer.status_code < 500, answer.text
    assert server.client.get("/healthz").status_code == 200


def write_load(server, seed, acked, doubtful, stop):
    """Adds codes (each external id once) and removes acknowledged ones until
    the server dies or `stop` is set. `acked`: external id -> live after its
    last acknowledged write; `doubtful`: the ids in flight when the connection broke."""
    rng = random.Random(seed)
    client = httpx.Client(base_url=server.url, timeout=30, headers=auth(WRITE))
    for counter in itertools.count():
        live = [i for i, is_live in acked.items() if is_live]
        if live and rng.random() < 0.3:
            method, ids = "DELETE", rng.sample(live, k=min(3, len(live)))
            body = {"ids": ids}
        else:
            method, ids = "POST", [f"t{seed}-{counter}-{c}" for c in range(rng.randint(1, 20))]
            body = {"codes": [{"id": i, "code": code_of(i).hex(), "metadata": metadata_of(i)} for i in ids]}
        if stop.is_set():
            return
        try:
            answer = client.request(method, "/v1/banks/pdq/codes", json=body)
        except httpx.TransportError:
            doubtful.update(ids)
            return
        assert answer.status_code == 200, answer.text
        acked.update(dict.fromkeys(ids, method == "POST"))


def code_of(external_id: str) -> bytes:
    return random.Random(external_id).randbytes(32)


def metadata_of(external_id: str) -> dict[str, str]:
    return {"of": external_id, "text": "line\u2028separators\x85\u00e9"}


def test_kill_9_under_write_load_loses_nothing_acknowledged(start_server):
    # Small snapshot thresholds: the kills also land in snapshots and log rotations.
    big = ["--max-batch", "100000", "--max-body-bytes", "10000000"]
    server = start_server("--snapshot-log-bytes", "30000", "--snapshot-seconds", "0.3", *big)
    acked: list[dict[str, bool]] = [{} for _ in range(3)]  # one per writer
    rng = random.Random(11)
    for round in range(4):
        doubtful: list[set[str]] = [set() for _ in acked]
        stop = threading.Event()
        writers = [
            threading.Thread(target=write_load, args=(server, 10 * round + w, acked[w], doubtful[w], stop))
            for w in range(len(acked))
        ]
        for writer in writers:
            writer.start()
        time.sleep(rng.uniform(0.5, 2.0))
        server.stop(signal.SIGKILL)
        stop.set()
        for writer in writers:
            writer.join(timeout=60)
        server.start()
        everyone = sorted(set().union(*acked, *doubtful))
        codes = np.frombuffer(b"".join(code_of(i) for i in everyone), np.uint8).reshape(-1, 32)
        found = live_matches(server, "pdq", codes, 0)
        present = {i for i, hits in zip(everyone, found) if i in hits}
        assert all(set(hits) <= {i} for i, hits in zip(everyone, found))  # each id's code, nothing else
        unsure = set().union(*doubtful)
        state = {i: live for mine in acked for i, live in mine.items() if i not in unsure}
        assert {i for i, live in state.items() if live} == present - unsure
        for mine, unknown in zip(acked, doubtful):
            mine.update({i: i in present for i in unknown})
    assert server.client.get("/v1/banks/pdq").json()["size"] == sum(sum(mine.values()) for mine in acked)
    some = sorted(present)[:50]
    hits = server.client.post("/v1/banks/pdq/match", json={"codes": [code_of(i).hex() for i in some], "k": 0})
    assert [[(h["id"], h["metadata"]) for h in found] for found in hits.json()["matches"]] == [
        [(i, metadata_of(i))] for i in some
    ]
    # The data directory serves one process at a time, and only with its banks' widths and bounds.
    refused = subprocess.run(server.command, capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1 and "another server" in refused.stderr, refused.stderr
    server.stop()
    other_k = [a.replace("pdq:32:31", "pdq:32:30") for a in server.command]
    refused = subprocess.run(other_k, capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1 and "was created with" in refused.stderr, refused.stderr


def test_a_full_disk_stops_writes_not_matches(start_server):
    server = start_server(file_limit=32 << 10)
    acked: list[str] = []
    for n in range(1000):
        ids = [f"f{n}-{c}" for c in range(20)]
        body = {"codes": [{"id": i, "code": code_of(i).hex()} for i in ids]}
        answer = server.client.post("/v1/banks/pdq/codes", json=body, headers=auth(WRITE))
        if answer.status_code == 503:
            break
        assert answer.status_code == 200, answer.text
        acked += ids
    assert answer.status_code == 503 and "restart" in answer.json()["error"]
    assert server.client.get("/healthz").status_code == 503
    codes = np.frombuffer(b"".join(code_of(i) for i in acked + ids), np.uint8).reshape(-1, 32)
    before = live_matches(server, "pdq", codes, 0)
    server.stop()
    server.file_limit = resource.RLIM_INFINITY
    server.start()
    assert live_matches(server, "pdq", codes, 0) == before == [{i: 0} for i in acked] + [{} for _ in ids]
    server.stop()
