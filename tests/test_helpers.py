"""The suite's shared helpers (tests/helpers.py): the checks fail when they
should, the waits wait for what they say, keys agree with the engine's, and
the clean world puts everything back, or says which runner thread is stuck."""
import asyncio
import socket
import subprocess
import threading

import pytest

from velkor import velkor_state as S
from velkor.router import router

from helpers import (DISPATCH, NODE, Gate, StandIn, assert_clean, assert_links_agree, available,
                     engine_world, feed_when_free, key, locks_free, make_task, no_leaked_resources,
                     other_task_names, run_on, run_script, runner_threads, settle, wait_until)


# --- keys and tasks -------------------------------------------------------------

def test_keys_are_the_engines(make_runner):
    runner = make_runner("r")
    assert runner.name == key("r") and key("r", node="far") == "far,r"
    task = make_task("a", runner)
    assert task.name == key("a") and S.Tasks[key("a")] is task and task.loop_thread is runner
    router("x")
    assert S.loop_threads[DISPATCH].name == DISPATCH
    assert S.network_node.name == NODE


def test_available_follows_the_service_available_event(make_runner):
    gate = Gate("busy", make_runner("r"))
    assert gate.calls == [{}] and not available(gate.task)
    gate.open.set()
    wait_until(lambda: available(gate.task), message="the unit to come back")


def test_the_link_check_fails_on_a_one_sided_link(make_runner):
    runner = make_runner("r")
    a, b = make_task("a", runner), make_task("b", runner)
    a.insert_output_tasks([b.name])
    a.insert_incode_input_tasks([b.name])
    assert_links_agree()
    b.incode_output_tasks.discard(a.name)
    with pytest.raises(AssertionError):
        assert_links_agree()
    b.incode_output_tasks.add(a.name)
    a.output_tasks.add(key("ghost"))  # not registered
    with pytest.raises(AssertionError, match="ghost"):
        assert_links_agree()
    assert_links_agree(registered_only=True)
    a.output_tasks.discard(key("ghost"))  # a's cancel would look it up


def test_the_lock_check_fails_on_a_held_lock():
    free, held = threading.Lock(), threading.Lock()
    locks_free(free)
    held.acquire()
    with pytest.raises(AssertionError, match="left held"):
        locks_free(free, held)
    assert not free.locked()


def test_a_stand_in_is_cancelled_by_its_stopping_runner(make_runner):
    runner, other = make_runner("r"), make_runner("o")
    mine, theirs = StandIn(key("s"), runner, inputs={key("i")}), StandIn(key("t"), other)
    assert S.Tasks[key("s")] is mine and mine.input_tasks == {key("i")}
    runner.stop()
    wait_until(runner.loop.is_closed, message="the runner to close")
    assert (mine.cancelled, theirs.cancelled) == (1, 0)
    assert key("s") not in S.Tasks and S.Tasks[key("t")] is theirs


# --- waiting ---------------------------------------------------------------------

def test_wait_until_returns_the_value_or_fails_naming_what_it_waited_for():
    assert wait_until(lambda: [1]) == [1]
    with pytest.raises(AssertionError, match="timed out after 0.05 s waiting for nothing"):
        wait_until(lambda: False, timeout=0.05, message="nothing")


def test_settle_returns_after_the_work_submitted_before(make_runner):
    runner = make_runner("r")
    seen, go = [], threading.Event()
    runner.loop.call_soon_threadsafe(lambda: (go.wait(5), seen.append("first")))
    threading.Timer(0.05, go.set).start()
    settle(runner, turns=0)
    assert seen == ["first"]
    runner.loop.call_soon_threadsafe(seen.append, "second")
    settle(runner, turns=3)
    assert seen == ["first", "second"]


def test_other_task_names_leaves_out_the_caller(make_runner):
    runner = make_runner("r")
    run_on(runner, runner.append_task(name="sleeper", task=asyncio.sleep, delay=3600))
    assert run_on(runner, other_task_names()) == ["sleeper"]


def test_feeding_waits_for_the_task_and_fails_when_it_stays_busy(make_runner):
    runner = make_runner("r")
    got = []
    t = make_task("t", runner, task=lambda i: got.append(i), Task_buffer_available=1)
    feed_when_free(t, range(20), lambda i: {"i": i}, timeout=10)
    wait_until(lambda: len(got) == 20, message="every item")
    assert got == list(range(20))
    gate = Gate("busy", runner)
    with pytest.raises(AssertionError, match=f"{gate.name} stayed busy at item 0"):
        feed_when_free(gate.task, [0], lambda i: {"i": i}, timeout=0.05)
    gate.open.set()


# --- the clean world -------------------------------------------------------------

def test_the_world_is_clean_inside_and_put_back_after(make_runner):
    S.network_node.name = "elsewhere"
    StandIn(key("outside"), None)
    with engine_world():
        assert S.network_node.name == NODE and S.Tasks == {} and S.loop_threads == {}
        inside = make_runner("inside")
        make_task("t", inside)
    assert S.network_node.name == "elsewhere" and S.Tasks == {} and S.loop_threads == {}
    assert inside.loop.is_closed() and runner_threads() == []


def test_the_world_reports_a_runner_thread_that_outlives_it(make_runner):
    stacks, release = [], threading.Event()
    with engine_world(timeout=0.2, stuck=stacks.append):
        runner = make_runner("stuck")
        runner.loop.call_soon_threadsafe(release.wait, 10)  # the stop waits behind this
    release.set()
    assert len(stacks) == 1 and f"--- velkor runner {runner.name}" in stacks[0]
    wait_until(runner.loop.is_closed, message="the runner to stop once released")
    # Without a `stuck` of its own, the failed wait goes on.
    hold = threading.Event()
    with pytest.raises(AssertionError, match="runner threads to end"):
        with engine_world(timeout=0.2):
            make_runner("held").loop.call_soon_threadsafe(hold.wait, 10)
    hold.set()
    wait_until(lambda: not runner_threads(), message="the held runner to stop")


def test_leaked_resources_are_found():
    with no_leaked_resources():
        with socket.socket():
            pass
    with pytest.raises(AssertionError, match="unclosed"):
        with no_leaked_resources():
            socket.socket()


# --- scripts in fresh interpreters -------------------------------------------------

def test_a_script_gets_the_engine_and_a_wait_that_ends_it():
    proc = run_script("""
        r = V.Real_tasks("main")
        print(r.name, S.loop_threads[r.name] is r)
        r.loop.close()
        wait_until(lambda: False, timeout=0.05)
    """)
    assert (proc.returncode, proc.stdout) == (1, "node_0,main True\n")
    assert proc.stderr.splitlines()[-1] == "timed out"
    with pytest.raises(AssertionError):
        assert_clean(proc, "node_0,main True\n")


def test_a_clean_run_lets_only_slow_callback_lines_through():
    slow = "Executing <Handle f()> took 0.150 seconds\n"
    assert_clean(subprocess.CompletedProcess([], 0, "ok\n", slow), "ok\n")
    for stderr in ("Task was destroyed but it is pending!\n", slow + "Exception ignored\n"):
        with pytest.raises(AssertionError):
            assert_clean(subprocess.CompletedProcess([], 0, "ok\n", stderr), "ok\n")
    with pytest.raises(AssertionError):
        assert_clean(subprocess.CompletedProcess([], 0, "other\n", ""), "ok\n")
