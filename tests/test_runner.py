"""Runners (Real_tasks): registration, start, the stop sequence, replacement,
cancel_task, append_task and the submission of work from other threads."""
import asyncio
import concurrent.futures
import gc
import inspect
import threading
import warnings

import pytest

from velkor import velkor as V
from velkor import velkor_state as S

from helpers import StandIn, other_task_names, run_on, runner_thread, wait_until


def sleeper(log, started):
    async def body(tag=None):
        started.set()
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            log.append(("cancelled", tag, threading.current_thread().name))
            raise

    return body


def test_construction_registers_an_idle_runner():
    S.network_node.name = "n"
    before = threading.active_count()
    r = V.Real_tasks("main")
    assert r.name == "n,main"
    assert S.loop_threads["n,main"] is r
    assert isinstance(r.loop, asyncio.AbstractEventLoop)
    assert not r.loop.is_running() and not r.loop.is_closed()
    assert r.Events_async == {}
    assert r.executor is None
    assert not hasattr(r, "append_task_queue")
    assert threading.active_count() == before
    # The key is built from the text of both parts.
    assert V.Real_tasks(7).name == "n,7"
    assert "n,7" in S.loop_threads


def test_start_runs_the_loop_on_a_daemon_thread(make_runner):
    r = make_runner("main")
    t = runner_thread(r)
    assert t is not None and t.daemon
    assert isinstance(r.append_task_queue, asyncio.PriorityQueue)

    async def where():
        return threading.current_thread() is t, asyncio.get_running_loop() is r.loop

    assert run_on(r, where()) == (True, True)


@pytest.mark.parametrize("policy", ["asyncio", "uvloop"])
def test_a_runner_gets_its_loop_from_the_installed_policy(make_runner, policy):
    """An application that installs an event-loop policy (uvloop's, say)
    before making its runners gets that policy's loops in them, driven by the
    runners' threads, doing the runners' work and closed by their stop."""
    import uvloop

    policies = {"asyncio": (asyncio.DefaultEventLoopPolicy, asyncio.SelectorEventLoop),
                "uvloop": (uvloop.EventLoopPolicy, uvloop.Loop)}
    make_policy, loop_type = policies[policy]
    saved = asyncio.get_event_loop_policy()
    asyncio.set_event_loop_policy(make_policy())
    try:
        r = make_runner("main")
    finally:
        asyncio.set_event_loop_policy(saved)
    assert type(r.loop) is loop_type
    t = runner_thread(r)
    seen = []

    async def work(tag=None):
        seen.append((tag, threading.current_thread() is t, asyncio.get_running_loop() is r.loop))

    run_on(r, r.append_task(name="node_0,w", task=work, tag="t1"))
    wait_until(lambda: seen, message="the work to run")
    assert seen == [("t1", True, True)]
    r.stop()
    wait_until(r.loop.is_closed, message="the loop to close")
    wait_until(lambda: runner_thread(r) is None, message="the runner thread to end")


def test_stop_sequence_on_a_running_runner(make_runner):
    r = make_runner("main")
    other = make_runner("other")
    log, started = [], threading.Event()
    run_on(r, r.append_task(name="node_0,a", task=sleeper(log, started), tag="t1"))
    wait_until(started.is_set)
    # Tasks bound to this runner are cancelled, others are not.
    mine = StandIn("node_0,a", r)
    theirs = StandIn("node_0,b", other)
    stop_tasks = []

    async def spy():
        stop_tasks.append(asyncio.current_task().get_name())
        await asyncio.sleep(3600)

    r.stop()
    wait_until(lambda: r.loop.is_closed(), message="loop closed")
    wait_until(lambda: runner_thread(r) is None, message="thread ended")
    assert log == [("cancelled", "t1", "velkor runner node_0,main")]
    assert mine.cancelled == 1 and "node_0,a" not in S.Tasks
    assert theirs.cancelled == 0 and S.Tasks["node_0,b"] is theirs
    # The runner stays registered, closed; submitting to it raises.
    assert S.loop_threads["node_0,main"] is r
    with pytest.raises(RuntimeError, match="closed"):
        r.stop()
    assert other.loop.is_running()


