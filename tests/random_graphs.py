"""Seeded random task graphs, driven end to end and checked item by item.

`make_graph(seed, runners, tasks)` draws a graph: a DAG of mode 0 tasks on
2 to 8 runners, with fan-out, fan-in, routers in front of pools of mode 0
workers, and small flow-control counts (1 to 3) on some tasks.
`run_random_graph(seed, items, ...)` builds that graph in the engine, feeds
tagged items into its sources from the calling thread, waits until every item
has come out at the sinks and the graph is quiet again, and checks that every
item reached every sink along every path exactly once (a router's item
reaching exactly one worker of its pool, and going on from there). It returns
the figures of the run, and raises GraphFailure with the state of the graph
and the stacks of every thread when an item is lost or repeated, when the
graph stops moving, or when the engine reports anything (a failing step, a
warning, an unraisable exception) while it runs.

Used by test_random_graphs.py and by the soak (soak.py, `make soak`).
"""
import asyncio
import collections
import contextlib
import dataclasses
import gc
import io
import logging
import math
import random
import sys
import threading
import time
import warnings

from velkor import velkor_state as S
from velkor.router import router
from velkor.velkor import async_task

from helpers import (available, dump_threads, engine_world, feed_sources, key, mirrors_out_of_step,
                     start_runner, wait_until)

POLL = 0.0005  # how often the feeder looks again when every source is busy (s)
ROUTER_SHARE = 0.15  # chance that the next stage drawn is a router with its pool
FAN_IN_SHARE = 0.35  # chance that a task (or router) gets a second producer
WINDOW = 10  # producers are drawn among the last WINDOW tasks built
FINITE_SHARE = 0.4  # share of the other tasks with a flow-control count of 1 to 3
COST_CAP = 24  # most steps one item may cause, for any source it enters at
STYLES = ("plain", "async", "yielding")  # how a work function is written


class GraphFailure(AssertionError):
    """An item lost or repeated, a graph that stopped moving, or an engine report."""


@dataclasses.dataclass
class Node:
    """One task of a drawn graph, or one router (kind "router", no runner)."""

    name: str
    kind: str = "task"
    runner: int = 0
    available: int | None = None  # None: the engine's default, no limit
    style: str = "plain"
    consumers: list = dataclasses.field(default_factory=list)  # names, tasks or routers
    pool: list = dataclasses.field(default_factory=list)  # a router's workers


@dataclasses.dataclass
class Graph:
    seed: int
    runners: int
    nodes: dict  # name -> Node, in building order (a topological order)
    sources: list

    @property
    def tasks(self):
        return [n for n in self.nodes.values() if n.kind == "task"]

    @property
    def routers(self):
        return [n for n in self.nodes.values() if n.kind == "router"]

    @property
    def sinks(self):
        return [n.name for n in self.tasks if not n.consumers]

    def producers(self):
        found = collections.defaultdict(list)
        for n in self.nodes.values():
            for c in n.consumers:
                found[c].append(n.name)
            for w in n.pool:
                found[w].append(n.name)
        return found

    def cost(self, source):
        """Steps one item entering at `source` causes at most: every task and
        router step it leads to, a router's item counted in full at each
        worker of its pool (it goes to one of them only)."""
        paths = collections.Counter({source: 1})
        for n in self.nodes.values():  # building order is a topological order
            count = paths[n.name]
            if not count:
                continue
            for c in n.consumers + n.pool:
                paths[c] += count
        return sum(paths.values())

    def describe(self):
        lines = [f"seed {self.seed}: {len(self.tasks)} tasks on {self.runners} runners, "
                 f"{len(self.routers)} routers, sources {self.sources}, sinks {self.sinks}"]
        for n in self.nodes.values():
            if n.kind == "router":
                lines.append(f"  {n.name}: router to {n.pool}")
            else:
                lines.append(f"  {n.name}: r{n.runner} avail={n.available} {n.style} "
                             f"-> {n.consumers}")
        return "\n".join(lines)


