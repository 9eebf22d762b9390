"""Wiring while items flow: threads add and remove links (task output and
input links, in-code links, a router's consumers, a dravel's consumer), or
cancel consumers and build them again, while items move through the graph.
A last group sets and clears one event from two threads at once, as a
consumer's run() and its step's unit return do.

The wiring threads must never see an exception, the engine must not report
an error (no "task has error!!!", no "Set changed size during iteration"),
an item may only reach a task that was linked at some moment between the
item's hand-over and its arrival, no item may arrive twice, an item whose
consumer stays linked must arrive, and once the wiring stops the graph still
moves every item end to end.

Link changes and arrivals are stamped with one shared counter (the clock),
so "linked at some moment in between" is checked without timing: a link
counts from just before its insert call to just after its delete call.
"""
import asyncio
import collections
import itertools
import math
import random
import threading
import time
import traceback

import pytest

from velkor import velkor_state as S
from velkor.dravel import dravel
from velkor.router import router
from velkor.velkor import async_task, buffer, custom_event

from helpers import wait_for_flow as wait_until
from helpers import DISPATCH, available, dump_threads, feed_when_free, key, settle

pytestmark = pytest.mark.timeout(90)

PATIENCE = 20  # seconds a flow may take before the test gives up on it
ENGINE_FAULTS = ("Set changed size during iteration", "task has error!!!", "Traceback",
                 "Can not delete Event")


class Timeline:
    """Link intervals per consumer on one counter shared by every thread."""

    def __init__(self):
        self._clock = itertools.count()
        self.links = collections.defaultdict(list)

    def now(self):
        return next(self._clock)

    def linking(self, consumer):
        """Call just before the link is made."""
        self.links[consumer].append([self.now(), math.inf])

    def unlinked(self, consumer):
        """Call just after the link is gone."""
        self.links[consumer][-1][1] = self.now()

    def linked_between(self, consumer, start, end):
        return any(s <= end and e >= start for s, e in self.links[consumer])


class Arrivals:
    """What each consumer received: item -> clock stamps of the calls."""

    def __init__(self, timeline):
        self.timeline = timeline
        self.lock = threading.Lock()
        self.by_consumer = collections.defaultdict(lambda: collections.defaultdict(list))
        self.empty_calls = collections.Counter()

    def record(self, consumer, item):
        stamp = self.timeline.now()
        with self.lock:
            if item is None:
                self.empty_calls[consumer] += 1
            else:
                self.by_consumer[consumer][item].append(stamp)

    def items(self, consumer):
        with self.lock:
            return set(self.by_consumer[consumer])

    def all(self):
        with self.lock:
            return {c: {i: list(s) for i, s in got.items()} for c, got in self.by_consumer.items()}


class Churn:
    """Threads that flip links at random until stopped. Each toggle is
    (consumer key, link(), unlink()); each thread owns its toggles, so no two
    threads ever wire the same pair of tasks."""

    def __init__(self, timeline, groups, seed):
        self.timeline = timeline
        self.stop = threading.Event()
        self.errors = []
        self.changes = 0
        self.threads = [
            threading.Thread(target=self._run, args=(toggles, random.Random(seed + i)),
                             name=f"wiring {i}", daemon=True)
            for i, toggles in enumerate(groups)]

    def _run(self, toggles, rng):
        linked = dict.fromkeys((c for c, _, _ in toggles), True)  # linked at the start
        try:
            while not self.stop.is_set():
                consumer, link, unlink = rng.choice(toggles)
                if linked[consumer]:
                    unlink()
                    self.timeline.unlinked(consumer)
                else:
                    self.timeline.linking(consumer)
                    link()
                linked[consumer] = not linked[consumer]
                self.changes += 1
                time.sleep(rng.choice((0, 0.0002, 0.001)))  # pacing only
            for consumer, link, _ in toggles:  # leave every link in place
                if not linked[consumer]:
                    self.timeline.linking(consumer)
                    link()
        except BaseException:
            self.errors.append(traceback.format_exc())

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for t in self.threads:
            t.join(10)
        assert not any(t.is_alive() for t in self.threads), dump_threads()


