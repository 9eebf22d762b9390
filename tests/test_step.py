"""How a task does its work: tagged data along chains of tasks on several
runners, flow control through the service-available event, the step in its
three waiting modes, stop/start, failures of a step, and runners stopping
with work in flight."""
import asyncio
import concurrent.futures
import contextlib
import threading
import time

import pytest

from velkor import velkor_state as S
from velkor.velkor import async_task

from helpers import (available, assert_clean, engine_entry, make_task, other_task_names,
                     printed_traceback, run_on, run_script, settle, wait_until)


@contextlib.contextmanager
def held(runner):
    """Keep the runner's loop busy: work submitted meanwhile queues up behind."""
    entered, release = threading.Event(), threading.Event()
    runner.loop.call_soon_threadsafe(lambda: (entered.set(), release.wait(5)))
    assert entered.wait(5)
    try:
        yield
    finally:
        release.set()


def blocking_work(started, ends):
    async def work():
        started.set()
        try:
            await asyncio.sleep(30)
        except asyncio.CancelledError:
            ends.append("cancelled")
            raise
    return work


# --- data along the graph -------------------------------------------------

def test_tagged_data_travels_along_a_chain_on_three_runners(make_runner):
    ra, rb, rc = (make_runner(n) for n in "abc")
    where, seen = set(), []

    def hop(me, data, to, tag):
        where.add((me, threading.current_thread().name))
        S.Tasks[to].insert_kwargs_buffer(data, tag)
        return tag

    async def fc(x, path):
        hop("c", {}, "node_0,c", "unused")
        seen.append((x, path))

    a = make_task("a", ra, task=lambda x: hop("a", {"x": x + 1, "path": "a"}, "node_0,b", f"b{x}"))
    b = make_task("b", rb, task=lambda x, path: hop("b", {"x": x * 10, "path": path + "b"},
                                                    "node_0,c", f"c{x}"))
    c = make_task("c", rc, task=fc)
    a.insert_output_tasks(["node_0,b"])
    b.insert_output_tasks(["node_0,c"])
    for i in (1, 2, 3):
        a.insert_kwargs_buffer({"x": i}, f"in{i}")
        a.run(f"in{i}")
    wait_until(lambda: len(seen) == 3, message="three items at the end of the chain")
    assert sorted(seen) == [(20, "ab"), (30, "ab"), (40, "ab")]
    assert sorted(where) == [(n, f"velkor runner node_0,{n}") for n in "abc"]
    assert (a.kwargs_buffer, b.kwargs_buffer) == ({}, {}) and list(c.kwargs_buffer) == ["unused"]


def test_inserts_of_two_producers_under_one_tag_arrive_merged(make_runner):
    r1, r2, rc = make_runner("1"), make_runner("2"), make_runner("c")
    got = []
    c = make_task("c", rc, task=lambda **kw: got.append(kw))
    p1 = make_task("p1", r1, task=lambda: c.insert_kwargs_buffer({"left": 1, "who": "p1"}, "k"))
    p2 = make_task("p2", r2,
                   task=lambda: c.insert_kwargs_buffer({"right": 2, "who": "p2"}, "k") or "k")
    p2.insert_output_tasks(["node_0,c"])  # only p2 starts c, once
    p1.run()
    wait_until(lambda: "k" in c.kwargs_buffer, message="p1's insert")
    p2.run()
    wait_until(lambda: got, message="c's step")
    settle(rc, turns=3)
    assert got == [{"left": 1, "right": 2, "who": "p2"}] and c.kwargs_buffer == {}


def test_untagged_data_is_consumed_oldest_first(make_runner):
    r = make_runner("r")
    got = []
    t = make_task("t", r, task=lambda n: got.append(n))
    for n in range(4):
        t.insert_kwargs_buffer({"n": n})
    for _ in range(4):
        t.run()
    wait_until(lambda: len(got) == 4, message="four steps")
    assert got == [0, 1, 2, 3] and t.kwargs_buffer == {}