def make_graph(seed, runners=None, tasks=None, cost_cap=COST_CAP):
    """Draw a graph from `seed`: `runners` runners (2 to 8) and `tasks` mode 0
    tasks (up to 100); either is drawn from the seed when not given.

    Tasks are built in order, each with one or two producers among the last
    WINDOW tasks built (fan-in), so a task chosen by several later ones fans
    out. Now and then the next stage is a router with a pool of two or three
    workers that have the router as their only producer; a router has one or
    two producers of its own. A producer that would let one item cause more
    than `cost_cap` steps (see Graph.cost) is not chosen; a task left without
    a producer is a source. Workers of a pool and sources get a flow-control
    count of 1 to 3, other tasks one now and then (FINITE_SHARE)."""
    rng = random.Random(seed)
    runners = runners if runners is not None else rng.randint(2, 8)
    tasks = tasks if tasks is not None else rng.randint(4, 100)
    assert 2 <= runners <= 8 and 1 <= tasks <= 100
    graph = Graph(seed, runners, {}, [])
    built = []  # task names in building order: the producer candidates
    source_costs = {}  # source -> its cost so far
    reached = {}  # task or router -> {source: paths from it}, a worker counted as its router

    def new_task(available=None):
        index = len(built)
        node = Node(f"t{index:02d}", runner=index % runners if index < runners
                    else rng.randrange(runners), style=rng.choice(STYLES),
                    available=available)
        graph.nodes[node.name] = node
        built.append(node.name)
        return node

    def pick_producers(weight):
        """One or two producers for a stage that causes `weight` steps per
        item reaching it; each keeps every source's cost within the cap."""
        wanted = 2 if rng.random() < FAN_IN_SHARE else 1
        candidates = built[-WINDOW:]
        rng.shuffle(candidates)
        chosen = []
        for p in candidates:
            if len(chosen) == wanted:
                break
            extra = sum((reached[q] for q in chosen + [p]), collections.Counter())
            if all(source_costs[s] + n * weight <= cost_cap for s, n in extra.items()):
                chosen.append(p)
        for s, n in sum((reached[q] for q in chosen), collections.Counter()).items():
            source_costs[s] += n * weight
        return chosen

    while len(built) < tasks:
        left = tasks - len(built)
        if built and left >= 2 and rng.random() < ROUTER_SHARE:
            size = rng.randint(2, min(3, left))
            producers = pick_producers(1 + size)  # the router's step, then a worker's
            if producers:
                r = Node(f"q{len(graph.routers)}", kind="router")
                graph.nodes[r.name] = r
                reached[r.name] = collections.Counter()
                for p in producers:
                    graph.nodes[p].consumers.append(r.name)
                    reached[r.name] += reached[p]
                for _ in range(size):
                    w = new_task(available=rng.randint(1, 3)).name
                    r.pool.append(w)
                    reached[w] = reached[r.name]
                continue
        producers = pick_producers(1) if built else []
        node = new_task()
        reached[node.name] = collections.Counter()
        if producers:
            for p in producers:
                graph.nodes[p].consumers.append(node.name)
                reached[node.name] += reached[p]
            if rng.random() < FINITE_SHARE:
                node.available = rng.randint(1, 3)
        else:
            graph.sources.append(node.name)
            source_costs[node.name] = 1
            reached[node.name][node.name] = 1
            node.available = rng.randint(1, 3)
    return graph


# --- what the running graph records ------------------------------------------

class Recorder:
    """Deliveries at the sinks and the number of items still on their way.

    `pending` counts hand-overs not yet taken up: the feeder adds one per item
    fed, a step adds one per consumer it hands its item to and takes one off
    for its own item, in one change after it has handed on. It is therefore
    0 only when no item is left anywhere in the graph (or when an item was
    lost and another repeated, which the check of the deliveries finds)."""

    def __init__(self, sinks):
        self.lock = threading.Lock()
        self.pending = 0
        self.steps = 0
        self.delivered = {name: [] for name in sinks}  # each appended by one runner thread

    def step(self, handed_on):
        with self.lock:
            self.pending += handed_on - 1
            self.steps += 1

    def fed(self):
        with self.lock:
            self.pending += 1


def make_work(node, graph, recorder):
    """The work function of a task: hand the item on to every consumer under
    a tag naming the whole path so far (a router gets it like any consumer),
    or record it at a sink."""
    name = node.name
    targets = [key(c) if graph.nodes[c].kind == "task" else key(f"router_{c}")
               for c in node.consumers]

    def step(item, path):
        path = f"{path}/{name}" if path else name
        if not targets:
            recorder.delivered[name].append((path, item))
            recorder.step(0)
            return None
        tag = f"{path}#{item}"
        data = {"item": item, "path": path}
        for t in targets:
            S.Tasks[t].insert_kwargs_buffer(data, tag)
        recorder.step(len(targets))
        return tag

    if node.style == "plain":
        return step
    if node.style == "async":
        async def work(item, path):
            return step(item, path)
        return work

    async def yielding(item, path):
        await asyncio.sleep(0)  # let the other steps of the loop in between
        return step(item, path)
    return yielding


# --- the check ---------------------------------------------------------------

