"""Helpers shared by the tests: waiting on conditions, keys, tasks and their
links, runners and their threads, mirrors, scripts run in fresh interpreters,
and a clean engine world.

The engine is imported inside the helpers that use it, so that importing this
module imports nothing of velkor.
"""
import asyncio
import collections
import contextlib
import gc
import inspect
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
import traceback
import warnings

RUNNER_THREAD_PREFIX = "velkor runner "


# --- waiting -------------------------------------------------------------------

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
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {message}")
        await asyncio.sleep(0.001)


# --- keys ------------------------------------------------------------------------

NODE = "node_0"  # the node name every test runs under (see engine_world)
LOOPBACK = "127.0.0.1"


def key(name, node=NODE):
    """The table key of the task, runner or event `name` of `node`."""
    return f"{node},{name}"


DISPATCH = key("buffer_router")  # the runner that routers and dravels share


# --- tasks and their links ---------------------------------------------------------

def make_task(name, runner, **kwargs):
    """A task on the runner object `runner`."""
    from velkor.velkor import async_task

    return async_task(loop_thread=runner.name, name=name, **kwargs)


def available(task):
    """Whether the task's service-available event is set."""
    from velkor import velkor_state as S

    return S.Events[task.events[1]].is_set()


LINK_SETS = ("input_tasks", "output_tasks", "incode_input_tasks", "incode_output_tasks")
LINK_PAIRS = (("output_tasks", "input_tasks"), ("incode_output_tasks", "incode_input_tasks"))
NO_LINKS = {s: set() for s in LINK_SETS}


def links(task):
    """A copy of the task's four link sets, by name."""
    return {s: set(getattr(task, s)) for s in LINK_SETS}


def assert_links_agree(registered_only=False):
    """Both ends of every link of a registered task agree. A link to a key
    that is not registered fails, unless `registered_only`: then it is
    passed over."""
    from velkor import velkor_state as S

    tasks = dict(S.Tasks)
    for name, task in tasks.items():
        for out_set, in_set in LINK_PAIRS:
            for mine, theirs in ((out_set, in_set), (in_set, out_set)):
                for other in list(getattr(task, mine)):
                    if other not in tasks:
                        assert registered_only, (name, mine, other, "not registered")
                        continue
                    assert name in getattr(tasks[other], theirs), (name, mine, other)


def locks_free(*locks):
    """Every lock can be taken at once: none was left held."""
    for lock in locks:
        assert lock.acquire(blocking=False), f"{lock!r} was left held"
        lock.release()


class Gate:
    """A consumer kept busy (service-available event clear) until opened: its
    step, started at once, records its keyword arguments in `calls` and runs
    until `open` is set."""

    def __init__(self, name, runner):
        self.calls, self.started, self.open = [], threading.Event(), threading.Event()

        async def work(**kwargs):
            self.calls.append(kwargs)
            self.started.set()
            while not self.open.is_set():
                await asyncio.sleep(0.002)

        self.task = make_task(name, runner, task=work, Task_buffer_available=1)
        self.name = self.task.name
        self.task.run()
        assert self.started.wait(5)


class StandIn:
    """A registered task as events and runners see it: its runner, its input
    tasks, and cancel(), which a stopping runner calls on the tasks bound to
    it; cancel() is counted and unregisters the stand-in."""

    def __init__(self, task_key, runner, inputs=(), incode_inputs=()):
        from velkor import velkor_state as S

        self.loop_thread = runner
        self.input_tasks = set(inputs)
        self.incode_input_tasks = set(incode_inputs)
        self.cancelled = 0
        S.Tasks[task_key] = self

    def cancel(self):
        from velkor import velkor_state as S

        self.cancelled += 1
        for k in [k for k, task in S.Tasks.items() if task is self]:
            S.Tasks.pop(k, None)


class Waits(list):
    """The tables the waiter was called with; `nothing` is how many of the
    next calls report nothing ready, whatever was set."""

    nothing = 0


def record_waits(monkeypatch, module):
    """Replace `module.waiter` (the engine's, or velkor_state's) by one that
    records each table in the Waits it returns and then waits as before."""
    real = module.waiter
    calls = Waits()

    async def recording(tasks_events):
        calls.append(list(tasks_events))
        ready = await real(tasks_events=tasks_events)
        if calls.nothing:
            calls.nothing -= 1
            return []
        return ready

    monkeypatch.setattr(module, "waiter", recording)
    return calls


# --- runners and their loops ----------------------------------------------------

def start_runner(name="main", start=True):
    """A new runner, started and its loop running unless `start` is false."""
    from velkor.velkor import Real_tasks

    runner = Real_tasks(name)
    if start:
        runner.start()
        wait_until(lambda: runner.loop.is_running(), message="runner loop to run")
    return runner


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
    return asyncio.run_coroutine_threadsafe(coro, runner.loop).result(timeout)


async def _turns(n):
    for _ in range(n):
        await asyncio.sleep(0)


def settle(*runners, turns=1):
    """Return once each runner's loop has run the work submitted to it so far,
    then turned `turns` more times."""
    for runner in runners:
        run_on(runner, _turns(turns))


async def other_task_names():
    """The names of the running loop's tasks but the caller's, sorted."""
    me = asyncio.current_task()
    return sorted(t.get_name() for t in asyncio.all_tasks() if t is not me)


# --- mirrors ------------------------------------------------------------------------

def wait_for_mirrors(runner, *tasks, value=True, message=None):
    """Wait until `runner` holds a mirror of each task's service-available
    event, and each mirror is set (clear when `value` is false)."""
    def ready():
        table = runner.Events_async
        return all(t.events[1] in table and table[t.events[1]].is_set() == value for t in tasks)

    wait_until(ready, message=message or f"{'set' if value else 'clear'} mirrors on {runner.name}")


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


