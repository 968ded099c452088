"""The HTTP layer of ``brimel serve``: routes, checks, bearer tokens and metrics,
as a Starlette application over the banks' Stores.

Every bank call runs in a worker thread, so the event loop never waits on the
engine. Single-code matches are gathered: while one bank query runs, the
single-code requests that arrive queue up, and the next query answers all of
them with one ``query_batch`` call.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import re
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, AsyncIterator, Awaitable, Callable, Optional

import numpy as np
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, PlainTextResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .metrics import Metrics
from .store import Conflict, Store, StoreFailed

_METADATA_DEPTH = 16  # nesting of a metadata object, far below the JSON encoder's recursion limit
# External ids: no control characters (the snapshot splits on \n and \t).
_ID_CHARS = re.compile(r"[^\x00-\x1f\x7f]+")


@dataclass
class Limits:
    max_body_bytes: int = 16 << 20
    max_batch: int = 100_000  # codes per request
    max_metadata_bytes: int = 1024  # compact JSON per code
    max_id_bytes: int = 256  # UTF-8 bytes per external id
    gather: int = 1024  # single-code matches answered by one bank query at most


class ApiError(Exception):
    """A refused request: status, message and any extra JSON fields."""

    def __init__(self, status: int, message: str, **extra: Any):
        super().__init__(message)
        self.status, self.message, self.extra = status, message, extra


class Gatherer:
    """Single-code matches of one bank, answered together: one query in flight;
    the requests that arrive meanwhile make the next query's batch."""

    def __init__(self, store: Store, executor: ThreadPoolExecutor, metrics: Metrics, most: int):
        self.store, self.executor, self.metrics, self.most = store, executor, metrics, most
        self.pending: list[tuple[bytes, int, asyncio.Future[Any]]] = []
        self.busy = False

    async def match(self, code: bytes, k: int) -> list[dict[str, Any]]:
        future = asyncio.get_running_loop().create_future()
        self.pending.append((code, k, future))
        if not self.busy:
            self._start()
        result: list[dict[str, Any]] = await future
        return result

    def _start(self) -> None:
        batch, self.pending = self.pending[: self.most], self.pending[self.most :]
        self.busy = True
        codes = np.frombuffer(b"".join(code for code, _, _ in batch), np.uint8).reshape(len(batch), -1)
        ks = [k for _, k, _ in batch]
        self.metrics.batch_size(len(batch), self.store.name)
        running = asyncio.get_running_loop().run_in_executor(self.executor, self.store.match, codes, ks)
        running.add_done_callback(lambda done: self._done(batch, done))

    def _done(self, batch: list[tuple[bytes, int, asyncio.Future[Any]]], done: asyncio.Future[Any]) -> None:
        self.busy = False
        error = done.exception()
        for r, (_, _, future) in enumerate(batch):
            if future.done():  # the client went away
                continue
            if error is not None:
                future.set_exception(error)
            else:
                future.set_result(done.result()[r])
        if self.pending:
            self._start()


