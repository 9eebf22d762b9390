"""Memory over rounds: the same workload built, driven and torn down again and
again must leave the process where it was.

One round builds a small graph on two runners plus the router's dispatch
runner (a source, a router, two workers, a sink), moves ITEMS items through
it, leaves one step hanging inside a C++ coroutine, then cancels every task,
stops every runner and waits for their threads. After the first rounds the
resident set size (the live heap under AddressSanitizer) and the number of
objects the collector tracks stay flat, no object of the engine survives its
round (its C++ coroutine objects included), and the live frame and coroutine
counters of the bridge are back where they started. The bridge's coroutine
type is one for every module, and so are its counters (_pyco_test.stats() in
the test build): they cover the engine's coroutines and those of the bridge's
test module, which the workers await on the way. The coroutine objects are
also counted through the collector, which tracks them.

A second group checks that a reference cycle running through a task (work
function -> closure -> task) is collected once the task is cancelled and
dropped.
"""
import asyncio
import collections
import ctypes
import gc
import threading
import time
import weakref

import psutil
import pytest

import _pyco_test as bridge
from velkor import velkor_state as S
from velkor.router import router
from velkor.velkor import async_task

from helpers import wait_for_flow as wait_until
from helpers import (DISPATCH, available, bridge_live, clear_tables, feed_when_free, key,
                     runner_threads, settle, start_runner)

pytestmark = pytest.mark.timeout(120)

ROUNDS = 10
ITEMS = 10_000  # per round; about 1 s of flow per round on a 2-core machine
WARM_UP = 2  # rounds before the reference round
MEMORY_SLACK = 3 * 1024 * 1024  # bytes the later rounds may sit above the reference
OBJECT_SLACK = 200  # tracked objects the later rounds may sit above the reference
PATIENCE = 30  # seconds a round may take before the test gives up on it
ENGINE_TYPES = ("async_task", "Real_tasks", "custom_event", "router", "dravel", "buffer")


def memory_meter():
    """(label, function returning bytes in use) for the memory check.

    The resident set size, except under AddressSanitizer: there freed blocks
    wait in a quarantine of hundreds of MiB before reuse and the allocator
    maps its own regions, so RSS wanders by several MiB from round to round
    whatever the program does. The sanitizer's allocator counts the bytes of
    the blocks alive instead, which is the figure a leak moves (Python objects
    included: the sanitized runs send them through malloc)."""
    try:
        live = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        process = psutil.Process()
        return "rss", lambda: process.memory_info().rss
    live.restype = ctypes.c_size_t
    live.argtypes = []
    return "heap", live


def census():
    """Objects the collector tracks, by kind of interest."""
    counts = collections.Counter()
    objects = gc.get_objects()
    for o in objects:
        name = type(o).__name__
        if name == "cxx_coroutine":
            counts["engine coroutines"] += 1
        elif name in ENGINE_TYPES and type(o).__module__.startswith("velkor"):
            counts[name] += 1
        elif isinstance(o, asyncio.AbstractEventLoop):
            counts["event loops"] += 1
        elif isinstance(o, asyncio.Task):
            counts["asyncio tasks"] += 1
    counts["all"] = len(objects)
    return counts


class Workload:
    """source -> router -> (w1 | w2) -> sink, on runners a and b, plus the
    dispatch runner the router creates. w2 and the sink await coroutines of
    the bridge's test module on the way.

    The router hands an item to the first ready worker in its own order, so a
    quick worker can take every item. To have both paths carry flow in every
    round, a worker's step waits until the other worker has been served once:
    the first one served stays busy until the router hands an item to the
    other one."""

    def __init__(self):
        self.runners = [start_runner("a"), start_runner("b")]
        self.lock = threading.Lock()
        self.per_worker = collections.Counter()
        self.arrived = set()
        self.hanging = threading.Event()
        a, b = (r.name for r in self.runners)
        self.served = {"w1": threading.Event(), "w2": threading.Event()}

        async def both_served(me, other):
            self.served[me].set()
            deadline = time.monotonic() + PATIENCE
            while not self.served[other].is_set() and time.monotonic() < deadline:
                await asyncio.sleep(0.001)

        async def sink(item, via):
            await bridge.yield_loop(1)
            with self.lock:
                self.arrived.add(item)
                self.per_worker[via] += 1

        def hand_to_sink(name, item):
            tag = f"{name}#{item}"
            S.Tasks[key("sink")].insert_kwargs_buffer({"item": item, "via": name}, tag)
            return tag

        async def w1(item):
            await both_served("w1", "w2")
            return hand_to_sink("w1", item)

        async def w2(item):
            await both_served("w2", "w1")
            await bridge.add(a=item, b=0)
            return hand_to_sink("w2", item)

        def source(item):
            tag = f"s#{item}"
            S.Tasks[key("router_r")].insert_kwargs_buffer({"item": item}, tag)
            return tag

        async def hang():
            sleeping = bridge.sleep_loop(10 ** 9, 0.05)  # its frame exists from here
            self.hanging.set()
            await sleeping

        self.sink = async_task(loop_thread=b, name="sink", task=sink, Task_buffer_available=4)
        self.w1 = async_task(loop_thread=a, name="w1", task=w1, Task_buffer_available=2)
        self.w2 = async_task(loop_thread=b, name="w2", task=w2, Task_buffer_available=2)
        self.w1.insert_output_tasks([self.sink.name])
        self.w2.insert_output_tasks([self.sink.name])
        self.router = router("r", [self.w1.name, self.w2.name])
        self.source = async_task(loop_thread=a, name="source", task=source,
                                 Task_buffer_available=4)
        self.source.insert_output_tasks([key("router_r")])
        self.hanger = async_task(loop_thread=a, name="hanger", task=hang)
        self.runners.append(S.loop_threads[DISPATCH])

    def feed(self, items, timeout=PATIENCE):
        feed_when_free(self.source, items, lambda i: {"item": i}, timeout)

    def drain(self, count):
        wait_until(lambda: len(self.arrived) >= count, timeout=PATIENCE,
                   message=f"{count} items at the sink")
        # Every unit back: the graph is quiet again.
        tasks = (self.source, self.w1, self.w2, self.sink, S.Tasks[key("router_r")])
        wait_until(lambda: all(available(t) for t in tasks), timeout=10,
                   message="every task to be available again")

    def hang_one_step(self):
        self.hanger.run()
        assert self.hanging.wait(5), "the hanging step never started"

    def tear_down(self):
        # Stricter than the world's tear-down (helpers.engine_world): the
        # round cancels every task itself, and each of its runners must end
        # by its own stop().
        for name in list(S.Tasks):
            task = S.Tasks.get(name)
            if task is not None:
                task.cancel()
        for r in self.runners:
            r.stop()
        wait_until(lambda: not runner_threads(), timeout=10, message="the runner threads to end")
        assert all(r.loop.is_closed() for r in self.runners)
        clear_tables()


