"""The hand-over from a producer to its consumers: waiter on a plain loop, and
trig_output on a producer's runner, consumer by consumer as each becomes
available, including consumers that go away while the producer waits."""
import asyncio
import inspect
import sys
import time
import types

import pytest

from velkor import velkor_state as S
from velkor.velkor import async_task, event_config, trig_output, waiter

from helpers import (Gate, available, key, make_task, record_waits, run_on, settle, until,
                     wait_for_mirrors, wait_until)


def test_the_hand_over_coroutines_are_coroutine_functions():
    for f in (waiter, trig_output, async_task.trig_output, async_task.temp_func):
        assert inspect.iscoroutinefunction(f), f


# --- waiter -------------------------------------------------------------------

def test_waiter_returns_every_set_key_in_table_order_and_leaves_no_task():
    async def main():
        me = asyncio.current_task()
        loop = asyncio.get_running_loop()
        table = {k: asyncio.Event() for k in "abcd"}
        table["d"].set()
        table["b"].set()
        assert await waiter(table) == ["b", "d"]
        await asyncio.sleep(0)  # the cancelled waits finish
        assert asyncio.all_tasks() == {me}

        table = {k: asyncio.Event() for k in "xyz"}
        loop.call_later(0.01, lambda: (table["z"].set(), table["x"].set()))
        assert await waiter(tasks_events=table) == ["x", "z"]

        # set and cleared again before the check: nothing to report
        table = {k: asyncio.Event() for k in "uv"}
        loop.call_later(0.01, lambda: (table["u"].set(), table["u"].clear()))
        assert await waiter(table) == []
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {me}

        with pytest.raises(ValueError):
            await waiter({})

    asyncio.run(asyncio.wait_for(main(), 5))


def test_a_cancelled_waiter_leaves_no_task():
    async def main():
        me = asyncio.current_task()
        table = {"a": asyncio.Event(), "b": asyncio.Event()}
        call = asyncio.create_task(waiter(table))
        await until(lambda: len(asyncio.all_tasks()) == 4, message="the waits")  # me, call, 2
        call.cancel()
        with pytest.raises(asyncio.CancelledError):
            await call
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {me}
        assert [len(e._waiters) for e in table.values()] == [0, 0]

    asyncio.run(asyncio.wait_for(main(), 5))


def test_a_wait_that_ends_by_itself_wakes_the_waiter_like_asyncio_wait():
    """A wait task cancelled by someone else, or failing, ends the wait as
    asyncio.wait(..., FIRST_COMPLETED) ends it: the set keys are reported, and
    the waiter itself neither raises nor is cancelled."""
    class Failing:
        async def wait(self):
            raise RuntimeError("no wait")

        def is_set(self):
            return False

    async def main():
        me = asyncio.current_task()
        table = {"a": asyncio.Event(), "b": asyncio.Event()}
        call = asyncio.create_task(waiter(table))
        await until(lambda: len(asyncio.all_tasks()) == 4, message="the waits")
        waits = asyncio.all_tasks() - {me, call}
        table["b"].set()
        next(iter(waits)).cancel()  # before the set reaches its wait
        assert await call == ["b"]
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {me}

        failing = {"f": Failing(), "e": asyncio.Event()}
        assert await waiter(failing) == []
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {me}
        assert len(failing["e"]._waiters) == 0

    asyncio.run(asyncio.wait_for(main(), 5))


def test_the_wait_tasks_come_from_the_loops_task_factory():
    made = []

    def factory(loop, coro, **kwargs):
        made.append(coro.__qualname__)
        return asyncio.Task(coro, loop=loop, **kwargs)

    async def main():
        asyncio.get_running_loop().set_task_factory(factory)
        table = {k: asyncio.Event() for k in "ab"}
        asyncio.get_running_loop().call_later(0.01, table["a"].set)
        assert await waiter(table) == ["a"]

    asyncio.run(asyncio.wait_for(main(), 5))
    assert made.count("Event.wait") == 2


