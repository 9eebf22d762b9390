"""Exceptions that leave the engine's C++ code name the engine function they
came from in their traceback (in its module's file), whether the engine
prints them or raises them to the caller; the frames of the application's
code that raised them stay, inside that entry."""
import asyncio
import collections
import re
import traceback

import pytest

import velkor.dravel as dravel_module
import velkor.router as router_module
from velkor import velkor as V
from velkor import velkor_state as S

from helpers import (StandIn, available, engine_entry, make_task, printed_traceback, run_on,
                     settle, source_entry, wait_until)


class Tag(str):
    __hash__ = None  # a string tag that cannot be hashed


def entries(exc):
    """(file, function) of each entry of the exception's traceback, outermost first."""
    return [(entry.filename, entry.name) for entry in traceback.extract_tb(exc.__traceback__)]


def step_report(capfd, task):
    """What the mode 0 task's step printed, once it has given its unit back
    (the lines of ~ and ^ under a failing expression left out)."""
    wait_until(lambda: task.Task_buffer_available == 1 and available(task), message="the step")
    settle(task.loop_thread, turns=3)
    out, err = capfd.readouterr()
    return out, re.sub(r"^ *[~^]+\n", "", err, flags=re.M)


# --- failures the engine prints -----------------------------------------------

def test_failing_event_updates_and_delete_print_a_traceback_naming_them(make_runner, capfd):
    class Mirrors(dict):
        def pop(self, *args):
            raise LookupError("planted")

    r = make_runner("r")
    assert run_on(r, V.event_config(l_t="node_0,nope", event="n,a", value=True)) is None
    StandIn("node_0,w", r)
    e = V.custom_event("go")
    e.insert_custom_waiter_task("node_0,w")
    settle(r, turns=0)
    r.Events_async = None  # the event's own update, made without the coroutine, fails too
    assert e.set()
    settle(r, turns=0)
    r.Events_async = Mirrors()
    e.delete()
    assert capfd.readouterr() == (
        "Can not delete Event node_0,go succesfully. please try again!\n",
        printed_traceback(engine_entry("event_config"), error="KeyError: 'node_0,nope'")
        + printed_traceback(engine_entry("event_config"),
                            error="TypeError: 'NoneType' object is not subscriptable")
        + printed_traceback(engine_entry("custom_event.delete"),
                            source_entry(Mirrors.pop, 'raise LookupError("planted")'),
                            error="LookupError: planted"))


def plain_work(**kw):
    raise ValueError("planted")


async def coroutine_work(**kw):
    await asyncio.sleep(0)  # fails after a suspension, while the step awaits it
    raise ValueError("planted")


@pytest.mark.parametrize("work, WT", [(plain_work, 0), (coroutine_work, 0), (plain_work, 1)])
def test_a_failing_work_function_keeps_its_frame_inside_the_steps_entry(
        make_runner, capfd, work, WT):
    t = make_task("t", make_runner("r"), task=work, WT=WT, Task_buffer_available=1)
    t.run()
    if WT == 1:
        wait_until(lambda: t.WT_run == 1 and t.Task_buffer_available == 0, message="the loop")
        assert S.Events[t.events[0]].set()
    assert step_report(capfd, t) == ("node_0,t task has error!!!\n", printed_traceback(
        engine_entry("async_task.temp_func"), source_entry(work, 'raise ValueError("planted")'),
        error="ValueError: planted"))


