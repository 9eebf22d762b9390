"""Seeded random task graphs under load: 2 to 8 runners, up to 100 mode 0
tasks, fan-out, fan-in, routers in front of worker pools, flow-control counts
of 1 to 3 on some tasks; 100,000 tagged items in all, fed from the test's
thread.

Every item must reach every sink along every path of its graph exactly once
(at a router: exactly one worker of its pool, from where it goes on), the
graph must drain completely (every unit given back, every buffer empty) well
inside the timeout, and the engine must report nothing while it runs. The
graphs are drawn and checked by random_graphs.py, which the soak (`make
soak`) runs for minutes on end; the first tests here make sure that the
drawing gives the shapes wanted and that the check finds lost, repeated and
stuck items.
"""
import collections
import inspect
import threading

import pytest

import random_graphs as RG
from random_graphs import Graph, GraphFailure, Node, check_deliveries, make_graph, run_random_graph

# (seed, runners, tasks, items); None: drawn from the seed. 100,000 items in all.
RUNS = [
    (101, 2, 8, 14_000),
    (202, 3, 24, 20_000),
    (303, 5, 50, 20_000),
    (404, 8, 100, 26_000),
    (505, None, None, 20_000),
]
COST_CAP = 12  # steps per item at most: keeps the module near a minute on 2 cores
BUDGET = 60  # seconds for building, feeding and draining one graph


# --- the graphs drawn --------------------------------------------------------

def test_runs_cover_the_sizes_and_the_item_count():
    assert sum(run[3] for run in RUNS) == 100_000
    graphs = [make_graph(seed, runners, tasks, COST_CAP) for seed, runners, tasks, _ in RUNS]
    assert all(2 <= g.runners <= 8 and 1 <= len(g.tasks) <= 100 for g in graphs)
    assert {2, 8} <= {g.runners for g in graphs} and max(len(g.tasks) for g in graphs) == 100
    assert sum(bool(g.routers) for g in graphs) >= 4
    assert sum(len(g.sources) > 1 for g in graphs) >= 3


def test_every_drawn_graph_is_a_wired_dag_within_its_cost():
    for seed in range(40):
        check_drawn_graph(seed)


def check_drawn_graph(seed):
    g = make_graph(seed, cost_cap=COST_CAP)
    order = {name: i for i, name in enumerate(g.nodes)}
    producers = g.producers()
    for node in g.nodes.values():
        for c in node.consumers + node.pool:
            assert order[c] > order[node.name]  # building order is topological
        assert len(set(node.consumers)) == len(node.consumers)
    workers = {w for r in g.routers for w in r.pool}
    for node in g.tasks:
        if node.name in g.sources:
            assert producers[node.name] == [] and node.available in (1, 2, 3)
        elif node.name in workers:  # fed by its router only, and counted
            assert len(producers[node.name]) == 1 and node.available in (1, 2, 3)
            assert g.nodes[producers[node.name][0]].kind == "router"
        else:
            assert 1 <= len(producers[node.name]) <= 2 and node.available in (None, 1, 2, 3)
    for r in g.routers:
        assert 2 <= len(r.pool) <= 3 and 1 <= len(producers[r.name]) <= 2 and not r.consumers
        assert all(g.nodes[p].kind == "task" for p in producers[r.name])
    assert all(g.cost(s) <= COST_CAP for s in g.sources)
    assert sorted({n.runner for n in g.tasks}) == list(range(min(g.runners, len(g.tasks))))
    # the same seed draws the same graph
    assert make_graph(seed, cost_cap=COST_CAP).describe() == g.describe()


