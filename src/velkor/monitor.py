"""Watching a running velkor graph: a live terminal table, Prometheus metrics,
and a picture of the task graph coloured by load.

Everything here reads the engine's counters through ``velkor.velkor.stats()``
(one snapshot of plain Python data per call) and, for the picture, the link
sets of the tasks in ``velkor_state.Tasks``; nothing here changes the engine.
Counters only grow, so a rate is the difference of two snapshots divided by
the time between them.

    live(interval=1.0, console=None)   a table in the terminal, refreshed every interval
    table(previous, current)           that table, from two snapshots (a rich renderable)
    PrometheusCollector()              a collector for a prometheus_client registry
    serve(port=9464, addr="127.0.0.1") the metrics over HTTP, until close()
    save_graph(path, keys=None, ...)   a PNG of the task graph

The module needs rich and prometheus-client: ``pip install 'velkor[monitor]'``.
"""
import math
import numbers
import threading

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

_NO_VALUE = "–"  # what a rate shows before there is an interval to measure it over


# --- differences of two snapshots ----------------------------------------------

class _Interval:
    """Two snapshots of stats() and what changed between them. Without an
    earlier snapshot (or with one taken at the same moment) there is no
    interval: every rate is None."""

    def __init__(self, previous, current):
        self.previous = previous or {}
        self.current = current
        seconds = current["time"] - previous["time"] if previous else 0.0
        self.seconds = seconds if seconds > 0 else None

    def delta(self, section, name, field):
        """How much a counter grew since the earlier snapshot. A counter lower
        than before belongs to a new object under the same name: it counted
        from zero. An object the earlier snapshot lacks counted from zero too."""
        now = self.current[section][name][field]
        before = self.previous.get(section, {}).get(name, {}).get(field, 0)
        return now if now < before else now - before

    def rate(self, section, name, field):
        """The counter's growth per second over the interval, or None."""
        if self.seconds is None:
            return None
        return self.delta(section, name, field) / self.seconds


def _short(task_key):
    """A task's name without its node: what follows the comma in its key
    ("" for a task without a runner, whose runner key is None)."""
    return "" if task_key is None else str(task_key).split(",", 1)[-1]


def _rate_text(value, digits=1):
    return _NO_VALUE if value is None else f"{value:.{digits}f}"


def _percent_text(share):
    if share is None:
        return Text(_NO_VALUE)
    style = "bold red" if share >= 0.9 else "yellow" if share >= 0.6 else ""
    return Text(f"{100 * share:.1f}", style=style)


# --- the terminal table ------------------------------------------------------

def table(previous, current):
    """The monitor's view of two stats() snapshots as a rich renderable:
    one table each for the tasks (runs/s, errors, buffered, busy and waiting
    share of the interval), the routers (dispatches per consumer: count,
    share and rate, and the items dropped), the dravels (frames taken and
    skipped per second, current delay in ms) and the runners (pending jobs).
    Rates are taken over the time between the two snapshots; `previous` may
    be None (no interval yet: rates show as "–"). Sections with nothing in
    them are left out. Print it with a rich Console, e.g.
    ``rich.console.Console().print(table(before, after))``."""
    span = _Interval(previous, current)
    title = ("velkor: no interval yet" if span.seconds is None
             else f"velkor: rates over the last {span.seconds:.2f} s")
    shown = [Text(title, style="bold")]
    for section, columns, add_rows in _SECTIONS:
        rendered = _section_table(span, section, columns, add_rows)
        if rendered is not None:
            shown += [Text(""), rendered]
    if len(shown) == 1:
        shown.append(Text("no tasks, routers, dravels or runners"))
    return Group(*shown)


