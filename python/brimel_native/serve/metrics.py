"""Counters and histograms in the Prometheus text exposition format (version 0.0.4)."""

from __future__ import annotations

import bisect
import threading
from collections import defaultdict
from typing import Callable

# Request latency buckets, seconds: a single match takes well under a
# millisecond, a bulk add of 100k codes some seconds.
BUCKETS = (0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)
BATCH_BUCKETS = (1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 4096, 16384, 65536)


def _labels(pairs: tuple[tuple[str, str], ...]) -> str:
    if not pairs:
        return ""
    escaped = (v.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") for _, v in pairs)
    return "{" + ",".join(f'{k}="{v}"' for (k, _), v in zip(pairs, escaped)) + "}"


class Histogram:
    def __init__(self, name: str, help: str, buckets: tuple[float, ...]):
        self.name, self.help, self.buckets = name, help, buckets
        # labels -> [count per bucket (last: above every bound)], sum
        self._counts: dict[tuple[tuple[str, str], ...], list[int]] = {}
        self._sums: dict[tuple[tuple[str, str], ...], float] = defaultdict(float)

    def observe(self, value: float, **labels: str) -> None:
        key = tuple(sorted(labels.items()))
        counts = self._counts.get(key)
        if counts is None:
            counts = self._counts.setdefault(key, [0] * (len(self.buckets) + 1))
        counts[bisect.bisect_left(self.buckets, value)] += 1
        self._sums[key] += value

    def render(self) -> list[str]:
        lines = [f"# HELP {self.name} {self.help}", f"# TYPE {self.name} histogram"]
        for key, counts in sorted(self._counts.items()):
            total = 0
            for bound, count in zip((*self.buckets, float("inf")), counts):
                total += count
                le = "+Inf" if bound == float("inf") else repr(bound)
                lines.append(f"{self.name}_bucket{_labels((*key, ('le', le)))} {total}")
            lines.append(f"{self.name}_sum{_labels(key)} {self._sums[key]!r}")
            lines.append(f"{self.name}_count{_labels(key)} {total}")
        return lines


class Metrics:
    """The service's metrics. Updated from the event loop (and read from it);
    gauges are read from their sources when scraped."""

    def __init__(self) -> None:
        self.requests: dict[tuple[tuple[str, str], ...], int] = defaultdict(int)
        self.latency = Histogram(
            "brimel_request_duration_seconds", "Time from request to response, by route.", BUCKETS
        )
        self.batch = Histogram(
            "brimel_match_batch_codes",
            "Codes per bank query (gathered single matches or a batch).",
            BATCH_BUCKETS,
        )
        self.gauges: list[tuple[str, str, Callable[[], list[tuple[dict[str, str], float]]]]] = []
        self._lock = threading.Lock()  # the batch histogram is fed from worker threads

    def request(self, method: str, route: str, status: int, seconds: float) -> None:
        self.requests[(("method", method), ("route", route), ("status", str(status)))] += 1
        self.latency.observe(seconds, route=route)

    def batch_size(self, codes: int, bank: str) -> None:
        with self._lock:
            self.batch.observe(codes, bank=bank)

    def gauge(self, name: str, help: str, read: Callable[[], list[tuple[dict[str, str], float]]]) -> None:
        self.gauges.append((name, help, read))

    def render(self) -> str:
        lines = [
            "# HELP brimel_requests_total HTTP requests answered.",
            "# TYPE brimel_requests_total counter",
        ]
        lines += [
            f"brimel_requests_total{_labels(key)} {count}" for key, count in sorted(self.requests.items())
        ]
        lines += self.latency.render()
        with self._lock:
            lines += self.batch.render()
        for name, help, read in self.gauges:
            lines += [f"# HELP {name} {help}", f"# TYPE {name} gauge"]
            lines += [f"{name}{_labels(tuple(sorted(labels.items())))} {value!r}" for labels, value in read()]
        return "\n".join(lines) + "\n"