def test_the_drawn_graphs_have_every_shape_wanted():
    graphs = [make_graph(seed, cost_cap=COST_CAP) for seed in range(40)]
    styles = collections.Counter(n.style for g in graphs for n in g.tasks)
    counts = collections.Counter(n.available for g in graphs for n in g.tasks)
    assert set(styles) == set(RG.STYLES) and min(styles.values()) > 100
    assert set(counts) == {None, 1, 2, 3}
    big = [g for g in graphs if len(g.tasks) >= 30]
    assert len(big) >= 10
    for g in big:
        producers = g.producers()
        assert sum(len(n.consumers) > 1 for n in g.tasks) >= 3  # fan-out
        assert sum(len(p) > 1 for p in producers.values()) >= 2  # fan-in
        assert g.routers
    # a router with two producers, and a router's worker feeding a fan-in
    assert any(len(g.producers()[r.name]) == 2 for g in graphs for r in g.routers)
    assert any(len(g.producers()[c]) == 2 for g in graphs for r in g.routers
               for w in r.pool for c in g.nodes[w].consumers)


# --- the check ---------------------------------------------------------------

def small_graph():
    """s -> a -> k;  s -> q (router to w1, w2);  w1 -> k;  w2 -> m."""
    nodes = {
        "s": Node("s", consumers=["a", "q"], available=1),
        "a": Node("a", consumers=["k"]),
        "q": Node("q", kind="router", pool=["w1", "w2"]),
        "w1": Node("w1", consumers=["k"], available=1),
        "w2": Node("w2", consumers=["m"], available=1),
        "k": Node("k"),
        "m": Node("m"),
    }
    return Graph(0, 2, nodes, ["s"])


def deliveries(*records):
    out = {"k": [], "m": []}
    for path, item in records:
        out[path.rsplit("/", 1)[-1]].append((path, item))
    return out


GOOD = [("s/a/k", 0), ("s/w1/k", 0), ("s/a/k", 1), ("s/w2/m", 1)]


def test_the_check_accepts_every_router_choice():
    g = small_graph()
    assert check_deliveries(g, {0: "s", 1: "s"}, deliveries(*GOOD)) == {}
    # s, a, q, then w1 and w2 each counted in full, k twice (after a and w1), m
    assert g.cost("s") == 1 + 1 + 1 + 2 + 2 + 1


@pytest.mark.parametrize("records, kind, text", [
    (GOOD[1:], "lost", "item 0 along s/a/k"),
    (GOOD[:3], "lost", "item 1 after s at router q"),
    (GOOD + [("s/a/k", 1)], "repeated", "item 1 along s/a/k 2 times"),
    (GOOD + [("s/w1/k", 1)], "repeated", "router q gave it to ['w1', 'w2']"),
    (GOOD + [("s/k", 0)], "unexpected", "item 0 along s/k"),
    (GOOD + [("s/a/k", 7)], "unexpected", "item 7 never fed"),
])
def test_the_check_finds_lost_repeated_and_unexpected_deliveries(records, kind, text):
    problems = check_deliveries(small_graph(), {0: "s", 1: "s"}, deliveries(*records))
    assert list(problems) == [kind] and len(problems[kind]) == 1
    assert text in problems[kind][0]


# --- faults planted in a running graph are found ------------------------------

SMALL = dict(seed=11, runners=2, tasks=12)  # routers, fan-in and fan-out, all of it small


def plant(monkeypatch, victim, fault):
    """Make `fault(item, path, work, recorder)` the work function of the task
    `victim`, `work` being its own one; a coroutine function if that is one."""
    real = RG.make_work

    def make_work(node, graph, recorder):
        work = real(node, graph, recorder)
        if node.name != victim:
            return work
        if inspect.iscoroutinefunction(work):
            async def planted(item, path):
                result = fault(item, path, work, recorder)
                return await result if inspect.isawaitable(result) else result
            return planted
        return lambda item, path: fault(item, path, work, recorder)

    monkeypatch.setattr(RG, "make_work", make_work)


def victim(sink=False):
    """A sink, or a task in the middle of the small graph written as a
    coroutine function without a flow-control count (one of its steps can
    hang without holding back the others)."""
    g = make_graph(**SMALL)
    if sink:
        return g.sinks[0]
    return next(n.name for n in g.tasks if n.consumers and n.name not in g.sources
                and n.style != "plain" and n.available is None)


