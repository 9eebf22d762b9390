"""Items per second through a router to four consumers on two runners.

Compares, in one run:
  * the engine: a source task on a runner of its own hands each item to the
    router's engine task (a tagged entry in its buffer, then the engine's
    hand-over, which waits until the router is free); the router gives it to
    one free consumer of four (mode 0, Task_buffer_available 1, two on each
    of two runners). The source is a polling task (WT 2) with no pause: each
    of its steps makes one item and waits in its hand-over until the router
    can take it, so it never runs ahead of the router;
  * the same dispatch written with plain asyncio in this file, the road of
    one item as the engine's parts describe it ("asyncio"): the same threads
    and loops; per item a deep copy into the receiver's buffer under a lock,
    asyncio.run_coroutine_threadsafe of the receiver's step, and one
    asyncio.Event per receiver, on the loop of whoever waits for it, that
    tells whether it is free, cleared and set by a small coroutine submitted
    to that loop with run_coroutine_threadsafe; the source and the router
    wait on those events as the engine's hand-over does (a wait task per
    event, asyncio.wait for the first);
  * a lighter plain version ("asyncio_light"): the free-events are cleared
    and set with call_soon_threadsafe, and the source awaits its event
    directly instead of through a wait task and asyncio.wait;
  * the floor: the same items handed between the engine's own threads (the
    source runner, the router's "buffer_router" runner, the two consumer
    runners) through a collections.deque per receiver and one
    loop.call_soon_threadsafe wake-up per batch, with at most as many items
    in flight as the engine can have (one at the source, one in the router,
    one per consumer). The router's loop gives the items to the four
    consumers in turn. No buffers, copies, events or asyncio tasks.
Each figure is items per second from the first item made until the last one
has been consumed, best of several rounds taken round-robin. Prints one JSON
object, then a one-line summary of the ratios.

It also measures a bare round trip between the source runner's loop and the
router's "buffer_router" loop (one call_soon_threadsafe each way, nothing
else): the router takes one item at a time, so every item costs at least one
such round trip, whatever does the dispatch. The engine's time per item over
it is printed as "ratio_engine_over_round_trip", and the plain road's as
"ratio_round_trip_over_asyncio": the most that any dispatch, however cheap,
could gain over the plain road on this machine.

Where the time goes (benchmarks/_router_trace.py counts it per item and
thread). The router's engine task takes one item at a time
(Task_buffer_available 1), so every item waits for two wake-ups in series:
the source starts the router (a wake-up of the dispatch loop), and the end
of the router's step sets its service-available event, whose mirror lives
on the source's loop (a wake-up back). That is one round trip. Around it,
per item: the router starts a consumer (a wake-up of a consumer's loop) and
the consumer's end updates its mirror on the dispatch loop (a wake-up there
for about every second item, the rest joining a pending batch); 3.5
wake-ups in all, and five loop turns. Each cross-thread wake-up of an
asyncio loop costs about 10 us of CPU (the self-pipe write and the two
reads, the loop turn), which the GIL serializes with everything else the
four threads do: on an otherwise busy machine, where a wake-up is quick,
the run is bound by that CPU (about 80 us per item, of which the wake-ups
are some 35), on an idle one by the latency of the wake-ups and of the GIL
hand-overs between the threads. The floor has the same chain of wake-ups
with none of the work around it.
"""
import asyncio
import copy
import functools
import itertools
import json
import sys
import threading
import time

import _loop
import _common
from _common import Hop
import velkor  # noqa: F401
from velkor import velkor as engine
from velkor import velkor_state as S
from velkor.router import router

N = 3_000
ROUNDS = 5
CONSUMERS = 4
ITEM = {"frame": 1, "meta": {"camera": "a", "size": [640, 480]}}


# The router's rounds are short: poll more often than the other scripts.
wait_for = functools.partial(_common.wait_for, interval=0.0005)


def finished(case):
    """Wait until the last item of a round has been consumed. The consumer
    that takes it sets an event: the main thread sleeps meanwhile instead
    of polling, which would take the GIL from the threads being measured."""
    if not case.finished.wait(60):
        raise RuntimeError("benchmark stalled")


# --- the engine -----------------------------------------------------------------