def check_deliveries(graph, origin, delivered):
    """Compare what reached the sinks with the graph.

    `origin` maps each item fed to its source; `delivered` maps each sink to
    its list of (path, item), a path being the task names from the source to
    the sink joined with "/". For every item, walking the graph from its
    source: each task's item must go on to every consumer task, and to exactly
    one worker of each router it feeds; every path that ends at a sink must
    have been delivered exactly once, and nothing else may have been.
    Returns a list of problems (empty when all is well), at most `limit`
    described per kind."""
    by_item = collections.defaultdict(collections.Counter)
    for sink, records in delivered.items():
        for path, item in records:
            by_item[item][path] += 1
    problems = collections.defaultdict(list)

    def note(kind, text):
        problems[kind].append(text)

    for item, source in origin.items():
        paths = by_item.pop(item, collections.Counter())
        for path, count in paths.items():
            if count > 1:
                note("repeated", f"item {item} along {path} {count} times")
        nexts = collections.defaultdict(set)  # path prefix -> names that follow it
        for path in paths:
            parts = path.split("/")
            for i in range(1, len(parts)):
                nexts["/".join(parts[:i])].add(parts[i])
        expected = set()
        todo = [(source, source)]
        while todo:
            name, prefix = todo.pop()
            node = graph.nodes[name]
            if not node.consumers:
                expected.add(prefix)
                continue
            for c in node.consumers:
                consumer = graph.nodes[c]
                if consumer.kind == "task":
                    todo.append((c, f"{prefix}/{c}"))
                    continue
                chosen = [w for w in consumer.pool if w in nexts[prefix]]
                if not chosen:
                    note("lost", f"item {item} after {prefix} at router {c}")
                elif len(chosen) > 1:
                    note("repeated", f"item {item} after {prefix}: router {c} "
                                     f"gave it to {chosen}")
                for w in chosen:
                    todo.append((w, f"{prefix}/{w}"))
        for path in sorted(expected - set(paths)):
            note("lost", f"item {item} along {path}")
        for path in sorted(set(paths) - expected):
            note("unexpected", f"item {item} along {path}")
    for item, paths in by_item.items():
        note("unexpected", f"item {item} never fed, along {sorted(paths)}")
    return dict(problems)


def summarize(problems, limit=8):
    return "; ".join(f"{len(v)} {k}, e.g. {v[:limit]}" for k, v in problems.items())


# --- watching what the engine reports ----------------------------------------

class _Tee(io.TextIOBase):
    """A text stream that keeps what is written and passes it on."""

    def __init__(self, inner, kept):
        self.inner, self.kept = inner, kept

    def write(self, text):
        self.kept.append(text)
        return self.inner.write(text)

    def flush(self):
        self.inner.flush()


class _LogKeeper(logging.Handler):
    def __init__(self, kept):
        super().__init__(logging.WARNING)
        self.kept = kept

    def emit(self, record):
        self.kept.append(f"log {record.name}: {self.format(record)}")


@contextlib.contextmanager
def engine_reports():
    """Collect what the engine and asyncio report while the block runs: lines
    printed to sys.stdout and sys.stderr (the engine prints "... task has
    error!!!" and a traceback for a failing step), warnings (a coroutine never
    awaited), unraisable exceptions, exceptions that end a thread, and asyncio
    log records of level WARNING and above. Yields the list they go to."""
    kept, written = [], []
    saved = (sys.stdout, sys.stderr, sys.unraisablehook, threading.excepthook)
    handler = _LogKeeper(kept)
    asyncio_log = logging.getLogger("asyncio")
    sys.stdout, sys.stderr = _Tee(sys.stdout, written), _Tee(sys.stderr, written)
    sys.unraisablehook = lambda u: kept.append(
        f"unraisable {u.exc_type.__name__}: {u.exc_value} ({u.err_msg} {u.object!r})")
    threading.excepthook = lambda a: kept.append(
        f"thread {a.thread and a.thread.name} ended by {a.exc_type.__name__}: {a.exc_value}")
    asyncio_log.addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield kept
            gc.collect()  # coroutines dropped unawaited warn when they go
    finally:
        asyncio_log.removeHandler(handler)
        sys.stdout, sys.stderr, sys.unraisablehook, threading.excepthook = saved
        kept.extend(f"warning {w.category.__name__}: {w.message}" for w in caught)
        text = "".join(written)
        if text:
            kept.append(f"output: {text[:2000]!r}")


# --- building and running ------------------------------------------------------

def build(graph, recorder, items, make_runner=start_runner):
    """Create the graph's runners, tasks and routers and wire them."""
    for r in range(graph.runners):
        make_runner(f"g{r}")
    capacity = 10 * items + 100  # no burst may reach a buffer's capacity
    for node in graph.tasks:
        kwargs = {}
        if node.available is not None:
            kwargs["Task_buffer_available"] = node.available
        async_task(loop_thread=key(f"g{node.runner}"), name=node.name,
                   task=make_work(node, graph, recorder), kwargs_buffer_len=capacity, **kwargs)
    for r in graph.routers:
        router(r.name, [key(w) for w in r.pool])
        S.Tasks[key(f"router_{r.name}")].kwargs_buffer_len = capacity
    for node in graph.tasks:
        outputs = [key(c) if graph.nodes[c].kind == "task" else key(f"router_{c}")
                   for c in node.consumers]
        S.Tasks[key(node.name)].insert_output_tasks(outputs)