def no_engine_faults(capfd):
    out, err = capfd.readouterr()
    for text in ENGINE_FAULTS:
        assert text not in out and text not in err, f"the engine reported:\n{out}\n{err}"


def check_arrivals(arrivals, timeline, handed_over, may_reach):
    """Every arrival was linked in time and happened once; returns the count."""
    total = 0
    for consumer, got in arrivals.all().items():
        for item, stamps in got.items():
            assert len(stamps) == 1, f"{item} reached {consumer} {len(stamps)} times"
            total += 1
            if consumer in may_reach:
                start = handed_over[item]
                assert timeline.linked_between(consumer, start, stamps[0]), (
                    f"{item} reached {consumer}, which was not linked between "
                    f"{start} and {stamps[0]}: links {timeline.links[consumer]}")
    return total


# --- task links -------------------------------------------------------------------

ITEMS = 1500
AFTER = 200


def test_output_and_input_links_change_while_items_fan_out(make_runner, capfd):
    r1, r2 = make_runner("r1"), make_runner("r2")
    timeline = Timeline()
    arrivals = Arrivals(timeline)
    handed_over = {}
    names = ["c0", "c1", "c2", "c3", "c4"]
    consumers = {}
    for n, runner in zip(names, (r2, r1, r2, r1, r2)):
        def work(item, _n=n):
            arrivals.record(key(_n), item)
        consumers[n] = async_task(loop_thread=runner.name, name=n, task=work,
                                  Task_buffer_available=2)

    def produce(item):
        # Every candidate gets the item; only the linked ones are started.
        tag = f"p#{item}"
        for c in names:
            S.Tasks[key(c)].insert_kwargs_buffer({"item": item}, tag)
        handed_over[item] = timeline.now()
        return tag

    p = async_task(loop_thread=r1.name, name="p", task=produce, Task_buffer_available=3,
                   kwargs_buffer_len=10 * ITEMS)
    side = async_task(loop_thread=r2.name, name="side")  # in-code links only
    for n in names:
        timeline.linking(key(n))
        p.insert_output_tasks([key(n)])
    wait_until(lambda: all(consumers[n].events[1] in r1.Events_async for n in names),
               message="the consumers' mirrors on the producer's runner")

    def out_link(n):  # changed from the producer's end
        return (key(n), lambda: p.insert_output_tasks([key(n)]),
                lambda: p.delete_output_tasks([key(n)]))

    def in_link(n):  # changed from the consumer's end
        return (key(n), lambda: consumers[n].insert_input_tasks([p.name]),
                lambda: consumers[n].delete_input_tasks([p.name]))

    def incode_link(n):  # refreshes the consumer's event while it is in use
        return (f"incode {n}", lambda: side.insert_incode_output_tasks([key(n)]),
                lambda: side.delete_incode_output_tasks([key(n)]))

    groups = [[out_link("c1"), out_link("c2")], [in_link("c3"), in_link("c4")],
              [incode_link(n) for n in names]]
    for c, link, _ in groups[2]:
        timeline.linking(c)
        link()
    with Churn(timeline, groups, seed=11) as churn:
        feed_when_free(p, range(ITEMS), lambda i: {"item": i}, PATIENCE)
        wait_until(lambda: len(arrivals.items(key("c0"))) == ITEMS, timeout=PATIENCE,
                   message="every item at the consumer that stays linked")
    assert not churn.errors, "\n".join(churn.errors)
    assert churn.changes > 100, f"only {churn.changes} link changes during the flow"
    everyone = [p] + list(consumers.values())
    wait_until(lambda: all(available(t) for t in everyone), timeout=10,
               message="the graph to be quiet")

    assert arrivals.items(key("c0")) == set(range(ITEMS))
    check_arrivals(arrivals, timeline, handed_over, {key(n) for n in names})
    assert p.output_tasks == {key(n) for n in names}
    assert all(c.input_tasks == {p.name} for c in consumers.values())
    assert all(c.incode_input_tasks == {side.name} for c in consumers.values())
    assert side.incode_output_tasks == {key(n) for n in names}
    no_engine_faults(capfd)

    # The wiring has stopped: every item reaches every consumer.
    feed_when_free(p, range(ITEMS, ITEMS + AFTER), lambda i: {"item": i}, PATIENCE)
    after = set(range(ITEMS, ITEMS + AFTER))
    wait_until(lambda: all(after <= arrivals.items(key(n)) for n in names), timeout=PATIENCE,
               message="the last items at every consumer")
    wait_until(lambda: all(available(t) for t in everyone), timeout=10,
               message="the graph to be quiet")
    check_arrivals(arrivals, timeline, handed_over, {key(n) for n in names})
    no_engine_faults(capfd)


