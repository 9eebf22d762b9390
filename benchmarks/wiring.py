"""Links per second: insert_output_tasks and delete_output_tasks.

TASKS local tasks are built once, alternately on two started runners, and
linked in a ring, each task to the next (so every link crosses runners). A
round links the whole ring, one insert_output_tasks([key]) per link, then
unlinks it, one delete_output_tasks([key]) per link, PASSES times over; the
two halves are timed apart. A link lives on both ends: the producer's
output_tasks and the consumer's input_tasks; linking a producer also
refreshes the consumer's service-available event (its waiters and the
runners that hold its mirrors). The ring is linked and unlinked once before
timing, so each consumer's event already knows its producer's runner: no
mirror update is sent in the timed rounds, as in any graph rewired between
runners that already talk to each other.

Compared, in one run:
  * the engine's link methods (C++);
  * the same protocol written in Python over tasks of its own: each end adds
    or removes the key in its set and calls the counterpart on the other end,
    which finds the link there and stops; then the consumer's event is
    refreshed as the engine does (both list locks, the waiter list rebuilt
    from the owner's input and in-code input tasks, the waiters' runners
    compared with the known ones);
  * the floor: the two set updates alone, a.output_tasks.add(b) and
    b.input_tasks.add(a) (discard to unlink), on the same keys.
Figures are microseconds per link and per unlink (links per second), best of
several rounds taken round-robin. Prints one JSON object, then a one-line
summary of the ratios.
"""
import asyncio
import collections
import json
import sys
import threading
import time

import _loop
from _common import wait_for
import velkor  # noqa: F401
from velkor import velkor as engine
from velkor import velkor_state

TASKS = 200
PASSES = 50
ROUNDS = 5


# --- the same protocol in Python ----------------------------------------------------

MIRRORS = collections.defaultdict(dict)  # runner key -> {event name: asyncio.Event}


async def event_config(runner_key, name, value):
    table = MIRRORS[runner_key]
    if name not in table:
        table[name] = asyncio.Event()
    mirror = table[name]
    if value:
        mirror.set()
    else:
        mirror.clear()


class PyEvent:
    """The refresh of a service-available event."""

    def __init__(self, tasks, name, owner):
        self.tasks = tasks
        self.name = name
        self.task = owner
        self._value = True
        self.custom_waiter_task_list = set()
        self.automate_waiter_task_list = set()
        self.custom_waiter_task_list_threading_lock = threading.Lock()
        self.automate_waiter_task_list_threading_lock = threading.Lock()
        self.l_t_list = set()

    def refresh_automate_waiter_task_list(self):
        with self.custom_waiter_task_list_threading_lock, \
                self.automate_waiter_task_list_threading_lock:
            automate = set()
            self.automate_waiter_task_list = automate
            owner = self.tasks[self.task]
            automate.update(owner.input_tasks)
            automate.update(owner.incode_input_tasks)
            runner_keys = {self.tasks[key].loop_thread.name
                           for key in automate | self.custom_waiter_task_list}
            for key in runner_keys - self.l_t_list:
                runner = velkor_state.loop_threads[key]
                asyncio.run_coroutine_threadsafe(
                    event_config(key, self.name, self._value), runner.loop)
            self.l_t_list = runner_keys


class PyTask:
    def __init__(self, tasks, runner, name):
        self.tasks = tasks
        self.name = name
        self.loop_thread = runner
        self.input_tasks = set()
        self.output_tasks = set()
        self.incode_input_tasks = set()
        self.incode_output_tasks = set()
        self.available_event = PyEvent(tasks, f"{name},service_available_event", name)
        tasks[name] = self

    def _change(self, keys, mine, insert, counterpart, refresh):
        for key in list(keys):
            if (key in mine) == insert:
                continue
            other = self.tasks[key]
            if insert:
                mine.add(key)
            else:
                mine.remove(key)
            getattr(other, counterpart)([self.name])
        if refresh:
            self.available_event.refresh_automate_waiter_task_list()

    def insert_input_tasks(self, keys):
        self._change(keys, self.input_tasks, True, "insert_output_tasks", True)

    def insert_output_tasks(self, keys):
        self._change(keys, self.output_tasks, True, "insert_input_tasks", False)

    def delete_input_tasks(self, keys):
        self._change(keys, self.input_tasks, False, "delete_output_tasks", False)

    def delete_output_tasks(self, keys):
        self._change(keys, self.output_tasks, False, "delete_input_tasks", False)


class Bare:
    """The two set updates of a link, and nothing else."""

    def __init__(self, name):
        self.name = name
        self.input_tasks = set()
        self.output_tasks = set()


# --- the run ------------------------------------------------------------------------