class EngineCase:
    def __init__(self):
        self.runners = [engine.Real_tasks(n) for n in ("source", "c0", "c1")]
        for r in self.runners:
            r.start()
        wait_for(lambda: all(r.loop.is_running() for r in self.runners))
        self.done = 0
        self.seen = 0
        self.finished = threading.Event()

        def consume(frame, meta):
            self.done += 1
            self.seen += frame
            if self.done == N:
                self.finished.set()

        self.consumers = [
            engine.async_task(loop_thread=self.runners[1 + i % 2].name, name=f"k{i}",
                              task=consume, Task_buffer_available=1)
            for i in range(CONSUMERS)]
        self.router = router("bench", [c.name for c in self.consumers])
        self.key = "node_0,router_bench"
        self.rounds = 0

    def run(self):
        self.rounds += 1
        left = iter(range(N))
        router_task = S.Tasks[self.key]
        source = None

        def produce():
            i = next(left, None)
            if i is None:
                source.stop()
                return "end"  # not buffered: the router's step takes nothing
            tag = f"t{i}"
            router_task.insert_kwargs_buffer(ITEM, tag)
            return tag

        source = engine.async_task(loop_thread=self.runners[0].name,
                                   name=f"source{self.rounds}", task=produce, WT=2,
                                   WT_sleep=0)
        source.insert_output_tasks([self.key])
        wait_for(lambda: S.Events[router_task.events[1]].is_set())
        self.done = self.seen = 0
        self.finished.clear()
        t0 = time.perf_counter()
        source.start()
        finished(self)
        elapsed = time.perf_counter() - t0
        assert self.done == N and self.seen == N, (self.done, self.seen)
        wait_for(lambda: router_task.Task_buffer_available == 1)
        return N / elapsed

    def close(self):
        for r in self.runners + [S.loop_threads["node_0,buffer_router"]]:
            r.stop()


# --- plain asyncio --------------------------------------------------------------

class Loop:
    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def call(self, fn):
        return asyncio.run_coroutine_threadsafe(fn(), self.loop).result()

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


async def event_config(event, value):
    """A free-event update, run on the event's own loop."""
    if value:
        event.set()
    else:
        event.clear()


class Stage:
    """A receiver of items: a buffer, a step on its loop, and a free-event
    on the loop of whoever hands it items."""

    def __init__(self, home, watcher, work, light):
        self.home, self.watcher, self.work, self.light = home, watcher, work, light
        self.buffer, self.lock = {}, threading.Lock()
        self.free, self.free_lock = 1, threading.Lock()
        self.counter = 0

        async def make_event():
            e = asyncio.Event()
            e.set()
            return e

        self.available = watcher.call(make_event)

    def insert(self, item, key=None):
        with self.lock:
            if key is None:
                self.counter += 1
                key = self.counter
            self.buffer[key] = copy.deepcopy(item)

    def start(self, key=None):
        with self.free_lock:
            self.free -= 1
            busy = self.free <= 0
        if busy:
            self.update(False)
        asyncio.run_coroutine_threadsafe(self.step(key), self.home.loop)

    async def step(self, key):
        try:
            with self.lock:
                item = self.buffer.pop(key if key is not None else min(self.buffer))
            result = self.work(**item)
            if asyncio.iscoroutine(result):
                await result
        finally:
            with self.free_lock:
                self.free += 1
                free = self.free >= 1
            if free:
                self.update(True)

    def update(self, value):
        if self.light:
            e = self.available
            self.watcher.loop.call_soon_threadsafe(e.set if value else e.clear)
        else:
            asyncio.run_coroutine_threadsafe(event_config(self.available, value),
                                             self.watcher.loop)


class AsyncioCase:
    def __init__(self, light=False):
        self.light = light
        self.source, self.dispatch = Loop(), Loop()
        homes = [Loop(), Loop()]
        self.loops = [self.source, self.dispatch] + homes
        self.done = self.seen = 0
        self.finished = threading.Event()

        def consume(frame, meta):
            self.done += 1
            self.seen += frame
            if self.done == N:
                self.finished.set()

        self.consumers = [Stage(homes[i % 2], self.dispatch, consume, light)
                          for i in range(CONSUMERS)]

        async def dispatch(**item):
            while True:
                waits = [asyncio.create_task(c.available.wait()) for c in self.consumers]
                _, pending = await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
                for w in pending:
                    w.cancel()
                for c in self.consumers:
                    if c.available.is_set():
                        c.insert(item)
                        c.start()
                        return

        self.router = Stage(self.dispatch, self.source, dispatch, light)

    def run(self):
        self.done = self.seen = 0
        self.finished.clear()
        free = self.router.available

        async def feed():
            for i in range(N):
                tag = f"t{i}"
                self.router.insert(ITEM, tag)
                if self.light:
                    await free.wait()
                else:
                    # the engine's hand-over: a wait task, asyncio.wait for it
                    waits = [asyncio.create_task(free.wait())]
                    _, pending = await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
                    for w in pending:
                        w.cancel()
                self.router.start(tag)

        t0 = time.perf_counter()
        self.source.call(feed)
        finished(self)
        elapsed = time.perf_counter() - t0
        assert self.done == N and self.seen == N, (self.done, self.seen)
        return N / elapsed

    def close(self):
        for loop in self.loops:
            loop.close()


# --- the floor: deques and one wake-up per batch -----------------------------------