def test_stop_cancels_tasks_in_the_order_of_a_single_gather(make_runner):
    """Every task is cancelled and awaited before the loop stops, even ones
    that take a while to unwind."""
    r = make_runner()
    started, done = [], []

    def slow_unwind(i):
        async def body():
            try:
                started.append(i)
                await asyncio.sleep(3600)
            finally:
                await asyncio.sleep(0.01 * i)
                done.append(i)

        return body

    for i in range(5):
        run_on(r, r.append_task(name=f"w{i}", task=slow_unwind(i)))
    # every body waits in its sleep when the stop comes
    wait_until(lambda: len(started) == 5 and len(asyncio.all_tasks(r.loop)) == 5)
    r.stop()
    wait_until(lambda: r.loop.is_closed())
    assert sorted(done) == [0, 1, 2, 3, 4]


def test_stop_before_start_stops_at_once():
    r = V.Real_tasks("main")
    r.stop()
    assert not r.loop.is_closed()
    r.start()
    wait_until(lambda: r.loop.is_closed(), message="queued stop to run")
    wait_until(lambda: runner_thread(r) is None)


def test_replacement_stops_the_running_runner(make_runner):
    old = make_runner("main")
    new = V.Real_tasks("main")
    assert S.loop_threads["node_0,main"] is new
    assert new.loop is not old.loop
    wait_until(lambda: old.loop.is_closed(), message="old runner stopped")
    assert not new.loop.is_running() and not new.loop.is_closed()


def test_replacement_keeps_tasks_built_on_the_new_runner(make_runner):
    """The old runner's stop sequence only cancels tasks bound to it, even
    though the new runner carries the same key."""
    old = V.Real_tasks("main")
    new = V.Real_tasks("main")  # old was never started: its stop waits in its loop
    on_new = StandIn("node_0,x", new)
    on_old = StandIn("node_0,y", old)
    old.start()
    wait_until(lambda: old.loop.is_closed())
    assert on_new.cancelled == 0 and S.Tasks["node_0,x"] is on_new
    assert on_old.cancelled == 1


def test_replacing_a_never_started_runner_leaves_no_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        old = V.Real_tasks("main")
        V.Real_tasks("main")
        old.loop.close()
        del old
        gc.collect()
    assert [str(w.message) for w in caught if "never awaited" in str(w.message)] == []


def test_a_closed_runners_key_can_be_reused(make_runner):
    r = make_runner("main")
    r.stop()
    wait_until(lambda: r.loop.is_closed())
    again = V.Real_tasks("main")  # must not raise the closed-loop error
    assert S.loop_threads["node_0,main"] is again
    again.start()
    wait_until(lambda: again.loop.is_running())


def test_cancel_task_cancels_every_task_of_that_name(make_runner):
    r = make_runner()
    log, started = [], threading.Event()
    names = ["n,a", "n,a", "n,b"]
    for i, name in enumerate(names):
        started.clear()
        run_on(r, r.append_task(name=name, task=sleeper(log, started), tag=i))
        wait_until(started.is_set)
    run_on(r, r.cancel_task(name="n,a"))
    wait_until(lambda: len(log) == 2)
    assert sorted(tag for _, tag, _ in log) == [0, 1]
    assert run_on(r, other_task_names()) == ["n,b"]
    run_on(r, r.cancel_task(name="no such task"))  # no match: nothing happens
    assert run_on(r, other_task_names()) == ["n,b"]


def test_append_task_on_the_loop_passes_the_keyword_arguments(make_runner):
    r = make_runner()
    seen = []

    async def work(x, y):
        seen.append((x, y, threading.current_thread() is runner_thread(r),
                     asyncio.current_task().get_name()))

    run_on(r, r.append_task(name="job", task=work, CPU_bound=0, x=1, y=2))
    wait_until(lambda: seen)
    assert seen == [(1, 2, True, "job")]


@pytest.mark.parametrize("use_default_executor", [True, False])
def test_append_task_cpu_bound_goes_to_the_executor(make_runner, use_default_executor):
    r = make_runner()
    if not use_default_executor:
        r.executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="cpu")
    seen = []

    async def work(tag="no keyword arguments"):
        seen.append((tag, threading.current_thread() is not runner_thread(r),
                     asyncio.get_running_loop() is not r.loop))

    run_on(r, r.append_task(name="job", task=work, CPU_bound=None, tag="given"))
    wait_until(lambda: seen)
    assert seen == [("no keyword arguments", True, True)]
    if not use_default_executor:
        r.executor.shutdown()


