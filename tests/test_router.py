"""The router stage: construction and wiring, and dispatch of every item to
exactly one ready local consumer, also while consumers come and go."""
import asyncio
import collections
import threading
import time

import pytest

from velkor import velkor as engine
from velkor import velkor_state as S
from velkor.router import router
from velkor.velkor import async_task

from helpers import (DISPATCH, Gate, available, engine_entry, key, make_task, printed_traceback,
                     record_waits, run_on, runner_thread, runner_threads, source_entry,
                     wait_for_mirrors, wait_until)


def dispatch_mirrors():
    return S.loop_threads[DISPATCH].Events_async


def engine_task(r):
    return S.Tasks[key(r.name)]


def send(r, item, tag="t"):
    """Hand one item to the router's engine task once it can take one."""
    rt = engine_task(r)
    wait_until(lambda: available(rt), message="the router to be free")
    rt.insert_kwargs_buffer(item, tag)
    rt.run(tag)


def settled(r):
    """The router has finished with its last item."""
    rt = engine_task(r)
    wait_until(lambda: rt.Task_buffer_available == 1 and available(rt),
               message="the router to finish its item")


def taken(r):
    """The router's step has taken its item and waits for a consumer."""
    rt = engine_task(r)
    wait_until(lambda: rt.Task_buffer_available == 0 and not rt.kwargs_buffer,
               message="the router to take its item")


def empty_wait_report(task_key, times):
    """What the engine prints for a router step whose wait had nothing to wait
    on: the step, the router's run, the engine's waiter, then asyncio's wait."""
    trace = printed_traceback(
        engine_entry("async_task.temp_func"), engine_entry("router.run", "velkor.router"),
        engine_entry("waiter"),
        source_entry(asyncio.tasks.wait, "raise ValueError('Set of Tasks/Futures is empty.')"),
        error="ValueError: Set of Tasks/Futures is empty.")
    return (f"{task_key} task has error!!!\n" * times, trace * times)


@pytest.fixture
def waits(monkeypatch):
    """The engine's waiter as the router reaches it, recording each table;
    `waits.nothing` is how many of the next calls report nothing ready."""
    return record_waits(monkeypatch, engine)


def busy_on_dispatch(*gates):
    wait_for_mirrors(S.loop_threads[DISPATCH], *(g.task for g in gates), value=False,
                     message="cleared mirrors on the dispatch runner")


# --- construction and wiring ------------------------------------------------

def test_construction_registers_once_and_links_the_consumers(make_runner, capfd):
    rc = make_runner("c")
    a, b, c = (make_task(n, rc) for n in "abc")
    assert runner_threads() == [runner_thread(rc)]
    r = router("a", [a.name, b.name])
    assert r.name == "router_a" and S.router_dict == {"router_a": r}
    assert r.output_tasks == {a.name, b.name}
    rt = S.Tasks["node_0,router_a"]
    assert rt.task == r.run and rt.WT == 0 and rt.CPU_bound is False
    assert rt.Task_buffer_available == 1 and rt.incode_output_tasks == {a.name, b.name}
    assert a.incode_input_tasks == b.incode_input_tasks == {rt.name}
    dispatch = S.loop_threads[DISPATCH]
    assert rt.loop_thread is dispatch and runner_thread(dispatch) is not None
    wait_until(lambda: a.events[1] in dispatch.Events_async
               and b.events[1] in dispatch.Events_async, message="the consumers' mirrors")

    again = router("a", [c.name])  # a duplicate: reported, nothing more registered
    other = router(7)  # a second router shares the dispatch runner
    assert capfd.readouterr() == ("router a exists!\n", "")
    assert not hasattr(again, "name") and c.incode_input_tasks == set()
    assert S.router_dict == {"router_a": r, "router_7": other}
    assert set(S.Tasks) == {a.name, b.name, c.name, rt.name, "node_0,router_7"}
    assert set(S.loop_threads) == {rc.name, DISPATCH} and S.loop_threads[DISPATCH] is dispatch
    assert S.Tasks["node_0,router_7"].loop_thread is dispatch and other.output_tasks == set()
    assert len(runner_threads()) == 2


def test_a_dispatch_runner_already_registered_is_used_as_it_is(make_runner):
    own = make_runner("buffer_router", start=False)
    r = router("x")
    assert S.loop_threads[DISPATCH] is own and engine_task(r).loop_thread is own
    assert runner_thread(own) is None  # not started by the router


