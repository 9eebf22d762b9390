"""velkor's engine: tasks, runners, events and the network node."""
import asyncio as asyncio
import bisect as bisect
import concurrent as concurrent
import copy as copy
import inspect as inspect
import random as random
import threading as threading
import time as time
import traceback as traceback
from collections import defaultdict as defaultdict
from collections import deque as deque
from collections.abc import Callable, Coroutine, Iterable
from concurrent.futures import Executor as _Executor
from concurrent.futures import ProcessPoolExecutor as ProcessPoolExecutor
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from queue import PriorityQueue as PriorityQueue
from typing import Any, TypedDict

import networkx  # type: ignore[import-untyped, unused-ignore]
import numpy
from matplotlib import pyplot as pyplot

from velkor import velkor_state as velkor_state

np = numpy
nx = networkx

class net_node:
    """The process's place in a network of nodes: its name, and a raw TCP
    server and client (one message per connection)."""

    name: str
    """Prefix of every task, runner and event key of this node (default "node_0")."""
    address: str
    """Kept for callers (default "127.0.0.1"); the server always listens on 127.0.0.1."""
    port: int
    """Where server_task listens (default 8080)."""
    server: asyncio.Server
    """The listening server, set by server_task."""

    def __init__(self) -> None: ...
    def config_node(self, name: object) -> None:
        """Has no effect: the node is left unchanged."""

    async def server_task(self) -> None:
        """Listen on 127.0.0.1 at `port`, serving each connection with
        handle_client, until cancelled."""

    async def handle_client(
        self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter
    ) -> None:
        """Read the connection in chunks of at most 1024 bytes until the peer
        closes, drop the bytes, close the connection."""

    async def client_task(
        self, address: str, port: int, message: bytes, fire_forget: bool = True
    ) -> bytes | None:
        """Send `message` on a connection of its own. With fire_forget, return
        None once it is drained; otherwise half-close and return the first read
        of the reply (at most 1024 bytes, b'' when the peer writes nothing)."""

def Task_draw_directed_graph_with_two_colors(
    nodes1: Iterable[str],
    in_edges1: dict[str, list[str]],
    out_edges1: dict[str, list[str]],
    nodes2: Iterable[str],
    in_edges2: dict[str, list[str]],
    out_edges2: dict[str, list[str]],
    nodes3: Iterable[str] = [],
    nodes4: Iterable[str] = [],
    font_size: int = 8,
    figure_size: tuple[float, float] = (8, 4),
) -> None:
    """Draw four directed graphs on top of each other in a new figure
    (trigger links black, in-code links red, nodes3 light blue, nodes4
    gray), then pyplot.show(); with a non-interactive back end the figure is
    left open for the caller."""

def Tasks_Graph(
    tasks: list[str], font_size: int = 8, figure_size: tuple[float, float] = (8, 4)
) -> None:
    """Draw the given tasks with their direct neighbours and their links;
    stopped tasks gray."""

class Real_tasks:
    """A runner: an asyncio event loop driven by a daemon thread of its own
    once started, registered in velkor_state.loop_threads under its key."""

    name: str
    """The loop-thread key: the node name, a comma and the name given."""
    loop: asyncio.AbstractEventLoop
    Events_async: dict[str, asyncio.Event]
    """Event mirrors on this runner's loop, by full event name."""
    executor: _Executor | None
    """Runs CPU-bound steps; None selects the loop's default executor."""
    append_task_queue: asyncio.PriorityQueue[Any]
    """Created by the runner's thread when it starts."""

    def __init__(self, name: object) -> None: ...
    async def _stop(self) -> None:
        """The stop sequence, run on the runner's own loop."""

    def stop(self) -> None:
        """Queue the stop sequence on the runner's loop and return at once."""

    def start(self) -> None:
        """Start the daemon thread that runs the loop."""

    async def cancel_task(self, name: str) -> None:
        """Cancel every asyncio task of this loop named `name`."""

    async def append_task(
        self,
        name: str,
        task: Callable[..., Coroutine[Any, Any, object]],
        CPU_bound: object = False,
        **kwargs: Any,
    ) -> None:
        """CPU_bound == False: run task(**kwargs) as an asyncio task named
        `name` on this loop. Otherwise run asyncio.run(task()) in `executor`."""

    def all_tasks(self) -> None:
        """Print the loop's unfinished asyncio tasks."""

    def run_asyncio_in_thread(self) -> None:
        """Body of the runner's thread: run the loop until stopped, then close it."""

