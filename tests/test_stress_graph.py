"""A task graph under load: twelve tasks on four runners, with fan-out, fan-in
and small flow-control counts, fed 20,000 tagged items at its two sources.

Every item must reach every sink along every path of the graph exactly once,
the graph must drain completely (every unit given back, every buffer empty),
and it must do so well inside the timeout.
"""
import collections
import random
import threading
import time

import pytest

from velkor import velkor_state as S
from velkor.velkor import async_task

from helpers import available, dump_threads, feed_sources, key, wait_until

ITEMS = 20_000
SEED = 20_240_611
RUNNERS = ("r1", "r2", "r3", "r4")
POLL = 0.002  # how often the feeder looks again at a busy source (s)
BUDGET = 100  # seconds for feeding and draining, inside the test's timeout

# name: (runner, Task_buffer_available, coroutine work function?, consumers)
GRAPH = {
    "s1": ("r1", 3, False, ["a", "b"]),
    "s2": ("r2", 3, True, ["b", "c"]),
    "a": ("r3", 1, False, ["d"]),
    "b": ("r4", 3, True, ["d", "e"]),
    "c": ("r1", 2, False, ["e", "h"]),
    "d": ("r2", 1, False, ["f"]),
    "e": ("r3", 3, True, ["f", "g"]),
    "f": ("r4", 3, False, ["k1"]),
    "g": ("r1", 2, False, ["k1", "k2"]),
    "h": ("r2", 1, True, ["k2"]),
    "k1": ("r3", 3, False, []),
    "k2": ("r4", 2, True, []),
}
SOURCES = ("s1", "s2")
SINKS = tuple(n for n, entry in GRAPH.items() if not entry[3])


def paths_from(name):
    """Every path from `name` to a sink, as tuples of task names."""
    consumers = GRAPH[name][3]
    if not consumers:
        return [(name,)]
    return [(name,) + rest for c in consumers for rest in paths_from(c)]


# random_graphs.py has a Recorder and a make_work of its own for drawn graphs:
# those also count the hand-overs still pending, which is how a drawn graph is
# known to have drained; this graph's deliveries are known in advance.
class Recorder:
    """What the sinks received, per (sink, path, item)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.seen = collections.Counter()
        self.total = 0

    def add(self, sink, path, item):
        with self.lock:
            self.seen[(sink, path, item)] += 1
            self.total += 1


def make_work(name, recorder):
    """The work function of `name`: hand the item on to every consumer under
    one tag naming the whole path so far, or record it at a sink."""
    consumers = [key(c) for c in GRAPH[name][3]]

    def step(item, path):
        path = f"{path}/{name}" if path else name
        if not consumers:
            recorder.add(name, path, item)
            return None
        tag = f"{path}#{item}"
        for c in consumers:
            S.Tasks[c].insert_kwargs_buffer({"item": item, "path": path}, tag)
        return tag

    if GRAPH[name][2]:
        async def work(item, path):
            return step(item, path)
        return work
    return step


@pytest.fixture
def graph(make_runner):
    for r in RUNNERS:
        make_runner(r)
    recorder = Recorder()
    tasks = {}
    for name, (runner, available, _, _) in GRAPH.items():
        tasks[name] = async_task(
            loop_thread=key(runner), name=name, task=make_work(name, recorder),
            Task_buffer_available=available, kwargs_buffer_len=10 * ITEMS)
    for name, entry in GRAPH.items():
        tasks[name].insert_output_tasks([key(c) for c in entry[3]])
    return tasks, recorder


def fail_with_threads(message):
    pytest.fail(f"{message}\n{dump_threads()}")


def feed(tasks, rng, deadline):
    """Send ITEMS items, each to a source drawn at random, into the sources.
    A busy source holds back its own items only. Returns which source got
    which item."""
    origin = {item: rng.choice(SOURCES) for item in range(ITEMS)}
    feed_sources({name: tasks[name] for name in SOURCES}, origin, deadline,
                 fail_with_threads, POLL)
    return origin


def expected_deliveries(origin):
    routes = {s: ["/".join(p) for p in paths_from(s)] for s in SOURCES}
    expected = collections.Counter()
    for item, source in origin.items():
        for path in routes[source]:
            expected[(path.rsplit("/", 1)[-1], path, item)] = 1
    return expected


def wait_or_dump(predicate, deadline, message, detail=lambda: ""):
    try:
        wait_until(predicate, timeout=max(deadline - time.monotonic(), 0.1),
                   interval=0.01, message=message)
    except AssertionError as error:
        fail_with_threads(f"{error}{detail()}")


def missing_and_extra(expected, recorder):
    with recorder.lock:
        seen = collections.Counter(recorder.seen)
    return expected - seen, seen - expected


def describe(expected, recorder, tasks):
    missing, extra = missing_and_extra(expected, recorder)
    units = {n: t.Task_buffer_available for n, t in tasks.items()}
    buffered = {n: len(t.kwargs_buffer) for n, t in tasks.items()}
    return (f"\n{len(missing)} missing, e.g. {sorted(missing)[:5]}"
            f"\n{len(extra)} unexpected or repeated, e.g. {sorted(extra)[:5]}"
            f"\nunits {units}\nbuffered {buffered}")


def test_graph_shape():
    producers = collections.defaultdict(set)
    for name, entry in GRAPH.items():
        for c in entry[3]:
            producers[c].add(name)
    assert len(GRAPH) == 12 and len({entry[0] for entry in GRAPH.values()}) == 4
    assert {entry[1] for entry in GRAPH.values()} == {1, 2, 3}
    assert sum(len(entry[3]) > 1 for entry in GRAPH.values()) >= 4  # fan-out
    assert sum(len(p) > 1 for p in producers.values()) >= 4  # fan-in
    assert SINKS == ("k1", "k2") and len(paths_from("s1")) + len(paths_from("s2")) > 8


@pytest.mark.timeout(120)
def test_every_item_reaches_every_sink_along_every_path_once(graph):
    tasks, recorder = graph
    rng = random.Random(SEED)
    started = time.monotonic()
    deadline = started + BUDGET
    origin = feed(tasks, rng, deadline)
    expected = expected_deliveries(origin)
    detail = lambda: describe(expected, recorder, tasks)  # noqa: E731
    wait_or_dump(lambda: recorder.total >= len(expected), deadline,
                 f"{len(expected)} deliveries at the sinks", detail)
    # Quiet again: every step has given its unit back.
    wait_or_dump(
        lambda: all(tasks[n].Task_buffer_available == GRAPH[n][1] for n in GRAPH), deadline,
        "every flow-control unit to come back", detail)
    elapsed = time.monotonic() - started
    print(f"\n{ITEMS} items, {len(expected)} deliveries, "
          f"{sum(len(paths_from(s)) for s in SOURCES)} routes: {elapsed:.1f} s")

    left = {n: len(t.kwargs_buffer) for n, t in tasks.items() if len(t.kwargs_buffer)}
    assert left == {}
    missing, extra = missing_and_extra(expected, recorder)
    assert not missing, f"{len(missing)} lost, e.g. {sorted(missing)[:5]}"
    assert not extra, f"{len(extra)} unexpected or repeated, e.g. {sorted(extra)[:5]}"
    for name in GRAPH:
        assert available(tasks[name]), name