def test_failing_buffer_methods_inside_a_step_are_named_after_the_step(make_runner, capfd):
    class Buffer(collections.defaultdict):
        def __contains__(self, key):
            raise LookupError("planted")

    r = make_runner("r")
    t = make_task("t", r, Task_buffer_available=1)
    t.kwargs_buffer = Buffer(dict)
    t.run("x")
    assert step_report(capfd, t) == ("node_0,t task has error!!!\n", printed_traceback(
        engine_entry("async_task.temp_func"), engine_entry("async_task.activation_check"),
        source_entry(Buffer.__contains__, 'raise LookupError("planted")'),
        error="LookupError: planted"))

    def produce(**kw):
        t.insert_kwargs_buffer({"x": 1}, Tag("t"))

    p = make_task("p", r, task=produce, Task_buffer_available=1)
    p.run()
    assert step_report(capfd, p) == ("node_0,p task has error!!!\n", printed_traceback(
        engine_entry("async_task.temp_func"), source_entry(produce, "t.insert_kwargs_buffer"),
        engine_entry("async_task.insert_kwargs_buffer"),
        error="TypeError: unhashable type: 'Tag'"))


# --- exceptions raised to the caller ----------------------------------------------

def test_a_failing_method_call_ends_in_the_methods_entry_or_the_code_it_called(make_runner):
    class Uncopyable:
        def __deepcopy__(self, memo):
            raise LookupError("no copies")

    t = make_task("t", make_runner("r", start=False))
    with pytest.raises(TypeError, match="unhashable type: 'Tag'") as raised:
        t.insert_kwargs_buffer({"x": 1}, Tag("t"))
    assert entries(raised.value)[-1] == (V.__file__, "async_task.insert_kwargs_buffer")
    with pytest.raises(LookupError) as raised:  # copied by way of copy.deepcopy
        t.insert_kwargs_buffer({"x": Uncopyable()}, "t")
    found = entries(raised.value)
    assert found[-1] == (__file__, "__deepcopy__")
    assert found.index((V.__file__, "async_task.insert_kwargs_buffer")) < len(found) - 1


@pytest.mark.parametrize("call, function, module", [
    (lambda t: V.custom_event(), "custom_event.__init__", V),
    (lambda t: V.async_task(loop_thread="node_0,nope", name="x"), "async_task.__init__", V),
    (lambda t: t.run(1, 2), "async_task.run", V),
    (lambda t: t.temp_func(1, 2, 3), "async_task.temp_func", V),
    (lambda t: V.event_config(l_t="node_0,r"), "event_config", V),
    (lambda t: V._submit(), "_submit", V),
    (lambda t: router_module.router(), "router.__init__", router_module),
    (lambda t: dravel_module.dravel("d"), "dravel.__init__", dravel_module),
])
def test_failures_before_the_body_runs_name_the_function_in_its_modules_file(
        make_runner, call, function, module):
    t = make_task("t", make_runner("r", start=False))
    with pytest.raises(Exception) as raised:
        call(t)
    assert entries(raised.value)[-1] == (module.__file__, function)


def test_an_awaited_engine_coroutine_that_fails_names_itself(make_runner, monkeypatch):
    async def broken(**kw):
        await asyncio.sleep(0)
        raise LookupError("planted")

    r = make_runner("r")
    with pytest.raises(TypeError) as raised:
        run_on(r, V.waiter(5))
    assert entries(raised.value)[-1] == (V.__file__, "waiter")
    monkeypatch.setattr(S, "trig_output", broken)
    with pytest.raises(LookupError) as raised:
        run_on(r, make_task("t", r).trig_output("x"))
    assert entries(raised.value)[-2:] == [(V.__file__, "async_task.trig_output"),
                                          (__file__, "broken")]


def test_an_entry_is_a_frame_of_one_code_object_per_function(make_runner):
    t = make_task("t", make_runner("r", start=False))

    def innermost_frame(call):
        with pytest.raises(TypeError) as raised:
            call()
        return list(traceback.walk_tb(raised.value.__traceback__))[-1][0]

    first, second = (innermost_frame(lambda: t.insert_kwargs_buffer({}, Tag("t")))
                     for _ in range(2))
    other = innermost_frame(lambda: t.activation_check(["x"]))
    assert first is not second and first.f_code is second.f_code is not other.f_code
    assert (first.f_code.co_filename, first.f_code.co_name, first.f_lineno, first.f_globals) == (
        V.__file__, "async_task.insert_kwargs_buffer", 0, {"__name__": "velkor.velkor"})
