"""The buffer record and the dravel stage: construction and wiring, the rules
of one tick driven by hand on the dispatch runner, changing the consumer,
faulty frames, and the stage under load."""
import asyncio
import threading
import time

import pytest

import velkor.dravel
from velkor import velkor_state as S
from velkor.dravel import dravel
from velkor.velkor import async_task, buffer

from helpers import DISPATCH, engine_entry, key, run_on, settle, wait_until


def trigger_key(name):
    return key(f"trigger_dravel_{name}")


def main_key(name):
    return key(f"dravel_{name}")


def frames(*stamps):
    return [{"buffer_timestamp": t, "data": {"stamp": t}} for t in stamps]


def filled(*stamps, last_time=None):
    b = buffer()
    b.buffer.extend(frames(*stamps))
    b.last_time = last_time
    return b


class Picker:
    """Stands in for the module's `random`: records every choice and picks
    the indexes queued in `script` (the first element when none is left)."""

    def __init__(self):
        self.calls, self.script = [], []

    def choice(self, seq):
        self.calls.append(list(seq))
        return seq[self.script.pop(0) if self.script else 0]


@pytest.fixture
def picker(monkeypatch):
    p = Picker()
    monkeypatch.setattr(velkor.dravel, "random", p)
    return p


@pytest.fixture
def consumer(make_runner):
    """consumer(name) -> (task key, list of the keyword sets it was called with)."""
    runner = make_runner("consumers")

    def make(name="c", work=None, **kwargs):
        got = []
        task = work or (lambda **kw: got.append(kw))
        async_task(loop_thread=runner.name, name=name, task=task, **kwargs)
        return key(name), got

    return make


@pytest.fixture
def quiet(picker, consumer):
    """A dravel fed to a recording consumer, whose own ticking is over: its
    first tick (made at construction, on an empty buffer) has ended and the
    next one is an hour away. Ticks are then driven by hand with `tick`."""

    def make(name="d", optimum_delay=1.0, zarib=1.01, buffers=()):
        key, got = consumer("c_" + name)
        d = dravel(name, 3600, optimum_delay, zarib, output_task=key, buffers_list=[buffer()])
        wait_until(lambda: picker.calls, message="the first tick")
        # After its choice a tick without a frame ends without suspending, so
        # it is over once the loop runs anything else.
        settle(S.loop_threads[DISPATCH])
        assert d.delay == optimum_delay
        picker.calls.clear()
        d.buffers_list[:] = buffers
        return d, got

    return make


def tick(d):
    run_on(S.loop_threads[DISPATCH], d.run())


def stamps(buff):
    return [f["buffer_timestamp"] for f in buff.buffer]


# --- buffer record ------------------------------------------------------------

def test_buffer_records_are_independent_and_start_empty():
    a, b = buffer(), buffer(maxlen=7)
    assert (a.buffer, a.maxlen, a.last_time) == ([], None, None)
    assert (b.buffer, b.maxlen, b.last_time) == ([], 7, None)
    assert a.buffer is not b.buffer
    assert a.buffer_threading_lock is not b.buffer_threading_lock
    with a.buffer_threading_lock:
        assert not b.buffer_threading_lock.locked()
    a.buffer.append(1)
    assert b.buffer == []


# --- construction -------------------------------------------------------------