class async_task:
    """One node of the task graph: wraps a function, a coroutine function or
    nothing (a pass-through node) and runs on a registered runner. Registered
    in velkor_state.Tasks under its key, the node name, a comma and its name."""

    name: str
    """The task key."""
    loop_thread: Real_tasks
    """The runner whose loop runs the task's steps."""
    input_tasks: set[str]
    """Keys of the producers whose output starts this task."""
    output_tasks: set[str]
    """Keys of the consumers this task starts after each step."""
    incode_input_tasks: set[str]
    """Keys of the stages that feed this task from their own code."""
    incode_output_tasks: set[str]
    """Keys of the tasks this one feeds from its own code."""
    task: Callable[..., Any] | None
    """The work: a function, a coroutine function, or None."""
    args: tuple[Any, ...]
    """Positional arguments passed to every call of `task`."""
    kwargs_buffer: defaultdict[str, Any]
    """Pending keyword-argument sets by tag or time stamp."""
    kwargs_buffer_len: int | float
    """Most entries kept in kwargs_buffer."""
    kwargs_buffer_threading_lock: threading.Lock
    tag: Any
    """The tag handed to a waiting (WT 1 or 2) task by its producer."""
    CPU_bound: object
    """Anything but a false value runs the work in the runner's executor."""
    WT: int
    """How the task waits for work: 0 one step per start, 1 trigger-event loop, 2 polling loop."""
    WT_sleep: float
    """Poll interval (seconds) of WT 2."""
    WT_run: int
    """1 once the loop of WT 1 or 2 has started."""
    Task_buffer_available_asyncio_lock: asyncio.Lock
    Task_buffer_available_threading_lock: threading.Lock
    Task_buffer_available: int | float
    """How many more starts the task accepts before it reports itself busy."""
    stop_flag: int
    """1 after stop(): run() then does nothing."""
    events: list[str]
    """Full names of the trigger and the service-available event (local tasks)."""

    def __init__(
        self,
        *args: Any,
        loop_thread: str | None,
        name: object,
        network_node_name: object = None,
        task: Callable[..., Any] | None = None,
        WT: int = 0,
        WT_sleep: float = 1,
        CPU_bound: object = False,
        priority: object = 1,
        Task_buffer_available: int | float = np.inf,
        kwargs_buffer_len: int | float = 100,
        **kwargs: Any,
    ) -> None: ...
    def stop(self) -> None:
        """Block further starts and cancel the task's running steps on its runner."""

    def start(self) -> None:
        """Clear the stop flag and run() once without a tag."""

    def insert_kwargs_buffer(self, data: Any, tag: str | None = None) -> None:
        """Merge a deep copy of `data` into the entry of `tag`, or store it
        under a new time-stamp key when `tag` is None."""

    def activation_check(self, tag: str | None) -> tuple[bool, Any]:
        """Take the entry of `tag` (None: the key that sorts first) out of
        the buffer: (ready, kwargs)."""

    def run(self, tag: Any = None) -> None:
        """Start one step with `tag` on the task's runner; returns at once.
        Takes a unit of Task_buffer_available (the step gives it back)."""

    async def trig_output(self, tag: Any) -> None:
        """Start the task's output tasks with `tag`."""

    async def temp_func(self, tag: Any = None) -> None:
        """The task's step, run on its runner (WT 0: one execution; WT 1:
        trigger-event loop; WT 2: polling loop)."""

    def cancel(self) -> None:
        """Cancel the task's steps, delete its events, unlink and unregister it."""

    def insert_input_tasks(self, tasks: Iterable[str]) -> None:
        """Link producers, then refresh the service-available event."""

    def insert_output_tasks(self, tasks: Iterable[str]) -> None:
        """Link consumers."""

    def delete_input_tasks(self, tasks: Iterable[str]) -> None:
        """Unlink producers."""

    def delete_output_tasks(self, tasks: Iterable[str]) -> None:
        """Unlink consumers."""

    def insert_incode_input_tasks(self, tasks: Iterable[str]) -> None:
        """Link in-code producers, then refresh the service-available event."""

    def insert_incode_output_tasks(self, tasks: Iterable[str]) -> None:
        """Link in-code consumers."""

    def delete_incode_input_tasks(self, tasks: Iterable[str]) -> None:
        """Unlink in-code producers."""

    def delete_incode_output_tasks(self, tasks: Iterable[str]) -> None:
        """Unlink in-code consumers."""

async def waiter(tasks_events: dict[str, asyncio.Event]) -> list[str]:
    """Wait until at least one event of the table is set; return the keys
    of every event set at that moment, in table order."""

async def trig_output(my_task: str, output_tasks: Iterable[str], tag: Any = None) -> None:
    """On the producer's runner: start each consumer as soon as its
    service-available event is set (WT 0 by run(tag), WT 1 by its tag and
    trigger event); consumers gone meanwhile are passed over."""

