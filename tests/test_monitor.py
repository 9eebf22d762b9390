"""velkor.monitor on the engine's own counters: the live view's thread, the
metrics over HTTP and the picture of the task graph; made-up snapshots only
where the presentation of given numbers is checked."""
import ast
import io
import math
import socket
import struct
import threading
import time
import urllib.request
from pathlib import Path

import prometheus_client
import pytest
from matplotlib import colormaps, pyplot
from prometheus_client.parser import text_string_to_metric_families
from rich.console import Console

from velkor import monitor
from velkor import velkor as engine
from velkor import velkor_state as S
from velkor.router import router

from helpers import DISPATCH, available, key, make_task, run_python, settle, wait_until


@pytest.fixture
def graph(make_runner):
    """a -> b (a trigger link) on one runner, and a router "split" feeding b;
    graph(n) runs a and the router n times each and waits until b ran 2n times."""
    runner, done = make_runner("work"), []
    a = make_task("a", runner, task=lambda: time.sleep(0.002))
    b = make_task("b", runner, task=lambda **kw: done.append(kw))
    a.insert_output_tasks([b.name])
    split = S.Tasks[key(router("split", [b.name]).name)]

    def feed(n):
        first = len(done)
        for i in range(n):
            wait_until(lambda: available(a) and available(split))
            a.run()
            split.insert_kwargs_buffer({"i": i}, f"t{i}")
            split.run(f"t{i}")
        wait_until(lambda: len(done) == first + 2 * n, message="b to run")
        settle(runner, S.loop_threads[DISPATCH], turns=3)

    feed.keys = [a.name, b.name, split.name]
    return feed


STEP = {"runs": 10, "errors": 1, "busy_s": 0.75, "waiting_s": 0.125, "submitted": 11,
        "describe_1": 6, "describe_2": 2, "dropped": 1, "taken": 40, "skipped": 4}


def made_up(step, detect_runs=None):
    """A snapshot `step` steps of 2 s into a made-up graph: every counter grew
    by its STEP value per step."""
    n = {field: value * step for field, value in STEP.items()}
    task = dict(runs=n["runs"] if detect_runs is None else detect_runs, errors=n["errors"],
                inserts=n["runs"], refused=0, trimmed=0, buffered=3, busy_s=n["busy_s"],
                waiting_s=n["waiting_s"], available=1, runner="node_0,vision")
    idle = dict(task, runs=0, errors=0, busy_s=0.0, waiting_s=0.0, available=None, runner=None)
    return {"time": 100.0 + 2 * step, "tasks": {"node_0,detect": task, "node_0,idle": idle},
            "runners": {"node_0,vision": {"submitted": n["submitted"], "pending": 2,
                                          "running": True}},
            "routers": {"router_split": {"dropped": n["dropped"], "dispatched": {
                f"node_0,{c}": n[c] for c in ("describe_1", "describe_2")}}},
            "dravels": {"cameras": {"taken": n["taken"], "skipped": n["skipped"],
                                    "delay": 0.0045}}}


def rows(text):
    """The cells of each line of a printed table, by the line's first cell."""
    return {line.split()[0]: line.split() for line in text.splitlines() if line.strip()}


def printed(renderable):
    console = Console(record=True, file=io.StringIO(), width=160)
    console.print(renderable)
    return console.export_text()


@pytest.mark.parametrize("library", ["rich", "prometheus_client"])
def test_importing_without_a_library_of_the_extra_names_the_extra(library):
    proc = run_python(f"import sys\nsys.modules[{library!r}] = None\nimport velkor.monitor")
    assert proc.returncode == 1
    assert ("ImportError: velkor.monitor needs rich and prometheus-client: "
            "pip install 'velkor[monitor]'") in proc.stderr


def test_the_stub_names_the_public_api():
    stub = ast.parse((Path(monitor.__file__).with_suffix(".pyi")).read_text())
    assert {n.name for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))} == set(
        monitor.__all__)
    assert all(getattr(monitor, name).__doc__ for name in monitor.__all__)


# --- the table ----------------------------------------------------------------------

