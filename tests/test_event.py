"""Named events (custom_event) and their per-runner mirrors (event_config):
construction, set/clear across threads, waiter lists, deletion and locking."""
import asyncio
import inspect
import random
import threading
import types

import pytest

from velkor import velkor as V
from velkor import velkor_state as S

from helpers import StandIn, run_on, settle, wait_until

ATTRIBUTES = [
    "name",
    "task",
    "_value",
    "custom_waiter_task_list",
    "automate_waiter_task_list",
    "custom_waiter_task_list_threading_lock",
    "automate_waiter_task_list_threading_lock",
    "l_t_list",
]


def mirror(runner, name):
    """(exists, is_set) of the mirror `name` on a started runner, read on its
    loop. Work submitted to that runner before this call has run by then."""

    async def read():
        ev = runner.Events_async.get(name)
        return (ev is not None, ev is not None and ev.is_set())

    return run_on(runner, read())


@pytest.fixture
def recorded_updates(monkeypatch):
    """Replace the engine's event_config, as events reach it, by a recorder."""
    calls = []

    async def record(l_t, event, value):
        calls.append((l_t, event, value))

    monkeypatch.setattr(S, "event_config", record)
    return calls


# --------------------------------------------------------------------------
# Construction


def test_construction_sets_attributes_in_order():
    S.network_node.name = "n"
    e = V.custom_event("go")
    assert list(vars(e)) == ATTRIBUTES
    assert e.name == "n,go" and S.Events["n,go"] is e
    assert e.task is None and e._value is False and e.is_set() is False
    assert e.custom_waiter_task_list == set() and e.automate_waiter_task_list == set()
    assert e.l_t_list == set()
    lock_type = type(threading.Lock())
    assert type(e.custom_waiter_task_list_threading_lock) is lock_type
    assert type(e.automate_waiter_task_list_threading_lock) is lock_type
    assert e.custom_waiter_task_list_threading_lock is not e.automate_waiter_task_list_threading_lock
    # The full name is built from the text of both parts.
    assert V.custom_event(7).name == "n,7"


def test_duplicate_name_prints_and_leaves_an_empty_object(capfd):
    first = V.custom_event("go")
    assert first.set() is True
    dup = V.custom_event("go", task="node_0,someone")
    out, err = capfd.readouterr()
    assert out == "Event go exists!\n" and err == ""
    assert vars(dup) == {"name": "node_0,go"}
    assert S.Events == {"node_0,go": first}
    assert first.is_set() is True and first.task is None and first.l_t_list == set()


def test_owner_inputs_get_clear_mirrors_at_construction(make_runner):
    r1, r2, r3 = make_runner("r1"), make_runner("r2"), make_runner("r3")
    StandIn("node_0,a", r1)
    StandIn("node_0,b", r2)
    StandIn("node_0,c", r3)
    StandIn("node_0,own", r1, inputs={"node_0,a", "node_0,b"}, incode_inputs={"node_0,c"})
    e = V.custom_event("node_0,own,service_available_event", task="node_0,own")
    assert e.task == "node_0,own"
    assert e.automate_waiter_task_list == {"node_0,a", "node_0,b", "node_0,c"}
    assert e.custom_waiter_task_list == set()
    assert e.l_t_list == {r1.name, r2.name, r3.name}
    for r in (r1, r2, r3):
        assert mirror(r, e.name) == (True, False)


# --------------------------------------------------------------------------
# set / clear


def test_set_and_clear_results_and_no_repeated_updates(make_runner, recorded_updates):
    r = make_runner("r")
    StandIn("node_0,w", r)
    e = V.custom_event("go")
    assert (e.set(), e.is_set()) == (True, True)  # no waiter: only the value flips
    e.insert_custom_waiter_task("node_0,w")
    assert e.set() is True and e.set() is True
    assert e.clear() is True and e.clear() is True
    assert e.is_set() is False
    settle(r, turns=0)
    # One update when the waiter came in (with the value then), one per change.
    assert recorded_updates == [
        (r.name, "node_0,go", True),
        (r.name, "node_0,go", False),
    ]