def lost():
    """Paths lost when the middle victim takes an item up and hands it on to
    nobody: one per consumer (a router's pool counts once)."""
    return len(make_graph(**SMALL).nodes[victim()].consumers)


class First:
    """The first item a planted fault sees, and only that one."""

    def __init__(self):
        self.lock, self.item = threading.Lock(), None

    def __call__(self, item):
        with self.lock:
            if self.item is None:
                self.item = item
                return True
            return False


def run_small(make_runner, items=200, budget=20):
    return run_random_graph(SMALL["seed"], items, SMALL["runners"], SMALL["tasks"],
                            budget=budget, make_runner=make_runner)


@pytest.mark.timeout(60)
def test_an_item_dropped_by_a_step_is_found(make_runner, monkeypatch):
    first = First()

    def drop(item, path, work, recorder):
        if first(item):
            recorder.step(0)  # taken up, handed on to nobody:
            return f"nowhere#{item}"  # the consumers find nothing under this tag
        return work(item, path)

    plant(monkeypatch, victim(), drop)
    with pytest.raises(GraphFailure) as error:
        run_small(make_runner)
    assert f"problems: {lost()} lost, e.g. ['item {first.item} " in str(error.value)


@pytest.mark.timeout(60)
def test_an_item_recorded_twice_is_found(make_runner, monkeypatch):
    first, sink = First(), victim(sink=True)

    def twice(item, path, work, recorder):
        if first(item):
            recorder.delivered[sink].append((f"{path}/{sink}", item))
        return work(item, path)

    plant(monkeypatch, sink, twice)
    with pytest.raises(GraphFailure) as error:
        run_small(make_runner)
    assert f"problems: 1 repeated, e.g. ['item {first.item} along" in str(error.value)
    assert " times']" in str(error.value)


@pytest.mark.timeout(60)
def test_a_failing_step_is_reported(make_runner, monkeypatch):
    first, name = First(), victim()

    def fail(item, path, work, recorder):
        if first(item):
            recorder.step(0)
            raise ValueError("planted")
        return work(item, path)

    plant(monkeypatch, name, fail)
    with pytest.raises(GraphFailure) as error:
        run_small(make_runner)
    text = str(error.value)
    assert f"node_0,{name} task has error!!!" in text and "ValueError: planted" in text
    assert f"problems: {lost()} lost, e.g. ['item {first.item} " in text


@pytest.mark.timeout(60)
def test_a_graph_that_stops_moving_is_reported_with_the_thread_stacks(make_runner, monkeypatch):
    first = First()

    def hang(item, path, work, recorder):
        if first(item):
            # Never done: the runner's stop cancels it when the test ends.
            return RG.asyncio.get_running_loop().create_future()
        return work(item, path)

    plant(monkeypatch, victim(), hang)
    with pytest.raises(GraphFailure) as error:
        run_small(make_runner, items=100, budget=3)
    text = str(error.value)
    assert "timed out after" in text and "every item to come out at the sinks" in text
    assert "pending hand-overs 1," in text and f": {lost()} lost, e.g. ['item {first.item} " in text
    assert "--- velkor runner node_0,g0" in text and "--- velkor runner node_0,g1" in text


# --- the load -----------------------------------------------------------------

@pytest.mark.timeout(BUDGET + 30)
@pytest.mark.parametrize("seed, runners, tasks, items", RUNS,
                         ids=[f"seed{run[0]}" for run in RUNS])
def test_every_item_reaches_every_sink_along_every_path_once(make_runner, seed, runners,
                                                             tasks, items):
    stats = run_random_graph(seed, items, runners, tasks, cost_cap=COST_CAP, budget=BUDGET,
                             make_runner=make_runner)
    print(f"\nseed {seed}: {stats['tasks']} tasks on {stats['runners']} runners, "
          f"{stats['routers']} routers; {items} items, {stats['steps']} steps, "
          f"{stats['deliveries']} deliveries in {stats['seconds']:.1f} s")
    assert stats["items"] == items and stats["deliveries"] >= items