def test_errors_inside_append_task_go_nowhere(make_runner, capfd):
    r = make_runner()
    # A task that returns no coroutine, submitted the way the engine submits.
    fut = asyncio.run_coroutine_threadsafe(r.append_task(name="x", task=lambda: 42), r.loop)
    with pytest.raises(TypeError):
        fut.result(5)

    async def ok():
        return "still running"

    assert run_on(r, ok()) == "still running"
    out, err = capfd.readouterr()
    assert out == "" and "Traceback" not in err


def test_all_tasks_prints_the_unfinished_tasks(make_runner, capsys):
    r = make_runner()
    log, started = [], threading.Event()
    run_on(r, r.append_task(name="visible", task=sleeper(log, started)))
    wait_until(started.is_set)
    r.all_tasks()
    out = capsys.readouterr().out
    assert out.startswith("{<Task pending name='visible'") and out.endswith("}\n")


def test_coroutine_methods_are_coroutine_functions():

    r = V.Real_tasks("main")
    for name in ("_stop", "cancel_task", "append_task"):
        assert inspect.iscoroutinefunction(getattr(V.Real_tasks, name))
        assert inspect.iscoroutinefunction(getattr(r, name))
    for name in ("stop", "start", "all_tasks", "run_asyncio_in_thread"):
        assert not inspect.iscoroutinefunction(getattr(r, name))
    # Tools see the parameters of the coroutine methods, self bound or not.
    assert str(inspect.signature(r.append_task)) == "(name, task, CPU_bound=False, **kwargs)"
    assert str(inspect.signature(V.Real_tasks.cancel_task)) == "(self, /, name)"
    assert str(inspect.signature(r._stop)) == "()"
    assert V.Real_tasks.append_task.__doc__.startswith("With CPU_bound equal to False")


def test_bad_input_raises_ordinary_errors():
    with pytest.raises(TypeError):
        V.Real_tasks()
    r = V.Real_tasks("main")
    with pytest.raises(TypeError):
        r.append_task(name="x")  # task is required
    with pytest.raises(TypeError):
        r.cancel_task()
    # A runner whose name contains a comma on a node whose name does not is
    # still local; a node name with a comma makes it foreign: no loop.
    S.network_node.name = "a,b"
    foreign = V.Real_tasks("main")
    assert foreign.name == "a,b,main" and not hasattr(foreign, "loop")
    assert S.loop_threads["a,b,main"] is foreign


def test_classes_state_their_signature_and_subclasses_with_their_own_init_theirs():
    class Own(V.Real_tasks):
        def __init__(self, name, extra):
            super().__init__(name)

    class Inherits(V.Real_tasks):
        pass

    assert str(inspect.signature(V.Real_tasks)) == "(name)"
    assert str(inspect.signature(Inherits)) == "(name)"
    assert str(inspect.signature(Own)) == "(name, extra)"
    assert str(inspect.signature(V.async_task)).startswith("(*args, loop_thread, name, ")
    with pytest.raises(TypeError, match="takes no arguments"):
        class Flagged(V.Real_tasks, flag=1):
            pass


def test_runner_rounds_leave_nothing_behind():
    """Build, start, feed, stop and drop runners for several rounds: no
    runner object, loop or queued job outlives its round, and the number of
    live objects stays flat."""
    async def work(i):
        await asyncio.sleep(0)

    def one_round():
        runners = [V.Real_tasks(f"leak{i}") for i in range(4)]
        for r in runners:
            r.start()
        for r in runners:
            for i in range(100):
                V._submit(r, r.append_task, name=f"w{i}", task=work, i=i)
            r.stop()
        for r in runners:
            wait_until(r.loop.is_closed, message="runner closed")
            wait_until(lambda: runner_thread(r) is None, message="thread ended")
        S.loop_threads.clear()

    def live():
        gc.collect()
        objs = gc.get_objects()
        return (len(objs), sum(isinstance(o, V.Real_tasks) for o in objs),
                sum(isinstance(o, asyncio.AbstractEventLoop) for o in objs))

    for _ in range(2):
        one_round()
    before = live()
    for _ in range(5):
        one_round()
    after = live()
    assert after[1:] == (0, 0) and before[1:] == (0, 0)
    assert after[0] - before[0] < 200, (before, after)
