"""Throughput of a three-stage chain, source -> middle -> sink, one runner each.

Each stage's work function puts a small dict into the next stage's keyword
buffer under the item's tag and returns the tag; the sink counts. The middle
and the sink take at most AVAILABLE starts at a time, so the availability
events are cleared and set all along the run. An application thread feeds the
source, keeping at most WINDOW items between the source and the sink.

Compared, in one run and with the same work functions and feeding:
  * the engine: three async_task objects on three Real_tasks runners;
  * the same road written in plain asyncio, here in Python: per hop a deep copy
    of the dict into the consumer's buffer under a lock, the consumer's
    append_task submitted to its loop with run_coroutine_threadsafe, which
    makes a named asyncio task of the step; the producer waits for the
    consumer on an asyncio.Event of its own loop that stands for the
    consumer's availability, through a waiter like the engine's (a wait task
    per event, asyncio.wait). That event is set and cleared as a named
    event's mirror is: by a small coroutine submitted to the producer's loop
    with run_coroutine_threadsafe ("asyncio");
  * the same, with the availability updates queued as plain callbacks with
    call_soon_threadsafe, which is lighter than the road described above
    ("asyncio_light"): the ratio against it is printed too;
  * the floor: the same items handed between the engine's three runner
    threads with nothing else, through a collections.deque per stage and one
    loop.call_soon_threadsafe wake-up per batch (a stage woken drains its
    deque, handing each item to the next stage's deque; the sink counts).
    No buffers, no copies, no events, no asyncio tasks: what any hand-over
    between these threads costs at least, with the same feeding and window.
The engine and the plain road are also run with no limit on starts (the
default Task_buffer_available, infinite), where the availability events stay
set ("engine_unlimited", "asyncio_unlimited").
Figures are items per second from the first feed until the sink has had the
last item, best of several rounds taken round-robin, and the cost per hop
(three hand-overs per item: into the source, the middle and the sink) in wall
time and in CPU time of the process (all its threads), which leaves out the
time the threads spend waiting for each other; the engine's cost per hop over
the floor's tells how much the engine adds to bare transport. All depend much
on how the threads happen to hand the GIL to each other, hence the best of
several rounds.
Prints one JSON object, then a one-line summary of the ratios.
"""
import asyncio
import collections
import copy
import functools
import json
import sys
import threading
import time
import traceback

import _loop
from _common import Hop
import velkor  # noqa: F401
from velkor import velkor as engine
from velkor import velkor_state

N = 5_000
ROUNDS = 9
WINDOW = 64
AVAILABLE = 2
HOPS = 3
STAGES = ("source", "middle", "sink")


class Sink:
    """Counts the items of a round and lets the feeder go on."""

    def __init__(self):
        self.room = threading.Semaphore(WINDOW)
        self.done = threading.Event()
        self.count = 0

    def reset(self):
        self.count = 0
        self.done.clear()

    def take(self, i, payload):
        self.count += 1
        self.room.release()
        if self.count == N:
            self.done.set()


def forward(insert_into_next):
    def work(i, payload):
        tag = f"t{i}"
        insert_into_next({"i": i, "payload": payload}, tag)
        return tag
    return work


def timed_round(source, sink):
    """Feed N items into `source` (insert, then run) and wait for the sink."""
    sink.reset()
    c0 = time.process_time()
    t0 = time.perf_counter()
    for i in range(N):
        sink.room.acquire()
        tag = f"t{i}"
        source.insert_kwargs_buffer({"i": i, "payload": "x"}, tag)
        source.run(tag)
    if not sink.done.wait(120):
        raise RuntimeError(f"the sink got {sink.count} of {N} items")
    return time.perf_counter() - t0, time.process_time() - c0


# --- the engine --------------------------------------------------------------

def build_engine(sink, runners=None, prefix="chain", available=AVAILABLE):
    """The chain as engine tasks, on three new runners or on `runners`."""
    if runners is None:
        runners = [engine.Real_tasks(f"chain_{s}") for s in STAGES]
        for r in runners:
            r.start()
        for r in runners:
            while not r.loop.is_running():
                time.sleep(0.001)
    node = velkor_state.network_node.name

    def insert_into(stage):
        key = f"{node},{prefix}_{stage}"
        return lambda data, tag: velkor_state.Tasks[key].insert_kwargs_buffer(data, tag)

    works = [forward(insert_into("middle")), forward(insert_into("sink")), sink.take]
    tasks = []
    for stage, runner, work in zip(STAGES, runners, works):
        tasks.append(engine.async_task(
            loop_thread=runner.name, name=f"{prefix}_{stage}", task=work,
            Task_buffer_available=float("inf") if stage == "source" else available,
            kwargs_buffer_len=10 * N))
    tasks[0].insert_output_tasks([tasks[1].name])
    tasks[1].insert_output_tasks([tasks[2].name])
    return runners, tasks


