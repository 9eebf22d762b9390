"""Per-item cost of the chain when many other tasks are registered and wired.

The chain of chain.py (source -> middle -> sink on three runners, same work
functions, feeding and window, ITEMS items a round) is timed:
  1. with nothing else registered ("empty");
  2. with LOAD other idle tasks of this node registered, spread over the
     chain's own three runners and linked in pairs (each pair's producer and
     consumer on different runners), so the shared tables hold LOAD more
     tasks and 2 * LOAD more events, and the chain's runners hold the mirrors
     of their trigger and service-available events ("loaded");
  3. with nothing else again, after every idle task has been cancelled.
The load cannot be added and removed round by round (building it is the
slow part), so the rounds are grouped in phases, empty and loaded in turn
(PHASES), and each figure is the best of its phases.

The process is pinned to one core. On two otherwise idle cores the chain
flips, for seconds at a time, between two regimes whose cost per item
differs 2-3x: the threads hand the GIL to each other across the cores (each
hand-off a cross-core wake-up, many context switches, CPU time above wall
time) or, when something else occupies a core, take turns on one core. Which
regime a phase falls in depends on the rest of the machine, not on the load;
on one core there is one regime, so loaded and empty phases compare. In every round two more figures are timed: the same chain with the
cyclic garbage collector disabled for the round, which tells the collector's
share of what the load adds (it traverses every object of the idle tasks),
and the floor of chain.py (the same items handed between the same three
threads through deques, one wake-up per batch), a witness of how fast the
machine was in each phase.

Building a local task pauses about 10 ms (the arming of its
service-available event, which releases the GIL), so the idle tasks are built
by BUILDERS threads at once; the time taken to build, wire and cancel them is
reported. The cyclic garbage collector is run before each phase, so each one
starts from a collected heap.

Figures are microseconds per item (wall and CPU time of the process), best of
the rounds of each phase. The ratio that matters is loaded over empty
(target: at most 1.5). Prints one JSON object, then a one-line summary.
"""
import asyncio
import gc
import json
import os
import sys
import threading
import time

import _loop
import chain  # the chain and its floor, from this folder
from velkor import velkor as engine
from velkor import velkor_state

ITEMS = 2_000
ROUNDS = 5
WARMUP = 3
PHASES = ("empty", "loaded", "empty", "loaded", "empty")
LOAD = 10_000
BUILDERS = 64
TARGET = 1.5

chain.N = ITEMS  # chain's rounds read N when they run


async def sentinel():
    return None


def settle(runners):
    """Return once every runner has run everything queued to it so far."""
    futures = [asyncio.run_coroutine_threadsafe(sentinel(), r.loop) for r in runners]
    for f in futures:
        f.result(120)


def build_load(runners):
    """LOAD idle tasks on `runners`, linked in pairs. Returns their keys and
    the seconds spent building and wiring."""
    node = velkor_state.network_node.name
    failures = []

    def build(first):
        try:
            for i in range(first, LOAD, BUILDERS):
                engine.async_task(loop_thread=runners[i % len(runners)].name, name=f"idle_{i}")
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    t0 = time.perf_counter()
    builders = [threading.Thread(target=build, args=(k,)) for k in range(BUILDERS)]
    for b in builders:
        b.start()
    for b in builders:
        b.join()
    if failures:
        raise failures[0]
    t1 = time.perf_counter()
    keys = [f"{node},idle_{i}" for i in range(LOAD)]
    tasks = velkor_state.Tasks
    for i in range(0, LOAD - 1, 2):
        tasks[keys[i]].insert_output_tasks([keys[i + 1]])
    settle(runners)
    t2 = time.perf_counter()
    return keys, t1 - t0, t2 - t1


def cancel_load(runners, keys):
    t0 = time.perf_counter()
    tasks = velkor_state.Tasks
    for key in keys:
        tasks[key].cancel()
    settle(runners)
    return time.perf_counter() - t0


def measure(cases, rounds=ROUNDS):
    """Best wall and CPU microseconds per item of each case over `rounds`."""
    gc.collect()
    best = {name: [float("inf"), float("inf")] for name in cases}
    for _ in range(rounds):
        for name, round_ in cases.items():
            wall, cpu = round_()
            best[name][0] = min(best[name][0], wall / ITEMS * 1e6)
            best[name][1] = min(best[name][1], cpu / ITEMS * 1e6)
    return best