def test_the_table_shows_rates_and_shares_over_the_interval():
    seen = rows(printed(monitor.table(made_up(1), made_up(3))))  # two steps: 4 s
    per_s = {field: f"{value / 2:.1f}" for field, value in STEP.items()}
    share = {f: f"{100 * STEP[f] / 2:.1f}" for f in ("busy_s", "waiting_s")}
    assert seen["node_0,detect"] == ["node_0,detect", "vision", per_s["runs"],
                                     str(3 * STEP["errors"]), "3", share["busy_s"],
                                     share["waiting_s"]]
    assert seen["node_0,idle"] == ["node_0,idle", "0.0", "0", "3", "0.0", "0.0"]
    total = 3 * (STEP["describe_1"] + STEP["describe_2"])
    assert seen["router_split"][:2] == ["router_split", "describe_1"]  # then describe_2 alone
    for consumer, row in (("describe_1", seen["router_split"][1:]),
                          ("describe_2", seen["describe_2"])):
        assert row == [consumer, str(3 * STEP[consumer]),
                       f"{100 * 3 * STEP[consumer] / total:.1f}", per_s[consumer]]
    assert seen["(dropped)"][1:] == [str(3 * STEP["dropped"]), per_s["dropped"]]
    assert seen["cameras"][1:] == [per_s["taken"], per_s["skipped"], "4.50"]
    assert seen["node_0,vision"][1:] == ["2", per_s["submitted"], "yes"]


def test_a_counter_lower_than_before_counted_from_zero_and_no_interval_shows_no_rates():
    seen = rows(printed(monitor.table(made_up(1, detect_runs=50), made_up(2, detect_runs=8))))
    assert seen["node_0,detect"][2] == f"{8 / 2:.1f}"
    seen = rows(printed(monitor.table(None, made_up(2))))
    assert seen["node_0,detect"][2:] == ["–", str(2 * STEP["errors"]), "3", "–", "–"]
    assert seen["cameras"][1:] == ["–", "–", "4.50"]


# --- the live view ------------------------------------------------------------------

def monitor_threads():
    return [t for t in threading.enumerate() if t.name == "velkor monitor"]


@pytest.fixture
def stats_calls(monkeypatch):
    """The engine's stats(), recording the thread of each call."""
    calls, real = [], engine.stats
    monkeypatch.setattr(engine, "stats",
                        lambda: calls.append(threading.current_thread().name) or real())
    return calls


def test_the_live_view_refreshes_from_its_thread_and_stops_on_leaving(graph, stats_calls):
    console = Console(record=True, file=io.StringIO(), width=160)
    with monitor.live(interval=0.02, console=console) as view:
        assert len(monitor_threads()) == 1
        graph(5)
        wait_until(lambda: stats_calls.count("velkor monitor") >= 3, message="refreshes")
    assert not monitor_threads()
    seen = rows(console.export_text())  # a file console shows the last table when stopped
    assert set(graph.keys) <= set(seen) and "node_0,work" in seen
    with pytest.raises(RuntimeError):
        view.refresh()


def test_ctrl_c_in_the_live_view_stops_it_and_goes_on(stats_calls):
    console = Console(record=True, file=io.StringIO())
    with pytest.raises(KeyboardInterrupt):
        with monitor.live(interval=0.01, console=console):
            wait_until(lambda: "velkor monitor" in stats_calls)
            raise KeyboardInterrupt
    assert not monitor_threads() and "velkor:" in console.export_text()


@pytest.mark.parametrize("interval", [0, -1.0, math.nan, math.inf, "1", None, True])
def test_a_live_interval_that_is_no_positive_number_raises_first(interval, stats_calls):
    with pytest.raises(ValueError, match="interval"):
        monitor.live(interval=interval)
    assert not stats_calls and not monitor_threads()


# --- Prometheus -------------------------------------------------------------------------

TASK_SAMPLES = {"runs": "runs_total", "errors": "errors_total", "inserts": "inserts_total",
                "refused": "refused_total", "trimmed": "trimmed_total",
                "busy_s": "busy_seconds_total", "waiting_s": "waiting_seconds_total",
                "buffered": "buffered", "available": "available"}


def expected_samples(snapshot):
    """Every number of the snapshot under its sample name and labels."""
    out = {}
    for k, t in snapshot["tasks"].items():
        for field, name in TASK_SAMPLES.items():
            if t[field] is not None:
                out[f"velkor_task_{name}", (("runner", t["runner"] or ""), ("task", k))] = t[field]
    for k, r in snapshot["runners"].items():
        for field, name in [("pending", "pending"), ("submitted", "submitted_total"),
                            ("running", "running")]:
            out[f"velkor_runner_{name}", (("runner", k),)] = r[field]
    for k, r in snapshot["routers"].items():
        for consumer, n in r["dispatched"].items():
            out["velkor_router_dispatched_total", (("consumer", consumer), ("router", k))] = n
        out["velkor_router_dropped_total", (("router", k),)] = r["dropped"]
    for k, d in snapshot["dravels"].items():
        for field, name in [("taken", "taken_total"), ("skipped", "skipped_total"),
                            ("delay", "delay_seconds")]:
            out[f"velkor_dravel_{name}", (("dravel", k),)] = d[field]
    return out