# --- a router's consumers ----------------------------------------------------------

ROUTED = 1500


def test_router_consumers_change_while_items_are_dispatched(make_runner, capfd):
    r1, r2 = make_runner("r1"), make_runner("r2")
    timeline = Timeline()
    arrivals = Arrivals(timeline)
    handed_over = {}
    names = ["k0", "k1", "k2", "k3", "k4"]
    for n, runner in zip(names, (r2, r1, r2, r1, r2)):
        async def work(item=None, _n=n):
            arrivals.record(key(_n), item)
            await asyncio.sleep(0)
        async_task(loop_thread=runner.name, name=n, task=work, Task_buffer_available=1)
    rt = router("r")
    for n in names:
        timeline.linking(key(n))
        rt.insert_output_tasks([key(n)])
    router_task = S.Tasks[key("router_r")]

    def produce(item):
        tag = f"s#{item}"
        router_task.insert_kwargs_buffer({"item": item}, tag)
        handed_over[item] = timeline.now()
        return tag

    p = async_task(loop_thread=r1.name, name="p", task=produce, Task_buffer_available=3)
    p.insert_output_tasks([router_task.name])
    mirrors = S.loop_threads[DISPATCH].Events_async
    wait_until(lambda: all(S.Tasks[key(n)].events[1] in mirrors for n in names),
               message="the consumers' mirrors on the dispatch runner")

    def consumer_link(n):
        return (key(n), lambda: rt.insert_output_tasks([key(n)]),
                lambda: rt.delete_output_tasks([key(n)]))

    # k0 stays: the router always has a consumer to wait for.
    groups = [[consumer_link("k1"), consumer_link("k2")],
              [consumer_link("k3"), consumer_link("k4")]]
    with Churn(timeline, groups, seed=23) as churn:
        feed_when_free(p, range(ROUTED), lambda i: {"item": i}, PATIENCE)
        wait_until(lambda: sum(len(arrivals.items(key(n))) for n in names) >= ROUTED,
                   timeout=PATIENCE, message="every item at one consumer")
    assert not churn.errors, "\n".join(churn.errors)
    assert churn.changes > 100, f"only {churn.changes} link changes during the flow"
    everyone = [p, router_task] + [S.Tasks[key(n)] for n in names]
    wait_until(lambda: all(available(t) for t in everyone), timeout=10,
               message="the graph to be quiet")

    total = check_arrivals(arrivals, timeline, handed_over, {key(n) for n in names})
    assert total == ROUTED, f"{total} arrivals for {ROUTED} items"
    assert set().union(*(arrivals.items(key(n)) for n in names)) == set(range(ROUTED))
    assert not arrivals.empty_calls, arrivals.empty_calls
    assert rt.output_tasks == {key(n) for n in names}
    assert all(S.Tasks[key(n)].incode_input_tasks == {router_task.name} for n in names)
    no_engine_faults(capfd)

    feed_when_free(p, range(ROUTED, ROUTED + AFTER), lambda i: {"item": i}, PATIENCE)
    wait_until(lambda: sum(len(arrivals.items(key(n))) for n in names) >= ROUTED + AFTER,
               timeout=PATIENCE, message="the last items at one consumer each")
    wait_until(lambda: all(available(t) for t in everyone), timeout=10,
               message="the graph to be quiet")
    total = check_arrivals(arrivals, timeline, handed_over, {key(n) for n in names})
    assert total == ROUTED + AFTER
    no_engine_faults(capfd)


# --- a dravel's consumer -----------------------------------------------------------

FRAMES = 800
BACKLOG = 10  # frames the feeder lets pile up in the buffer