def test_insert_and_delete_output_tasks(make_runner):
    rc = make_runner("c")
    a, b = make_task("a", rc), make_task("b", rc)
    r = router("x", [a.name])
    key = engine_task(r).name
    with pytest.raises(KeyError):
        r.insert_output_tasks([b.name, "node_0,nobody"])
    assert r.output_tasks == {a.name, b.name} and b.incode_input_tasks == {key}
    # keys that are not consumers are passed over without any call
    assert r.delete_output_tasks(["node_0,nobody", "node_9,far"]) is None
    assert r.output_tasks == {a.name, b.name}
    r.delete_output_tasks((k for k in [a.name]))
    assert r.output_tasks == {b.name} and a.incode_input_tasks == set()
    assert engine_task(r).incode_output_tasks == {b.name}
    # a constructor that fails on an unknown consumer keeps what it did before
    with pytest.raises(KeyError):
        router("y", [a.name, "node_0,nobody"])
    y = S.router_dict["router_y"]
    assert y.output_tasks == {a.name} and a.incode_input_tasks == {"node_0,router_y"}
    assert engine_task(y).loop_thread is S.loop_threads[DISPATCH]


# --- dispatch -----------------------------------------------------------------

def test_every_item_reaches_exactly_one_free_consumer(make_runner):
    runners = [make_runner(f"c{i}") for i in range(3)]
    got, active, most = [], collections.Counter(), collections.Counter()

    def consumer(name, runner, pause):
        async def work(i):
            active[name] += 1
            most[name] = max(most[name], active[name])
            got.append((name, i))
            if i % pause == 0:
                await asyncio.sleep(0.003)
            active[name] -= 1

        return make_task(name, runner, task=work, Task_buffer_available=1)

    consumers = [consumer(f"k{i}", runners[i % 3], pause) for i, pause in
                 enumerate([3, 4, 5, 6, 7])]
    r = router("x", [c.name for c in consumers])
    n, items = 2000, iter(range(2000))

    def produce():
        i = next(items)
        S.Tasks["node_0,router_x"].insert_kwargs_buffer({"i": i}, f"t{i}")
        return f"t{i}"

    source = make_task("source", runners[0], task=produce, Task_buffer_available=1)
    source.insert_output_tasks([engine_task(r).name])
    for _ in range(n):
        wait_until(lambda: available(source), interval=0.0001, message="the source")
        source.run()
    wait_until(lambda: len(got) >= n, timeout=20, message="every item")
    settled(r)
    assert sorted(i for _, i in got) == list(range(n))
    assert max(most.values()) == 1  # never handed to a consumer that was busy
    assert len({name for name, _ in got}) > 1  # a busy consumer's items went elsewhere
    wait_until(lambda: all(c.Task_buffer_available == 1 for c in consumers),
               message="the consumers' last steps")
    assert not any(c.kwargs_buffer for c in consumers)


def test_of_several_ready_consumers_only_the_first_gets_the_item(make_runner):
    rc = make_runner("c")
    got = collections.defaultdict(list)
    consumers = [make_task(n, rc, task=lambda n=n, **kw: got[n].append(kw)) for n in "abc"]
    r = router("x", [c.name for c in consumers])
    wait_for_mirrors(S.loop_threads[DISPATCH], *consumers, message="set mirrors")
    first = next(iter(r.output_tasks)).split(",")[1]
    item = {"self": 1, "data": [2], "tag": "t"}  # any key is part of the item
    send(r, item)
    wait_until(lambda: got, message="a consumer")
    settled(r)
    time.sleep(0.05)  # nothing more arrives
    assert dict(got) == {first: [item]}
    assert all(not c.kwargs_buffer for c in consumers)


@pytest.mark.parametrize("tag", ["old", None])
def test_a_trigger_loop_consumer_is_woken_with_no_tag(make_runner, tag):
    rc = make_runner("c")
    got = []
    c = make_task("c", rc, WT=1, task=lambda **kw: got.append(kw))
    c.start()
    wait_until(lambda: c.WT_run == 1, message="the trigger loop")
    c.tag = tag
    r = router("x", [c.name])
    send(r, {"v": [1, 2]})
    wait_until(lambda: got, message="the consumer")
    assert got == [{"v": [1, 2]}] and c.tag is None and not c.kwargs_buffer