def ring(tasks):
    return [(tasks[i], tasks[(i + 1) % len(tasks)].name) for i in range(len(tasks))]


def linker(pairs):
    links = [(p.insert_output_tasks, [key]) for p, key in pairs]
    unlinks = [(p.delete_output_tasks, [key]) for p, key in pairs]

    def run():
        clock = time.perf_counter
        spent_in = spent_out = 0.0
        for _ in range(PASSES):
            t0 = clock()
            for fn, keys in links:
                fn(keys)
            t1 = clock()
            for fn, keys in unlinks:
                fn(keys)
            spent_in += t1 - t0
            spent_out += clock() - t1
        return spent_in, spent_out
    return run


def bare_linker(pairs, table):
    pairs = [(p, table[key]) for p, key in pairs]

    def run():
        clock = time.perf_counter
        spent_in = spent_out = 0.0
        for _ in range(PASSES):
            t0 = clock()
            for a, b in pairs:
                a.output_tasks.add(b.name)
                b.input_tasks.add(a.name)
            t1 = clock()
            for a, b in pairs:
                a.output_tasks.discard(b.name)
                b.input_tasks.discard(a.name)
            spent_in += t1 - t0
            spent_out += clock() - t1
        return spent_in, spent_out
    return run


def main():
    loop_name = _loop.install()  # before anything makes a loop
    runners = [engine.Real_tasks(f"wiring_{i}") for i in range(2)]
    for r in runners:
        r.start()
    wait_for(lambda: all(r.loop.is_running() for r in runners))
    t0 = time.perf_counter()
    tasks = [engine.async_task(loop_thread=runners[i % 2].name, name=f"wiring_{i}")
             for i in range(TASKS)]
    build_s = time.perf_counter() - t0
    py_table = {}
    py_tasks = [PyTask(py_table, runners[i % 2], f"py_{i}") for i in range(TASKS)]
    bare_table = {}
    bare = [Bare(f"bare_{i}") for i in range(TASKS)]
    for b in bare:
        bare_table[b.name] = b
    cases = {
        "engine": linker(ring(tasks)),
        "python": linker(ring(py_tasks)),
        "bare_sets": bare_linker(ring(bare), bare_table),
    }
    for run in cases.values():  # every consumer's event learns its producer's runner
        run()
    best_in = collections.defaultdict(lambda: float("inf"))
    best_out = collections.defaultdict(lambda: float("inf"))
    try:
        for _ in range(ROUNDS):
            for name, run in cases.items():
                spent_in, spent_out = run()
                best_in[name] = min(best_in[name], spent_in)
                best_out[name] = min(best_out[name], spent_out)
        assert all(not t.output_tasks and not t.input_tasks for t in tasks)
    finally:
        for r in runners:
            r.stop()
        names = {f"velkor runner {r.name}" for r in runners}
        wait_for(lambda: not any(t.name in names for t in threading.enumerate()))
        velkor_state.Tasks.clear()
    calls = PASSES * TASKS
    us_link = {k: v / calls * 1e6 for k, v in best_in.items()}
    us_unlink = {k: v / calls * 1e6 for k, v in best_out.items()}
    result = {
        "loop": loop_name,
        "tasks": TASKS,
        "links_per_round": calls,
        "build_s": round(build_s, 2),
        "us_per_link": {k: round(v, 3) for k, v in us_link.items()},
        "us_per_unlink": {k: round(v, 3) for k, v in us_unlink.items()},
        "links_per_s": {k: round(1e6 / v) for k, v in us_link.items()},
        "unlinks_per_s": {k: round(1e6 / v) for k, v in us_unlink.items()},
        "ratio_python_over_engine_link": round(us_link["python"] / us_link["engine"], 2),
        "ratio_python_over_engine_unlink": round(us_unlink["python"] / us_unlink["engine"], 2),
        "ratio_engine_over_bare_sets_link": round(us_link["engine"] / us_link["bare_sets"], 2),
        "ratio_engine_over_bare_sets_unlink": round(
            us_unlink["engine"] / us_unlink["bare_sets"], 2),
    }
    print(json.dumps(result))
    print(f"wiring: engine {result['links_per_s']['engine']:,} links/s and "
          f"{result['unlinks_per_s']['engine']:,} unlinks/s; python / engine time "
          f"{result['ratio_python_over_engine_link']:.2f}x (link), "
          f"{result['ratio_python_over_engine_unlink']:.2f}x (unlink); engine / bare set "
          f"updates {result['ratio_engine_over_bare_sets_link']:.2f}x (link), "
          f"{result['ratio_engine_over_bare_sets_unlink']:.2f}x (unlink)", file=sys.stderr)


if __name__ == "__main__":
    main()