def test_construction_registers_the_stage_and_wires_its_two_tasks(consumer):
    key, _ = consumer()
    given = [buffer(), buffer()]
    d = dravel("d", 3600, 0.25, output_task=key, buffers_list=given, colour="blue")
    assert S.dravel_dict == {"d": d}
    assert (d.name, d.delay, d.optimum_delay, d.zarib) == ("d", 0.25, 0.25, 1.01)
    assert d.kwargs == {"colour": "blue"} and d.output_task == key
    assert d.buffers_list == given and d.buffers_list is not given

    runner = S.loop_threads[DISPATCH]
    wait_until(lambda: runner.loop.is_running(), message="the dispatch runner to run")
    trig, main = S.Tasks[trigger_key("d")], S.Tasks[main_key("d")]
    assert (trig.WT, trig.WT_sleep, trig.CPU_bound, trig.task) == (2, 3600, False, None)
    assert (main.WT, main.CPU_bound, main.Task_buffer_available) == (0, False, 1)
    assert main.task == d.run
    assert trig.loop_thread is runner and main.loop_thread is runner
    assert main.input_tasks == {trigger_key("d")} and trig.output_tasks == {main_key("d")}
    assert S.Tasks[key].incode_input_tasks == {main_key("d")}
    assert main.incode_output_tasks == {key}
    wait_until(lambda: trig.WT_run == 1, message="the trigger loop to start")

    # a second dravel shares the dispatch runner; no consumer, nothing linked
    e = dravel("e", 3600, 1)
    assert S.loop_threads[DISPATCH] is runner and len(S.loop_threads) == 2
    assert e.output_task is None and e.buffers_list == [] and e.kwargs == {}
    e.buffers_list.append(buffer())  # its own copy of the default list
    assert dravel("f", 3600, 1).buffers_list == []
    assert S.Tasks[main_key("e")].incode_output_tasks == set()


def test_an_existing_dispatch_runner_is_used_as_it_is(make_runner):
    runner = make_runner("buffer_router", start=False)
    dravel("d", 3600, 1)
    assert S.loop_threads[DISPATCH] is runner
    assert not runner.loop.is_running()  # not started by the dravel
    runner.start()


def test_a_name_registered_already_is_reported_and_nothing_is_made(capfd):
    first = dravel("d", 3600, 1)
    capfd.readouterr()
    tasks = dict(S.Tasks)
    again = dravel("d", 1, 2, zarib=3)
    assert capfd.readouterr().out == "Dravel d exists!\n"
    assert vars(again) == {}
    assert S.dravel_dict == {"d": first} and S.Tasks == tasks and first.delay == 1

    # the name's text is what counts: 5 and "5" are one name
    five = dravel(5, 3600, 1)
    assert five.name == "5" and main_key(5) in S.Tasks
    dravel(5, 3600, 1)
    dravel("5", 3600, 1)
    assert capfd.readouterr().out == "Dravel 5 exists!\nDravel 5 exists!\n"
    assert S.dravel_dict == {"d": first, "5": five}


# --- one tick -----------------------------------------------------------------

def test_the_first_take_delivers_the_oldest_frame(quiet, picker):
    b = filled(40, 41, 90)
    d, got = quiet(optimum_delay=2, zarib=1.5, buffers=[b])
    tick(d)
    wait_until(lambda: got, message="the delivery")
    assert got == [{"stamp": 40}]
    assert stamps(b) == [41, 90] and b.last_time == 40 and d.delay == 3
    assert picker.calls == [[b]]


def test_a_take_skips_the_frames_within_the_spacing(quiet):
    b = filled(1, 2, 3, last_time=0)
    d, got = quiet(optimum_delay=1.5, zarib=1.25, buffers=[b])
    tick(d)
    wait_until(lambda: got, message="the delivery")
    assert got == [{"stamp": 2}]
    assert stamps(b) == [3] and b.last_time == 2 and d.delay == 1.5 * 1.25

    # a frame exactly at last_time + delay is skipped, the next one taken
    b.buffer[:] = frames(3.875, 4, 9)
    d.delay = 1.875
    tick(d)
    wait_until(lambda: len(got) == 2, message="the second delivery")
    assert got[1] == {"stamp": 4} and stamps(b) == [9] and b.last_time == 4


def test_ticks_without_a_frame_shrink_the_spacing_down_to_its_floor(quiet, picker):
    within, empty = filled(4.5, 5, last_time=4), buffer()
    d, got = quiet(optimum_delay=1, zarib=1.5, buffers=[within, empty])
    d.delay = 3.0
    tick(d)  # every frame within last_time + delay: nothing taken or removed
    assert stamps(within) == [4.5, 5] and within.last_time == 4
    assert d.delay == pytest.approx(3.0 / 1.5 ** 0.5)
    picker.script[:] = [1]
    tick(d)  # the empty buffer
    assert d.delay == pytest.approx(2.0)
    d.buffers_list[:] = [within]
    tick(d)  # one buffer: divided by zarib itself
    assert d.delay == pytest.approx(2.0 / 1.5)
    tick(d)  # floored; 5 is then exactly at last_time + delay
    assert d.delay == 1
    tick(d)
    assert d.delay == 1 and stamps(within) == [4.5, 5] and within.last_time == 4
    assert len(picker.calls) == 5 and got == []