def test_a_trigger_loop_consumer_whose_trigger_event_is_gone_fails_the_item(make_runner, capfd):
    rc = make_runner("c")
    c = make_task("c", rc, WT=1)
    r = router("x", [c.name])
    wait_until(lambda: c.events[1] in dispatch_mirrors(), message="the mirror")
    S.Events[c.events[0]].delete()
    c.tag = "old"
    send(r, {"v": 1})
    settled(r)
    out, err = capfd.readouterr()
    assert out == "node_0,router_x task has error!!!\n"
    assert err.endswith(f"KeyError: {c.events[0]!r}\n")
    # buffered and tagged before the start failed
    assert list(c.kwargs_buffer.values()) == [{"v": 1}] and c.tag is None


def test_a_polling_consumer_gets_the_item_but_no_start(make_runner):
    rc = make_runner("c")
    busy = Gate("busy", rc)
    started = []
    polled = make_task("polled", rc, WT=2, task=lambda **kw: started.append(kw))
    r = router("x", [polled.name, busy.name])
    busy_on_dispatch(busy)
    send(r, {"v": 1})
    settled(r)
    assert list(polled.kwargs_buffer.values()) == [{"v": 1}]
    assert started == [] and polled.WT_run == 0
    assert polled.Task_buffer_available == float("inf")
    assert not S.Events[polled.events[0]].is_set()
    busy.open.set()
    wait_until(lambda: available(busy.task), message="the busy consumer to be free")
    time.sleep(0.05)  # the item does not go to it as well
    assert busy.calls == [{}]


def test_a_consumer_without_a_mirror_on_the_dispatch_runner_is_never_chosen(make_runner):
    rc = make_runner("c")
    busy = Gate("busy", rc)
    chosen = []
    idle = make_task("idle", rc, task=lambda **kw: chosen.append(kw))
    r = router("x", [busy.name])
    r.output_tasks.add(idle.name)  # not linked: the router has no mirror of it
    busy_on_dispatch(busy)
    send(r, {"v": 1})
    taken(r)
    time.sleep(0.05)  # the idle consumer is not chosen
    assert idle.events[1] not in dispatch_mirrors() and available(idle)
    busy.open.set()
    wait_until(lambda: len(busy.calls) == 2, message="the linked consumer")
    settled(r)
    assert busy.calls == [{}, {"v": 1}] and chosen == [] and not idle.kwargs_buffer


def test_a_router_with_nothing_to_wait_on_reports_each_item_and_goes_on(make_runner, capfd):
    rc = make_runner("c")
    far = async_task(loop_thread=None, name="far", network_node_name="node_1")
    empty, remote = router("empty"), router("remote", [far.name])
    for r in (empty, remote):
        for i in range(3):
            send(r, {"i": i})
            settled(r)
        assert capfd.readouterr() == empty_wait_report(key(r.name), 3)
    got = []
    local = make_task("local", rc, task=lambda **kw: got.append(kw))
    for r in (empty, remote):
        r.insert_output_tasks([local.name])
        send(r, {"r": r.name})
        wait_until(lambda: len(got) == (1 if r is empty else 2), message="the local consumer")
        settled(r)
    assert got == [{"r": "router_empty"}, {"r": "router_remote"}]
    assert not far.kwargs_buffer and capfd.readouterr() == ("", "")


def test_an_item_whose_only_ready_consumers_are_remote_is_dropped(make_runner, capfd):
    rc = make_runner("c")
    got = []
    c = make_task("c", rc, task=lambda **kw: got.append(kw))
    S.Tasks["node_1,c"] = c  # known here under another node's key, with a watched event
    r = router("x", ["node_1,c"])
    wait_until(lambda: c.events[1] in dispatch_mirrors(), message="the mirror")
    send(r, {"v": 1})
    settled(r)
    time.sleep(0.05)  # no consumer is started
    assert got == [] and not c.kwargs_buffer and capfd.readouterr() == ("", "")
    del S.Tasks["node_1,c"]  # one key per task again for the runners' shutdown


def test_a_ready_consumer_of_another_node_is_passed_over_without_an_error(make_runner, capfd):
    # A consumer of node_1: its events are registered there, not here; only
    # its service-available mirror on the dispatch runner is known here (set,
    # as an update from that node would leave it).
    rc = make_runner("c")
    far = async_task(loop_thread=None, name="far", network_node_name="node_1")
    r = router("x", [far.name])
    far.events = ["node_1,far,trigger", "node_1,far,event"]
    run_on(S.loop_threads[DISPATCH], engine.event_config(
        l_t=DISPATCH, event=far.events[1], value=True))
    for i in range(3):
        send(r, {"i": i})
        settled(r)
    assert not far.kwargs_buffer and capfd.readouterr() == ("", "")
    got = []
    local = make_task("local", rc, task=lambda **kw: got.append(kw))
    r.insert_output_tasks([local.name])
    wait_for_mirrors(S.loop_threads[DISPATCH], local, value=True, message="the local mirror")
    send(r, {"v": 1})
    wait_until(lambda: got == [{"v": 1}], message="the local consumer")
    settled(r)
    assert not far.kwargs_buffer and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("how", ["cancel", "runner stop", "event deleted"])
