"""One bank of the service, kept on disk so that a crash loses nothing acknowledged.

A bank directory holds:

- ``bank.json``: the code width and bound the bank was created with;
- ``log-<seq>.wal``: append-only log segments. Every add and remove is a record
  (length, CRC-32, sequence number, payload); a batch of records is fsynced
  before any of their requests is answered (group commit: one writer thread
  takes every request that queued while the previous fsync ran);
- ``snapshot-<seq>.bank`` and ``snapshot-<seq>.ids``: the bank's own atomic save
  and the service's id map (external ids, metadata) as of record ``seq``.

A snapshot starts in the writer thread, between two batches: the log moves on
to a new segment starting at ``seq + 1`` and the id map is copied. The bank is
then saved from another thread while writes go on, so the saved bank holds
every record up to ``seq`` and possibly some after it. The ``.ids`` file is
written last (temp file, fsync, rename, fsync of the directory) and commits
the snapshot; only then are older segments and snapshots deleted.

Start-up loads the newest snapshot and replays the records after its ``seq``.
Replay is idempotent against the saved bank: an add whose ids the bank already
issued only enters the id map, and removing a removed id changes nothing. So a
crash between any two steps above neither loses nor doubles a record.

External ids map to the bank's own ids, which are never reused: a code re-added
under an external id that was removed gets a new internal id. Adding an
external id that is live is refused (``Conflict``); remove it first to replace it.
"""

from __future__ import annotations

import itertools
from collections import Counter
import json
import os
import struct
import sys
import threading
import time
import zlib
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator, Optional

import numpy as np

from .. import Bank

_LOG_MAGIC = b"BRMLOG1\n"
_SNAP_MAGIC = b"BRMSNAP1"
_RECORD = struct.Struct("<IIQ")  # payload length, CRC-32 of (seq, payload), seq
_ADD = struct.Struct("<cQI")  # b"A", first internal id, row count; then the codes, then JSON
_MAX_RECORD = 1 << 31
_COPY_CHUNK = 1 << 16  # id-map entries copied or written per step, so other threads get the GIL between


def _section_text(section: int, rows: list[Any]) -> str:
    """Snapshot body lines: one external id per internal id ("" once removed),
    then "internal id TAB metadata" per code with metadata."""
    if section == 0:
        return "".join(f"{e or ''}\n" for e in rows)
    return "".join(f"{i}\t{m}\n" for i, m in rows)


class Conflict(Exception):
    """An add names external ids that are live (or repeats one)."""

    def __init__(self, ids: list[str]):
        super().__init__(f"{len(ids)} external ids are already live; remove them first")
        self.ids = ids


class StoreFailed(Exception):
    """The log could not be written; the bank refuses writes until restarted."""


class RecoveryError(Exception):
    """The bank directory cannot be read back (reported at start-up)."""


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomic(path: Path, chunks: Any) -> None:
    """Writes the byte strings of `chunks` to `path` through a temp file in the
    same directory: fsync, rename, fsync of the directory."""
    tmp = path.with_name(f".{path.name}.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for chunk in chunks:
            _write_all(fd, chunk)
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, path)
    fsync_dir(path.parent)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def _record(seq: int, payload: bytes) -> bytes:
    crc = zlib.crc32(payload, zlib.crc32(seq.to_bytes(8, "little")))
    return _RECORD.pack(len(payload), crc, seq) + payload


def _read_records(path: Path) -> tuple[list[tuple[int, bytes]], int]:
    """The intact records of a segment and the offset where they end (a torn
    or damaged tail, from a crash during a write, starts there)."""
    data = path.read_bytes()
    if not data.startswith(_LOG_MAGIC):
        return [], 0
    records, at = [], len(_LOG_MAGIC)
    while at + _RECORD.size <= len(data):
        length, crc, seq = _RECORD.unpack_from(data, at)
        end = at + _RECORD.size + length
        payload = data[at + _RECORD.size : end]
        if end > len(data) or zlib.crc32(payload, zlib.crc32(seq.to_bytes(8, "little"))) != crc:
            break
        records.append((seq, payload))
        at = end
    return records, at


@dataclass
class _Op:
    kind: str  # "add" or "remove"
    ids: list[str]
    codes: Optional[np.ndarray] = None  # (m, d_bytes) uint8, adds only
    metadata: Optional[list[Optional[str]]] = None  # compact JSON text per row, adds only
    future: Future[Any] = field(default_factory=Future)
    # Filled in by the writer: the records' effect on the bank.
    first: int = 0
    internal: list[int] = field(default_factory=list)
    missing: list[str] = field(default_factory=list)