def engine_tasks(graph):
    """Task key -> the flow-control count it starts with, routers' tasks included."""
    counts = {key(n.name): n.available for n in graph.tasks}
    counts.update({key(f"router_{r.name}"): 1 for r in graph.routers})
    return counts


def quiet(graph):
    """Every flow-control count back where it started, every buffer empty."""
    for k, start in engine_tasks(graph).items():
        task = S.Tasks[k]
        if start is not None and task.Task_buffer_available != start:
            return False
        if len(task.kwargs_buffer):
            return False
    return True


def state_of(graph, recorder):
    lines = [f"pending hand-overs {recorder.pending}, steps {recorder.steps}"]
    for k, start in engine_tasks(graph).items():
        task = S.Tasks.get(k)
        if task is None:
            lines.append(f"  {k}: not registered")
            continue
        event = S.Events.get(task.events[1])
        lines.append(f"  {k}: units {task.Task_buffer_available}/{start} "
                     f"buffered {len(task.kwargs_buffer)} "
                     f"available {event is not None and bool(event.is_set())}")
    lines.append(f"mirrors out of step: {mirrors_out_of_step()}")
    return "\n".join(lines)


def feed(graph, origin, recorder, deadline):
    """Feed every item to its source; a busy source holds back its own items only."""
    def fail(message):
        raise GraphFailure(message)

    sources = {name: S.Tasks[key(name)] for name in graph.sources}
    feed_sources(sources, origin, deadline, fail, POLL, fed=recorder.fed)


def run_random_graph(seed, items, runners=None, tasks=None, cost_cap=COST_CAP, budget=60.0,
                     make_runner=start_runner):
    """Build the graph drawn from `seed` (see make_graph), move `items` items
    through it and check every delivery. The engine's world must be clean
    (no tasks, runners or routers registered); the caller tears it down
    afterwards (the tests' fixture, or clean_world below). Returns a dict of
    figures; raises GraphFailure when something went wrong, or when feeding
    and draining take more than `budget` seconds."""
    graph = make_graph(seed, runners, tasks, cost_cap)
    recorder = Recorder(graph.sinks)
    rng = random.Random(seed ^ 0x5EED)
    origin = {item: rng.choice(graph.sources) for item in range(items)}

    def fail(message):
        raise GraphFailure(f"{message}\n{graph.describe()}\n{state_of(graph, recorder)}\n"
                           f"{dump_threads()}")

    with engine_reports() as reports:
        build(graph, recorder, items, make_runner)
        started = time.monotonic()
        deadline = started + budget
        try:
            feed(graph, origin, recorder, deadline)
        except GraphFailure as error:
            fail(str(error))
        fed = time.monotonic()
        try:
            # Every item has come out, then every step has given its unit back.
            wait_until(lambda: recorder.pending <= 0, timeout=max(deadline - time.monotonic(), 0.1),
                       interval=0.005, message="every item to come out at the sinks")
            wait_until(lambda: quiet(graph), timeout=max(deadline - time.monotonic(), 0.1),
                       interval=0.005, message="every unit to come back, every buffer to empty")
        except AssertionError as error:
            problems = check_deliveries(graph, origin, recorder.delivered)
            fail(f"{error}: {summarize(problems)}")
        elapsed = time.monotonic() - started
        unavailable = [k for k in engine_tasks(graph) if not available(S.Tasks[k])]
    problems = check_deliveries(graph, origin, recorder.delivered)
    if problems or unavailable or reports or recorder.pending:
        fail(f"pending {recorder.pending}; problems: {summarize(problems)}; "
             f"service-available events left clear: {unavailable}; "
             f"engine reports: {reports[:20]}")
    deliveries = sum(map(len, recorder.delivered.values()))
    return {
        "seed": graph.seed, "runners": graph.runners, "tasks": len(graph.tasks),
        "routers": len(graph.routers), "sources": len(graph.sources),
        "sinks": len(graph.sinks), "items": items, "steps": recorder.steps,
        "deliveries": deliveries, "seconds": elapsed, "feeding": fed - started,
        "steps_per_s": recorder.steps / elapsed if elapsed else math.inf,
    }


# --- a clean world outside pytest ----------------------------------------------

@contextlib.contextmanager
def clean_world(timeout=10.0):
    """What the tests' autouse fixture does, for scripts: empty tables and the
    default node name for the block, then every runner stopped, its thread
    gone and the tables emptied again. Raises GraphFailure when runner threads
    outlive the block."""
    def stuck(stacks):
        raise GraphFailure("runner threads still alive:\n" + stacks) from None

    with engine_world(timeout, stuck):
        yield