def stop_engine(runners):
    for r in runners:
        r.stop()
    names = {f"velkor runner {r.name}" for r in runners}
    while any(t.name in names for t in threading.enumerate()):
        time.sleep(0.005)


# --- the same road in plain asyncio -------------------------------------------

class Loop:
    def __init__(self, name):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name=name, daemon=True)
        self.thread.start()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


async def waiter(events):
    waits = [asyncio.create_task(e.wait()) for e in events.values()]
    _, pending = await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
    ready = [k for k, e in events.items() if e.is_set()]
    for w in pending:
        w.cancel()
    return ready


async def event_config(mirror, value):
    """A mirror update, run on the mirror's own loop."""
    if value:
        mirror.set()
    else:
        mirror.clear()


class Stage:
    def __init__(self, name, home, work, available=float("inf"), light=False):
        self.light = light
        self.name = name
        self.home = home
        self.work = work
        self.outputs = []
        self.kwargs_buffer = collections.defaultdict(dict)
        self.kwargs_buffer_len = 10 * N
        self.buffer_lock = threading.Lock()
        self.available = available
        self.available_lock = threading.Lock()
        self.value = True
        self.mirrors = {}  # producer's loop -> asyncio.Event standing for our availability

    def add_output(self, consumer):
        self.outputs.append(consumer)
        mirror = asyncio.Event()
        mirror.set()
        consumer.mirrors[self.home.loop] = mirror

    def insert_kwargs_buffer(self, data, tag):
        with self.buffer_lock:
            self.kwargs_buffer[tag].update(copy.deepcopy(data))
            if len(self.kwargs_buffer) > self.kwargs_buffer_len:
                del self.kwargs_buffer[next(iter(self.kwargs_buffer))]

    def set_available(self, value):
        if self.value == value:
            return
        self.value = value
        for loop, mirror in self.mirrors.items():
            if self.light:
                loop.call_soon_threadsafe(mirror.set if value else mirror.clear)
            else:
                asyncio.run_coroutine_threadsafe(event_config(mirror, value), loop)

    def run(self, tag):
        with self.available_lock:
            self.available -= 1
            flag = self.available <= 0
        if flag:
            self.set_available(False)
        asyncio.run_coroutine_threadsafe(self.append_task(tag), self.home.loop)

    async def append_task(self, tag):
        self.home.loop.create_task(self.step(tag), name=self.name)

    async def trig_output(self, tag):
        events = {c: c.mirrors[self.home.loop] for c in self.outputs}
        while events:
            for c in await waiter(events):
                del events[c]
                c.run(tag)

    async def step(self, tag):
        with self.buffer_lock:
            kwargs = self.kwargs_buffer.pop(tag, None)
        if kwargs is not None:
            try:
                result = self.work(**kwargs)
                await self.trig_output(result)
            except Exception:
                print(f"{self.name} task has error!!!")
                traceback.print_exc()
        with self.available_lock:
            self.available += 1
            flag = self.available >= 1
        if flag:
            self.set_available(True)


def build_asyncio(sink, light=False, available=AVAILABLE):
    loops = [Loop(f"asyncio {s}") for s in STAGES]
    stages = {}
    stages["sink"] = Stage("sink", loops[2], sink.take, available, light)
    stages["middle"] = Stage("middle", loops[1],
                             forward(stages["sink"].insert_kwargs_buffer), available, light)
    stages["source"] = Stage("source", loops[0], forward(stages["middle"].insert_kwargs_buffer),
                             light=light)
    stages["source"].add_output(stages["middle"])
    stages["middle"].add_output(stages["sink"])
    return loops, stages


# --- the floor: deques and one wake-up per batch -------------------------------

def build_floor(runners, sink):
    sink_hop = Hop(runners[2].loop, lambda d: sink.take(**d))
    middle_hop = Hop(runners[1].loop, sink_hop.put)
    return [Hop(runners[0].loop, middle_hop.put), middle_hop, sink_hop]


def timed_floor_round(source_hop, sink):
    """timed_round's feeding, into the floor's first deque."""
    sink.reset()
    c0 = time.process_time()
    t0 = time.perf_counter()
    for i in range(N):
        sink.room.acquire()
        source_hop.put({"i": i, "payload": "x"})
    if not sink.done.wait(120):
        raise RuntimeError(f"the sink got {sink.count} of {N} items")
    return time.perf_counter() - t0, time.process_time() - c0


# --- the run ------------------------------------------------------------------