def test_a_tick_without_consumer_or_buffers_returns_at_once(quiet, picker):
    d, got = quiet(buffers=[])
    d.delay = 5
    tick(d)
    b = filled(1)
    d.buffers_list.append(b)
    d.output_task = None
    tick(d)
    assert picker.calls == [] and d.delay == 5 and stamps(b) == [1] and got == []


def test_a_long_buffer_is_searched_not_scanned(quiet):
    reads = [0]

    class Frame(dict):
        def __getitem__(self, key):
            reads[0] += key == "buffer_timestamp"
            return super().__getitem__(key)

    b = buffer()
    b.buffer.extend(Frame(buffer_timestamp=i, data={"stamp": i}) for i in range(100_000))
    b.last_time = -1
    d, got = quiet(optimum_delay=70_000.5, buffers=[b])
    tick(d)
    wait_until(lambda: got, message="the delivery")
    assert got == [{"stamp": 70_000}] and b.last_time == 70_000
    assert len(b.buffer) == 29_999 and b.buffer[0]["buffer_timestamp"] == 70_001
    assert reads[0] <= 2 * 17 + 2  # a bisection over 100,000 frames


# --- the consumer -------------------------------------------------------------

def test_changing_the_consumer_moves_the_link_and_the_frames(quiet, consumer):
    b = filled(1, 10, 20)
    d, got_a = quiet(optimum_delay=1, buffers=[b])
    a = d.output_task
    b_key, got_b = consumer("b")
    tick(d)
    wait_until(lambda: got_a, message="the delivery to a")
    d.change_output_task(task=b_key)
    assert d.output_task == b_key
    assert S.Tasks[a].incode_input_tasks == set()
    assert S.Tasks[b_key].incode_input_tasks == {main_key("d")}
    assert S.Tasks[main_key("d")].incode_output_tasks == {b_key}
    tick(d)
    tick(d)
    wait_until(lambda: len(got_b) == 2, message="the deliveries to b")
    assert got_a == [{"stamp": 1}] and got_b == [{"stamp": 10}, {"stamp": 20}]


def test_an_unknown_consumer_raises_after_the_old_one_is_unlinked(consumer):
    d = dravel("d", 3600, 1)
    with pytest.raises(KeyError):
        d.change_output_task("node_0,nobody")
    assert d.output_task == "node_0,nobody"
    with pytest.raises(KeyError):  # the current consumer is not registered
        d.change_output_task("node_0,other")
    assert d.output_task == "node_0,nobody"

    for i, gone in enumerate(("node_0,gone", None)):
        a, _ = consumer(f"a{i}")
        d.output_task = None
        d.change_output_task(a)
        with pytest.raises(KeyError):
            d.change_output_task(gone)
        assert d.output_task == gone and S.Tasks[a].incode_input_tasks == set()
        assert S.Tasks[main_key("d")].incode_output_tasks == set()


