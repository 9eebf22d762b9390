"""Soak: random task graphs, one after the other, for SOAK_MINUTES minutes.

Each round draws a seed, builds the graph it gives (random_graphs.make_graph:
2 to 8 runners, up to 100 tasks, routers, fan-out, fan-in, small flow-control
counts; a cost cap drawn from COST_CAPS makes it shallow or deep), moves a few
thousand items through it, checks that every item
reached every sink along every path exactly once, and tears the engine's
world down again. At the end it prints a report: graphs run, items and steps
moved, items per second, resident set size and the collector's object count
at the start and at the end, and every failure with its seed. The exit status
is 1 when any round lost or repeated an item, stopped moving, or made the
engine report an error; a failure's full detail (graph, state, thread stacks)
goes to standard error.

    make soak                              # 5 minutes
    SOAK_MINUTES=60 make soak
    .venv/bin/python tests/soak.py --minutes 1 --seed 7   # SOAK_SEED too

Not a test module: pytest does not collect it (the name does not start with
"test_"), and it runs only when called.
"""
import argparse
import gc
import os
import random
import sys
import time

import psutil

import velkor  # noqa: F401

import random_graphs as RG

MIN_ITEMS, MAX_ITEMS = 500, 6_000
COST_CAPS = (8, 24, 40)  # most steps per item, drawn per round: wide or deep graphs
BUDGET = 120.0  # seconds one round may take before it counts as stuck


def mib(n):
    return f"{n / 2**20:.1f} MiB"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float,
                        default=float(os.environ.get("SOAK_MINUTES", "5")))
    parser.add_argument("--seed", type=int, default=int(os.environ.get("SOAK_SEED", "0")) or None,
                        help="seed of the seeds (default: from the clock)")
    args = parser.parse_args(argv)
    master = args.seed if args.seed is not None else time.time_ns() % 2**32
    rng = random.Random(master)
    process = psutil.Process()
    gc.collect()
    rss_start, objects_start = process.memory_info().rss, len(gc.get_objects())
    print(f"soak: {args.minutes:g} min, seed of seeds {master}, "
          f"RSS {mib(rss_start)}, {objects_start} objects", flush=True)

    started = time.monotonic()
    end = started + 60 * args.minutes
    graphs = items = steps = deliveries = 0
    failures = []
    while time.monotonic() < end or not (graphs or failures):
        seed = rng.getrandbits(32)
        count = rng.randint(MIN_ITEMS, MAX_ITEMS)
        cap = rng.choice(COST_CAPS)
        try:
            with RG.clean_world():
                stats = RG.run_random_graph(seed, count, cost_cap=cap, budget=BUDGET)
        except RG.GraphFailure as error:
            text = str(error)
            first = text.splitlines()[0] if text else type(error).__name__
            failures.append((seed, count, cap, first))
            print(f"FAILED seed {seed} ({count} items, cost cap {cap}): {first}", flush=True)
            print(f"--- seed {seed}, {count} items, cost cap {cap}\n{text}", file=sys.stderr,
                  flush=True)
            if "runner threads still alive" in text:
                print("soak: a runner cannot be stopped; giving up", flush=True)
                break
            continue
        graphs += 1
        items += stats["items"]
        steps += stats["steps"]
        deliveries += stats["deliveries"]
        print(f"seed {seed:>10} cap {cap:2d}: {stats['tasks']:3d} tasks, {stats['runners']} runners, "
              f"{stats['routers']:2d} routers, {stats['items']:5d} items, "
              f"{stats['steps']:6d} steps in {stats['seconds']:5.2f} s "
              f"({stats['steps_per_s']:7.0f} steps/s), RSS {mib(process.memory_info().rss)}",
              flush=True)

    elapsed = time.monotonic() - started
    gc.collect()
    rss_end, objects_end = process.memory_info().rss, len(gc.get_objects())
    print("\nsoak report")
    print(f"  time            {elapsed:.0f} s, seed of seeds {master}")
    print(f"  graphs run      {graphs} (+{len(failures)} failed)")
    print(f"  items moved     {items} ({items / elapsed:.0f} items/s)")
    print(f"  steps           {steps} ({steps / elapsed:.0f} steps/s), "
          f"{deliveries} deliveries at the sinks")
    print(f"  RSS             {mib(rss_start)} at start, {mib(rss_end)} at end "
          f"({mib(rss_end - rss_start)} more)")
    print(f"  gc objects      {objects_start} at start, {objects_end} at end "
          f"({objects_end - objects_start:+d})")
    print(f"  failures        {len(failures)}")
    for seed, count, cap, first in failures:
        print(f"    seed {seed} with {count} items, cost cap {cap}: {first}")
    if failures:
        print("  repeat one: with random_graphs.clean_world(): "
              "random_graphs.run_random_graph(seed, items, cost_cap=cap)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
