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
from collections.abc import Callable, Coroutine
from concurrent.futures import Executor as _Executor
from concurrent.futures import ProcessPoolExecutor as ProcessPoolExecutor
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from queue import PriorityQueue as PriorityQueue
from typing import Any

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