def samples(text):
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples
            if s.name.startswith("velkor_")}


def test_the_collector_exposes_every_number_of_a_snapshot(monkeypatch):
    snapshot = made_up(3)
    monkeypatch.setattr(engine, "stats", lambda: snapshot)
    registry = prometheus_client.CollectorRegistry()
    registry.register(monitor.PrometheusCollector())
    text = prometheus_client.generate_latest(registry).decode()
    assert samples(text) == expected_samples(snapshot)
    kinds = {s.name: f.type for f in text_string_to_metric_families(text) for s in f.samples}
    assert {kinds[name] for name, _ in samples(text) if name.endswith("_total")} == {"counter"}
    assert {kinds[name] for name, _ in samples(text) if not name.endswith("_total")} == {"gauge"}


def registered():
    return samples(prometheus_client.generate_latest().decode())


def test_serve_scrapes_what_stats_counts_until_closed(graph):
    graph(4)
    threads = set(threading.enumerate())
    with monitor.serve(port=0) as server, monitor.serve(port=0) as second:
        url = f"http://127.0.0.1:{server.port}/metrics"
        with urllib.request.urlopen(url, timeout=5) as reply:
            scraped = samples(reply.read().decode())
        assert scraped == expected_samples(engine.stats())
        assert scraped["velkor_task_runs_total", (("runner", key("work")), ("task", key("b")))] == 8
        second.close()
        assert registered()  # still served by the first
    wait_until(lambda: set(threading.enumerate()) <= threads, message="the servers' threads to end")
    assert not registered()
    with pytest.raises(OSError):
        urllib.request.urlopen(url, timeout=5)


def test_serve_on_a_port_in_use_raises_and_starts_nothing(graph):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        threads = set(threading.enumerate())
        with pytest.raises(OSError):
            monitor.serve(port=taken.getsockname()[1])
    assert set(threading.enumerate()) == threads and not registered()


# --- the picture of the graph ---------------------------------------------------------------

@pytest.mark.parametrize("figure_size, dpi", [((11, 6), 100), ((4, 3), 50)])
def test_the_picture_is_figure_size_times_dpi_and_leaves_no_figure_open(graph, tmp_path,
                                                                       figure_size, dpi):
    graph(2)
    figures = pyplot.get_fignums()
    monitor.save_graph(tmp_path / "g.png", figure_size=figure_size, dpi=dpi)
    header = (tmp_path / "g.png").read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", header[16:24]) == (figure_size[0] * dpi, figure_size[1] * dpi)
    with pytest.raises(FileNotFoundError):
        monitor.save_graph(tmp_path / "missing" / "g.png")
    assert pyplot.get_fignums() == figures


def test_unregistered_keys_are_passed_over(graph, tmp_path, monkeypatch):
    snapshot = engine.stats()
    monkeypatch.setattr(engine, "stats", lambda: snapshot)  # the same numbers in every picture
    monitor.save_graph(tmp_path / "1.png", [key("nobody"), *graph.keys, key("gone")],
                       since=snapshot)
    monitor.save_graph(tmp_path / "2.png", graph.keys, since=snapshot)
    monitor.save_graph(tmp_path / "3.png", graph.keys[:2], since=snapshot)
    assert (tmp_path / "1.png").read_bytes() == (tmp_path / "2.png").read_bytes()
    assert (tmp_path / "2.png").read_bytes() != (tmp_path / "3.png").read_bytes()


def coloured(path, share):
    """How many pixels of the picture have the colour of a busy share."""
    image = pyplot.imread(path)[..., :3]
    return int((abs(image - colormaps["YlOrRd"](share)[:3]) < 2 / 255).all(axis=-1).sum())


def test_a_task_is_coloured_by_its_busy_share_since_the_previous_picture(make_runner, tmp_path,
                                                                         monkeypatch):
    make_task("detect", make_runner())
    steps = iter([made_up(1), made_up(2), made_up(3)])
    monkeypatch.setattr(engine, "stats", lambda: next(steps))
    share = STEP["busy_s"] / 2
    monitor.save_graph(tmp_path / "1.png", ["node_0,detect"])  # since a real snapshot
    monitor.save_graph(tmp_path / "2.png", ["node_0,detect"])  # since made_up(1)
    monitor.save_graph(tmp_path / "3.png", ["node_0,detect"], since=made_up(3))  # no interval
    assert coloured(tmp_path / "2.png", share) > 2000
    assert coloured(tmp_path / "3.png", share) < 200 and coloured(tmp_path / "3.png", 0.0) > 2000