def test_dravel_consumer_changes_while_frames_are_drained(make_runner, capfd):
    r2 = make_runner("r2")
    timeline = Timeline()
    arrivals = Arrivals(timeline)
    appended = {}
    names = ["d1", "d2", "d3"]
    for n in names:
        def work(frame=None, _n=n):
            arrivals.record(key(_n), frame)
        async_task(loop_thread=r2.name, name=n, task=work)
    source = buffer()
    # Spacing 0 and growth 1: every frame is taken, one per tick, in order.
    d = dravel("d", 0.001, 0, zarib=1.0, buffers_list=[source])
    mirrors = S.loop_threads[DISPATCH].Events_async
    for n in names:  # each consumer gets its mirror on the dispatch runner once
        d.change_output_task(key(n))
        wait_until(lambda: S.Tasks[key(n)].events[1] in mirrors,
                   message=f"the mirror of {n} on the dispatch runner")
    timeline.linking(d.output_task)

    def switch(to):
        def change():
            before = d.output_task
            if to != before:
                timeline.linking(to)
            d.change_output_task(to)
            if to != before:
                timeline.unlinked(before)
        return change

    def frames(start, stop):
        for i in range(start, stop):
            wait_until(lambda: len(source.buffer) < BACKLOG, timeout=PATIENCE,
                       message="the dravel to take frames")
            with source.buffer_threading_lock:
                source.buffer.append({"buffer_timestamp": i, "data": {"frame": i}})
                appended[i] = timeline.now()

    stop = threading.Event()
    errors = []
    changes = [0]

    def churn():
        rng = random.Random(37)
        try:
            while not stop.is_set():
                switch(key(rng.choice(names)))()
                changes[0] += 1
                time.sleep(rng.choice((0, 0.0005, 0.002)))
        except BaseException:
            errors.append(traceback.format_exc())

    wiring = threading.Thread(target=churn, name="wiring dravel", daemon=True)
    wiring.start()
    try:
        frames(0, FRAMES)
        wait_until(lambda: sum(len(arrivals.items(key(n))) for n in names) >= FRAMES,
                   timeout=PATIENCE, message="every frame at a consumer")
    finally:
        stop.set()
        wiring.join(10)
    assert not errors, "\n".join(errors)
    assert changes[0] > 50, f"only {changes[0]} consumer changes during the flow"
    check_arrivals(arrivals, timeline, appended, {key(n) for n in names})
    assert set().union(*(arrivals.items(key(n)) for n in names)) == set(range(FRAMES))
    assert not arrivals.empty_calls, arrivals.empty_calls
    final = d.output_task
    linked = [key(n) for n in names if S.Tasks[key(n)].incode_input_tasks == {key("dravel_d")}]
    assert linked == [final]
    assert all(not S.Tasks[key(n)].incode_input_tasks for n in names if key(n) != final)
    no_engine_faults(capfd)

    # The wiring has stopped: the frames go to the last consumer chosen.
    frames(FRAMES, FRAMES + AFTER)
    wait_until(lambda: set(range(FRAMES, FRAMES + AFTER)) <= arrivals.items(final),
               timeout=PATIENCE, message="the last frames at the final consumer")
    check_arrivals(arrivals, timeline, appended, {key(n) for n in names})
    no_engine_faults(capfd)


# --- consumers cancelled and built again ---------------------------------------------

REBUILT = 3000


