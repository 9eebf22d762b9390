"""async_task construction: attributes, task key and runner, events and their
arming, replacement of a registered task, and the failures of construction."""
import asyncio
import collections
import math
import threading
import time

import pytest

from velkor import velkor_state as S
from velkor.velkor import async_task

from helpers import LINK_SETS, NO_LINKS, available, links, runner_thread, wait_until

ATTRIBUTES = [
    "name", "loop_thread", "input_tasks", "output_tasks", "incode_input_tasks",
    "incode_output_tasks", "task", "args", "kwargs_buffer", "kwargs_buffer_len",
    "kwargs_buffer_threading_lock", "tag", "CPU_bound", "WT", "WT_sleep", "WT_run",
    "Task_buffer_available_asyncio_lock", "Task_buffer_available_threading_lock",
    "Task_buffer_available", "stop_flag", "events",
]


@pytest.fixture
def runner(make_runner):
    return make_runner("r")


def test_a_new_task_has_the_documented_attributes(runner):
    started = time.monotonic()
    t = async_task(loop_thread="node_0,r", name="a")
    assert time.monotonic() - started >= 0.01  # the arming pauses before its first try
    other = async_task(loop_thread="node_0,r", name="b")

    assert list(vars(t)) == ATTRIBUTES
    assert S.Tasks == {"node_0,a": t, "node_0,b": other}
    assert t.name == "node_0,a" and t.loop_thread is runner
    for s in LINK_SETS:
        assert type(getattr(t, s)) is set and getattr(t, s) == set()
        assert getattr(t, s) is not getattr(other, s)
    assert (t.task, t.args, t.tag) == (None, (), None)
    assert type(t.kwargs_buffer) is collections.defaultdict and t.kwargs_buffer == {}
    made = t.kwargs_buffer.default_factory()
    assert made == {} and made is not t.kwargs_buffer.default_factory()
    assert (t.kwargs_buffer_len, t.CPU_bound, t.WT, t.WT_sleep, t.WT_run, t.stop_flag) == (
        100, False, 0, 1, 0, 0)
    assert isinstance(t.Task_buffer_available, float) and t.Task_buffer_available == math.inf
    assert type(t.kwargs_buffer_threading_lock) is type(threading.Lock())
    assert type(t.Task_buffer_available_threading_lock) is type(threading.Lock())
    assert type(t.Task_buffer_available_asyncio_lock) is asyncio.Lock
    assert t.kwargs_buffer_threading_lock is not t.Task_buffer_available_threading_lock
    assert t.kwargs_buffer_threading_lock is not other.kwargs_buffer_threading_lock
    assert t.events == ["node_0,a,event", "node_0,a,service_available_event"]


def work(*args, **kwargs):
    return None


@pytest.mark.parametrize("args, kwargs, stored", [
    ((1, "two", None), {}, {"args": (1, "two", None)}),
    ((), {"priority": 9, "colour": "red", "loop": None}, {}),
    ((), {"task": work, "WT": 2, "WT_sleep": 0.25, "CPU_bound": 1,
          "Task_buffer_available": 3, "kwargs_buffer_len": 7},
     {"task": work, "WT": 2, "WT_sleep": 0.25, "CPU_bound": 1,
      "Task_buffer_available": 3, "kwargs_buffer_len": 7}),
])
def test_constructor_arguments_end_up_in_their_attributes(runner, args, kwargs, stored):
    t = async_task(*args, loop_thread="node_0,r", name="a", **kwargs)
    assert list(vars(t)) == ATTRIBUTES  # priority and extra keywords are not stored
    for attribute, value in stored.items():
        assert getattr(t, attribute) == value
    assert t.loop_thread is runner and t.events[0] == "node_0,a,event"


@pytest.mark.parametrize("call, message", [
    (lambda: async_task(name="a"), "missing 1 required keyword-only argument: 'loop_thread'"),
    (lambda: async_task(loop_thread="node_0,r"),
     "missing 1 required keyword-only argument: 'name'"),
    (lambda: async_task("node_0,r", "a"),
     "missing 2 required keyword-only arguments: 'loop_thread' and 'name'"),
])
def test_a_missing_loop_thread_or_name_is_a_type_error(runner, call, message):
    with pytest.raises(TypeError, match=message):
        call()
    assert S.Tasks == {} and S.Events == {}