def _new_table(title, *columns):
    t = Table(title=title, title_justify="left", title_style="bold cyan",
              box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
    for i, column in enumerate(columns):
        t.add_column(column, justify="left" if i == 0 or column == "consumer" else "right",
                     no_wrap=True)
    return t


def _task_rows(t, span, tasks):
    for name, row in tasks:
        busy = span.rate("tasks", name, "busy_s")
        waiting = span.rate("tasks", name, "waiting_s")
        new_errors = span.delta("tasks", name, "errors") if span.seconds else 0
        errors = Text(str(row["errors"]), style="bold red" if new_errors else "")
        t.add_row(name, _short(row["runner"]), _rate_text(span.rate("tasks", name, "runs")),
                  errors, str(row["buffered"]), _percent_text(busy), _percent_text(waiting))


def _router_rows(t, span, routers):
    for name, row in routers:
        dispatched = row["dispatched"]
        total = sum(dispatched.values())
        previous = span.previous.get("routers", {}).get(name, {}).get("dispatched", {})
        shown = name
        for consumer in sorted(dispatched):
            count = dispatched[consumer]
            share = f"{100 * count / total:.1f}" if total else _NO_VALUE
            rate = None
            if span.seconds is not None:
                before = previous.get(consumer, 0)
                rate = (count if count < before else count - before) / span.seconds
            t.add_row(shown, _short(consumer), str(count), share, _rate_text(rate))
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
_SECTIONS = (
    ("tasks", ("task", "runner", "runs/s", "errors", "buffered", "busy %", "waiting %"),
     _task_rows),
    ("routers", ("router", "consumer", "dispatched", "share %", "per s"), _router_rows),
    ("dravels", ("dravel", "taken/s", "skipped/s", "delay ms"), _dravel_rows),
    ("runners", ("runner", "pending", "submitted/s", "running"), _runner_rows),
)


def _section_table(span, section, columns, add_rows):
    """The table of one section of the snapshot, its entries sorted by name;
    None when the section is empty."""
    entries = span.current.get(section, {})
    if not entries:
        return None
    t = _new_table(section, *columns)
    add_rows(t, span, sorted(entries.items()))
    return t


# --- the live view -------------------------------------------------------------

class LiveView:
    """The live table that live() returns; a context manager (see live())."""

    def __init__(self, interval, console):
        if (isinstance(interval, bool) or not isinstance(interval, numbers.Real)
                or not math.isfinite(interval) or interval <= 0):
            raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
        self.interval = float(interval)
        """Seconds between two refreshes."""
        self._console = console
        self._live = None
        self._thread = None
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._latest = None

    def __enter__(self):
        if self._live is not None:
            raise RuntimeError("this live view is already showing")
        self._latest = engine.stats()
        view = Live(table(None, self._latest), console=self._console, auto_refresh=False)
        view.start(refresh=True)
        self._live = view
        self._stopping.clear()
        self._thread = threading.Thread(target=self._run, name="velkor monitor", daemon=True)
        try:
            self._thread.start()
        except BaseException:
            self._close()
            raise
        return self

    def __exit__(self, kind, error, trace):
        self._close()
        return False

    def _close(self):
        self._stopping.set()
        try:
            if self._thread is not None and self._thread.is_alive():
                self._thread.join()
        finally:
            self._thread = None
            view, self._live = self._live, None
            if view is not None:
                view.stop()

    def _run(self):
        while not self._stopping.wait(self.interval):
            try:
                self.refresh()
            except Exception as error:  # shown in place of the table; the next turn tries again
                with self._lock:
                    if self._live is not None and not self._stopping.is_set():
                        self._live.update(Text(f"velkor.monitor: {type(error).__name__}: {error}",
                                               style="bold red"), refresh=True)

    def refresh(self):
        """Take a snapshot now and show the rates since the one before."""
        with self._lock:
            if self._live is None:
                raise RuntimeError("the live view is not showing")
            current = engine.stats()
            renderable = table(self._latest, current)
            self._latest = current
            self._live.update(renderable, refresh=True)


def live(interval=1.0, console=None):
    """A live table of the graph in the terminal, for use as a context
    manager: entering it shows table() and starts a daemon thread that takes
    a stats() snapshot every `interval` seconds and shows the rates since
    the one before; leaving it (normally or by an exception, Ctrl-C
    included, which then goes on) stops the thread and the display, leaving
    the last table on screen. `console` is the rich Console to draw on
    (default: rich's own). `interval` must be a positive number: anything
    else raises ValueError before anything is shown.

        with velkor.monitor.live(interval=0.5):
            run_the_graph()
    """
    return LiveView(interval, console)


# --- Prometheus ----------------------------------------------------------------

# (stats field, metric name, help) of the task counters and gauges: labels
# task and runner.
_TASK_COUNTERS = (
    ("runs", "velkor_task_runs", "Calls of the task's work function started."),
    ("errors", "velkor_task_errors", "Steps of the task that ended in an error."),
    ("inserts", "velkor_task_inserts", "Data stored into the task's keyword buffer."),
    ("refused", "velkor_task_refused", "Inserts into the task's keyword buffer refused."),
    ("trimmed", "velkor_task_trimmed", "Buffer entries dropped to keep the buffer's length."),
    ("busy_s", "velkor_task_busy_seconds", "Seconds spent in the task's work function."),
    ("waiting_s", "velkor_task_waiting_seconds",
     "Seconds the task's steps waited for its consumers to be ready."),
)
_TASK_GAUGES = (
    ("buffered", "velkor_task_buffered", "Entries in the task's keyword buffer."),
    ("available", "velkor_task_available", "Starts the task accepts before it reports busy."),
)
# (stats table, label, counter or not, stats field, metric name, help) of the
# runners', routers' and dravels' single-label families.
_STAGE_FAMILIES = (
    ("runners", "runner", False, "pending", "velkor_runner_pending",
     "Jobs handed to the runner that its loop has not taken yet."),
    ("runners", "runner", False, "running", "velkor_runner_running",
     "1 while the runner's loop runs."),
    ("runners", "runner", True, "submitted", "velkor_runner_submitted",
     "Jobs handed to the runner."),
    ("routers", "router", True, "dropped", "velkor_router_dropped",
     "Items that reached no consumer."),
    ("dravels", "dravel", True, "taken", "velkor_dravel_taken",
     "Frames the dravel handed to its consumer."),
    ("dravels", "dravel", True, "skipped", "velkor_dravel_skipped",
     "Frames dropped from the dravel's buffers without being handed on."),
    ("dravels", "dravel", False, "delay", "velkor_dravel_delay_seconds",
     "Current spacing between two frames the dravel takes from one buffer."),
)


class PrometheusCollector:
    """A prometheus_client collector of velkor's counters: each collect()
    reads one stats() snapshot. Register it in a registry of your own, or let
    serve() put one in prometheus_client's default registry.

    Families (labels in brackets): velkor_task_runs_total, _errors_total,
    _inserts_total, _refused_total, _trimmed_total, _busy_seconds_total,
    _waiting_seconds_total (counters), velkor_task_buffered and
    velkor_task_available (gauges) [task, runner]; velkor_runner_pending,
    velkor_runner_running (gauges), velkor_runner_submitted_total [runner];
    velkor_router_dispatched_total [router, consumer],
    velkor_router_dropped_total [router]; velkor_dravel_taken_total,
    velkor_dravel_skipped_total (counters), velkor_dravel_delay_seconds
    (gauge) [dravel]."""

    def collect(self):
        """The metric families of one stats() snapshot."""
        return _families(engine.stats())

    def describe(self):
        """The metric families without samples: what a registry checks for
        clashing names on register(), without taking a snapshot."""
        return _families(None)


def _families(snapshot):
    """The collector's metric families, with the samples of `snapshot`
    (none when it is None)."""
    snapshot = snapshot or {}
    tasks = snapshot.get("tasks", {})
    families = []

    def family(counter, name, text, labels, rows):
        metric = (CounterMetricFamily if counter else GaugeMetricFamily)(name, text, labels=labels)
        for label_values, value in rows:
            if value is not None:  # an attribute the object lacks: no sample
                metric.add_metric(["" if v is None else str(v) for v in label_values],
                                  float(value))
        families.append(metric)

    for counter, fields in ((True, _TASK_COUNTERS), (False, _TASK_GAUGES)):
        for field, name, text in fields:
            family(counter, name, text, ["task", "runner"],
                   (([k, row["runner"]], row[field]) for k, row in tasks.items()))
    for table_name, label, counter, field, name, text in _STAGE_FAMILIES:
        family(counter, name, text, [label],
               (([k], row[field]) for k, row in snapshot.get(table_name, {}).items()))
    family(True, "velkor_router_dispatched", "Items the router handed to a consumer.",
           ["router", "consumer"],
           (([k, consumer], count) for k, row in snapshot.get("routers", {}).items()
            for consumer, count in row["dispatched"].items()))
    return families


class MetricsServer:
    """An HTTP server of velkor's metrics started by serve(); close() (or
    leaving it as a context manager) stops it."""

    def __init__(self, httpd, thread):
        self._httpd = httpd
        self._thread = thread

    @property
    def address(self):
        """(host, port) the server listens on: the port is the one the
        system chose when serve() was given port 0."""
        return self._httpd.server_address[:2]

    @property
    def port(self):
        """The port the server listens on."""
        return self._httpd.server_address[1]

    def close(self):
        """Stop the server, close its socket and wait for its thread; the
        last open server also takes velkor's collector out of the registry.
        Closing again does nothing."""
        with _serving_lock:
            if self._thread is None:
                return
            try:
                self._httpd.shutdown()
                self._httpd.server_close()
                self._thread.join()
            finally:
                self._thread = None
                _open_servers.discard(self)
                _release_collector()

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        self.close()
        return False


_serving_lock = threading.Lock()
_open_servers = set()
_registered = None  # the collector serve() put into prometheus_client.REGISTRY


def _release_collector():
    global _registered
    if not _open_servers and _registered is not None:
        prometheus_client.REGISTRY.unregister(_registered)
        _registered = None


def serve(port=9464, addr="127.0.0.1"):
    """Serve velkor's metrics (see PrometheusCollector) to Prometheus at
    http://addr:port/metrics from a daemon thread, beside whatever else
    prometheus_client's default registry holds; return the MetricsServer
    whose close() stops it. One collector is registered for all the servers
    open at a time, so serve() may be called again. A port that cannot be
    bound raises the OSError, with nothing started or registered."""
    global _registered
    with _serving_lock:
        httpd, thread = prometheus_client.start_http_server(port, addr)
        try:
            if _registered is None:
                collector = PrometheusCollector()
                try:
                    prometheus_client.REGISTRY.register(collector)
                except ValueError:
                    pass  # the caller registered a collector of these metrics already
                else:
                    _registered = collector
        except BaseException:
            httpd.shutdown()
            httpd.server_close()
            thread.join()
            raise
        server = MetricsServer(httpd, thread)
        _open_servers.add(server)
        return server


# --- the task graph as a picture ---------------------------------------------------

_graph_lock = threading.Lock()
_graph_baseline = engine.stats()  # the interval of the first save_graph starts here

_TRIGGER_COLOUR, _INCODE_COLOUR, _STOPPED_COLOUR = "black", "red", "lightgray"
_NODE_SIZE = 2000


def save_graph(path, keys=None, *, since=None, figure_size=(11, 6), dpi=100):
    """Write a PNG of the task graph to `path` (a file name or a binary
    file): trigger links as black arrows, in-code links as red arrows, each
    task labelled with its name, its runs per second over the interval and
    its error count, and coloured by the share of the interval it spent in
    its work function (a colour bar gives the scale), so the busiest stage
    stands out; stopped tasks are gray. `keys` selects the tasks (default:
    every task in velkor_state.Tasks); keys of no registered task are passed
    over. The interval starts at `since`, an earlier stats() snapshot, or
    else at the snapshot the previous picture was drawn from (for the first
    one: the snapshot taken when this module was imported). The image is
    figure_size * dpi pixels. A path that cannot be written raises the
    OSError."""
    global _graph_baseline
    current = engine.stats()
    with _graph_lock:
        previous = since if since is not None else _graph_baseline
    figure = _graph_figure(_selected(keys), _Interval(previous, current), figure_size, dpi)
    figure.savefig(path, dpi=dpi, format="png")
    with _graph_lock:
        _graph_baseline = current  # the next picture's interval starts where this one's ended


def _selected(keys):
    """The registered tasks among `keys` (all of them for None), by key, in order."""
    registered = dict(state.Tasks)
    if keys is None:
        return registered
    if isinstance(keys, str):
        keys = [keys]
    return {k: registered[k] for k in dict.fromkeys(keys) if k in registered}


def _link_graphs(tasks):
    """(every task, trigger links, in-code links) as networkx digraphs,
    links to tasks outside `tasks` left out. A link is kept when either end
    names it, as the engine keeps both ends in step."""
    import networkx

    whole = networkx.DiGraph()
    whole.add_nodes_from(tasks)
    trigger, incode = networkx.DiGraph(), networkx.DiGraph()
    for graph, out_set, in_set in ((trigger, "output_tasks", "input_tasks"),
                                   (incode, "incode_output_tasks", "incode_input_tasks")):
        graph.add_nodes_from(tasks)
        for k, task in tasks.items():
            for other in list(getattr(task, out_set, ())):
                if other in tasks:
                    graph.add_edge(k, other)
            for other in list(getattr(task, in_set, ())):
                if other in tasks:
                    graph.add_edge(other, k)
        whole.add_edges_from(graph.edges)
    return whole, trigger, incode


def _layout(graph):
    """Positions of the nodes: each weakly connected component laid out with
    kamada_kawai_layout and sized by its number of nodes, the components put
    in rows side by side, the largest first."""
    import networkx

    components = sorted((sorted(c) for c in networkx.weakly_connected_components(graph)),
                        key=lambda c: (-len(c), c))
    halves = [max(0.6, math.sqrt(len(c))) for c in components]  # half the side of each box
    row_width = max([2 * h for h in halves] + [math.sqrt(sum(4 * h * h for h in halves) * 1.8)])
    pos, x, y, row_height = {}, 0.0, 0.0, 0.0
    for component, half in zip(components, halves):
        if x > 0 and x + 2 * half > row_width:
            x, y, row_height = 0.0, y - row_height, 0.0
        laid = networkx.kamada_kawai_layout(graph.subgraph(component).to_undirected(),
                                            scale=half * 0.6)
        for node, (px, py) in laid.items():
            pos[node] = (x + half + px, y - half + py)
        x += 2 * half
        row_height = max(row_height, 2 * half)
    return pos


def _graph_figure(tasks, span, figure_size, dpi):
    """The figure of save_graph: a matplotlib Figure on the Agg canvas, of
    no pyplot state."""
    import networkx
    from matplotlib import colormaps
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    figure = Figure(figsize=figure_size, dpi=dpi)
    FigureCanvasAgg(figure)
    ax = figure.add_subplot()
    ax.set_axis_off()
    colour_map, norm = colormaps["YlOrRd"], Normalize(0.0, 1.0)
    stats = span.current.get("tasks", {})
    whole, trigger, incode = _link_graphs(tasks)
    pos = _layout(whole)

    colours, labels = [], {}
    for k, task in tasks.items():
        row = stats.get(k)
        runs = span.rate("tasks", k, "runs") if row else None
        busy = min(span.rate("tasks", k, "busy_s") or 0.0, 1.0) if row else 0.0
        stopped = getattr(task, "stop_flag", 0) == 1
        colours.append(_STOPPED_COLOUR if stopped else colour_map(norm(busy)))
        errors = row["errors"] if row else _NO_VALUE
        labels[k] = (f"{_short(k)}\n{_rate_text(runs)}/s\n{errors} err",
                     "white" if busy > 0.6 and not stopped else "black")

    if tasks:
        networkx.draw_networkx_nodes(whole, pos, nodelist=list(tasks), node_color=colours,
                                     node_size=_NODE_SIZE, edgecolors="dimgray", ax=ax)
        for graph, colour, bend in ((trigger, _TRIGGER_COLOUR, 0.1),
                                    (incode, _INCODE_COLOUR, 0.25)):
            if graph.number_of_edges():
                networkx.draw_networkx_edges(graph, pos, edge_color=colour, arrows=True,
                                             arrowstyle="-|>", arrowsize=14,
                                             node_size=_NODE_SIZE,
                                             connectionstyle=f"arc3,rad={bend}", ax=ax)
        for k, (text, colour) in labels.items():
            ax.text(*pos[k], text, color=colour, fontsize=7, ha="center", va="center")
        xs, ys = zip(*pos.values())
        ax.set_xlim(min(xs) - 0.9, max(xs) + 0.9)
        ax.set_ylim(min(ys) - 0.9, max(ys) + 0.9)
    else:
        ax.text(0.5, 0.5, "no tasks", ha="center", va="center", transform=ax.transAxes)

    title = ("no interval: rates unknown" if span.seconds is None
             else f"over the last {span.seconds:.2f} s")
    ax.set_title(f"velkor tasks, {title}", fontsize=10)
    bar = figure.colorbar(ScalarMappable(norm=norm, cmap=colour_map), ax=ax,
                          fraction=0.03, pad=0.02)
    bar.set_label("busy share of the interval", fontsize=8)
    bar.ax.tick_params(labelsize=7)
    ax.legend(handles=[Line2D([], [], color=_TRIGGER_COLOUR, label="trigger link"),
                       Line2D([], [], color=_INCODE_COLOUR, label="in-code link"),
                       Patch(facecolor=_STOPPED_COLOUR, edgecolor="dimgray", label="stopped")],
              loc="lower left", fontsize=7, frameon=False)
    return figure
