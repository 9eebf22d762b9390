"""Watching a running velkor graph: a live terminal table (live, table),
Prometheus metrics (PrometheusCollector, serve) and a picture of the task
graph coloured by load (save_graph). Presentation only: it reads the engine's
counters through ``velkor.velkor.stats()`` (counters only grow, so a rate is
the difference of two snapshots) and, for the picture, the tasks' link sets.
It needs rich and prometheus-client: ``pip install 'velkor[monitor]'``.
"""
import math
import numbers
import threading

import networkx
from matplotlib import colormaps
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.cm import ScalarMappable
from matplotlib.colors import Normalize
from matplotlib.figure import Figure

try:
    import prometheus_client
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
    from rich import box
    from rich.console import Group
    from rich.live import Live
    from rich.table import Table
    from rich.text import Text
except ImportError as _error:
    raise ImportError(
        "velkor.monitor needs rich and prometheus-client: pip install 'velkor[monitor]'",
        name=_error.name) from _error

from velkor import velkor as engine
from velkor import velkor_state as state

__all__ = ["live", "table", "PrometheusCollector", "serve", "save_graph",
           "LiveView", "MetricsServer"]

_NO_VALUE = "–"  # a rate before there is an interval to measure it over


class _Interval:
    """Two snapshots and what changed between them; without an earlier
    snapshot (or one of the same moment) every rate is None."""

    def __init__(self, previous, current):
        self.previous, self.current = previous or {}, current
        seconds = current["time"] - previous["time"] if previous else 0.0
        self.seconds = seconds if seconds > 0 else None

    def delta(self, section, name, field):
        """How much a counter grew. One lower than before, or missing before,
        belongs to a new object under that name: it counted from zero."""
        now = self.current[section][name][field]
        before = self.previous.get(section, {}).get(name, {}).get(field, 0)
        return now if now < before else now - before

    def rate(self, section, name, field):
        """The counter's growth per second over the interval, or None."""
        return None if self.seconds is None else self.delta(section, name, field) / self.seconds


def _short(key):  # what follows the comma of a key
    return "" if key is None else str(key).split(",", 1)[-1]


def _rate_text(value, digits=1):
    return _NO_VALUE if value is None else f"{value:.{digits}f}"


def _percent_text(share):
    if share is None:
        return Text(_NO_VALUE)
    return Text(f"{100 * share:.1f}",
                style="bold red" if share >= 0.9 else "yellow" if share >= 0.6 else "")


# --- the terminal table ------------------------------------------------------

def _task_rows(t, span, tasks):
    for name, row in tasks:
        grew = span.seconds and span.delta("tasks", name, "errors")
        t.add_row(name, _short(row["runner"]), _rate_text(span.rate("tasks", name, "runs")),
                  Text(str(row["errors"]), style="bold red" if grew else ""),
                  str(row["buffered"]), _percent_text(span.rate("tasks", name, "busy_s")),
                  _percent_text(span.rate("tasks", name, "waiting_s")))


def _router_rows(t, span, routers):
    for name, row in routers:
        dispatched, shown = row["dispatched"], name
        total = sum(dispatched.values())
        earlier = span.previous.get("routers", {}).get(name, {}).get("dispatched", {})
        for consumer in sorted(dispatched):
            count, before = dispatched[consumer], earlier.get(consumer, 0)
            rate = None if span.seconds is None else (
                (count if count < before else count - before) / span.seconds)
            t.add_row(shown, _short(consumer), str(count),
                      f"{100 * count / total:.1f}" if total else _NO_VALUE, _rate_text(rate))
            shown = ""
        t.add_row(shown, Text("(dropped)", style="dim"), str(row["dropped"]), "",
                  _rate_text(span.rate("routers", name, "dropped")), end_section=True)


def _dravel_rows(t, span, dravels):
    for name, row in dravels:
        delay = row["delay"]
        t.add_row(name, _rate_text(span.rate("dravels", name, "taken")),
                  _rate_text(span.rate("dravels", name, "skipped")),
                  _rate_text(None if delay is None else 1000 * delay, 2))


def _runner_rows(t, span, runners):
    for name, row in runners:
        t.add_row(name, str(row["pending"]), _rate_text(span.rate("runners", name, "submitted")),
                  "yes" if row["running"] else Text("no", style="dim"))