def test_a_pass_through_task_hands_its_tag_on(make_runner):
    rp, rc = make_runner("p"), make_runner("c")
    got = []
    p = make_task("p", rp)
    c = make_task("c", rc, task=lambda **kw: got.append(kw))
    p.insert_output_tasks(["node_0,c"])
    p.insert_kwargs_buffer({"dropped": True}, "t")
    c.insert_kwargs_buffer({"v": 0}, "a")  # what an untagged start would take
    c.insert_kwargs_buffer({"v": 1}, "t")
    p.run("t")
    wait_until(lambda: got, message="c's step")
    assert got == [{"v": 1}] and p.kwargs_buffer == {} and list(c.kwargs_buffer) == ["a"]


@pytest.mark.parametrize("work_is_async", [False, True])
def test_a_cpu_bound_consumer_gets_its_data_and_hands_on(make_runner, work_is_async):
    rp, rc, rd = make_runner("p"), make_runner("c"), make_runner("d")
    rc.executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="cpu")
    ran, sunk = [], []

    def body(n):
        ran.append((n, threading.current_thread().name))
        S.Tasks["node_0,d"].insert_kwargs_buffer({"sq": n * n}, f"d{n}")
        return f"d{n}"

    async def async_body(n):
        return body(n)

    p = make_task("p", rp, task=lambda n: S.Tasks["node_0,c"].insert_kwargs_buffer(
        {"n": n}, f"c{n}") or f"c{n}")
    c = make_task("c", rc, task=async_body if work_is_async else body, CPU_bound=True)
    d = make_task("d", rd, task=lambda sq: sunk.append(sq))
    p.insert_output_tasks(["node_0,c"])
    c.insert_output_tasks(["node_0,d"])
    try:
        for n in (2, 3):
            p.insert_kwargs_buffer({"n": n}, f"in{n}")
            p.run(f"in{n}")
        wait_until(lambda: len(sunk) == 2, message="two items through the CPU-bound task")
    finally:
        rc.executor.shutdown(wait=True)
    assert sorted(sunk) == [4, 9]
    assert sorted(ran) == [(2, "cpu_0"), (3, "cpu_0")]


# --- flow control -------------------------------------------------------------

def test_with_room_for_one_start_the_event_is_clear_while_the_step_runs(make_runner):
    r, rp = make_runner("r"), make_runner("p")
    gate = threading.Event()
    t = make_task("t", r, task=lambda: gate.wait(5), Task_buffer_available=1)
    make_task("p", rp).insert_output_tasks(["node_0,t"])
    wait_until(lambda: t.events[1] in rp.Events_async, message="t's mirror on p's runner")
    mirror = rp.Events_async[t.events[1]]
    t.run()
    assert t.Task_buffer_available == 0 and not available(t)  # decided in run itself
    wait_until(lambda: not mirror.is_set(), message="the mirror to clear")
    gate.set()
    wait_until(lambda: t.Task_buffer_available == 1 and available(t) and mirror.is_set(),
               message="the unit to come back")


def test_back_pressure_keeps_a_fast_producer_from_overrunning_a_slow_consumer(make_runner):
    rp, rc = make_runner("p"), make_runner("c")
    n_items = 12
    got, in_flight, peak, counts = [], [0], [0], []

    async def slow(i):
        in_flight[0] += 1
        peak[0] = max(peak[0], in_flight[0])
        counts.append(S.Tasks["node_0,c"].Task_buffer_available)
        await asyncio.sleep(0.01)
        got.append(i)
        in_flight[0] -= 1

    def fast(i):
        S.Tasks["node_0,c"].insert_kwargs_buffer({"i": i}, f"c{i}")
        return f"c{i}"

    # Room for two entries: the one not yet taken and the next. A producer
    # that did not wait for the consumer would push the oldest out.
    c = make_task("c", rc, task=slow, Task_buffer_available=1, kwargs_buffer_len=2)
    p = make_task("p", rp, task=fast, Task_buffer_available=1)
    p.insert_output_tasks(["node_0,c"])
    for i in range(n_items):
        wait_until(lambda: available(p), message=f"p to take item {i}")
        p.insert_kwargs_buffer({"i": i}, f"in{i}")
        p.run(f"in{i}")
    wait_until(lambda: len(got) == n_items, message="every item at the consumer")
    assert got == list(range(n_items)) and peak == [1] and counts == [0] * n_items
    wait_until(lambda: available(p) and available(c), message="both to be idle")
    assert (p.Task_buffer_available, c.Task_buffer_available) == (1, 1)