def main():
    loop_name = _loop.install()  # before anything makes a loop
    # Before any thread starts: threads inherit the affinity of their creator.
    cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    engine_sink, floor_sink = chain.Sink(), chain.Sink()
    runners, chain_tasks = chain.build_engine(engine_sink)
    floor_hops = chain.build_floor(runners, floor_sink)
    def without_gc():
        gc.disable()
        try:
            return chain.timed_round(chain_tasks[0], engine_sink)
        finally:
            gc.enable()

    cases = {
        "engine": lambda: chain.timed_round(chain_tasks[0], engine_sink),
        "engine_gc_off": without_gc,
        "floor": lambda: chain.timed_floor_round(floor_hops[0], floor_sink),
    }
    phases = []  # (kind, {case: [wall, cpu]})
    sizes = {}
    build_s, wire_s, cancel_s = [], [], []
    try:
        measure(cases, WARMUP)
        for kind in PHASES:
            if kind == "loaded":
                keys, built, wired = build_load(runners)
                build_s.append(built)
                wire_s.append(wired)
                sizes = {
                    "tasks": len(velkor_state.Tasks),
                    "events": len(velkor_state.Events),
                    "mirrors_per_runner": [len(r.Events_async) for r in runners],
                }
            phases.append((kind, measure(cases)))
            if kind == "loaded":
                cancel_s.append(cancel_load(runners, keys))
    finally:
        chain.stop_engine(runners)

    def best(kind, case, i):
        return min(b[case][i] for k, b in phases if k == kind)

    empty, empty_cpu = best("empty", "engine", 0), best("empty", "engine", 1)
    loaded, loaded_cpu = best("loaded", "engine", 0), best("loaded", "engine", 1)
    result = {
        "loop": loop_name,
        "items_per_round": ITEMS,
        "idle_tasks": LOAD,
        "idle_tasks_local": True,
        "pinned_to_cpu": cpu,
        "loaded_sizes": sizes,
        "phases": [kind for kind, _ in phases],
        "rounds_per_phase": ROUNDS,
        "build_s": [round(v, 2) for v in build_s],
        "build_threads": BUILDERS,
        "wire_s": [round(v, 2) for v in wire_s],
        "cancel_s": [round(v, 2) for v in cancel_s],
        "us_per_item": {
            "empty_engine": round(empty, 2),
            "loaded_engine": round(loaded, 2),
            "empty_engine_gc_off": round(best("empty", "engine_gc_off", 0), 2),
            "loaded_engine_gc_off": round(best("loaded", "engine_gc_off", 0), 2),
            "empty_floor": round(best("empty", "floor", 0), 2),
            "loaded_floor": round(best("loaded", "floor", 0), 2),
        },
        "cpu_us_per_item": {"empty_engine": round(empty_cpu, 2),
                            "loaded_engine": round(loaded_cpu, 2)},
        "us_per_item_engine_by_phase": [round(b["engine"][0], 2) for _, b in phases],
        "target_ratio": TARGET,
        "ratio_loaded_over_empty_us_per_item": round(loaded / empty, 2),
        "ratio_loaded_over_empty_cpu_per_item": round(loaded_cpu / empty_cpu, 2),
        "ratio_loaded_over_empty_gc_off": round(
            best("loaded", "engine_gc_off", 0) / best("empty", "engine_gc_off", 0), 2),
        "ratio_floor_loaded_over_empty": round(
            best("loaded", "floor", 0) / best("empty", "floor", 0), 2),
    }
    print(json.dumps(result))
    print(f"scale: chain {empty:.1f} us/item empty, {loaded:.1f} us/item with {LOAD:,} idle "
          f"tasks wired in pairs -> {result['ratio_loaded_over_empty_us_per_item']:.2f}x "
          f"(target <= {TARGET}x; CPU {result['ratio_loaded_over_empty_cpu_per_item']:.2f}x, "
          f"{result['ratio_loaded_over_empty_gc_off']:.2f}x with the collector off); "
          f"built in {max(build_s):.1f} s by {BUILDERS} threads, wired in {max(wire_s):.1f} s, "
          f"cancelled in {max(cancel_s):.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