def main():
    loop_name = _loop.install()  # before anything makes a loop
    sinks = {k: Sink() for k in ("engine", "asyncio", "asyncio_light", "floor",
                                  "engine_unlimited", "asyncio_unlimited")}
    runners, tasks = build_engine(sinks["engine"])
    _, unlimited_tasks = build_engine(sinks["engine_unlimited"], runners, "unlimited",
                                      float("inf"))
    loops, stages = build_asyncio(sinks["asyncio"])
    light_loops, light_stages = build_asyncio(sinks["asyncio_light"], light=True)
    unlimited_loops, unlimited_stages = build_asyncio(sinks["asyncio_unlimited"],
                                                      available=float("inf"))
    floor_hops = build_floor(runners, sinks["floor"])
    sources = {
        "engine": tasks[0],
        "asyncio": stages["source"],
        "asyncio_light": light_stages["source"],
        "engine_unlimited": unlimited_tasks[0],
        "asyncio_unlimited": unlimited_stages["source"],
    }
    cases = {k: functools.partial(timed_round, source, sinks[k]) for k, source in sources.items()}
    cases["floor"] = lambda: timed_floor_round(floor_hops[0], sinks["floor"])
    best = {k: float("inf") for k in cases}
    best_cpu = {k: float("inf") for k in cases}
    try:
        for _ in range(ROUNDS):
            for name, round_ in cases.items():
                wall, cpu = round_()
                best[name] = min(best[name], wall)
                best_cpu[name] = min(best_cpu[name], cpu)
    finally:
        stop_engine(runners)
        for loop in loops + light_loops + unlimited_loops:
            loop.stop()
    per_second = {k: N / v for k, v in best.items()}
    per_hop = {k: v / (N * HOPS) * 1e6 for k, v in best.items()}
    cpu_per_hop = {k: v / (N * HOPS) * 1e6 for k, v in best_cpu.items()}
    result = {
        "loop": loop_name,
        "items_per_round": N,
        "window": WINDOW,
        "available": AVAILABLE,
        "items_per_second": {k: round(v) for k, v in per_second.items()},
        "us_per_hop": {k: round(v, 2) for k, v in per_hop.items()},
        "cpu_us_per_hop": {k: round(v, 2) for k, v in cpu_per_hop.items()},
        "floor_items_per_wakeup": round(
            ROUNDS * N * HOPS / sum(h.wakeups for h in floor_hops), 1),
        "ratio_engine_over_asyncio_items_per_second": round(
            per_second["engine"] / per_second["asyncio"], 2),
        "ratio_asyncio_over_engine_cpu_per_hop": round(
            cpu_per_hop["asyncio"] / cpu_per_hop["engine"], 2),
        "ratio_engine_over_asyncio_light_items_per_second": round(
            per_second["engine"] / per_second["asyncio_light"], 2),
        "ratio_engine_over_asyncio_unlimited_items_per_second": round(
            per_second["engine_unlimited"] / per_second["asyncio_unlimited"], 2),
        "ratio_asyncio_over_engine_unlimited_cpu_per_hop": round(
            cpu_per_hop["asyncio_unlimited"] / cpu_per_hop["engine_unlimited"], 2),
        "ratio_engine_over_floor_us_per_hop": round(per_hop["engine"] / per_hop["floor"], 2),
        "ratio_engine_over_floor_cpu_per_hop": round(
            cpu_per_hop["engine"] / cpu_per_hop["floor"], 2),
    }
    print(json.dumps(result))
    print(f"chain: engine {per_second['engine']:.0f} items/s ({per_hop['engine']:.1f} us/hop), "
          f"plain asyncio {per_second['asyncio']:.0f} items/s ({per_hop['asyncio']:.1f} us/hop) "
          f"-> {result['ratio_engine_over_asyncio_items_per_second']:.2f}x faster, "
          f"{result['ratio_asyncio_over_engine_cpu_per_hop']:.2f}x less CPU per hop "
          f"({result['ratio_engine_over_asyncio_light_items_per_second']:.2f}x the lighter "
          f"road, {per_hop['asyncio_light']:.1f} us/hop); "
          f"without a limit on starts: engine {per_hop['engine_unlimited']:.1f} us/hop, plain "
          f"{per_hop['asyncio_unlimited']:.1f} us/hop -> "
          f"{result['ratio_engine_over_asyncio_unlimited_items_per_second']:.2f}x; "
          f"floor {per_hop['floor']:.1f} us/hop, engine "
          f"{result['ratio_engine_over_floor_us_per_hop']:.2f}x the floor per hop",
          file=sys.stderr)


if __name__ == "__main__":
    main()