@pytest.mark.parametrize("how", ["stop", "cancel", "runner stop"])
def test_a_cancelled_step_returns_its_unit_but_a_task_going_away_is_offered_no_work(
        make_runner, capfd, how):
    r = make_runner("r")
    started, ends = threading.Event(), []
    t = make_task("t", r, task=blocking_work(started, ends), Task_buffer_available=1)
    event = S.Events[t.events[1]]
    t.run()
    assert started.wait(5) and t.Task_buffer_available == 0 and not event.is_set()
    {"stop": t.stop, "cancel": t.cancel, "runner stop": r.stop}[how]()
    wait_until(lambda: ends and t.Task_buffer_available == 1, message="the unit")
    if how == "runner stop":
        wait_until(r.loop.is_closed, message="the runner to close")
    else:
        settle(r, turns=3)
    assert ends == ["cancelled"] and event.is_set() == (how == "stop")
    assert capfd.readouterr() == ("", "")
    if how != "stop":
        assert t.events[1] not in S.Events and t.name not in S.Tasks
        return
    assert run_on(r, other_task_names()) == []
    started.clear()
    t.start()  # takes work again
    assert started.wait(5) and t.Task_buffer_available == 0


def test_a_step_cancelled_before_it_ran_returns_its_unit(make_runner):
    r = make_runner("r")
    calls = []
    t = make_task("t", r, task=lambda **kw: calls.append(kw), Task_buffer_available=1)
    t.insert_kwargs_buffer({"v": 1}, "x")
    with held(r):
        t.run("x")
        t.stop()  # its cancellation reaches the loop before the step's first turn
        assert t.Task_buffer_available == 0 and not available(t)
    wait_until(lambda: t.Task_buffer_available == 1 and available(t), message="the unit")
    settle(r, turns=3)
    assert calls == [] and list(t.kwargs_buffer) == ["x"]


def test_steps_run_in_order_after_the_work_queued_before_their_first_turn(make_runner):
    """Steps queued together with other work keep their order, and a step's
    first turn comes after the work submitted behind it before it ran (here
    an event update): a step may start at once only when nothing follows it."""
    from velkor.velkor import custom_event

    r = make_runner("r")
    log = []
    flag = custom_event("flag")
    t = make_task("t", r, task=lambda v: log.append((v, r.Events_async[flag.name].is_set())))
    flag.insert_custom_waiter_task(t.name)
    wait_until(lambda: flag.name in r.Events_async, message="the mirror")
    for v in "abcd":
        t.insert_kwargs_buffer({"v": v}, v)
    with held(r):
        t.run("a")
        flag.set()
        t.run("b")
        t.run("c")
    wait_until(lambda: len(log) == 3, message="three steps")
    with held(r):
        flag.clear()
        t.run("d")  # nothing behind it: it may start at once
    wait_until(lambda: len(log) == 4, message="the fourth step")
    assert log == [("a", True), ("b", True), ("c", True), ("d", False)]


