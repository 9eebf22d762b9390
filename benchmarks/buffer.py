"""Cost of the keyword buffer.

Measures, in one run:
  * insert_kwargs_buffer of a small nested dict under a tag (lock, deep copy,
    merge, capacity check), against copy.deepcopy of the same dict alone, and
    against a pure-Python insert doing the same steps;
  * the same insert untagged (time-stamp key);
  * activation_check pops per second (tagged and untagged).
Best of several rounds taken round-robin. Prints one JSON object, then a
one-line summary of the ratios.
"""
import collections
import copy
import json
import sys
import threading
import time

import velkor  # noqa: F401
from velkor import velkor as engine
from velkor import velkor_state

N = 50_000
ROUNDS = 5
DATA = {"a": 1, "b": [1, 2, 3], "c": {"x": "y"}}
TAGS = [f"tag{i}" for i in range(N)]


class PyBuffer:
    """The same insert written in Python."""

    def __init__(self):
        self.kwargs_buffer = collections.defaultdict(dict)
        self.kwargs_buffer_len = N + 1
        self.kwargs_buffer_threading_lock = threading.Lock()

    def insert_kwargs_buffer(self, data, tag=None):
        with self.kwargs_buffer_threading_lock:
            if isinstance(data, dict) and isinstance(tag, str):
                self.kwargs_buffer[tag].update(copy.deepcopy(data))
            if len(self.kwargs_buffer) > self.kwargs_buffer_len:
                del self.kwargs_buffer[next(iter(self.kwargs_buffer))]


def per_call(fn, n=N):
    t0 = time.perf_counter()
    fn(n)
    return (time.perf_counter() - t0) / n * 1e6


def main():
    runner = engine.Real_tasks("bench")
    task = engine.async_task(loop_thread=runner.name, name="buffer")
    task.kwargs_buffer_len = N + 1
    py = PyBuffer()

    def insert_tagged(n):
        ins = task.insert_kwargs_buffer
        for i in range(n):
            ins(DATA, TAGS[i])

    def drain_tagged(n):
        check = task.activation_check
        for i in range(n):
            check(TAGS[i])

    def insert_untagged(n):
        ins = task.insert_kwargs_buffer
        for _ in range(n):
            ins(DATA)

    def drain_untagged(n):
        check = task.activation_check
        for _ in range(n):
            check(None)

    def deepcopy_alone(n):
        dc = copy.deepcopy
        for _ in range(n):
            dc(DATA)

    def py_insert(n):
        ins = py.insert_kwargs_buffer
        for i in range(n):
            ins(DATA, TAGS[i])
        py.kwargs_buffer.clear()

    best = collections.defaultdict(lambda: float("inf"))
    for _ in range(ROUNDS):
        best["insert_tagged"] = min(best["insert_tagged"], per_call(insert_tagged))
        best["pop_tagged"] = min(best["pop_tagged"], per_call(drain_tagged))
        best["deepcopy_alone"] = min(best["deepcopy_alone"], per_call(deepcopy_alone))
        best["python_insert"] = min(best["python_insert"], per_call(py_insert))
        # Untagged inserts wait for the clock to move on between entries, so
        # fewer of them.
        best["insert_untagged"] = min(best["insert_untagged"], per_call(insert_untagged, 2_000))
        best["pop_untagged"] = min(best["pop_untagged"], per_call(drain_untagged, 2_000))
    runner.loop.close()
    velkor_state.Tasks.clear()
    result = {
        "calls_per_case": N,
        "us_per_call": {k: round(v, 3) for k, v in best.items()},
        "activation_check_pops_per_s": round(1e6 / best["pop_tagged"]),
        "ratio_deepcopy_alone_over_insert": round(best["deepcopy_alone"] / best["insert_tagged"], 2),
        "ratio_python_insert_over_insert": round(best["python_insert"] / best["insert_tagged"], 2),
    }
    print(json.dumps(result))
    print(f"buffer: tagged insert {best['insert_tagged']:.2f} us vs copy.deepcopy alone "
          f"{best['deepcopy_alone']:.2f} us -> {result['ratio_deepcopy_alone_over_insert']:.2f}x; "
          f"python insert {result['ratio_python_insert_over_insert']:.2f}x slower; "
          f"activation_check {result['activation_check_pops_per_s']:,} pops/s", file=sys.stderr)


if __name__ == "__main__":
    main()
