"""Cost of handing a coroutine from an application thread to a runner.

Compares, in one run on the same runner:
  * a C++ coroutine (the runner's cancel_task) handed over through the
    runner's submission function, the way the engine hands over its own work;
  * the same coroutine written as `async def`, handed over with
    asyncio.run_coroutine_threadsafe, the way plain asyncio code does it;
and, to separate the two effects, the crossed pairs. Each figure is the time
per hand-off, from the first submission until the runner has run them all,
best of several rounds taken round-robin. Prints one JSON object, then a
one-line summary of the ratios.
"""
import asyncio
import json
import sys
import time

import _loop
import velkor  # noqa: F401
from velkor import velkor as engine

N = 10_000
ROUNDS = 3


async def cancel_task_py(runner, name):
    """cancel_task written in Python."""
    for t in asyncio.all_tasks(runner.loop):
        if t.get_name() == name:
            t.cancel()


async def sentinel():
    return None


def drain(runner):
    # Both ways queue with call_soon_threadsafe, in order: once this one has
    # run, everything handed over before it has had its step.
    asyncio.run_coroutine_threadsafe(sentinel(), runner.loop).result(60)


def timed(runner, submit_one):
    drain(runner)
    t0 = time.perf_counter()
    for _ in range(N):
        submit_one()
    drain(runner)
    return (time.perf_counter() - t0) / N * 1e6


def main():
    loop_name = _loop.install()  # before anything makes a loop
    runner = engine.Real_tasks("handoff")
    runner.start()
    while not runner.loop.is_running():
        time.sleep(0.001)
    loop = runner.loop
    cases = {
        "cxx_via_submit": lambda: engine._submit(runner, runner.cancel_task, "none"),
        "py_via_rcts": lambda: asyncio.run_coroutine_threadsafe(
            cancel_task_py(runner, "none"), loop),
        "cxx_via_rcts": lambda: asyncio.run_coroutine_threadsafe(
            runner.cancel_task("none"), loop),
        "py_via_submit": lambda: engine._submit(runner, cancel_task_py, runner, "none"),
    }
    best = {k: float("inf") for k in cases}
    for _ in range(ROUNDS):
        for name, fn in cases.items():
            best[name] = min(best[name], timed(runner, fn))
    runner.stop()
    result = {
        "loop": loop_name,
        "items_per_case": N,
        "us_per_handoff": {k: round(v, 3) for k, v in best.items()},
        "ratio_rcts_py_over_submit_cxx": round(best["py_via_rcts"] / best["cxx_via_submit"], 2),
        "ratio_rcts_over_submit_same_cxx": round(best["cxx_via_rcts"] / best["cxx_via_submit"], 2),
        "ratio_py_over_cxx_same_submit": round(best["py_via_submit"] / best["cxx_via_submit"], 2),
    }
    print(json.dumps(result))
    print(f"handoff: C++ coroutine via submit {best['cxx_via_submit']:.2f} us, async def via "
          f"run_coroutine_threadsafe {best['py_via_rcts']:.2f} us -> "
          f"{result['ratio_rcts_py_over_submit_cxx']:.2f}x faster", file=sys.stderr)


if __name__ == "__main__":
    main()