class Store:
    """A named bank: the Bank itself, the external-id map, the log and the snapshots."""

    def __init__(
        self,
        name: str,
        root: Path,
        d_bytes: int,
        k: int,
        snapshot_log_bytes: int = 256 << 20,
        snapshot_seconds: float = 300.0,
    ):
        self.name, self.dir, self.d_bytes, self.k = name, Path(root) / name, d_bytes, k
        self.snapshot_log_bytes, self.snapshot_seconds = snapshot_log_bytes, snapshot_seconds
        # The id map. ext_of[i] is the external id of internal id i (None once
        # removed); readers index it without a lock, only the writer thread
        # changes it, so its length is the next internal id.
        self.ext_of: list[Optional[str]] = []
        self.internal_of: dict[str, int] = {}
        self.meta_of: dict[int, str] = {}
        self.seq = 0  # the last record written
        self.last_snapshot: Optional[dict[str, Any]] = None
        self.snapshot_error: Optional[str] = None
        self.failed: Optional[str] = None
        self._log_fd = -1
        self._log_bytes = 0  # written since the last snapshot began
        self._pending: list[_Op] = []
        self._cond = threading.Condition()
        self._stopping = False
        self._snapshotting: Optional[threading.Thread] = None
        self._snapshot_started = time.monotonic()
        self.bank = self._recover()
        self._writer = threading.Thread(target=self._write_loop, name=f"brimel-log-{name}", daemon=True)
        self._writer.start()

    # ---- start-up ------------------------------------------------------------

    def _recover(self) -> Bank:
        config = {"d_bytes": self.d_bytes, "k": self.k}
        if not (self.dir / "bank.json").exists():
            self.dir.mkdir(parents=True, exist_ok=True)
            fsync_dir(self.dir.parent)
            write_atomic(self.dir / "bank.json", [json.dumps(config).encode()])
        stored = json.loads((self.dir / "bank.json").read_text())
        if stored != config:
            raise RecoveryError(
                f"bank {self.name!r} in {self.dir} was created with d_bytes={stored['d_bytes']},"
                f" k={stored['k']}; it cannot be served with d_bytes={self.d_bytes}, k={self.k}"
            )
        for stray in self.dir.glob(".*"):  # temporary files of a save or snapshot cut short
            stray.unlink()
        snapshots = sorted(self.dir.glob("snapshot-*.ids"))
        bank, applied = Bank(self.d_bytes, self.k), 0
        if snapshots:
            bank, applied = self._load_snapshot(snapshots[-1])
        segments = sorted(self.dir.glob("log-*.wal"))
        for segment in segments:
            records, end = _read_records(segment)
            if end < segment.stat().st_size:  # a torn tail was never acknowledged
                print(
                    f"brimel serve: {segment}: dropping {segment.stat().st_size - end} bytes of an"
                    " unfinished write",
                    file=sys.stderr,
                )
                os.truncate(segment, end)
            for seq, payload in records:
                if seq <= applied:
                    continue
                if seq != applied + 1:
                    raise RecoveryError(
                        f"{segment}: record {seq} follows record {applied}; records are missing"
                    )
                self._replay(bank, payload, segment)
                self._log_bytes += _RECORD.size + len(payload)
                applied = seq
        self.seq = applied
        self._open_segment(applied + 1, fresh=not segments or segments[-1] != self._segment_path(applied + 1))
        self._remove_older(
            self.last_snapshot["seq"] if self.last_snapshot else 0, snapshots[-1] if snapshots else None
        )
        return bank

    def _load_snapshot(self, ids_path: Path) -> tuple[Bank, int]:
        data = ids_path.read_bytes()
        try:
            if not (data.startswith(_SNAP_MAGIC) and data.endswith(_SNAP_MAGIC)):
                raise ValueError("no snapshot markers")
            (footer_len,) = struct.unpack_from("<Q", data, len(data) - 16)
            footer = json.loads(data[len(data) - 16 - footer_len : len(data) - 16])
            body = data[len(_SNAP_MAGIC) : len(data) - 16 - footer_len]
            if len(body) != footer["ext_bytes"] + footer["meta_bytes"] or zlib.crc32(body) != footer["crc"]:
                raise ValueError("checksum mismatch")
        except (ValueError, KeyError, struct.error) as error:
            raise RecoveryError(f"{ids_path}: damaged snapshot ({error})") from None
        bank = Bank.open(self.dir / footer["bank"])
        if (bank.d_bytes, bank.k) != (self.d_bytes, self.k) or bank.n < footer["n"]:
            raise RecoveryError(f"{self.dir / footer['bank']}: does not match {ids_path}")
        ext_text = body[: footer["ext_bytes"]].decode()
        self.ext_of = [e or None for e in ext_text.split("\n")[:-1]]  # "": removed
        self.internal_of = {e: i for i, e in enumerate(self.ext_of) if e is not None}
        for line in body[footer["ext_bytes"] :].decode().split("\n")[:-1]:  # not splitlines(): U+2028
            internal, text = line.split("\t", 1)
            self.meta_of[int(internal)] = text
        self.last_snapshot = {"seq": footer["seq"], "time": footer["time"], "live": len(self.internal_of)}
        return bank, footer["seq"]

    def _replay(self, bank: Bank, payload: bytes, segment: Path) -> None:
        if payload[:1] == b"A":
            _, first, m = _ADD.unpack_from(payload)
            codes_end = _ADD.size + m * self.d_bytes
            ids, metadata = json.loads(payload[codes_end:])
            if first != len(self.ext_of) or first > bank.n:
                raise RecoveryError(f"{segment}: an add of ids from {first} does not follow id {bank.n}")
            if first == bank.n:  # not in the saved bank yet
                codes = np.frombuffer(payload, np.uint8, m * self.d_bytes, _ADD.size)
                bank.add_batch(codes.reshape(m, self.d_bytes))
            self._map_add(first, ids, metadata)
        else:
            internal = json.loads(payload[1:])
            if internal:
                bank.remove(np.asarray(internal, dtype=np.int64))
            self._map_remove(internal)

    # ---- the id map (writer thread only) ----------------------------------------

    def _map_add(self, first: int, ids: list[str], metadata: list[Optional[str]]) -> None:
        self.ext_of.extend(ids)
        for offset, (ext, meta) in enumerate(zip(ids, metadata)):
            self.internal_of[ext] = first + offset
            if meta is not None:
                self.meta_of[first + offset] = meta

    def _map_remove(self, internal: list[int]) -> None:
        for i in internal:
            ext = self.ext_of[i]
            if ext is not None:
                del self.internal_of[ext]
                self.ext_of[i] = None
                self.meta_of.pop(i, None)

    # ---- the log -------------------------------------------------------------

    def _segment_path(self, first_seq: int) -> Path:
        return self.dir / f"log-{first_seq:020d}.wal"

    def _open_segment(self, first_seq: int, fresh: bool) -> None:
        path = self._segment_path(first_seq)
        if self._log_fd >= 0:
            os.close(self._log_fd)
        self._log_fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        if fresh or os.fstat(self._log_fd).st_size == 0:
            os.ftruncate(self._log_fd, 0)
            _write_all(self._log_fd, _LOG_MAGIC)
            os.fsync(self._log_fd)
            fsync_dir(self.dir)  # the segment itself must survive before a record in it is acknowledged

    def _remove_older(self, seq: int, keep_snapshot: Optional[Path]) -> None:
        """Deletes every snapshot but `keep_snapshot` (its .ids and .bank files)
        and the segments holding only records up to `seq`: those followed by a
        segment that starts at or before seq + 1."""
        keep = {keep_snapshot.name, keep_snapshot.with_suffix(".bank").name} if keep_snapshot else set()
        doomed = [path for path in self.dir.glob("snapshot-*") if path.name not in keep]
        segments = sorted(self.dir.glob("log-*.wal"))
        doomed += [s for s, after in zip(segments, segments[1:]) if int(after.stem[4:]) <= seq + 1]
        for path in doomed:
            path.unlink()
        if doomed:
            fsync_dir(self.dir)

    # ---- writes --------------------------------------------------------------

    def add(self, ids: list[str], codes: np.ndarray, metadata: list[Optional[str]]) -> Future[Any]:
        """Queues an add; the future is done (None) once it is durable and
        visible, or raises Conflict or StoreFailed."""
        return self._submit(_Op("add", ids, codes, metadata))

    def remove(self, ids: list[str]) -> Future[Any]:
        """Queues a removal by external id; the future gives (removed, missing ids)."""
        return self._submit(_Op("remove", ids))

    def _submit(self, op: _Op) -> Future[Any]:
        with self._cond:
            if self.failed:
                op.future.set_exception(StoreFailed(self.failed))
            elif self._stopping:
                op.future.set_exception(StoreFailed("the service is shutting down"))
            else:
                self._pending.append(op)
                self._cond.notify()
        return op.future

    def _write_loop(self) -> None:
        while True:
            with self._cond:
                while not self._pending and not self._stopping:
                    self._cond.wait(timeout=self._snapshot_wait())
                    if not self._pending:
                        break
                # A future cancelled by now (its client gone) was never acknowledged: drop it.
                ops = [op for op in self._pending if op.future.set_running_or_notify_cancel()]
                self._pending = []
                stopping = self._stopping and not ops
            if stopping:
                return
            try:
                if ops:
                    self._commit(ops)
                self._maybe_snapshot()
            except Exception as error:  # the log or the bank in an unknown state: no more writes
                self._fail(f"bank {self.name!r} stopped taking writes: {error!r}; restart the service", ops)

    def _commit(self, ops: list[_Op]) -> None:
        if self.failed:
            self._fail(self.failed, ops)
            return
        records, accepted = [], []
        for op in ops:
            payload = self._plan(op)
            if payload is None:
                continue
            self.seq += 1
            records.append(_record(self.seq, payload))
            accepted.append(op)
        try:
            if records:
                data = b"".join(records)
                _write_all(self._log_fd, data)
                os.fdatasync(self._log_fd)
                self._log_bytes += len(data)
        except OSError as error:
            self._fail(
                f"writing the log of bank {self.name!r} failed: {error}; restart the service", accepted
            )
            return
        self._apply(accepted)
        for op in accepted:
            op.future.set_result((len(op.internal), op.missing) if op.kind == "remove" else None)

    def _fail(self, message: str, ops: list[_Op]) -> None:
        """Refuses every write from now on, the unanswered `ops` included."""
        if not self.failed:
            self.failed = message
            print(f"brimel serve: {message}", file=sys.stderr)
        for op in ops:
            if not op.future.done():
                op.future.set_exception(StoreFailed(message))

    def _plan(self, op: _Op) -> Optional[bytes]:
        """The op's log payload, its id-map change made; None if it is refused."""
        if op.kind == "add":
            assert op.codes is not None and op.metadata is not None
            taken = {e for e in op.ids if e in self.internal_of}
            if len(set(op.ids)) < len(op.ids):
                taken |= {e for e, count in Counter(op.ids).items() if count > 1}
            if taken:
                op.future.set_exception(Conflict(sorted(taken)))
                return None
            op.first = len(self.ext_of)
            self._map_add(op.first, op.ids, op.metadata)
            head = _ADD.pack(b"A", op.first, len(op.ids))
            tail = json.dumps([op.ids, op.metadata], separators=(",", ":")).encode()
            return head + op.codes.tobytes() + tail
        found = {e: self.internal_of.get(e) for e in op.ids}
        op.internal = sorted({i for i in found.values() if i is not None})
        op.missing = [e for e, i in found.items() if i is None]
        self._map_remove(op.internal)
        return b"R" + json.dumps(op.internal).encode()

    def _apply(self, ops: list[_Op]) -> None:
        """Applies durable ops to the bank in log order, consecutive adds as one batch."""
        for is_add, group in itertools.groupby(ops, key=lambda op: op.kind == "add"):
            batch = list(group)
            if is_add:
                codes = [op.codes for op in batch if op.codes is not None]
                first = self.bank.add_batch(codes[0] if len(codes) == 1 else np.concatenate(codes))
                assert first == batch[0].first, (first, batch[0].first)
            else:
                internal = [i for op in batch for i in op.internal]
                if internal:
                    self.bank.remove(np.asarray(internal, dtype=np.int64))

    # ---- reads ---------------------------------------------------------------

    def match(self, codes: np.ndarray, ks: list[int]) -> list[list[dict[str, Any]]]:
        """Every live stored code within ks[r] of codes[r], per query row, as
        {"id", "distance", "metadata"} by distance then external id."""
        found = self.bank.query_batch(codes, max(ks))
        out: list[list[dict[str, Any]]] = [[] for _ in range(len(codes))]
        ext_of, meta_of = self.ext_of, self.meta_of
        for i, j, d in zip(found.i.tolist(), found.j.tolist(), found.distance.tolist()):
            ext = ext_of[j]  # None: removed, or being removed
            if ext is not None and d <= ks[i]:
                meta = meta_of.get(j)
                out[i].append({"id": ext, "distance": d, "metadata": json.loads(meta) if meta else None})
        for hits in out:
            hits.sort(key=lambda h: (h["distance"], h["id"]))
        return out

    def info(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "d_bytes": self.d_bytes,
            "bits": 8 * self.d_bytes,
            "k": self.k,
            "size": len(self.internal_of),
            "ids_issued": len(self.ext_of),
            "seq": self.seq,
            "log_bytes_since_snapshot": self._log_bytes,
            "last_snapshot": self.last_snapshot,
            "snapshot_error": self.snapshot_error,
            "writable": self.failed is None,
        }

    # ---- snapshots -------------------------------------------------------------

    def _snapshot_wait(self) -> Optional[float]:
        if self.snapshot_seconds <= 0:
            return None
        return max(0.05, self._snapshot_started + self.snapshot_seconds - time.monotonic())

    def _maybe_snapshot(self, force: bool = False) -> None:
        if self._snapshotting is not None and self._snapshotting.is_alive():
            return
        applied = self.last_snapshot["seq"] if self.last_snapshot else 0
        if self.seq == applied or self.failed:
            return
        due = self._log_bytes >= self.snapshot_log_bytes or (
            self.snapshot_seconds > 0 and time.monotonic() - self._snapshot_started >= self.snapshot_seconds
        )
        if not (due or force):
            return
        # Writer thread, between batches: the id map as of self.seq, and a new
        # segment for the records after it.
        seq, n = self.seq, len(self.ext_of)
        ext_of: list[Optional[str]] = []
        for start in range(0, n, _COPY_CHUNK):
            ext_of.extend(self.ext_of[start : start + _COPY_CHUNK])
        meta_items: list[tuple[int, str]] = []
        items = iter(self.meta_of.items())
        while chunk := list(itertools.islice(items, _COPY_CHUNK)):
            meta_items.extend(chunk)
        self._open_segment(seq + 1, fresh=True)
        self._log_bytes = 0
        self._snapshot_started = time.monotonic()
        self._snapshotting = threading.Thread(
            target=self._snapshot, args=(seq, ext_of, meta_items), name=f"brimel-snapshot-{self.name}"
        )
        self._snapshotting.start()
        if force:
            self._snapshotting.join()

    def _snapshot(self, seq: int, ext_of: list[Optional[str]], meta_items: list[tuple[int, str]]) -> None:
        started = time.monotonic()
        bank_name = f"snapshot-{seq:020d}.bank"
        ids_path = self.dir / f"snapshot-{seq:020d}.ids"
        try:
            self.bank.save(self.dir / bank_name)  # holds every record up to seq, maybe more
            sizes, crc = [0, 0], 0

            def sections() -> Iterator[bytes]:
                nonlocal crc
                yield _SNAP_MAGIC
                sources: tuple[list[Any], list[Any]] = (ext_of, meta_items)
                for section, rows in enumerate(sources):
                    for start in range(0, len(rows), _COPY_CHUNK):
                        part = rows[start : start + _COPY_CHUNK]
                        data = _section_text(section, part).encode()
                        sizes[section] += len(data)
                        crc = zlib.crc32(data, crc)
                        yield data
                footer = json.dumps(
                    {
                        "seq": seq,
                        "n": len(ext_of),
                        "bank": bank_name,
                        "time": time.time(),
                        "ext_bytes": sizes[0],
                        "meta_bytes": sizes[1],
                        "crc": crc,
                    }
                ).encode()
                yield footer + struct.pack("<Q", len(footer)) + _SNAP_MAGIC

            write_atomic(ids_path, sections())
            self._remove_older(seq, keep_snapshot=ids_path)
        except OSError as error:
            self.snapshot_error = f"snapshot at record {seq} failed: {error}"
            print(f"brimel serve: bank {self.name!r}: {self.snapshot_error}", file=sys.stderr)
            return
        live = sum(e is not None for e in ext_of)
        self.last_snapshot = {"seq": seq, "time": time.time(), "live": live}
        self.last_snapshot["seconds"] = round(time.monotonic() - started, 3)
        self.snapshot_error = None

    def close(self, snapshot: bool = True) -> None:
        """Answers what is queued, stops the writer and, with `snapshot`, takes a
        last snapshot so that the next start replays nothing."""
        with self._cond:
            self._stopping = True
            self._cond.notify()
        self._writer.join()
        if self._snapshotting is not None:
            self._snapshotting.join()
        if snapshot:
            self._maybe_snapshot(force=True)
        if self._log_fd >= 0:
            os.close(self._log_fd)
            self._log_fd = -1