def test_a_consumer_that_goes_while_the_router_waits_is_passed_over(make_runner, capfd, how):
    ra, rb = make_runner("a"), make_runner("b")
    a, b = Gate("a", ra), Gate("b", rb)  # a's gate never opens
    r = router("x", [a.name, b.name])
    busy_on_dispatch(a, b)
    send(r, {"v": 1})
    taken(r)
    if how == "cancel":
        a.task.cancel()
    elif how == "runner stop":
        ra.stop()
    else:
        S.Events[a.task.events[1]].delete()  # a stays registered
    wait_until(lambda: a.task.events[1] not in dispatch_mirrors(), message="a's mirror to go")
    time.sleep(0.02)  # the router keeps waiting
    assert engine_task(r).Task_buffer_available == 0
    b.open.set()
    wait_until(lambda: len(b.calls) == 2, message="the other consumer")
    settled(r)
    assert a.calls == [{}] and b.calls == [{}, {"v": 1}] and not a.task.kwargs_buffer
    assert capfd.readouterr() == ("", "")


def test_consumers_change_from_another_thread_while_items_flow(make_runner):
    ra, rb = make_runner("a"), make_runner("b")
    got, errors, stop = [], [], threading.Event()
    a, b, d = (make_task(n, rr, task=lambda i, n=n: got.append((n, i)), Task_buffer_available=1)
               for n, rr in (("a", ra), ("b", rb), ("d", rb)))
    r = router("x", [a.name, d.name])
    r.delete_output_tasks([d.name])

    def toggle():
        try:
            while not stop.is_set():
                r.insert_output_tasks([b.name])
                r.delete_output_tasks([b.name])
                time.sleep(0.0002)
        except Exception as e:  # pragma: no cover - the failure itself
            errors.append(e)

    def deliver(first, count):
        for i in range(first, first + count):
            send(r, {"i": i}, f"t{i}")
        wait_until(lambda: len(got) == first + count, timeout=10, message="the items")
        settled(r)

    thread = threading.Thread(target=toggle)
    thread.start()
    try:
        deliver(0, 300)
    finally:
        stop.set()
        thread.join()
    assert errors == [] and r.output_tasks == {a.name}
    deliver(300, 100)
    assert sorted(i for _, i in got) == list(range(400))
    assert {n for n, i in got if i >= 300} == {"a"} and "d" not in {n for n, _ in got}


def test_a_wait_that_finds_nothing_ready_is_repeated(make_runner, waits):
    rc = make_runner("c")
    got = []
    c = make_task("c", rc, task=lambda **kw: got.append(kw))
    r = router("x", [c.name])
    wait_until(lambda: c.events[1] in dispatch_mirrors(), message="the mirror")
    waits.nothing = 2  # as if the event that woke the router was cleared again
    send(r, {"v": 1})
    wait_until(lambda: got, message="the consumer")
    settled(r)
    assert got == [{"v": 1}] and waits == [[c.name]] * 3


def test_a_mirror_left_behind_by_a_deleted_event_is_not_waited_on(make_runner, waits):
    rc = make_runner("c")
    busy = Gate("busy", rc)
    chosen = []
    left = make_task("left", rc, task=lambda **kw: chosen.append(kw))
    r = router("x", [left.name, busy.name])
    busy_on_dispatch(busy)
    name = left.events[1]
    S.Events[name].delete()
    # a late update on the dispatch loop re-creates the mirror, set
    dispatch = S.loop_threads[DISPATCH]
    run_on(dispatch, S.event_config(l_t=DISPATCH, event=name, value=True))
    assert dispatch.Events_async[name].is_set()
    send(r, {"v": 1})
    taken(r)
    time.sleep(0.05)  # the router does not wake for it
    assert waits == [[busy.name]]
    busy.open.set()
    wait_until(lambda: len(busy.calls) == 2, message="the busy consumer")
    settled(r)
    assert busy.calls == [{}, {"v": 1}] and chosen == [] and not left.kwargs_buffer