@pytest.mark.parametrize("how", ["state", "subclass", "instance"])
def test_a_step_hands_over_through_a_replaced_trig_output(make_runner, monkeypatch, how):
    """The step awaits self.trig_output(tag), which awaits
    velkor_state.trig_output: a replacement at either place is what runs."""
    r = make_runner("r")
    calls = []
    cls = async_task
    if how == "state":
        real = S.trig_output

        async def recording(my_task, output_tasks, tag=None):
            calls.append(("state", my_task, tag))
            return await real(my_task=my_task, output_tasks=output_tasks, tag=tag)

        monkeypatch.setattr(S, "trig_output", recording)
    elif how == "subclass":
        class Sub(async_task):
            async def trig_output(self, tag):
                calls.append(("subclass", self.name, tag))
                return await async_task.trig_output(self, tag)

        cls = Sub
    t = cls(loop_thread=r.name, name="t", task=lambda: "x")
    if how == "instance":
        async def own(tag):
            calls.append(("instance", t.name, tag))

        t.trig_output = own
    t.run()
    wait_until(lambda: calls, message="the hand-over")
    settle(r, turns=3)
    assert calls == [(how, t.name, "x")]


def test_a_stopped_task_ignores_run_and_start_runs_it_without_a_tag(make_runner):
    r = make_runner("r")
    got = []
    t = make_task("t", r, task=lambda v: got.append(v), Task_buffer_available=3)
    t.stop()
    t.insert_kwargs_buffer({"v": "y"}, "y")
    t.insert_kwargs_buffer({"v": "x"}, "x")
    t.run("y")
    assert t.Task_buffer_available == 3
    settle(r, turns=3)
    assert got == [] and list(t.kwargs_buffer) == ["y", "x"]
    t.start()
    wait_until(lambda: got and t.Task_buffer_available == 3, message="the started step")
    settle(r, turns=3)
    assert got == ["x"] and list(t.kwargs_buffer) == ["y"]  # untagged: the least key


def test_a_task_of_another_node_runs_without_events(make_runner):
    ran = []
    t = async_task(loop_thread=None, name="x", network_node_name="m",
                   task=lambda: ran.append(1), Task_buffer_available=1)
    t.run()
    assert t.Task_buffer_available == 0 and t.events == []
    t.loop_thread.start()
    wait_until(lambda: ran and t.Task_buffer_available == 1, message="the remote task's step")


# --- failures of a step -------------------------------------------------------

def test_a_failing_work_function_is_reported_and_the_task_goes_on(make_runner, capfd):
    r = make_runner("r")
    sunk = []
    t = make_task("t", r, task=lambda x: f"t{1 // x}", Task_buffer_available=1)
    c = make_task("c", r, task=lambda **kw: sunk.append(kw))
    t.insert_output_tasks(["node_0,c"])
    c.insert_kwargs_buffer({"from": "t1"}, "t1")  # what a start of c would take
    t.insert_kwargs_buffer({"x": 0}, "bad")
    t.run("bad")
    wait_until(lambda: t.Task_buffer_available == 1 and available(t), message="the unit")
    settle(r, turns=3)
    out, err = capfd.readouterr()
    assert out == "node_0,t task has error!!!\n" and sunk == []
    assert err.startswith("Traceback (most recent call last):\n")
    assert err.endswith("\nZeroDivisionError: integer division or modulo by zero\n")
    t.insert_kwargs_buffer({"x": 1}, "good")
    t.run("good")
    wait_until(lambda: sunk, message="the output to run")
    assert sunk == [{"from": "t1"}] and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("tag, err", [
    (42, None),
    (("x", 1), None),
    (["x"], printed_traceback(engine_entry("async_task.temp_func"),
                              engine_entry("async_task.activation_check"),
                              error="TypeError: unhashable type: 'list'")),
])
def test_a_work_function_returning_a_tag_that_is_not_a_string(make_runner, capfd, tag, err):
    rp, rc = make_runner("p"), make_runner("c")
    calls = []
    p = make_task("p", rp, task=lambda: tag, Task_buffer_available=1)
    c = make_task("c", rc, task=lambda **kw: calls.append(kw), Task_buffer_available=1)
    p.insert_output_tasks(["node_0,c"])
    c.insert_kwargs_buffer({"v": 1}, "x")
    p.run()
    wait_until(lambda: p.Task_buffer_available == 1, message="p's step")  # c.run was called
    settle(rc, turns=3)
    assert calls == [] and list(c.kwargs_buffer) == ["x"]
    assert c.Task_buffer_available == 1 and available(c)
    out, error = capfd.readouterr()
    assert out == ("node_0,c task has error!!!\n" if err else "")
    assert error == (err or "")