class Service:
    def __init__(
        self,
        stores: dict[str, Store],
        write_token: str,
        read_token: Optional[str] = None,
        limits: Optional[Limits] = None,
        threads: int = 4,
    ):
        self.stores = stores
        self.write_token, self.read_token = write_token.encode(), read_token.encode() if read_token else None
        self.limits = limits or Limits()
        self.executor = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="brimel-match")
        self.metrics = Metrics()
        self.gatherers = {
            name: Gatherer(store, self.executor, self.metrics, self.limits.gather)
            for name, store in stores.items()
        }
        per_bank: Callable[[Callable[[Store], float]], Callable[[], list[tuple[dict[str, str], float]]]]
        per_bank = lambda read: lambda: [({"bank": n}, read(s)) for n, s in self.stores.items()]  # noqa: E731
        self.metrics.gauge(
            "brimel_bank_codes", "Live codes in the bank.", per_bank(lambda s: len(s.internal_of))
        )
        self.metrics.gauge(
            "brimel_bank_ids_issued", "Internal ids issued.", per_bank(lambda s: len(s.ext_of))
        )
        self.metrics.gauge(
            "brimel_bank_log_bytes",
            "Log bytes since the last snapshot began.",
            per_bank(lambda s: s._log_bytes),
        )
        self.metrics.gauge(
            "brimel_bank_last_snapshot_timestamp_seconds",
            "Unix time of the last completed snapshot (0: none).",
            per_bank(lambda s: s.last_snapshot["time"] if s.last_snapshot else 0.0),
        )
        self.metrics.gauge(
            "brimel_bank_writable",
            "1 while the bank's log accepts writes.",
            per_bank(lambda s: s.failed is None),
        )

    # ---- checks ----------------------------------------------------------------

    def authorize(self, authorization: str, write: bool) -> None:
        """Checks an Authorization header's bearer token, in constant time."""
        if not write and self.read_token is None:
            return
        scheme, _, given = authorization.partition(" ")
        token = given.strip().encode()
        is_write = hmac.compare_digest(token, self.write_token)
        is_read = self.read_token is not None and hmac.compare_digest(token, self.read_token)
        if scheme.lower() == "bearer" and (is_write or (is_read and not write)):
            return
        if scheme.lower() == "bearer" and is_read:
            raise ApiError(403, "this token may read but not write")
        raise ApiError(401, "missing or wrong bearer token", headers={"WWW-Authenticate": "Bearer"})

    def store(self, name: str) -> Store:
        store = self.stores.get(name)
        if store is None:
            raise ApiError(404, f"no bank named {name!r}")
        return store

    async def body(self, length: Optional[str], chunks: AsyncIterator[bytes]) -> bytes:
        """The body, refused (413) past the size limit: at once by its Content-Length, else while it arrives."""
        limit = self.limits.max_body_bytes
        if length is not None and (not (length.isascii() and length.isdigit()) or int(length) > limit):
            raise ApiError(413, f"request bodies are limited to {limit} bytes")
        parts, size = [], 0
        try:
            async for chunk in chunks:
                size += len(chunk)
                if size > limit:
                    raise ApiError(413, f"request bodies are limited to {limit} bytes")
                parts.append(chunk)
        except ClientDisconnect:
            raise ApiError(400, "the client went away") from None
        return b"".join(parts)

    async def request_body(self, request: Request) -> bytes:
        return await self.body(request.headers.get("content-length"), request.stream())

    def json_object(self, body: bytes) -> dict[str, Any]:
        try:
            document = _JSON.decode(body.decode())
        except (ValueError, RecursionError) as error:
            raise ApiError(400, f"the body is not JSON: {error}") from None
        if not isinstance(document, dict):
            raise ApiError(400, "the body must be a JSON object")
        return document

    def codes(self, store: Store, texts: Any, where: str) -> np.ndarray:
        """A list of hex codes as an (m, d_bytes) matrix; `where` names code r in errors."""
        if not isinstance(texts, list) or not texts:
            raise ApiError(400, "codes must be a non-empty list of hex codes")
        if len(texts) > self.limits.max_batch:
            raise ApiError(413, f"at most {self.limits.max_batch} codes per request")
        digits = 2 * store.d_bytes
        for r, text in enumerate(texts):
            if not isinstance(text, str) or len(text) != digits:
                raise ApiError(400, f"{where.format(r=r)} must be {digits} hex digits (bank {store.name!r})")
        try:
            raw = bytes.fromhex("".join(texts))
        except ValueError:
            raw = b""
        if len(raw) != len(texts) * store.d_bytes:
            bad = next(r for r, t in enumerate(texts) if not _is_hex(t))
            raise ApiError(400, f"{where.format(r=bad)} is not hex: {texts[bad]!r}")
        return np.frombuffer(raw, np.uint8).reshape(len(texts), store.d_bytes)

    def k(self, store: Store, value: Any) -> int:
        if value is None:
            return store.k
        if isinstance(value, str) and value.isascii() and value.isdigit():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= store.k:
            raise ApiError(400, f"k must be an integer from 0 to the bank's k ({store.k})")
        return value

    def external_ids(self, values: Any, where: str) -> list[str]:
        if not isinstance(values, list) or not values:
            raise ApiError(400, "ids must be a non-empty list of external ids")
        if len(values) > self.limits.max_batch:
            raise ApiError(413, f"at most {self.limits.max_batch} ids per request")
        for r, value in enumerate(values):
            if (
                not (isinstance(value, str) and _ID_CHARS.fullmatch(value) and _utf8(value) is not None)
                or len(value.encode()) > self.limits.max_id_bytes
            ):
                raise ApiError(
                    400,
                    f"{where.format(r=r)} must be a string of 1 to {self.limits.max_id_bytes} bytes"
                    " without control characters",
                )
        return values

    # ---- endpoints -------------------------------------------------------------

    async def match(
        self, name: str, headers: dict[str, str], query: dict[str, str], chunks: AsyncIterator[bytes]
    ) -> dict[str, Any]:
        """POST /v1/banks/{bank}/match, answered by _Front without the framework."""
        self.authorize(headers.get("authorization", ""), write=False)
        store = self.store(name)
        body = await self.body(headers.get("content-length"), chunks)
        if headers.get("content-type", "").startswith("application/octet-stream"):
            k = self.k(store, query.get("k"))
            if not body or len(body) % store.d_bytes:
                raise ApiError(
                    400, f"a binary body holds whole codes of {store.d_bytes} bytes (got {len(body)})"
                )
            if len(body) // store.d_bytes > self.limits.max_batch:
                raise ApiError(413, f"at most {self.limits.max_batch} codes per request")
            codes = np.frombuffer(body, np.uint8).reshape(-1, store.d_bytes)
            return {"matches": await self._match_batch(store, codes, k)}
        document = self.json_object(body)
        k = self.k(store, document.get("k"))
        if ("code" in document) == ("codes" in document):
            raise ApiError(400, 'give either "code" (one hex code) or "codes" (a list of them)')
        if "code" in document:
            code = self.codes(store, [document["code"]], "code")
            return {"matches": await self.gatherers[store.name].match(code.tobytes(), k)}
        codes = self.codes(store, document["codes"], "codes[{r}]")
        return {"matches": await self._match_batch(store, codes, k)}

    async def _match_batch(self, store: Store, codes: np.ndarray, k: int) -> list[list[dict[str, Any]]]:
        self.metrics.batch_size(len(codes), store.name)
        loop = asyncio.get_running_loop()
        result: list[list[dict[str, Any]]] = await loop.run_in_executor(
            self.executor, store.match, codes, [k] * len(codes)
        )
        return result

    async def add(self, request: Request) -> Response:
        self.authorize(request.headers.get("authorization", ""), write=True)
        store = self.store(request.path_params["bank"])
        if request.headers.get("content-type", "").startswith("application/octet-stream"):
            ids, codes, metadata = await self._binary_add(request, store)
        else:
            ids, codes, metadata = await self._json_add(request, store)
        try:
            await asyncio.wrap_future(store.add(ids, codes, metadata))
        except Conflict as conflict:
            raise ApiError(409, str(conflict), ids=conflict.ids) from None
        return JSONResponse({"added": len(ids)})

    async def _binary_add(
        self, request: Request, store: Store
    ) -> tuple[list[str], np.ndarray, list[Optional[str]]]:
        """?count=M and a body of M codes (M * d_bytes bytes), then M external ids, each ending in "\\n"."""
        count = request.query_params.get("count", "")
        if not (count.isascii() and count.isdigit() and 0 < int(count) <= self.limits.max_batch):
            raise ApiError(400, f"a binary add needs ?count=M, from 1 to {self.limits.max_batch} codes")
        m, raw = int(count), await self.request_body(request)
        try:
            ids = raw[m * store.d_bytes :].decode().split("\n")
        except UnicodeDecodeError:
            ids = []
        if len(raw) < m * store.d_bytes or len(ids) != m + 1 or ids[-1]:
            raise ApiError(
                400,
                f"a binary add holds {m} codes of {store.d_bytes} bytes, then {m} UTF-8 ids each ending in a newline",
            )
        codes = np.frombuffer(raw, np.uint8, m * store.d_bytes).reshape(m, store.d_bytes)
        metadata: list[Optional[str]] = [None] * m
        return self.external_ids(ids[:-1], "id {r}"), codes, metadata

    async def _json_add(
        self, request: Request, store: Store
    ) -> tuple[list[str], np.ndarray, list[Optional[str]]]:
        items = self.json_object(await self.request_body(request)).get("codes")
        if not isinstance(items, list) or not items or not all(isinstance(item, dict) for item in items):
            raise ApiError(400, 'give "codes": a list of {"id": ..., "code": ..., "metadata": {...}} objects')
        ids = self.external_ids([item.get("id") for item in items], "codes[{r}].id")
        codes = self.codes(store, [item.get("code") for item in items], "codes[{r}].code")
        metadata: list[Optional[str]] = []
        for r, item in enumerate(items):
            meta = item.get("metadata")
            if meta is not None and not isinstance(meta, dict):
                raise ApiError(400, f"codes[{r}].metadata must be a JSON object")
            if meta and not _shallow(meta):
                raise ApiError(400, f"codes[{r}].metadata is nested more than {_METADATA_DEPTH} deep")
            try:
                text = (
                    json.dumps(meta, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
                    if meta
                    else None
                )
            except ValueError:  # 1e999 reads as infinity
                raise ApiError(400, f"codes[{r}].metadata holds a number out of range") from None
            size = _utf8(text) if text is not None else 0
            if size is None:
                raise ApiError(400, f"codes[{r}].metadata holds a string that is not Unicode text")
            if size > self.limits.max_metadata_bytes:
                raise ApiError(413, f"codes[{r}].metadata is over {self.limits.max_metadata_bytes} bytes")
            metadata.append(text)
        return ids, codes, metadata

    async def remove(self, request: Request) -> Response:
        self.authorize(request.headers.get("authorization", ""), write=True)
        store = self.store(request.path_params["bank"])
        ids = self.external_ids(self.json_object(await self.request_body(request)).get("ids"), "ids[{r}]")
        removed, missing = await asyncio.wrap_future(store.remove(ids))
        return JSONResponse({"removed": removed, "missing": missing})

    async def banks(self, request: Request) -> Response:
        self.authorize(request.headers.get("authorization", ""), write=False)
        keys = ("name", "d_bytes", "bits", "k", "size")
        return JSONResponse({"banks": [{key: s.info()[key] for key in keys} for s in self.stores.values()]})

    async def bank(self, request: Request) -> Response:
        self.authorize(request.headers.get("authorization", ""), write=False)
        return JSONResponse(self.store(request.path_params["bank"]).info())

    async def health(self, request: Request) -> Response:
        broken = [name for name, store in self.stores.items() if store.failed]
        return JSONResponse(
            {"status": "failing" if broken else "ok", "read_only_banks": broken}, 503 if broken else 200
        )

    async def metrics_text(self, request: Request) -> Response:
        self.authorize(request.headers.get("authorization", ""), write=False)
        return PlainTextResponse(self.metrics.render(), media_type="text/plain; version=0.0.4")

    # ---- the application ------------------------------------------------------------

    def app(self) -> ASGIApp:
        def route(path: str, handler: Callable[[Request], Awaitable[Response]], method: str) -> Route:
            async def endpoint(request: Request) -> Response:
                request.scope["brimel.route"] = path  # the metrics' route label
                return await handler(request)

            return Route(path, endpoint, methods=[method])

        @contextlib.asynccontextmanager
        async def lifespan(app: Starlette) -> AsyncIterator[None]:
            yield
            loop = asyncio.get_running_loop()
            for store in self.stores.values():
                await loop.run_in_executor(None, store.close)
            self.executor.shutdown()

        routes = [
            # POST is answered by _Front; the route gives other methods their 405.
            route("/v1/banks/{bank}/match", _unreachable, "POST"),
            route("/v1/banks/{bank}/codes", self.add, "POST"),
            route("/v1/banks/{bank}/codes", self.remove, "DELETE"),
            route("/v1/banks", self.banks, "GET"),
            route("/v1/banks/{bank}", self.bank, "GET"),
            route("/healthz", self.health, "GET"),
            route("/metrics", self.metrics_text, "GET"),
        ]
        handlers = {ApiError: _api_error, HTTPException: _http_error, StoreFailed: _store_failed}
        app = Starlette(routes=routes, exception_handlers=handlers, lifespan=lifespan)
        app.add_middleware(_Timing, metrics=self.metrics)
        return _Front(app, self)


async def _unreachable(request: Request) -> Response:
    raise AssertionError("POST /v1/banks/{bank}/match is answered before the router")


def _no_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


_JSON = json.JSONDecoder(
    parse_constant=_no_constant
)  # NaN and Infinity refused: responses could not hold them


def _shallow(value: Any, depth: int = 0) -> bool:
    if depth > _METADATA_DEPTH:
        return False
    if isinstance(value, dict):
        return all(_shallow(v, depth + 1) for v in value.values())
    if isinstance(value, list):
        return all(_shallow(v, depth + 1) for v in value)
    return True


def _utf8(text: str) -> Optional[int]:
    """The UTF-8 length of `text`; None if it holds a lone surrogate (JSON allows "\\ud800")."""
    try:
        return len(text.encode())
    except UnicodeEncodeError:
        return None


def _is_hex(text: str) -> bool:
    return all(c in "0123456789abcdefABCDEF" for c in text)


async def _api_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, ApiError)
    headers = error.extra.pop("headers", None)
    return JSONResponse({"error": error.message, **error.extra}, error.status, headers=headers)