def test_consumers_cancelled_and_rebuilt_while_items_fan_out(make_runner, capfd):
    r1, r2 = make_runner("r1"), make_runner("r2")
    timeline = Timeline()
    arrivals = Arrivals(timeline)
    handed_over = {}
    generation = itertools.count()

    def build(n, runner):
        """A consumer under the key of n; its arrivals are booked under the
        key and the generation of the object, so each object has its own
        link interval."""
        label = f"{key(n)}@{next(generation)}"

        def work(item):
            arrivals.record(label, item)

        timeline.linking(label)
        async_task(loop_thread=runner.name, name=n, task=work, Task_buffer_available=2)
        S.Tasks[key("p")].insert_output_tasks([key(n)])
        return label

    def produce(item):
        tag = f"p#{item}"
        for task in list(S.Tasks.values()):
            if task.name != key("p"):
                task.insert_kwargs_buffer({"item": item}, tag)
        handed_over[item] = timeline.now()
        return tag

    p = async_task(loop_thread=r1.name, name="p", task=produce, Task_buffer_available=3,
                   kwargs_buffer_len=10 * REBUILT)
    build("c0", r2)  # stays
    current = {"c1": build("c1", r1), "c2": build("c2", r2)}
    runners = {"c1": r1, "c2": r2}
    stop = threading.Event()
    errors = []
    rebuilt = [0]

    def churn():
        rng = random.Random(41)
        try:
            while not stop.is_set():
                n = rng.choice(sorted(current))
                S.Tasks[key(n)].cancel()
                timeline.unlinked(current[n])
                current[n] = build(n, runners[n])
                rebuilt[0] += 1
                time.sleep(rng.choice((0, 0.001)))  # pacing only
        except BaseException:
            errors.append(traceback.format_exc())

    wiring = threading.Thread(target=churn, name="wiring rebuild", daemon=True)
    wiring.start()
    try:
        # Fed in chunks, each after one more rebuild: consumers are rebuilt
        # while items flow, however the two threads' speeds compare.
        chunk = REBUILT // 30
        for k, start in enumerate(range(0, REBUILT, chunk)):
            wait_until(lambda: rebuilt[0] >= k or errors, timeout=PATIENCE,
                       message=f"rebuild {k}")
            feed_when_free(p, range(start, min(start + chunk, REBUILT)), lambda i: {"item": i},
                           PATIENCE)
        wait_until(lambda: arrivals.items(f"{key('c0')}@0") == set(range(REBUILT)), timeout=PATIENCE,
                   message="every item at the consumer that stays")
    finally:
        stop.set()
        wiring.join(10)
    assert not errors, "\n".join(errors)
    assert rebuilt[0] > 20, f"only {rebuilt[0]} consumers rebuilt during the flow"
    wait_until(lambda: all(available(S.Tasks[key(n)]) for n in ("p", "c0", "c1", "c2")),
               timeout=10, message="the graph to be quiet")
    labels = set(arrivals.all())
    check_arrivals(arrivals, timeline, handed_over, labels)
    assert p.output_tasks == {key(n) for n in ("c0", "c1", "c2")}
    assert set(S.Tasks) == {key(n) for n in ("p", "c0", "c1", "c2")}
    expected_events = {f"{key(n)},{e}" for n in ("p", "c0", "c1", "c2")
                       for e in ("event", "service_available_event")}
    assert set(S.Events) == expected_events
    no_engine_faults(capfd)

    feed_when_free(p, range(REBUILT, REBUILT + AFTER), lambda i: {"item": i}, PATIENCE)
    after = set(range(REBUILT, REBUILT + AFTER))
    finals = [f"{key('c0')}@0", current["c1"], current["c2"]]
    wait_until(lambda: all(after <= arrivals.items(label) for label in finals), timeout=PATIENCE,
               message="the last items at every consumer")
    check_arrivals(arrivals, timeline, handed_over, set(arrivals.all()))
    no_engine_faults(capfd)


# --- events set and cleared from two threads ------------------------------------------