@pytest.mark.parametrize("entry, outcome", [
    ([("v", 1)], ({"v": 1}, "", "")),
    (5, (None, "node_0,t task has error!!!\n",
         printed_traceback(engine_entry("async_task.temp_func"),
                           error="TypeError: 'int' object is not iterable"))),
])
def test_an_entry_that_is_not_a_mapping(make_runner, capfd, entry, outcome):
    r = make_runner("r")
    calls = []
    t = make_task("t", r, task=lambda **kw: calls.append(kw), Task_buffer_available=1)
    t.insert_kwargs_buffer(entry)  # untagged: stored as it is
    t.run()
    wait_until(lambda: t.Task_buffer_available == 1 and available(t), message="the unit")
    settle(r, turns=3)
    assert (calls[0] if calls else None, *capfd.readouterr()) == outcome
    assert t.kwargs_buffer == {}


# --- the loops of modes 1 and 2 -----------------------------------------------

def test_a_trigger_loop_runs_once_per_trigger_and_keeps_its_loop_free(make_runner):
    r = make_runner("r")
    calls = []
    t = make_task("t", r, WT=1, task=lambda **kw: calls.append(kw), Task_buffer_available=1)
    trigger = S.Events[t.events[0]]
    t.run()
    wait_until(lambda: t.WT_run == 1, message="the loop to start")
    assert t.Task_buffer_available == 0 and not available(t)

    t.insert_kwargs_buffer({"v": 1}, "x")
    t.tag = "x"
    assert trigger.set()
    wait_until(lambda: calls, message="the first iteration")
    run_on(r, asyncio.sleep(0.01), timeout=5)  # a spinning loop would never get here
    time.sleep(0.05)
    assert calls == [{"v": 1}] and not trigger.is_set()
    wait_until(lambda: t.Task_buffer_available == 1 and available(t), message="the unit")

    t.tag = None
    trigger.set()
    wait_until(lambda: len(calls) == 2 and t.Task_buffer_available == 2, message="iteration 2")
    assert calls[1] == {}

    t.run()  # the loop is running: the step returns at once, with no unit
    assert t.Task_buffer_available == 1
    settle(r, turns=3)
    assert run_on(r, other_task_names()) == ["node_0,t"] and t.Task_buffer_available == 1
    trigger.set()
    wait_until(lambda: len(calls) == 3, message="iteration 3")
    time.sleep(0.05)
    assert len(calls) == 3  # still one loop


def test_a_trigger_loop_cancelled_during_an_iteration_ends_and_frees_its_runner(
        make_runner, capfd):
    r = make_runner("r")
    entered, gate = threading.Event(), threading.Event()
    t = make_task("t", r, WT=1, task=lambda: (entered.set(), gate.wait(5)),
                  Task_buffer_available=1)
    event = S.Events[t.events[1]]
    t.run()
    wait_until(lambda: t.WT_run == 1, message="the loop to start")
    S.Events[t.events[0]].set()
    assert entered.wait(5)
    t.cancel()  # all done while the work function holds the loop
    gate.set()
    assert run_on(r, other_task_names(), timeout=10) == []
    assert t.Task_buffer_available == 1 and not event.is_set()
    assert capfd.readouterr() == ("", "")


