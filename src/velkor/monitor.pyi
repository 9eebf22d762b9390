"""Watching a running velkor graph: a live terminal table, Prometheus metrics,
and a picture of the task graph coloured by load."""
import threading
from collections.abc import Iterable
from os import PathLike
from types import TracebackType
from typing import IO, Any, Self

from prometheus_client.metrics_core import Metric
from rich.console import Console, Group

__all__ = ["live", "table", "PrometheusCollector", "serve", "save_graph",
           "LiveView", "MetricsServer"]

# What velkor.velkor.stats() returns: "time" (time.monotonic()) and the
# "tasks", "runners", "routers" and "dravels" tables.
_Snapshot = dict[str, Any]
_ExcType = type[BaseException] | None
_Exc = BaseException | None
_Trace = TracebackType | None

def table(previous: _Snapshot | None, current: _Snapshot) -> Group:
    """The monitor's view of two stats() snapshots as a rich renderable:
    tasks, routers, dravels and runners, rates over the time between the
    snapshots (none without `previous`)."""

class LiveView:
    """The live table that live() returns; a context manager."""

    interval: float
    """Seconds between two refreshes."""

    def __init__(self, interval: float, console: Console | None) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, kind: _ExcType, error: _Exc, trace: _Trace) -> None: ...
    def refresh(self) -> None:
        """Take a snapshot now and show the rates since the one before."""

def live(interval: float = 1.0, console: Console | None = None) -> LiveView:
    """A live table of the graph in the terminal, refreshed every `interval`
    seconds by a daemon thread while the context manager is entered."""

class PrometheusCollector:
    """A prometheus_client collector of velkor's counters: each collect()
    reads one stats() snapshot."""

    def collect(self) -> list[Metric]:
        """The metric families of one stats() snapshot."""


class MetricsServer:
    """An HTTP server of velkor's metrics started by serve()."""

    port: int
    """The port the server listens on (the one the system chose for port 0)."""

    def __init__(self, httpd: Any, thread: threading.Thread) -> None: ...
    def close(self) -> None:
        """Stop the server, close its socket and wait for its thread."""

    def __enter__(self) -> Self: ...
    def __exit__(self, kind: _ExcType, error: _Exc, trace: _Trace) -> None: ...

def serve(port: int = 9464, addr: str = "127.0.0.1") -> MetricsServer:
    """Serve velkor's metrics at http://addr:port/metrics until close()."""

def save_graph(
    path: str | PathLike[str] | IO[bytes],
    keys: Iterable[str] | str | None = None,
    *,
    since: _Snapshot | None = None,
    figure_size: tuple[float, float] = (11, 6),
    dpi: float = 100,
) -> None:
    """Write a PNG of the task graph, tasks coloured by their busy share and
    labelled with their runs per second and errors over the interval."""