def test_a_mirror_update_that_sets_the_event_wakes_the_waiter_in_its_own_turn():
    """The update wakes the waiter itself: a callback queued right behind the
    update already finds the wait over (through the wait task alone it would
    end two turns later). The report is the same, and nothing is left behind:
    no task, no waiter on the event, no reference to it."""
    runner = types.SimpleNamespace(Events_async={})
    S.loop_threads["node_0,plain"] = runner

    def update(value):
        coro = event_config(l_t="node_0,plain", event="e", value=value)
        with pytest.raises(StopIteration):  # it awaits nothing
            coro.send(None)

    async def main():
        me = asyncio.current_task()
        loop = asyncio.get_running_loop()
        update(False)
        mirror = runner.Events_async["e"]
        other = asyncio.Event()
        base = sys.getrefcount(mirror)
        for _ in range(3):
            call = asyncio.create_task(waiter({"k": mirror, "o": other}))
            await until(lambda: len(mirror._waiters) == 1, message="the wait")
            seen = []
            loop.call_soon(lambda: (update(True), loop.call_soon(lambda: seen.append(call.done()))))
            assert await call == ["k"]
            assert seen == [True]
            await asyncio.sleep(0)
            assert asyncio.all_tasks() == {me}
            assert (len(mirror._waiters), len(other._waiters)) == (0, 0)
            update(False)
        # a cancelled wait is forgotten too: setting its event later wakes nothing
        call = asyncio.create_task(waiter({"k": mirror}))
        await until(lambda: len(mirror._waiters) == 1, message="the wait")
        call.cancel()
        with pytest.raises(asyncio.CancelledError):
            await call
        update(True)
        await asyncio.sleep(0)
        assert asyncio.all_tasks() == {me}
        assert sys.getrefcount(mirror) == base

    asyncio.run(asyncio.wait_for(main(), 5))


# --- trig_output --------------------------------------------------------------

@pytest.fixture
def counted_waiter(monkeypatch):
    """velkor_state.waiter, recording the table of every call."""
    return record_waits(monkeypatch, S)


def test_trig_output_returns_at_once_when_there_is_nothing_to_wait_for(make_runner,
                                                                       counted_waiter):
    rp, rc = make_runner("p"), make_runner("c")
    ran = []
    p = make_task("p", rp)
    unlinked = make_task("c", rc, task=lambda: ran.append("c"))  # no mirror on rp
    remote = async_task(loop_thread=None, name="x", network_node_name="m")  # no events
    for outputs in ([], set(), ["node_0,gone", unlinked.name, remote.name]):
        assert run_on(rp, trig_output(my_task=p.name, output_tasks=outputs, tag="t")) is None
    # a producer that is not registered watches nothing either
    assert run_on(rp, trig_output("node_0,nobody", [unlinked.name])) is None
    assert counted_waiter == [] and ran == []
    assert unlinked.events[1] not in rp.Events_async


@pytest.mark.parametrize("order", [["a", "b"], ["b", "a"]])
def test_consumers_ready_together_are_served_in_output_order(make_runner, counted_waiter,
                                                             order):
    rp, rc = make_runner("p"), make_runner("c")
    served = []
    p = make_task("p", rp)
    consumers = [make_task(n, rc, task=lambda n=n: served.append(n)) for n in "ab"]
    p.insert_output_tasks([c.name for c in consumers])
    wait_for_mirrors(rp, *consumers, message="set mirrors on the producer's runner")
    keys = [key(n) for n in order]
    run_on(rp, trig_output(my_task=p.name, output_tasks=keys))
    wait_until(lambda: len(served) == 2, message="both consumers")
    assert served == order and counted_waiter == [keys]  # one wait serves both