def test_a_polling_loop_runs_every_period_and_gives_no_unit_back(make_runner):
    r = make_runner("r")
    calls, sunk = [], []

    def poll(**kw):
        calls.append(kw)
        S.Tasks["node_0,c"].insert_kwargs_buffer({"n": len(calls)}, "out")
        return "out"

    t = make_task("t", r, WT=2, WT_sleep=0.01, task=poll, Task_buffer_available=2)
    make_task("c", r, task=lambda n: sunk.append(n))
    t.insert_output_tasks(["node_0,c"])
    t.start()
    wait_until(lambda: len(sunk) >= 3, message="three polls handed on")
    assert all(kw == {} for kw in calls) and sunk == sorted(sunk)
    assert t.Task_buffer_available == 1 and available(t)

    t.run()  # second start: no second loop, the count only goes down
    assert t.Task_buffer_available == 0 and not available(t)
    t.insert_kwargs_buffer({"v": 7}, "x")
    t.tag = "x"  # from now on the polls activate with "x"
    wait_until(lambda: {"v": 7} in calls, message="the poll of x")
    settle(r, turns=3)
    count = len(calls)
    time.sleep(0.05)
    assert len(calls) == count  # nothing buffered under "x" any more
    assert run_on(r, other_task_names()) == ["node_0,t"]
    assert t.Task_buffer_available == 0 and not available(t)


@pytest.mark.parametrize("wt", [1, 2])
def test_start_after_stop_does_not_restart_a_loop(make_runner, wt):
    r = make_runner("r")
    calls = []
    t = make_task("t", r, WT=wt, WT_sleep=0.005, task=lambda: calls.append(1),
                  Task_buffer_available=3)
    t.start()
    wait_until(lambda: t.WT_run == 1, message="the loop to start")
    t.stop()
    wait_until(lambda: run_on(r, other_task_names()) == [], message="the loop to end")
    t.start()
    settle(r, turns=3)
    S.Events[t.events[0]].set()
    done = len(calls)
    time.sleep(0.05)
    assert len(calls) == done and t.WT_run == 1
    assert run_on(r, other_task_names()) == []


@pytest.mark.parametrize("wt", [3, -1, "1"])
def test_an_unknown_mode_does_nothing(make_runner, wt):
    r = make_runner("r")
    calls = []
    t = make_task("t", r, WT=wt, task=lambda **kw: calls.append(kw), Task_buffer_available=1)
    t.insert_kwargs_buffer({"v": 1}, "x")
    t.run("x")
    settle(r, turns=3)
    assert calls == [] and list(t.kwargs_buffer) == ["x"] and t.WT_run == 0
    assert t.Task_buffer_available == 0 and not available(t)
    assert run_on(r, other_task_names()) == []


# --- runners stopping with work in flight -------------------------------------

# Run after the scripts' prelude (the suite's loop, the engine, wait_until).
SCENARIO = """
import concurrent.futures

runners = [V.Real_tasks(n) for n in ("p", "c", "l", "x")]
for r in runners:
    r.start()
for r in runners:
    wait_until(r.loop.is_running)

started, busy, gate = threading.Event(), threading.Event(), threading.Event()
async def stuck(**kw):
    started.set()
    await asyncio.sleep(30)

async def crunch(**kw):
    busy.set()
    gate.wait(10)

runners[3].executor = pool = concurrent.futures.ThreadPoolExecutor(1)
x = V.async_task(loop_thread="node_0,x", name="x", task=crunch, CPU_bound=True)
for i in range(5):
    x.run()                     # one in the worker, the others queued behind it
busy.wait(5)

c = V.async_task(loop_thread="node_0,c", name="c", task=stuck, Task_buffer_available=1)
p = V.async_task(loop_thread="node_0,p", name="p", task=lambda **kw: "t")
p.insert_output_tasks(["node_0,c"])
V.async_task(loop_thread="node_0,l", name="w1", WT=1, task=lambda **kw: None).run()
V.async_task(loop_thread="node_0,l", name="w2", WT=2, WT_sleep=0.001,
             task=lambda **kw: None).run()
c.run()
started.wait(5)
for i in range(20):
    p.run()                     # these wait on the busy consumer
    c.run()                     # and these queue on its runner
for r in runners:
    r.stop()
for r in runners:
    wait_until(r.loop.is_closed)
gate.set()
pool.shutdown(wait=True)
gc.collect()
print("ok")
"""


def test_runners_stopping_with_work_in_flight_leave_no_warnings():
    assert_clean(run_script(SCENARIO), "ok\n")  # on the suite's loop
