"""Small helpers shared by the tests: waiting on conditions, runner threads."""
import collections
import contextlib
import gc
import sys
import threading
import time
import warnings

RUNNER_THREAD_PREFIX = "velkor runner "


def wait_until(predicate, timeout=5.0, interval=0.002, message="condition"):
    """Poll `predicate` until it is true; fail the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {message}")
        time.sleep(interval)


async def until(predicate, timeout=5.0, message="condition"):
    """Let the running loop turn until `predicate()` holds; fail after `timeout` s."""
    import asyncio

    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {message}")
        await asyncio.sleep(0.001)


def runner_threads():
    """The live threads that drive runner loops."""
    return [t for t in threading.enumerate() if t.name.startswith(RUNNER_THREAD_PREFIX)]


def runner_thread(runner):
    """The live thread driving `runner`, or None."""
    for t in runner_threads():
        if t.name == RUNNER_THREAD_PREFIX + str(runner.name):
            return t
    return None


def dump_threads():
    """Stacks of every thread, for a failure message."""
    import traceback

    frames = sys._current_frames()
    out = []
    for t in threading.enumerate():
        out.append(f"--- {t.name}")
        frame = frames.get(t.ident)
        if frame is not None:
            out.extend(traceback.format_stack(frame))
    return "\n".join(out)


def run_on(runner, coro, timeout=5.0):
    """Run a coroutine on a started runner's loop and return its result."""
    import asyncio

    return asyncio.run_coroutine_threadsafe(coro, runner.loop).result(timeout)


def mirrors_out_of_step():
    """Mirrors that disagree with their registered event: what a stuck flow
    looks like when an update carrying a stale value was queued last."""
    from velkor import velkor_state as S

    found = []
    for runner in list(S.loop_threads.values()):
        for name, mirror in list(getattr(runner, "Events_async", {}).items()):
            event = S.Events.get(name)
            if event is not None and bool(event.is_set()) != mirror.is_set():
                found.append(f"{name} on {runner.name}: event {bool(event.is_set())}, "
                             f"mirror {mirror.is_set()}")
    return found


def wait_for_flow(predicate, timeout=5.0, interval=0.002, message="condition"):
    """wait_until, telling on failure which mirrors are out of step."""
    try:
        return wait_until(predicate, timeout, interval, message)
    except AssertionError as error:
        raise AssertionError(f"{error}; mirrors out of step: {mirrors_out_of_step()}") from None


# The event loop the suite runs on: asyncio's own by default; with
# VELKOR_TEST_LOOP=uvloop, conftest installs uvloop's policy for the session,
# so every loop made with asyncio.new_event_loop (each runner's, asyncio.run's)
# is a uvloop.Loop. Scripts run in a fresh interpreter start with LOOP_PRELUDE
# to get the same loop; the variable reaches them through the environment.
TEST_LOOPS = ("asyncio", "uvloop")


def suite_loop_name():
    """The loop the suite runs on, from VELKOR_TEST_LOOP."""
    import os

    name = os.environ.get("VELKOR_TEST_LOOP", "") or "asyncio"
    if name not in TEST_LOOPS:
        raise ValueError(f"VELKOR_TEST_LOOP={name!r}: expected one of {', '.join(TEST_LOOPS)}")
    return name


def install_suite_loop():
    """Install the event-loop policy VELKOR_TEST_LOOP asks for; return its name."""
    name = suite_loop_name()
    if name == "uvloop":
        import asyncio

        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    return name


def on_uvloop():
    return suite_loop_name() == "uvloop"


LOOP_PRELUDE = """\
import os as _os
if _os.environ.get("VELKOR_TEST_LOOP") == "uvloop":
    import asyncio as _asyncio, uvloop as _uvloop
    _asyncio.set_event_loop_policy(_uvloop.EventLoopPolicy())
"""


TABLES = ("Tasks", "loop_threads", "Events", "dravel_dict", "router_dict")


def clear_tables():
    """Empty velkor_state's shared tables (they keep their identity)."""
    from velkor import velkor_state as S

    for name in TABLES:
        getattr(S, name).clear()


def shut_down_runners(runners):
    """Stop the runners that run, close the loops of those never started."""
    for runner in runners:
        loop = getattr(runner, "loop", None)
        if loop is None or loop.is_closed():
            continue
        if runner_thread(runner) is not None:
            try:
                runner.stop()
            except RuntimeError:
                pass  # closed in the meantime
        elif not loop.is_running():
            loop.close()  # never started: nothing will ever run it


@contextlib.contextmanager
def no_leaked_resources():
    """Fail on unclosed sockets, transports, stream writers or loops (asyncio
    warns when it has to close one itself) and on never-awaited coroutines
    left behind by the block."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
        gc.collect()
    bad = [w for w in caught
           if issubclass(w.category, ResourceWarning) or "never awaited" in str(w.message)]
    assert not bad, [str(w.message) for w in bad]


def feed_sources(sources, origin, deadline, fail, poll, fed=None):
    """Insert every item of `origin` (item -> source name) into its source task
    (`sources`: name -> task) under the tag "in#<item>" and run it there. A
    busy source (no unit left) holds back its own items only; the others go
    on. `fed()`, if given, is called before each item is handed over;
    `fail(message)` is called when `deadline` (time.monotonic) passes with
    items still waiting."""
    queues = {name: collections.deque() for name in sources}
    for item, name in origin.items():
        queues[name].append(item)
    while any(queues.values()):
        handed = False
        for name, queue in queues.items():
            source = sources[name]
            if queue and source.Task_buffer_available >= 1:
                item = queue.popleft()
                tag = f"in#{item}"
                if fed:
                    fed()
                source.insert_kwargs_buffer({"item": item, "path": ""}, tag)
                source.run(tag)
                handed = True
        if not handed:
            if time.monotonic() > deadline:
                fail(f"sources still busy with {sum(map(len, queues.values()))} items not fed")
            time.sleep(poll)