class custom_event:
    """A named, node-wide flag that any thread may set or clear, mirrored as
    one asyncio.Event per runner loop that hosts a waiting task. Registered in
    velkor_state.Events under its full name; a duplicate prints
    "Event <name> exists!" and is left with only `name`."""

    name: str
    """The full name: the node name, a comma and the name given."""
    task: str | None
    """Task key of the owner, whose input tasks wait on the event, or None."""
    _value: bool
    """The event's value; mirrors follow it."""
    custom_waiter_task_list: set[str]
    """Waiter task keys added with insert_custom_waiter_task."""
    automate_waiter_task_list: set[str]
    """The owner's input and in-code input task keys, as last refreshed."""
    custom_waiter_task_list_threading_lock: threading.Lock
    """Taken first when the waiter lists change."""
    automate_waiter_task_list_threading_lock: threading.Lock
    """Taken second, inside the custom lock."""
    l_t_list: set[str]
    """Loop-thread keys of the waiters' runners; the local ones hold a mirror."""

    def __init__(self, name: object, task: object | None = None) -> None: ...
    def is_set(self) -> object:
        """Return the event's value."""

    def delete(self) -> None:
        """Remove the mirrors of the local runners and unregister the event;
        an event with an owner wakes the coroutines awaiting its removed
        mirrors. A failure prints a line and the traceback."""

    def set(self) -> bool:
        """Set the value and send it to the local runners; False on any failure."""

    def clear(self) -> bool:
        """Clear the value and send it to the local runners; False on any failure."""

    def refresh_automate_waiter_task_list(self) -> None:
        """Recompute the owner's waiters and l_t_list; runners new in it get the value."""

    def insert_custom_waiter_task(self, task: object) -> None:
        """Add a waiter task key (an unknown one gets a placeholder task) and
        recompute l_t_list; runners new in it get the value."""

    def delete_custom_waiter_task(self, task: object) -> None:
        """Remove a waiter task key (KeyError if absent); l_t_list waits for
        the next recomputation."""

async def event_config(l_t: str, event: str, value: object) -> None:
    """Create or update the mirror `event` on runner `l_t`: set when `value`
    is true, clear otherwise. Runs on that runner's loop; a failure prints
    its traceback."""

class buffer:
    """A queue of time-stamped frames for a dravel."""

    buffer: list[dict[str, Any]]
    """Frames ({"buffer_timestamp": number, "data": dict}) in timestamp order."""
    buffer_threading_lock: threading.Lock
    """Hold it to append frames or read them."""
    maxlen: Any
    """Stored as given; not enforced."""
    last_time: float | None
    """Timestamp of the frame a dravel took last."""

    def __init__(self, maxlen: Any = None) -> None: ...

def _submit(runner: Real_tasks, func: Callable[..., Any], /, *args: Any, **kwargs: Any) -> None:
    """Hand func(*args, **kwargs) to the runner's loop the way the engine
    hands over its own work (internal)."""

class _TaskStats(TypedDict):
    runs: int
    """Calls of the work function started, every mode; a pass-through step too."""
    errors: int
    """Steps reported with "task has error!!!"."""
    inserts: int
    """insert_kwargs_buffer calls that stored data (a tagged merge included)."""
    refused: int
    """insert_kwargs_buffer calls refused."""
    trimmed: int
    """Entries dropped by the kwargs_buffer_len trim."""
    buffered: int
    """Entries in kwargs_buffer now."""
    busy_s: float
    """Seconds from the call of the work function to its end, awaits included."""
    waiting_s: float
    """Seconds its steps spent in trig_output waiting for consumers to become ready."""
    available: Any
    """Task_buffer_available now."""
    runner: str | None
    """The loop-thread key of its runner."""

class _RunnerStats(TypedDict):
    submitted: int
    """Jobs handed to the runner."""
    pending: int
    """Jobs handed over that its loop has not taken yet."""
    running: bool
    """Whether its loop runs."""

class _RouterStats(TypedDict):
    dispatched: dict[str, int]
    """Consumer key -> items handed to it."""
    dropped: int
    """Items that reached no consumer."""

class _DravelStats(TypedDict):
    taken: int
    """Frames handed to the consumer."""
    skipped: int
    """Frames dropped from its buffers without being handed on."""
    delay: float
    """Its spacing now, in seconds."""

_Stats = TypedDict(
    "_Stats",
    {
        "time": float,
        "tasks": dict[str, _TaskStats],
        "runners": dict[str, _RunnerStats],
        "routers": dict[str, _RouterStats],
        "dravels": dict[str, _DravelStats],
    },
)

def stats() -> _Stats:
    """One snapshot of the engine's counters as plain Python data:
    {"time": time.monotonic(), "tasks": {task key: ...}, "runners":
    {loop-thread key: ...}, "routers": {router name: ...}, "dravels":
    {dravel name: ...}}. Each appears while registered in its table of
    velkor_state. Counts and seconds only grow: rates are the difference of
    two snapshots."""