def test_mirrors_follow_set_and_clear_from_other_threads(make_runner):
    runners = [make_runner(f"r{i}") for i in range(3)]
    StandIn("node_0,a", runners[0])
    StandIn("node_0,b", runners[1])
    StandIn("node_0,own", runners[0], inputs={"node_0,a", "node_0,b"})
    StandIn("node_0,c", runners[2])
    e = V.custom_event("svc", task="node_0,own")
    e.insert_custom_waiter_task("node_0,c")
    assert e.l_t_list == {r.name for r in runners}

    # A coroutine awaiting the mirror is woken by a set made on another thread.
    async def wait_for_it():
        await runners[1].Events_async[e.name].wait()
        return threading.current_thread().name

    settle(runners[1], turns=0)  # the mirror exists
    woken = asyncio.run_coroutine_threadsafe(wait_for_it(), runners[1].loop)
    results = []
    t = threading.Thread(target=lambda: results.append(e.set()))
    t.start()
    t.join()
    assert results == [True]
    assert woken.result(5) == "velkor runner node_0,r1"
    assert [mirror(r, e.name) for r in runners] == [(True, True)] * 3

    # Many threads flipping it at once: every mirror ends with the final value.
    outcomes = []

    def flip(seed):
        rnd = random.Random(seed)
        outcomes.extend(e.set() if rnd.random() < 0.5 else e.clear() for _ in range(200))

    threads = [threading.Thread(target=flip, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outcomes == [True] * 800
    final = e.is_set()
    assert [mirror(r, e.name) for r in runners] == [(True, final)] * 3


def test_waiter_inserted_after_set_gets_a_set_mirror(make_runner):
    r = make_runner("r")
    StandIn("node_0,w", r)
    e = V.custom_event("go")
    assert e.set() is True
    assert r.Events_async == {}
    e.insert_custom_waiter_task("node_0,w")
    assert e.l_t_list == {r.name}
    assert mirror(r, e.name) == (True, True)


def test_runners_of_another_node_are_listed_but_never_contacted(make_runner):
    r = make_runner("r")
    StandIn("node_0,here", r)
    StandIn("far,there", types.SimpleNamespace(name="far,main"))
    e = V.custom_event("go")
    e.insert_custom_waiter_task("far,there")
    e.insert_custom_waiter_task("node_0,here")
    assert e.l_t_list == {"far,main", r.name}
    # "far,main" is no key of loop_threads: contacting it would fail the call.
    assert e.set() is True and e.clear() is True and e.set() is True
    assert mirror(r, e.name) == (True, True)


def test_set_and_clear_report_failures_by_false(make_runner):
    r = make_runner("r")
    StandIn("node_0,w", r)
    e = V.custom_event("go")
    e.insert_custom_waiter_task("node_0,w")
    settle(r, turns=0)
    r.stop()
    wait_until(r.loop.is_closed, message="runner closed")
    assert e.set() is False
    assert e.is_set() is True  # the value changed before the update failed
    assert e.clear() is False and e.is_set() is False
    # A local runner key that is not (or no longer) registered.
    other = V.custom_event("other")
    other.l_t_list = {"node_0,gone"}
    assert other.set() is False and other.is_set() is True


# --------------------------------------------------------------------------
# delete


def test_delete_removes_mirrors_and_unregisters(make_runner, capfd):
    r1, r2 = make_runner("r1"), make_runner("r2")
    StandIn("node_0,a", r1)
    StandIn("node_0,b", r2)
    e = V.custom_event("go")
    keep = V.custom_event("keep")
    for ev in (e, keep):
        ev.insert_custom_waiter_task("node_0,a")
        ev.insert_custom_waiter_task("node_0,b")
    settle(r1, r2, turns=0)
    e.delete()
    assert e.name not in r1.Events_async and e.name not in r2.Events_async
    assert keep.name in r1.Events_async and keep.name in r2.Events_async
    assert S.Events == {keep.name: keep}
    assert capfd.readouterr() == ("", "")
    # The object still works; an update creates a fresh mirror.
    assert e.set() is True
    assert mirror(r1, e.name) == (True, True)
    assert e.name not in S.Events


def test_delete_skips_runners_without_a_mirror(make_runner, capfd):
    idle = make_runner("idle", start=False)  # its update is still queued
    StandIn("node_0,w", idle)
    gone = make_runner("gone", start=False)
    StandIn("node_0,v", gone)
    e = V.custom_event("go")
    e.insert_custom_waiter_task("node_0,w")
    e.insert_custom_waiter_task("node_0,v")
    del S.loop_threads[gone.name]
    gone.loop.close()
    e.delete()
    assert capfd.readouterr() == ("", "")
    assert e.name not in S.Events and idle.Events_async == {}


def test_delete_wakes_coroutines_awaiting_a_service_available_event(make_runner):
    r1, r2 = make_runner("r1"), make_runner("r2")
    StandIn("node_0,a", r1)
    StandIn("node_0,b", r2)
    StandIn("node_0,own", r2, inputs={"node_0,a"})
    svc = V.custom_event("svc", task="node_0,own")
    plain = V.custom_event("plain")
    plain.insert_custom_waiter_task("node_0,b")
    settle(r1, r2, turns=0)

    async def wait_on(runner, name):
        await runner.Events_async[name].wait()
        return "woken"

    on_svc = asyncio.run_coroutine_threadsafe(wait_on(r1, svc.name), r1.loop)
    on_plain = asyncio.run_coroutine_threadsafe(wait_on(r2, plain.name), r2.loop)
    settle(r1, r2, turns=0)  # both are waiting now
    svc.delete()
    plain.delete()
    assert on_svc.result(5) == "woken"
    settle(r2, turns=0)  # anything delete handed to r2 has run
    assert not on_plain.done()  # an event without owner wakes nobody
    on_plain.cancel()


def test_delete_failures_print_a_line_and_the_traceback(make_runner, capfd):
    e = V.custom_event("x")
    del S.Events[e.name]
    e.delete()
    out, err = capfd.readouterr()
    assert out == "Can not delete Event node_0,x succesfully. please try again!\n"
    assert err.rstrip().endswith("KeyError: 'node_0,x'")

    # The empty duplicate fails on its missing list and leaves the registered one.
    first = V.custom_event("go")
    dup = V.custom_event("go")
    capfd.readouterr()
    dup.delete()
    out, err = capfd.readouterr()
    assert out == "Can not delete Event node_0,go succesfully. please try again!\n"
    assert "AttributeError" in err and "l_t_list" in err
    assert S.Events["node_0,go"] is first

    # A broken mirror table is reported, and the event is unregistered anyway.
    r = make_runner("r")
    StandIn("node_0,w", r)
    first.insert_custom_waiter_task("node_0,w")
    settle(r, turns=0)
    r.Events_async = None
    first.delete()
    out, err = capfd.readouterr()
    assert out == "Can not delete Event node_0,go succesfully. please try again!\n"
    assert "AttributeError" in err and "pop" in err
    assert S.Events == {}


# --------------------------------------------------------------------------
# event_config


def test_event_config_creates_and_updates_mirrors(make_runner, capfd):
    r = make_runner("r")
    table = r.Events_async

    def config(event, value):
        assert run_on(r, V.event_config(l_t=r.name, event=event, value=value)) is None

    config("n,a", 0)
    config("n,b", "yes")
    assert mirror(r, "n,a") == (True, False) and mirror(r, "n,b") == (True, True)
    b = table["n,b"]
    config("n,b", True)  # already set: unchanged
    assert table["n,b"] is b and b.is_set()
    config("n,b", [])
    assert table["n,b"] is b and not b.is_set()
    config("n,b", None)
    assert table["n,b"] is b and not b.is_set()
    del table["n,b"]  # as delete() does: the next update makes a new mirror
    config("n,b", 1)
    assert table["n,b"] is not b and mirror(r, "n,b") == (True, True)
    assert capfd.readouterr() == ("", "")


def test_event_config_failures_print_the_traceback(make_runner, capfd):
    r = make_runner("r")
    assert run_on(r, V.event_config(l_t="node_0,nope", event="n,a", value=True)) is None
    out, err = capfd.readouterr()
    assert out == "" and err.rstrip().endswith("KeyError: 'node_0,nope'")
    S.loop_threads["node_0,bare"] = types.SimpleNamespace()  # no Events_async
    assert run_on(r, V.event_config(l_t="node_0,bare", event="n,a", value=True)) is None
    out, err = capfd.readouterr()
    assert out == "" and "AttributeError" in err and "Events_async" in err
    assert r.Events_async == {}


def test_event_config_is_a_coroutine_function():
    assert inspect.iscoroutinefunction(V.event_config)
    assert str(inspect.signature(V.event_config)) == "(l_t, event, value)"
    assert S.event_config is V.event_config and S.custom_event is V.custom_event
    with pytest.raises(TypeError):
        V.event_config(l_t="node_0,r", event="n,a")
    for name in ("is_set", "delete", "set", "clear", "refresh_automate_waiter_task_list"):
        assert not inspect.iscoroutinefunction(getattr(V.custom_event, name))


# --------------------------------------------------------------------------
# Waiter lists


def test_refresh_follows_the_owner_inputs(make_runner, recorded_updates):
    r1, r2 = make_runner("r1"), make_runner("r2")
    StandIn("node_0,a", r1)
    StandIn("node_0,b", r2)
    owner = StandIn("node_0,own", r1, inputs={"node_0,a"})
    e = V.custom_event("svc", task="node_0,own")
    assert e.l_t_list == {r1.name}
    e.set()
    owner.incode_input_tasks.add("node_0,b")
    before = e.automate_waiter_task_list
    e.refresh_automate_waiter_task_list()
    assert e.automate_waiter_task_list == {"node_0,a", "node_0,b"}
    assert e.automate_waiter_task_list is not before  # a new set each time
    assert e.l_t_list == {r1.name, r2.name}
    owner.input_tasks.clear()
    e.refresh_automate_waiter_task_list()
    assert e.automate_waiter_task_list == {"node_0,b"} and e.l_t_list == {r2.name}
    settle(r1, r2, turns=0)
    # Only runners new in l_t_list are told the value; none is told to drop it.
    def sent_to(runner):
        return [value for l_t, event, value in recorded_updates if l_t == runner.name]

    assert len(recorded_updates) == 3 and {c[1] for c in recorded_updates} == {e.name}
    assert sent_to(r1) == [False, True] and sent_to(r2) == [True]


def test_custom_waiters_insert_and_delete(make_runner, monkeypatch):
    r = make_runner("r")
    StandIn("node_0,w", r)
    e = V.custom_event("go")
    e.insert_custom_waiter_task("node_0,w")
    assert e.custom_waiter_task_list == {"node_0,w"} and e.l_t_list == {r.name}
    e.delete_custom_waiter_task("node_0,w")
    assert e.custom_waiter_task_list == set()
    assert e.l_t_list == {r.name}  # not recomputed until the next refresh
    with pytest.raises(KeyError):
        e.delete_custom_waiter_task("node_0,w")
    e.refresh_automate_waiter_task_list()
    assert e.l_t_list == set()
    assert mirror(r, e.name) == (True, False)  # the mirror stays

    # A waiter unknown here gets a placeholder from the task class.
    made = []

    class Placeholder:
        def __init__(self, **kwargs):
            made.append(kwargs)
            self.loop_thread = types.SimpleNamespace(name=f"{kwargs['network_node_name']},main")
            S.Tasks[f"{kwargs['network_node_name']},{kwargs['name']}"] = self

    monkeypatch.setattr(S, "async_task", Placeholder, raising=False)
    e.insert_custom_waiter_task("far,w")
    e.insert_custom_waiter_task("node_0,w")  # known: no placeholder
    assert made == [{"loop_thread": None, "name": "w", "network_node_name": "far"}]
    assert e.l_t_list == {"far,main", r.name}
    with pytest.raises(IndexError):
        e.insert_custom_waiter_task("nocomma")
    assert e.custom_waiter_task_list == {"far,w", "node_0,w"}


def test_locks_taken_custom_first_and_released_on_failure():
    StandIn("node_0,w", types.SimpleNamespace(name="far,main"))
    e = V.custom_event("go")
    custom = e.custom_waiter_task_list_threading_lock
    automate = e.automate_waiter_task_list_threading_lock

    # While another thread holds the automate lock, a refresh takes the custom
    # lock and waits; delete_custom_waiter_task needs only the custom lock.
    e.custom_waiter_task_list.add("node_0,w")
    automate.acquire()
    refresher = threading.Thread(target=e.refresh_automate_waiter_task_list)
    refresher.start()
    wait_until(custom.locked, message="custom lock taken by the refresh")
    assert refresher.is_alive() and e.l_t_list == set()
    automate.release()
    refresher.join(5)
    assert not refresher.is_alive() and e.l_t_list == {"far,main"}
    automate.acquire()
    remover = threading.Thread(target=e.delete_custom_waiter_task, args=("node_0,w",))
    remover.start()
    remover.join(5)
    automate.release()
    assert not remover.is_alive() and e.custom_waiter_task_list == set()

    # Failures leave both locks free and l_t_list as it was.
    listed = e.l_t_list
    e.task = "node_0,missing"
    with pytest.raises(KeyError):
        e.refresh_automate_waiter_task_list()
    e.task = None
    S.Tasks["node_0,bad"] = types.SimpleNamespace(loop_thread=None)
    with pytest.raises(AttributeError):
        e.insert_custom_waiter_task("node_0,bad")
    assert e.custom_waiter_task_list == {"node_0,bad"}
    assert e.l_t_list is listed
    assert not custom.locked() and not automate.locked()


def test_a_change_on_the_runners_own_thread_wins_over_older_queued_updates(make_runner):
    # A change made on a runner's loop thread reaches its mirror at once,
    # ahead of an update another thread queued before it; that older update,
    # run afterwards, must not bring the older value back.
    runner = make_runner("r")
    StandIn("node_0,w", runner)
    event = V.custom_event("e")
    event.insert_custom_waiter_task("node_0,w")
    assert mirror(runner, "node_0,e") == (True, False)
    go, seen = threading.Event(), []

    def on_the_loop():
        go.wait(5)                       # the set below is queued behind this
        event.clear()
        seen.append(runner.Events_async["node_0,e"].is_set())

    runner.loop.call_soon_threadsafe(on_the_loop)
    assert event.set()
    go.set()
    assert mirror(runner, "node_0,e") == (True, False)
    assert seen == [False]               # cleared at once, in the same call
    assert not event.is_set()
    assert event.set()                   # later updates still go through
    assert mirror(runner, "node_0,e") == (True, True)