@pytest.mark.parametrize("tag", ["t", None])
def test_each_kind_of_consumer_is_started_its_own_way(make_runner, tag):
    rp, rc = make_runner("p"), make_runner("c")
    got = []
    p = make_task("p", rp)
    plain = make_task("plain", rc, task=lambda v: got.append(v), Task_buffer_available=5)
    looped = make_task("looped", rc, WT=1)  # loop not started: its trigger stays set
    polled = make_task("polled", rc, WT=2, Task_buffer_available=5)
    consumers = (plain, looped, polled)
    p.insert_output_tasks([c.name for c in consumers])
    plain.insert_kwargs_buffer({"v": 1}, "t")
    looped.tag = polled.tag = "old"
    wait_for_mirrors(rp, *consumers, message="set mirrors on the producer's runner")
    run_on(rp, trig_output(my_task=p.name, output_tasks=[c.name for c in consumers], tag=tag))
    wait_until(lambda: got, message="the WT 0 consumer's step")
    assert got == [1] and plain.Task_buffer_available == 5
    assert looped.tag == tag and S.Events[looped.events[0]].is_set()
    assert polled.tag == "old" and polled.Task_buffer_available == 5 and polled.WT_run == 0
    assert not S.Events[polled.events[0]].is_set()


def test_a_trigger_loop_consumer_whose_trigger_event_is_gone_gets_its_tag_only(make_runner):
    rp, rc = make_runner("p"), make_runner("c")
    got = []
    p = make_task("p", rp)
    looped = make_task("looped", rc, WT=1)
    plain = make_task("plain", rc, task=lambda v: got.append(v))
    p.insert_output_tasks([looped.name, plain.name])
    plain.insert_kwargs_buffer({"v": 1}, "t")
    wait_for_mirrors(rp, looped, plain)
    S.Events[looped.events[0]].delete()
    # no error: the hand-over goes on to the next consumer
    run_on(rp, trig_output(my_task=p.name, output_tasks=[looped.name, plain.name], tag="t"))
    assert looped.tag == "t" and looped.events[0] not in S.Events
    wait_until(lambda: got == [1], message="the plain consumer's step")


def test_a_mirror_left_behind_by_a_deleted_event_is_waited_on_then_passed_over(
        make_runner, counted_waiter):
    rp, rc = make_runner("p"), make_runner("c")
    ran = []
    p = make_task("p", rp)
    c = make_task("c", rc, task=lambda: ran.append(1), Task_buffer_available=1)
    p.insert_output_tasks([c.name])
    c.insert_kwargs_buffer({}, "t")
    wait_for_mirrors(rp, c)
    S.Events[c.events[1]].delete()
    # a late update on the producer's loop re-creates the mirror, set
    run_on(rp, S.event_config(l_t=rp.name, event=c.events[1], value=True))
    assert rp.Events_async[c.events[1]].is_set()
    run_on(rp, trig_output(my_task=p.name, output_tasks=[c.name], tag="t"))
    assert counted_waiter == [[c.name]] and c.Task_buffer_available == 1  # never run
    time.sleep(0.02)
    assert ran == [] and "t" in c.kwargs_buffer


@pytest.mark.parametrize("how", ["cancel", "runner stop", "event deleted"])
def test_a_producer_passes_over_a_consumer_that_goes_while_it_waits(make_runner, capfd, how):
    rp, ra, rb = make_runner("p"), make_runner("a"), make_runner("b")
    got = []
    gate = Gate("a", ra)  # never opens
    a = gate.task
    b = make_task("b", rb, task=lambda v: got.append(v))
    p = make_task("p", rp, task=lambda: a.insert_kwargs_buffer({}, "t") or "t",
                  Task_buffer_available=1)
    p.insert_output_tasks([a.name, b.name])
    b.insert_kwargs_buffer({"v": 1}, "t")
    mirrors = rp.Events_async
    wait_for_mirrors(rp, a, value=False, message="the busy consumer's mirror")
    p.run()
    wait_until(lambda: got, message="the free consumer")  # served while a is busy
    settle(rp)
    assert p.Task_buffer_available == 0  # still waiting on a
    if how == "cancel":
        a.cancel()
    elif how == "runner stop":
        ra.stop()
    else:
        S.Events[a.events[1]].delete()  # a stays registered
    wait_until(lambda: p.Task_buffer_available == 1 and available(p),
               message="the producer to finish")
    assert got == [1] and gate.calls == [{}] and a.events[1] not in mirrors
    # a stopping runner unregisters its tasks after deleting their events
    wait_until(lambda: (a.name in S.Tasks) == (how == "event deleted"), message="a's key")
    assert capfd.readouterr() == ("", "")