@pytest.mark.parametrize("node, network_node_name, name, key", [
    ("node_0", None, "a", "node_0,a"),
    ("node_0", "node_0", "a", "node_0,a"),
    ("n", "n", 7, "n,7"),
])
def test_a_task_of_the_local_node(make_runner, node, network_node_name, name, key):
    S.network_node.name = node
    runner = make_runner("r")
    t = async_task(loop_thread=f"{node},r", name=name, network_node_name=network_node_name)
    assert S.Tasks == {key: t} and t.name == key and t.loop_thread is runner
    assert t.events == [key + ",event", key + ",service_available_event"]
    assert sorted(S.Events) == sorted(t.events)
    assert list(S.loop_threads) == [f"{node},r"]


def test_a_node_name_that_is_not_text_owns_no_key():
    # Keys hold the text of the node's name, and field 0 of a key is compared
    # with the name itself: no key is the node's own, so its runner gets no
    # loop and its task is one of another node, named by the text.
    from velkor.velkor import Real_tasks

    S.network_node.name = 5
    r = Real_tasks("r")
    assert r.name == "5,r" and not hasattr(r, "loop") and S.loop_threads == {"5,r": r}
    t = async_task(loop_thread=r.name, name="a")
    assert S.Tasks == {"5,a": t} and t.events == [] and S.Events == {}
    assert t.loop_thread.name == "5,5,EXTERNAL" and not hasattr(t.loop_thread, "loop")


def test_tasks_of_another_node_share_an_unstarted_runner_and_have_no_events(runner):
    b = async_task(loop_thread=None, name="b", network_node_name="m")
    assert S.Tasks == {"m,b": b} and b.events == [] and S.Events == {}
    first = b.loop_thread
    assert first.name == "node_0,m,EXTERNAL" and S.loop_threads["node_0,m,EXTERNAL"] is first
    assert runner_thread(first) is None and not first.loop.is_running()
    assert links(b) == NO_LINKS and list(vars(b)) == ATTRIBUTES

    # Later tasks of that node share the runner while it has never been
    # started (one loop, not one per task); `loop_thread` is not looked at.
    c = async_task(loop_thread="not a runner", name="c", network_node_name="m")
    assert c.loop_thread is first
    assert sorted(S.loop_threads) == ["node_0,m,EXTERNAL", "node_0,r"]
    assert c.events == [] and S.Events == {}
    # Once the application has started it, the next task gets a new one.
    first.start()
    wait_until(first.loop.is_running, message="the started runner's loop")
    d = async_task(loop_thread=None, name="d", network_node_name="m")
    assert d.loop_thread is not first and S.loop_threads["node_0,m,EXTERNAL"] is d.loop_thread
    wait_until(first.loop.is_closed, message="the replaced runner to stop")


def test_construction_creates_the_events_and_arms_the_available_one(runner):
    t = async_task(loop_thread="node_0,r", name="a")
    trigger, available = (S.Events[name] for name in t.events)
    assert (trigger.name, trigger.task) == ("node_0,a,event", None)
    assert (available.name, available.task) == ("node_0,a,service_available_event", "node_0,a")
    assert available.is_set() and not trigger.is_set()
    # The task waits on its own trigger event: its mirror lives on the task's
    # runner. The available event has no waiters before the task has inputs.
    assert trigger.custom_waiter_task_list == {"node_0,a"} and trigger.l_t_list == {"node_0,r"}
    assert available.l_t_list == set()
    wait_until(lambda: "node_0,a,event" in runner.Events_async, message="the trigger mirror")
    assert not runner.Events_async["node_0,a,event"].is_set()
    assert list(runner.Events_async) == ["node_0,a,event"]


def test_an_unknown_runner_key_raises_after_the_old_task_was_unlinked(runner):
    with pytest.raises(KeyError, match="node_0,nowhere"):
        async_task(loop_thread="node_0,nowhere", name="fresh")
    assert "node_0,fresh" not in S.Tasks and "node_0,fresh,event" not in S.Events

    old = async_task(loop_thread="node_0,r", name="a")
    b = async_task(loop_thread="node_0,r", name="b")
    old.insert_output_tasks(["node_0,b"])
    old.insert_incode_input_tasks(["node_0,b"])
    events_before = dict(S.Events)
    with pytest.raises(KeyError, match="node_0,nowhere"):
        async_task(loop_thread="node_0,nowhere", name="a")
    assert S.Tasks["node_0,a"] is old  # still registered, but no longer linked
    assert links(old) == NO_LINKS and links(b) == NO_LINKS
    assert S.Events == events_before


