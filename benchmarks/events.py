"""Set and clear of a custom_event whose mirrors live on four runners.

The event has four waiters, one task on each of four started runners, so
every set() and clear() sends the new value to four loops, where it sets or
clears that loop's mirror (an asyncio.Event). Compared, in one run and on the
same four runner threads:
  * the engine: custom_event.set() then clear(), PAIRS times; each sends
    event_config to the four runners through the engine's submission;
  * the same in plain asyncio: a flag object whose set() and clear() change
    its value and, when it changed, hand a coroutine updating the mirror to
    each of the four loops with asyncio.run_coroutine_threadsafe;
  * the floor: the same flag, the updates (mirror, value) put into one
    collections.deque per loop, and one loop.call_soon_threadsafe wake-up per
    batch; the woken loop sets or clears the mirrors itself. No coroutine,
    no task, no future: what sending the updates to those threads costs at
    least.
Each round ends when every mirror has had every update: a sentinel coroutine
per loop, queued behind the updates (each road's hand-overs keep their order),
returns the mirror's state, which must be the last value sent. Figures are
set+clear pairs per second from the first set() until the four sentinels have
returned, best of several rounds taken round-robin. Prints one JSON object,
then a one-line summary of the ratios.
"""
import asyncio
import json
import sys
import threading
import time

import _loop
from _common import Hop, wait_for
import velkor  # noqa: F401
from velkor import velkor as engine
from velkor import velkor_state

PAIRS = 2_000
ROUNDS = 5
RUNNERS = 4


def on_loop(loop, fn):
    """Run fn() on `loop`'s thread and return its result."""
    async def call():
        return fn()
    return asyncio.run_coroutine_threadsafe(call(), loop).result(60)


# --- plain asyncio ----------------------------------------------------------------

async def update(mirror, value):
    if value:
        mirror.set()
    else:
        mirror.clear()


class PlainFlag:
    """A flag mirrored as an asyncio.Event on each of several loops, updated
    with run_coroutine_threadsafe."""

    def __init__(self, loops):
        self.value = False
        self.mirrors = {loop: on_loop(loop, asyncio.Event) for loop in loops}

    def _send(self, value):
        if self.value == value:
            return
        self.value = value
        for loop, mirror in self.mirrors.items():
            asyncio.run_coroutine_threadsafe(update(mirror, value), loop)

    def set(self):
        self._send(True)

    def clear(self):
        self._send(False)


# --- the floor ------------------------------------------------------------------

def apply_update(update):
    mirror, value = update
    if value:
        mirror.set()
    else:
        mirror.clear()


class FloorFlag:
    def __init__(self, loops):
        self.value = False
        self.mirrors = {loop: on_loop(loop, asyncio.Event) for loop in loops}
        self.queues = [(Hop(loop, apply_update), mirror) for loop, mirror in self.mirrors.items()]

    def _send(self, value):
        if self.value == value:
            return
        self.value = value
        for queue, mirror in self.queues:
            queue.put((mirror, value))

    def set(self):
        self._send(True)

    def clear(self):
        self._send(False)

    def wakeups(self):
        return sum(q.wakeups for q, _ in self.queues)


# --- the run --------------------------------------------------------------------

def timed(flag, mirror_state):
    """PAIRS set+clear pairs, then wait until every loop has applied them all.
    mirror_state(loop) is a function reading, on that loop, its mirror."""
    loops = list(mirror_state)
    t0 = time.perf_counter()
    for _ in range(PAIRS):
        flag.set()
        flag.clear()
    futures = [asyncio.run_coroutine_threadsafe(settled(mirror_state[loop]), loop)
               for loop in loops]
    states = [f.result(120) for f in futures]
    elapsed = time.perf_counter() - t0
    if any(states):
        raise RuntimeError(f"a mirror is still set after the last clear(): {states}")
    return elapsed


async def settled(read):
    return read()


def main():
    loop_name = _loop.install()  # before anything makes a loop
    runners = [engine.Real_tasks(f"events_{i}") for i in range(RUNNERS)]
    for r in runners:
        r.start()
    wait_for(lambda: all(r.loop.is_running() for r in runners))
    loops = [r.loop for r in runners]
    waiters = [engine.async_task(loop_thread=r.name, name=f"events_waiter_{i}")
               for i, r in enumerate(runners)]
    event = engine.custom_event("bench_flag")
    for w in waiters:
        event.insert_custom_waiter_task(w.name)
    assert sorted(event.l_t_list) == sorted(r.name for r in runners), event.l_t_list
    # The mirrors exist once the first updates have run.
    wait_for(lambda: all(on_loop(r.loop, lambda r=r: event.name in r.Events_async)
                         for r in runners))

    plain, floor = PlainFlag(loops), FloorFlag(loops)

    def engine_state(runner):
        return lambda: runner.Events_async[event.name].is_set()

    states = {
        "engine": {r.loop: engine_state(r) for r in runners},
        "asyncio": {loop: m.is_set for loop, m in plain.mirrors.items()},
        "floor": {loop: m.is_set for loop, m in floor.mirrors.items()},
    }
    flags = {"engine": event, "asyncio": plain, "floor": floor}
    best = {k: float("inf") for k in flags}
    try:
        for _ in range(ROUNDS):
            for name, flag in flags.items():
                best[name] = min(best[name], timed(flag, states[name]))
    finally:
        event.delete()
        for r in runners:
            r.stop()
        names = {f"velkor runner {r.name}" for r in runners}
        wait_for(lambda: not any(t.name in names for t in threading.enumerate()))
        velkor_state.Tasks.clear()
    pairs_per_s = {k: PAIRS / v for k, v in best.items()}
    updates = PAIRS * 2 * RUNNERS
    result = {
        "loop": loop_name,
        "pairs_per_round": PAIRS,
        "runners": RUNNERS,
        "pairs_per_s": {k: round(v) for k, v in pairs_per_s.items()},
        "us_per_mirror_update": {k: round(v / updates * 1e6, 2) for k, v in best.items()},
        "floor_updates_per_wakeup": round(ROUNDS * updates / floor.wakeups(), 1),
        "ratio_engine_over_asyncio": round(pairs_per_s["engine"] / pairs_per_s["asyncio"], 2),
        "ratio_engine_over_floor": round(pairs_per_s["engine"] / pairs_per_s["floor"], 3),
    }
    print(json.dumps(result))
    print(f"events: engine {pairs_per_s['engine']:.0f} set+clear pairs/s with mirrors on "
          f"{RUNNERS} runners, plain asyncio {pairs_per_s['asyncio']:.0f} -> "
          f"{result['ratio_engine_over_asyncio']:.2f}x; floor {pairs_per_s['floor']:.0f} "
          f"pairs/s, engine {result['ratio_engine_over_floor']:.3f}x the floor", file=sys.stderr)


if __name__ == "__main__":
    main()