@pytest.mark.parametrize("how", ["cancel", "runner stop", "event deleted"])
def test_a_consumer_that_goes_while_a_tick_waits_for_it_is_passed_over(quiet, consumer, capfd,
                                                                       how):
    started, gate, calls = threading.Event(), threading.Event(), []

    async def busy(**kw):
        calls.append(kw)
        started.set()
        while not gate.is_set():
            await asyncio.sleep(0.002)

    d, _ = quiet(buffers=[filled(1.0)])
    key, _ = consumer("busy", work=busy, Task_buffer_available=1)
    d.change_output_task(key)
    c = S.Tasks[key]
    c.run()
    assert started.wait(5)
    dispatch = S.loop_threads[DISPATCH]
    mirrors = dispatch.Events_async
    wait_until(lambda: c.events[1] in mirrors and not mirrors[c.events[1]].is_set(),
               message="the busy consumer's mirror on the dispatch runner")
    # The tick takes the frame, buffers it in the consumer and waits for it.
    ticking = asyncio.run_coroutine_threadsafe(d.run(), dispatch.loop)
    wait_until(lambda: c.kwargs_buffer, message="the frame in the consumer's buffer")
    time.sleep(0.02)
    assert not ticking.done()
    if how == "cancel":
        c.cancel()
    elif how == "runner stop":
        S.loop_threads["node_0,consumers"].stop()
    else:
        S.Events[c.events[1]].delete()  # the consumer stays registered
    try:
        assert ticking.result(5) is None  # the tick ends without starting it
        assert calls == [{}] and c.events[1] not in mirrors
        assert list(c.kwargs_buffer.values()) == [{"stamp": 1.0}]
        assert d.delay == 1.0 * 1.01 and capfd.readouterr() == ("", "")
    finally:
        gate.set()


# --- failures and load --------------------------------------------------------

def test_a_faulty_frame_is_reported_and_the_stage_goes_on(consumer, capfd):
    key, got = consumer()
    no_stamp = buffer()
    no_stamp.buffer[:] = [{"data": {"stamp": None}}] + frames(1)
    no_data = buffer()
    no_data.buffer[:] = [{"buffer_timestamp": 1}] + frames(2)
    d = dravel("d", 0.001, 0.5, output_task=key, buffers_list=[no_stamp, no_data])
    wait_until(lambda: len(got) == 2, message="the good frames")
    assert sorted(g["stamp"] for g in got) == [1, 2]
    assert no_stamp.buffer == [] and no_data.buffer == []
    assert (no_stamp.last_time, no_data.last_time) == (1, 2)
    assert d.delay > 0.5
    captured = capfd.readouterr()
    assert captured.out == "node_0,dravel_d task has error!!!\n" * 2
    assert captured.err.count("KeyError") == 2
    # Each traceback names the step, then the dravel's own run in its module's file.
    entries = engine_entry("async_task.temp_func") + engine_entry("dravel.run", "velkor.dravel")
    assert captured.err.count(entries) == 2


def test_under_load_old_frames_are_thinned_out_in_order(consumer):
    delivered, spacing = [], []

    def slow(source, stamp):
        delivered.append((source, stamp))
        spacing.append(d.delay)
        time.sleep(0.002)  # the consumer's work

    key, _ = consumer("slow", work=slow, Task_buffer_available=1)
    buffers = [buffer(), buffer()]
    appended = [0, 0]

    def produce(source):
        # a frame at a time, until the consumer has had a few of this source
        buff = buffers[source]
        while sum(src == source for src, _ in delivered) < 3 and appended[source] < 50_000:
            with buff.buffer_threading_lock:
                i = appended[source]
                buff.buffer.append({"buffer_timestamp": i, "data": {"source": source, "stamp": i}})
                appended[source] += 1

    d = dravel("d", 0.001, 1, zarib=1.2, output_task=key, buffers_list=buffers)
    producers = [threading.Thread(target=produce, args=(i,)) for i in (0, 1)]
    for t in producers:
        t.start()
    for t in producers:
        t.join()

    def settled():
        # nothing left beyond the floor, and the last take delivered
        return all(b.last_time is not None and stamps(b) in ([], [b.last_time + 1])
                   and (i, b.last_time) in delivered for i, b in enumerate(buffers))

    wait_until(settled, timeout=15, message="the buffers to drain")
    S.Tasks[trigger_key("d")].stop()
    assert len(delivered) < sum(appended) / 10
    for source in (0, 1):
        got = [s for src, s in delivered if src == source]
        assert got[0] == 0
        gaps = [b - a for a, b in zip(got, got[1:])]
        assert all(g > 1 for g in gaps), got  # increasing, never closer than the floor
    assert max(spacing) > 10  # thinned: the spacing grew with the takes