async def _http_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return JSONResponse({"error": error.detail}, error.status_code, headers=error.headers)


async def _store_failed(request: Request, error: Exception) -> Response:
    return JSONResponse({"error": str(error)}, 503)


class _Timing:
    """Counts every response by method, route and status and times it."""

    def __init__(self, app: ASGIApp, metrics: Metrics):
        self.app, self.metrics = app, metrics

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started, status = time.perf_counter(), [500]

        async def send_timed(message: Message) -> None:
            if message["type"] == "http.response.start":
                status[0] = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, send_timed)
        finally:
            route = scope.get("brimel.route", "other")
            self.metrics.request(scope["method"], route, status[0], time.perf_counter() - started)


_MATCH_ROUTE = "/v1/banks/{bank}/match"
_JSON_HEADERS = [(b"content-type", b"application/json")]


class _Front:
    """Answers POST /v1/banks/{bank}/match itself and hands everything else to
    the Starlette application. The framework's routing and per-request layers
    cost more than a gathered match of a code; this route is the hot path."""

    def __init__(self, app: ASGIApp, service: Service):
        self.app, self.service = app, service

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        parts = scope["path"].split("/") if scope["type"] == "http" and scope["method"] == "POST" else []
        if len(parts) != 5 or parts[1:3] != ["v1", "banks"] or parts[4] != "match":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in scope["headers"]}
        query = dict(urllib.parse.parse_qsl(scope["query_string"].decode("latin-1")))
        extra: list[tuple[bytes, bytes]] = []
        try:
            status, payload = 200, await self.service.match(parts[3], headers, query, _chunks(receive))
        except ApiError as error:
            status, payload = error.status, {"error": error.message, **error.extra}
            extra = [(k.lower().encode(), v.encode()) for k, v in payload.pop("headers", {}).items()]
        body = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()
        length = [(b"content-length", str(len(body)).encode())]
        await send(
            {"type": "http.response.start", "status": status, "headers": _JSON_HEADERS + length + extra}
        )
        await send({"type": "http.response.body", "body": body})
        self.service.metrics.request("POST", _MATCH_ROUTE, status, time.perf_counter() - started)


async def _chunks(receive: Receive) -> AsyncIterator[bytes]:
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            raise ClientDisconnect()
        yield message.get("body", b"")
        if not message.get("more_body", False):
            return