class FloorCase:
    IN_FLIGHT = 1 + 1 + CONSUMERS  # the source, the router, one per consumer

    def __init__(self, eng):
        source, c0, c1 = (r.loop for r in eng.runners)
        dispatch = S.loop_threads["node_0,buffer_router"].loop
        self.source = source
        self.room = threading.Semaphore(self.IN_FLIGHT)
        self.done = self.seen = 0
        self.finished = threading.Event()

        def consume(item):
            self.done += 1
            self.seen += item["frame"]
            if self.done == N:
                self.finished.set()
            self.room.release()

        self.consumers = [Hop((c0, c1)[i % 2], consume) for i in range(CONSUMERS)]
        turn = itertools.count()

        def dispatch_one(item):
            self.consumers[next(turn) % CONSUMERS].put(item)

        self.router = Hop(dispatch, dispatch_one)

    def hops(self):
        return [self.router] + self.consumers

    def run(self):
        self.done = self.seen = 0
        self.finished.clear()

        def feed():
            # Runs on the source runner's thread, which has nothing else to do.
            for _ in range(N):
                self.room.acquire()
                self.router.put(ITEM)

        t0 = time.perf_counter()
        self.source.call_soon_threadsafe(feed)
        finished(self)
        elapsed = time.perf_counter() - t0
        assert self.done == N and self.seen == N, (self.done, self.seen)
        return N / elapsed


# --- the latency bound: a bare round trip between the two loops ------------------

class RoundTrip:
    """Ping-pong between the source runner's loop and the dispatch loop."""

    def __init__(self, eng):
        self.there = S.loop_threads["node_0,buffer_router"].loop
        self.back = eng.runners[0].loop
        self.done = threading.Event()
        self.left = 0

    def ping(self):
        self.left -= 1
        if self.left <= 0:
            self.done.set()
        else:
            self.there.call_soon_threadsafe(self.pong)

    def pong(self):
        self.back.call_soon_threadsafe(self.ping)

    def run(self):
        self.left = N
        self.done.clear()
        t0 = time.perf_counter()
        self.back.call_soon_threadsafe(self.ping)
        if not self.done.wait(60):
            raise RuntimeError("benchmark stalled")
        return N / (time.perf_counter() - t0)


def main():
    loop_name = _loop.install()  # before anything makes a loop
    eng, plain, light = EngineCase(), AsyncioCase(), AsyncioCase(light=True)
    floor = FloorCase(eng)
    cases = {
        "engine": eng.run,
        "asyncio": plain.run,
        "asyncio_light": light.run,
        "floor": floor.run,
        "round_trip": RoundTrip(eng).run,
    }
    best = {k: 0.0 for k in cases}
    for _ in range(ROUNDS):
        for name, run in cases.items():
            best[name] = max(best[name], run())
    eng.close()
    plain.close()
    light.close()
    result = {
        "loop": loop_name,
        "items_per_round": N,
        "consumers": CONSUMERS,
        "items_per_s": {k: round(v) for k, v in best.items()},
        "us_per_item": {k: round(1e6 / v, 2) for k, v in best.items()},
        "ratio_engine_over_asyncio": round(best["engine"] / best["asyncio"], 2),
        "ratio_engine_over_asyncio_light": round(best["engine"] / best["asyncio_light"], 2),
        "floor_in_flight": FloorCase.IN_FLIGHT,
        "floor_items_per_wakeup": round(
            ROUNDS * N * 2 / sum(h.wakeups for h in floor.hops()), 2),
        "ratio_engine_over_floor": round(best["engine"] / best["floor"], 3),
        "ratio_engine_over_round_trip": round(best["round_trip"] / best["engine"], 2),
        # The most any dispatch could gain over the plain road: one bare round
        # trip per item and nothing else.
        "ratio_round_trip_over_asyncio": round(best["round_trip"] / best["asyncio"], 2),
    }
    print(json.dumps(result))
    print(f"router: engine {best['engine']:.0f} items/s, plain asyncio {best['asyncio']:.0f} "
          f"items/s -> {result['ratio_engine_over_asyncio']:.2f}x "
          f"({result['ratio_engine_over_asyncio_light']:.2f}x the lighter plain version, "
          f"{best['asyncio_light']:.0f} items/s); floor {best['floor']:.0f} items/s, "
          f"engine {result['ratio_engine_over_floor']:.3f}x the floor; a bare round trip "
          f"between the source and dispatch loops {1e6 / best['round_trip']:.1f} us, "
          f"engine {result['ratio_engine_over_round_trip']:.2f} round trips per item, "
          f"plain asyncio {result['ratio_round_trip_over_asyncio']:.2f} (the most any "
          f"dispatch could gain over it)",
          file=sys.stderr)


if __name__ == "__main__":
    main()