def test_mirror_follows_set_and_clear_racing_from_two_threads(make_runner):
    """A consumer's run() clears its service-available event on a producer's
    thread while its step's unit return sets it on its own runner thread. A
    thread switch can fall between a clear() reading the value it sends and
    queueing it; the hook below makes it fall there."""
    runner = make_runner("r")
    waiter = async_task(loop_thread=runner.name, name="w")
    event = custom_event("e")
    event.insert_custom_waiter_task(waiter.name)
    assert event.set()
    wait_until(lambda: "node_0,e" in runner.Events_async and runner.Events_async["node_0,e"].is_set(),
               message="the mirror to be set")
    loop = runner.loop
    queue = loop.call_soon_threadsafe
    clear_paused, set_done = threading.Event(), threading.Event()

    def switch_threads_here(*args, **kwargs):
        if threading.current_thread().name == "clearing" and not clear_paused.is_set():
            clear_paused.set()
            set_done.wait(5)  # the other thread runs now, as after a thread switch
        return queue(*args, **kwargs)

    loop.call_soon_threadsafe = switch_threads_here
    try:
        clearing = threading.Thread(target=event.clear, name="clearing")
        clearing.start()
        assert clear_paused.wait(5)
        # The later write: the event ends set. The set may wait for the clear
        # it overtakes to queue its update, so it runs on a thread of its own.
        results = []
        setting = threading.Thread(target=lambda: results.append(event.set()), name="setting")
        setting.start()
        setting.join(0.2)  # a set that need not wait has ended here, before the clear goes on
        set_done.set()
        clearing.join(5)
        setting.join(5)
        assert not clearing.is_alive() and not setting.is_alive()
        assert results == [True]
    finally:
        del loop.call_soon_threadsafe
    settle(runner)  # every update queued before has run
    assert event.is_set()
    assert runner.Events_async["node_0,e"].is_set(), "the mirror is clear while its event is set"


@pytest.mark.parametrize("road", ["trig_output", "router"])
@pytest.mark.parametrize("units", [1, 2])
def test_a_burst_from_one_runner_never_overruns_a_consumers_units(make_runner, road, units):
    # Every step of the burst is in flight on the producer's runner at once;
    # each start of the consumer clears its event on that runner's thread,
    # so the next step must already see it clear.
    for name in ("a", "c"):
        make_runner(name)
    lock, running, peak, got = threading.Lock(), [0], [0], []

    async def consume(i):
        with lock:
            running[0] += 1
            peak[0] = max(peak[0], running[0])
        await asyncio.sleep(0.002)
        with lock:
            running[0] -= 1
        got.append(i)

    target = key("router_r") if road == "router" else key("cons")

    def produce(i):
        S.Tasks[target].insert_kwargs_buffer({"i": i}, f"t{i}")
        return f"t{i}"

    async_task(loop_thread=key("c"), name="cons", task=consume, Task_buffer_available=units)
    producer = async_task(loop_thread=key("a"), name="p", task=produce)
    if road == "router":
        router("r", output_tasks=[key("cons")])
    producer.insert_output_tasks([target])
    items = range(60)
    for i in items:
        producer.insert_kwargs_buffer({"i": i}, f"in{i}")
    for i in items:
        producer.run(f"in{i}")
    wait_until(lambda: len(got) == len(items), PATIENCE, message="every item")
    assert sorted(got) == list(items)
    assert peak[0] <= units
    wait_until(lambda: S.Tasks[key("cons")].Task_buffer_available == units,
               message="the consumer's units back")


def test_producer_steps_cancelled_while_waiting_leave_the_others_served(make_runner):
    # Steps of two producers on one runner wait in line for one consumer; the
    # first producer is stopped (its steps cancelled, some of them perhaps
    # just woken) again and again. The second producer's items must all
    # arrive: a turn never ends with a cancelled step.
    for name in ("a", "c"):
        make_runner(name)
    got = []

    async def consume(source, i):
        await asyncio.sleep(0.001)
        got.append((source, i))

    def producer(name):
        def produce(i):
            S.Tasks[key("cons")].insert_kwargs_buffer({"source": name, "i": i}, f"{name}{i}")
            return f"{name}{i}"
        task = async_task(loop_thread=key("a"), name=name, task=produce, kwargs_buffer_len=1000)
        task.insert_output_tasks([key("cons")])
        return task

    async_task(loop_thread=key("c"), name="cons", task=consume, Task_buffer_available=1,
               kwargs_buffer_len=1000)
    first, second = producer("p1"), producer("p2")
    for i in range(150):
        for task in (first, second):
            task.insert_kwargs_buffer({"i": i}, f"in{i}")
            task.run(f"in{i}")
        if i % 10 == 9:
            first.stop()
            first.stop_flag = 0  # takes starts again (start() would add one of its own)
    wait_until(lambda: sum(1 for s, _ in got if s == "p2") == 150, PATIENCE,
               message="every item of the producer left running")
    assert sorted(i for s, i in got if s == "p2") == list(range(150))