# (section of the snapshot, its columns, what adds its rows), in the order shown.
_SECTIONS = (("tasks", ("task", "runner", "runs/s", "errors", "buffered", "busy %",
                        "waiting %"), _task_rows),
             ("routers", ("router", "consumer", "dispatched", "share %", "per s"), _router_rows),
             ("dravels", ("dravel", "taken/s", "skipped/s", "delay ms"), _dravel_rows),
             ("runners", ("runner", "pending", "submitted/s", "running"), _runner_rows))


def table(previous, current):
    """The monitor's view of two stats() snapshots as a rich renderable: the
    tasks (runs/s, errors, buffered, busy and waiting share of the interval),
    the routers (dispatches per consumer: count, share and rate; items
    dropped), the dravels (frames taken and skipped per second, delay in ms)
    and the runners (pending jobs). `previous` may be None: rates show "–".
    Print it with ``rich.console.Console().print(table(before, after))``."""
    span = _Interval(previous, current)
    shown = [Text("velkor: no interval yet" if span.seconds is None
                  else f"velkor: rates over the last {span.seconds:.2f} s", style="bold")]
    for section, columns, add_rows in _SECTIONS:
        entries = current.get(section, {})
        if not entries:
            continue
        t = Table(title=section, title_justify="left", title_style="bold cyan",
                  box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
        for i, column in enumerate(columns):
            t.add_column(column, justify="left" if i == 0 or column == "consumer" else "right",
                         no_wrap=True)
        add_rows(t, span, sorted(entries.items()))
        shown += [Text(""), t]
    if len(shown) == 1:
        shown.append(Text("no tasks, routers, dravels or runners"))
    return Group(*shown)


# --- the live view -------------------------------------------------------------

class LiveView:
    """The live table that live() returns; a context manager (see live())."""

    def __init__(self, interval, console):
        if (isinstance(interval, bool) or not isinstance(interval, numbers.Real)
                or not math.isfinite(interval) or interval <= 0):
            raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
        self.interval = float(interval)  # seconds between two refreshes
        self._console, self._live, self._thread, self._latest = console, None, None, None
        self._stopping, self._lock = threading.Event(), threading.Lock()

    def __enter__(self):
        self._latest = engine.stats()
        self._live = Live(table(None, self._latest), console=self._console, auto_refresh=False)
        self._live.start(refresh=True)
        self._stopping.clear()
        self._thread = threading.Thread(target=self._run, name="velkor monitor", daemon=True)
        self._thread.start()
        return self

    def __exit__(self, kind, error, trace):
        self._stopping.set()
        if self._thread is not None and self._thread.is_alive():
            self._thread.join()
        self._thread = None
        view, self._live = self._live, None
        if view is not None:
            view.stop()  # the last table stays on screen

    def _run(self):
        while not self._stopping.wait(self.interval):
            try:
                self.refresh()
            except Exception as error:  # shown instead of the table; the next turn tries again
                with self._lock:
                    if self._live is not None and not self._stopping.is_set():
                        self._live.update(Text(f"velkor.monitor: {error!r}", style="red"))

    def refresh(self):
        """Take a snapshot now and show the rates since the one before."""
        with self._lock:
            if self._live is None:
                raise RuntimeError("the live view is not showing")
            current = engine.stats()
            self._live.update(table(self._latest, current), refresh=True)
            self._latest = current


def live(interval=1.0, console=None):
    """``with live(interval):`` shows table() in the terminal (on `console`,
    a rich Console, or rich's own), refreshed by a daemon thread every
    `interval` seconds with the rates since the refresh before. Leaving the
    block, also by an exception (Ctrl-C included, which goes on), stops the
    thread and leaves the last table on screen. An interval that is not a
    positive number raises ValueError at once."""
    return LiveView(interval, console)


# --- Prometheus ----------------------------------------------------------------

# (section, counter?, stats field, metric name, help) of every family but the
# routers' dispatches. Labels: the entry's key under the section's label, and
# for a task its runner.
_FAMILIES = tuple(("tasks", True, f, f"velkor_task_{m}", h) for f, m, h in (
    ("runs", "runs", "Calls of the task's work function started."),
    ("errors", "errors", "Steps of the task that ended in an error."),
    ("inserts", "inserts", "Data stored into the task's keyword buffer."),
    ("refused", "refused", "Inserts into the task's keyword buffer refused."),
    ("trimmed", "trimmed", "Buffer entries dropped to keep the buffer's length."),
    ("busy_s", "busy_seconds", "Seconds spent in the task's work function."),
    ("waiting_s", "waiting_seconds", "Seconds the task's steps waited for consumers."))) + (
    ("tasks", False, "buffered", "velkor_task_buffered", "Entries in the keyword buffer."),
    ("tasks", False, "available", "velkor_task_available", "Starts the task accepts now."),
    ("runners", False, "pending", "velkor_runner_pending", "Jobs its loop has not taken yet."),
    ("runners", False, "running", "velkor_runner_running", "1 while the runner's loop runs."),
    ("runners", True, "submitted", "velkor_runner_submitted", "Jobs handed to the runner."),
    ("routers", True, "dropped", "velkor_router_dropped", "Items that reached no consumer."),
    ("dravels", True, "taken", "velkor_dravel_taken", "Frames handed to the consumer."),
    ("dravels", True, "skipped", "velkor_dravel_skipped", "Frames dropped, not handed on."),
    ("dravels", False, "delay", "velkor_dravel_delay_seconds", "Spacing of frames now."))
_LABELS = {"tasks": ["task", "runner"], "runners": ["runner"], "routers": ["router"],
           "dravels": ["dravel"]}


def _family(counter, name, text, labels, samples):
    """A metric family; prometheus_client adds "_total" to a counter's samples."""
    metric = (CounterMetricFamily if counter else GaugeMetricFamily)(name, text, labels=labels)
    for values, value in samples:
        if value is not None:  # an attribute the object lacks: no sample
            metric.add_metric(["" if v is None else str(v) for v in values], float(value))
    return metric


class PrometheusCollector:
    """A prometheus_client collector of velkor's counters, one stats()
    snapshot per collect(): velkor_task_* (labels task, runner),
    velkor_runner_* (runner), velkor_router_* (router; the dispatches also
    consumer) and velkor_dravel_* (dravel), one family per field."""

    def collect(self):
        """The metric families of one stats() snapshot."""
        snapshot = engine.stats()
        return [_family(counter, name, text, _LABELS[section],
                        (((k, row.get("runner"))[:len(_LABELS[section])], row[field])
                         for k, row in snapshot[section].items()))
                for section, counter, field, name, text in _FAMILIES] + [
            _family(True, "velkor_router_dispatched", "Items the router handed to a consumer.",
                    ["router", "consumer"], (([k, consumer], n)
                                             for k, row in snapshot["routers"].items()
                                             for consumer, n in row["dispatched"].items()))]


class MetricsServer:
    """An HTTP server of velkor's metrics started by serve(); close() (or
    leaving it as a context manager) stops it."""

    def __init__(self, httpd, thread):
        self._httpd, self._thread = httpd, thread
        self.port = httpd.server_address[1]  # the one the system chose for port 0

    def close(self):
        """Stop the server and wait for its thread; the last open server also
        takes velkor's collector out of the registry. Again: nothing."""
        global _registered
        with _serving:
            if self._thread is None:
                return
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._thread = None
            _open.discard(self)
            if not _open and _registered is not None:
                prometheus_client.REGISTRY.unregister(_registered)
                _registered = None

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        self.close()


_serving = threading.Lock()
_open = set()
_registered = None  # the collector serve() put into prometheus_client.REGISTRY


def serve(port=9464, addr="127.0.0.1"):
    """Serve velkor's metrics (PrometheusCollector, in prometheus_client's
    default registry while a server is open) at http://addr:port/metrics from
    a daemon thread until the returned MetricsServer is closed. A port that
    cannot be bound raises the OSError, with nothing started or registered."""
    global _registered
    with _serving:
        httpd, thread = prometheus_client.start_http_server(port, addr)
        if _registered is None:
            try:
                prometheus_client.REGISTRY.register(collector := PrometheusCollector())
                _registered = collector
            except ValueError:
                pass  # the caller registered these metrics already
        server = MetricsServer(httpd, thread)
        _open.add(server)
        return server


# --- the task graph as a picture ---------------------------------------------------

_graph_baseline = engine.stats()  # where the first picture's interval starts


def save_graph(path, keys=None, *, since=None, figure_size=(11, 6), dpi=100):
    """Write a PNG (figure_size * dpi pixels) of the task graph to `path`, a
    file name or binary file, drawn as the graph view draws it: each task
    labelled with its runs per second and its errors, coloured by its busy
    share of the interval. `keys` selects tasks (default: all registered;
    unregistered keys are passed over). The interval starts at `since`, an
    earlier stats() snapshot, else at the previous picture's (the first
    time: at this module's import). An unwritable path raises the OSError."""
    global _graph_baseline
    current, previous = engine.stats(), _graph_baseline if since is None else since
    registered = dict(state.Tasks)
    keys = registered if keys is None else [keys] if isinstance(keys, str) else keys
    tasks = {k: registered[k] for k in dict.fromkeys(keys) if k in registered}
    figure = _graph_figure(tasks, _Interval(previous, current), figure_size, dpi)
    figure.savefig(path, dpi=dpi, format="png")
    _graph_baseline = current


def _layout(graph):
    """Each weakly connected component laid out with kamada_kawai_layout
    (one layout of all would squeeze each part into a point), side by side,
    the largest first, each as wide as the root of its size."""
    pos, x = {}, 0.0
    for part in sorted(networkx.weakly_connected_components(graph), key=lambda c: -len(c)):
        half = max(0.6, math.sqrt(len(part)))
        laid = networkx.kamada_kawai_layout(graph.subgraph(part).to_undirected(), scale=half * 0.6)
        pos.update({node: (x + half + px, py) for node, (px, py) in laid.items()})
        x += 2 * half
    return pos


def _graph_figure(tasks, span, figure_size, dpi):
    """save_graph's figure: a matplotlib Figure on the Agg canvas, no pyplot state."""
    figure = Figure(figsize=figure_size, dpi=dpi)
    FigureCanvasAgg(figure)
    ax = figure.add_subplot()
    ax.set_axis_off()
    colours = colormaps["YlOrRd"]
    whole, links = networkx.DiGraph(), {}
    whole.add_nodes_from(tasks)
    for colour, out_set, in_set in (("black", "output_tasks", "input_tasks"),
                                    ("red", "incode_output_tasks", "incode_input_tasks")):
        # Both ends of a link name it; either is enough.
        edges = {(k, o) for k, t in tasks.items() for o in list(getattr(t, out_set, ()))}
        edges |= {(o, k) for k, t in tasks.items() for o in list(getattr(t, in_set, ()))}
        links[colour] = [(a, b) for a, b in edges if a in tasks and b in tasks]
        whole.add_edges_from(links[colour])
    pos = _layout(whole)
    fills = []
    for k, task in tasks.items():
        row = span.current.get("tasks", {}).get(k)
        busy = min(span.rate("tasks", k, "busy_s") or 0.0, 1.0) if row else 0.0
        stopped = getattr(task, "stop_flag", 0) == 1
        fills.append("lightgray" if stopped else colours(busy))
        runs = _rate_text(span.rate("tasks", k, "runs") if row else None)
        ax.text(*pos[k], f"{_short(k)}\n{runs}/s\n{row['errors'] if row else _NO_VALUE} err",
                color="white" if busy > 0.6 and not stopped else "black",
                fontsize=7, ha="center", va="center", zorder=3)
    networkx.draw_networkx_nodes(whole, pos, nodelist=list(tasks), node_color=fills,
                                 node_size=2000, edgecolors="dimgray", ax=ax)
    for colour, bend in (("black", 0.1), ("red", 0.25)):
        networkx.draw_networkx_edges(whole, pos, edgelist=links[colour], edge_color=colour,
                                     arrows=True, arrowstyle="-|>", arrowsize=14, node_size=2000,
                                     ax=ax, connectionstyle=f"arc3,rad={bend}")
    xs, ys = zip(*pos.values()) if pos else ((0,), (0,))
    ax.set_xlim(min(xs) - 0.9, max(xs) + 0.9)
    ax.set_ylim(min(ys) - 0.9, max(ys) + 0.9)
    ax.set_title("velkor tasks " + ("(no interval: rates unknown)" if span.seconds is None
                                    else f"over the last {span.seconds:.2f} s") +
                 "\nblack arrows: trigger links, red: in-code links, gray: stopped", fontsize=9)
    bar = figure.colorbar(ScalarMappable(Normalize(0.0, 1.0), colours), ax=ax, fraction=0.03,
                          pad=0.02)
    bar.set_label("busy share of the interval", fontsize=8)
    return figure