# --- the suite's event loop --------------------------------------------------------

# The event loop the suite runs on: asyncio's own by default; with
# VELKOR_TEST_LOOP=uvloop, conftest installs uvloop's policy for the session,
# so every loop made with asyncio.new_event_loop (each runner's, asyncio.run's)
# is a uvloop.Loop. Scripts run in a fresh interpreter start with LOOP_PRELUDE
# to get the same loop; the variable reaches them through the environment.
TEST_LOOPS = ("asyncio", "uvloop")


def suite_loop_name():
    """The loop the suite runs on, from VELKOR_TEST_LOOP."""
    name = os.environ.get("VELKOR_TEST_LOOP", "") or "asyncio"
    if name not in TEST_LOOPS:
        raise ValueError(f"VELKOR_TEST_LOOP={name!r}: expected one of {', '.join(TEST_LOOPS)}")
    return name


def install_suite_loop():
    """Install the event-loop policy VELKOR_TEST_LOOP asks for; return its name."""
    name = suite_loop_name()
    if name == "uvloop":
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


# --- printed tracebacks -------------------------------------------------------------

def engine_entry(function, module="velkor.velkor"):
    """The traceback entry of `function` (its name as the traceback gives it:
    "custom_event.delete", "event_config") of one of velkor's C++ modules, the
    engine module by default: the module's file, line 0, no source line."""
    import importlib

    return f'  File "{importlib.import_module(module).__file__}", line 0, in {function}\n'


def source_entry(function, text):
    """The traceback entry of the Python function `function` at the first line
    of its source that contains `text` (printed as it stands in the source)."""
    lines, first = inspect.getsourcelines(function)
    index = next(i for i, line in enumerate(lines) if text in line)
    return (f'  File "{inspect.getsourcefile(function)}", line {first + index}, '
            f"in {function.__name__}\n    {lines[index].strip()}\n")


def printed_traceback(*entries, error):
    """What traceback.print_exc() prints for an exception whose traceback has
    `entries` (outermost first) and whose last line is `error`."""
    return "Traceback (most recent call last):\n" + "".join(entries) + error + "\n"


# --- scripts in fresh interpreters -----------------------------------------------

# What a script starts with: the suite's loop, the engine, and a wait that ends
# the script when it times out.
SCRIPT_PRELUDE = LOOP_PRELUDE + """
import asyncio, threading, time, gc, sys
import velkor
from velkor import velkor as V, velkor_state as S

def wait_until(pred, timeout=10):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise SystemExit("timed out")
        time.sleep(0.002)
"""


def script(body, prelude=SCRIPT_PRELUDE):
    """The text of a script: `prelude`, then `body` dedented."""
    return prelude + textwrap.dedent(body)


def run_python(code, *args, dev_mode=False, timeout=60, cwd=None):
    """Run `code` with the arguments `args` in a fresh interpreter, in
    development mode (asyncio's debug mode included) with `dev_mode`; return
    the completed process, its output captured as text."""
    command = [sys.executable, *(["-X", "dev"] if dev_mode else []), "-c", code, *args]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def run_script(body, dev_mode=True, timeout=60):
    """Run `body` after SCRIPT_PRELUDE in a fresh interpreter (see run_python)."""
    return run_python(script(body), dev_mode=dev_mode, timeout=timeout)


# Debug mode also logs callbacks that take longer than 0.1 s: a matter of
# how loaded the machine is, not of the engine.
SLOW_CALLBACK = re.compile(r"^Executing <.*> took \d+\.\d+ seconds$")


def assert_clean(proc, out=""):
    """The script ended with status 0, printed `out`, and wrote nothing to
    its standard error but the slow-callback lines of debug mode."""
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stderr.splitlines() if not SLOW_CALLBACK.match(line)]
    assert lines == []
    assert proc.stdout == out


# --- a clean engine world ----------------------------------------------------------

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
def engine_world(timeout=10.0, stuck=None):
    """Empty tables and the node name NODE for the block; afterwards every
    runner left is stopped and its thread waited for, then the tables are
    emptied again and the node gets its name back. When runner threads
    outlive `timeout`, `stuck(stacks of every thread)` is called (without
    it, the AssertionError of the wait goes on)."""
    from velkor import velkor_state as S

    node = S.network_node
    saved = node.name
    node.name = NODE
    clear_tables()
    try:
        yield
    finally:
        shut_down_runners(list(S.loop_threads.values()))
        try:
            wait_until(lambda: not runner_threads(), timeout=timeout,
                       message="runner threads to end")
        except AssertionError:
            if stuck is None:
                raise
            stuck(dump_threads())
        finally:
            clear_tables()
            node.name = saved
            gc.collect()


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


def bridge_live(bridge):
    """(C++ frames alive, coroutine objects alive) in the process, as the
    bridge's test module `bridge` counts them: the counters are the owner's
    of the bridge's types, shared by every module."""
    s = bridge.stats()
    return s["frames_live"], s["objects_live"]


# --- feeding items ----------------------------------------------------------------

def feed_when_free(task, items, make, timeout):
    """Start `task` once per item, each time it reports itself available,
    with `make(item)` inserted under the tag "in#<item>". Fails when the task
    has not taken every item after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    for i in items:
        while not available(task):
            if time.monotonic() > deadline:
                raise AssertionError(f"{task.name} stayed busy at item {i}; mirrors out of step: "
                                     f"{mirrors_out_of_step()}\n{dump_threads()}")
            time.sleep(0.0002)
        tag = f"in#{i}"
        task.insert_kwargs_buffer(make(i), tag)
        task.run(tag)


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