def test_replacing_a_linked_task(runner, make_runner, capsys):
    make_runner("p")
    a = async_task(loop_thread="node_0,r", name="a")
    b = async_task(loop_thread="node_0,p", name="b")
    c = async_task(loop_thread="node_0,r", name="c")
    a.insert_input_tasks(["node_0,b"])
    a.insert_output_tasks(["node_0,c"])
    a.insert_incode_input_tasks(["node_0,c"])
    a.insert_incode_output_tasks(["node_0,b"])
    a.kwargs_buffer["tag"] = {"x": 1}
    trigger, available = (S.Events[name] for name in a.events)
    capsys.readouterr()

    new = async_task(loop_thread="node_0,r", name="a")
    assert capsys.readouterr().out == (
        "Event a,event exists!\nEvent a,service_available_event exists!\n")
    assert S.Tasks["node_0,a"] is new and new is not a
    for t in (a, new, b, c):
        assert links(t) == NO_LINKS, t.name
    # The registered events are used again, as they are.
    assert [S.Events[name] for name in new.events] == [trigger, available]
    assert available.is_set() and not trigger.is_set()
    # The old task is not stopped, and its buffer stays as it was.
    assert a.stop_flag == 0 and a.kwargs_buffer == {"tag": {"x": 1}}
    assert new.kwargs_buffer == {}


def test_a_comma_in_the_name_fails_on_the_trigger_event_lookup(runner):
    with pytest.raises(KeyError, match="node_0,x,y,event"):
        async_task(loop_thread="node_0,r", name="x,y")
    # Nothing is rolled back: the task is registered, one event was made.
    assert list(S.Tasks) == ["node_0,x,y"] and list(S.Events) == ["node_0,x,event"]


def waited_on_by_a_closed_runner(make_runner):
    """Task a whose available event still lists the runner of a producer that
    has been stopped and closed since (removing links does not refresh)."""
    make_runner("r")
    producer_runner = make_runner("p")
    a = async_task(loop_thread="node_0,r", name="a")
    async_task(loop_thread="node_0,p", name="p")
    a.insert_input_tasks(["node_0,p"])
    producer_runner.stop()
    wait_until(lambda: producer_runner.loop.is_closed(), message="the producer runner to close")
    available = S.Events["node_0,a,service_available_event"]
    assert available.l_t_list == {"node_0,p"} and "node_0,p" not in S.Tasks
    assert available.clear() is False  # the value changed, the closed runner was not told
    assert not available.is_set()
    return available


def test_arming_an_event_whose_waiter_runner_is_closed(make_runner):
    available = waited_on_by_a_closed_runner(make_runner)
    started = time.monotonic()
    again = async_task(loop_thread="node_0,r", name="a")
    # set() fails once on the closed runner, but the value is set by then:
    # well before the 5 s after which arming gives up.
    assert time.monotonic() - started < 4
    assert S.Tasks["node_0,a"] is again and available.is_set()


def test_arming_gives_up_when_the_event_cannot_be_set(make_runner):
    available = waited_on_by_a_closed_runner(make_runner)
    real_set = available.set

    def set_while_someone_clears_it():
        available._value = False
        return real_set()

    available.set = set_while_someone_clears_it
    started = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        async_task(loop_thread="node_0,r", name="a")
    assert 4.5 <= time.monotonic() - started < 10
    assert str(caught.value) == (
        "task node_0,a: its service-available event node_0,a,service_available_event could "
        "not be set for 5 s: the waiter runner node_0,p has a closed loop")
    assert S.Tasks["node_0,a"].loop_thread is S.loop_threads["node_0,r"]


def test_a_task_taken_from_the_table_while_it_is_built_works(make_runner, monkeypatch, recwarn):
    """The task is in velkor_state.Tasks before its constructor ends, so
    another thread may run it there: such a step runs, gives its unit back,
    and the engine warns of no uninitialised instance."""
    runner = make_runner("early")
    ran = []
    seen = []

    class Table(dict):
        def __setitem__(self, key, task):
            super().__setitem__(key, task)
            task.run()  # what another thread could do at this point
            seen.append(key)

    monkeypatch.setattr(S, "Tasks", Table())
    t = async_task(loop_thread=runner.name, name="early", task=lambda: ran.append(1),
                   Task_buffer_available=1)
    assert seen == [t.name]
    wait_until(lambda: ran == [1] and t.Task_buffer_available == 1,
               message="the early step to run and give its unit back")
    wait_until(lambda: available(t), message="the task to be free again")
    # Warnings of every thread, the runner's included.
    assert [str(w.message) for w in recwarn] == []