def one_round(round_no):
    work = Workload()
    work.feed(range(ITEMS))
    work.drain(ITEMS)
    assert work.arrived == set(range(ITEMS)), f"round {round_no}: items lost"
    assert sum(work.per_worker.values()) == ITEMS, f"round {round_no}: items repeated"
    assert work.per_worker["w1"] and work.per_worker["w2"], work.per_worker
    work.hang_one_step()
    assert bridge_live(bridge)[0] > 0  # the hanging step sits inside a bridge coroutine
    work.tear_down()


def test_rounds_of_flow_leave_memory_and_live_objects_flat():
    label, in_use = memory_meter()
    gc.collect()
    bridge_start = bridge_live(bridge)
    start = census()
    figures = []
    for round_no in range(1, ROUNDS + 1):
        one_round(round_no)
        gc.collect()
        counts = census()
        figures.append((round_no, in_use(), counts["all"]))
        # Nothing of the round survives it.
        for kind in ENGINE_TYPES + ("engine coroutines", "event loops", "asyncio tasks"):
            assert counts[kind] <= start[kind], (
                f"round {round_no}: {counts[kind] - start[kind]} {kind} left alive")
        live = bridge_live(bridge)
        assert live == bridge_start, f"round {round_no}: bridge counters {live}"
    report = "\n".join(f"round {n:2}: {label} {mem / 2**20:8.2f} MiB, tracked objects {objs}"
                       for n, mem, objs in figures)
    print(f"\n{ITEMS} items per round\n{report}")
    _, ref_mem, ref_objects = figures[WARM_UP]
    for round_no, mem, objects in figures[WARM_UP + 1:]:
        assert mem - ref_mem <= MEMORY_SLACK, f"round {round_no}: {label} grew\n{report}"
        assert objects - ref_objects <= OBJECT_SLACK, f"round {round_no}: objects grew\n{report}"


# --- reference cycles through a task ----------------------------------------------

class Target:
    """Reached from the work function's closure; holds the task."""


def cyclic_task(runner, name, mode):
    """A task whose work function reaches the task itself through its closure.
    Returns a weak reference to the object in the middle of the cycle."""
    target = Target()
    target.calls = 0

    def work(**kwargs):
        target.calls += 1
        return target.task.name

    target.task = async_task(loop_thread=runner.name, name=name, task=work,
                             WT=1 if mode == "trigger loop" else 0)
    if mode == "ran":
        target.task.run()
        wait_until(lambda: target.calls == 1 and available(target.task),
                   message="the step to end")
    elif mode == "trigger loop":
        target.task.run()
        wait_until(lambda: target.task.WT_run == 1, message="the trigger loop to start")
        S.Events[target.task.events[0]].set()
        wait_until(lambda: target.calls == 1, message="the triggered step")
    return weakref.ref(target)


@pytest.mark.parametrize("mode", ["idle", "ran", "trigger loop"])
def test_cycle_through_a_cancelled_task_is_collected(make_runner, mode):
    runner = make_runner("a")
    ref = cyclic_task(runner, "cyclic", mode)
    gc.collect()
    assert ref() is not None  # held by the task table until the cancel
    S.Tasks[key("cyclic")].cancel()
    # The cancel request runs on the runner's loop; once a later job has run
    # there, the steps of the task have been cancelled.
    settle(runner)
    settle(runner)
    gc.collect()
    assert ref() is None, "the cycle through the cancelled task was not collected"
    assert not any(type(o).__name__ == "async_task" for o in gc.get_objects())


def test_cycle_through_a_task_of_a_stopped_runner_is_collected(make_runner):
    runner = make_runner("a")
    ref = cyclic_task(runner, "cyclic", "trigger loop")
    other = cyclic_task(runner, "cyclic2", "ran")
    runner.stop()  # cancels every task bound to the runner
    wait_until(lambda: not runner_threads(), message="the runner thread to end")
    assert not S.Tasks
    gc.collect()
    assert ref() is None and other() is None
