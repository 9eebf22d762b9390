"""A first look at velkor: runners and the network node.

Two runners each drive an asyncio loop on a daemon thread of their own. The
main thread hands a coroutine to each of them, then runs the node's TCP server
on one runner and talks to it with the node's client from the other.

Run it with `make demo` (or `.venv/bin/python examples/demo.py`).
"""
import asyncio
import socket
import threading
import time

import velkor  # noqa: F401  (fills velkor_state: the node and the engine's classes)
from velkor import velkor as engine
from velkor import velkor_state


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def on(runner, coro, timeout=10):
    """Run a coroutine on a runner's loop and wait for its result."""
    return asyncio.run_coroutine_threadsafe(coro, runner.loop).result(timeout)


async def where_am_i(label):
    await asyncio.sleep(0.01)
    return f"{label} ran on thread {threading.current_thread().name!r}"


def main():
    node = velkor_state.network_node
    node.port = free_port()  # 8080 by default; any free port will do here
    print(f"node {node.name!r}, server port {node.port}")

    left = engine.Real_tasks("left")
    right = engine.Real_tasks("right")
    print("runners registered:", sorted(velkor_state.loop_threads))
    left.start()
    right.start()

    # 1. The same coroutine function, handed to two runners.
    for runner in (left, right):
        print(" ", on(runner, where_am_i(f"coroutine sent to {runner.name}")))

    # 2. A TCP round trip: the node's server on one runner, its client on the other.
    on(left, left.append_task(name="server", task=node.server_task))
    deadline = time.monotonic() + 10
    while not hasattr(node, "server"):
        if time.monotonic() > deadline:
            raise SystemExit("the server did not start")
        time.sleep(0.005)
    message = b"velkor " * 1000
    start = time.perf_counter()
    on(right, node.client_task("127.0.0.1", node.port, message))
    reply = on(right, node.client_task("127.0.0.1", node.port, message, fire_forget=False))
    took = (time.perf_counter() - start) * 1e3
    print(f"  sent {len(message)} bytes twice in {took:.1f} ms; the reply to the second: "
          f"{reply!r} (this node's server drains and never answers)")

    # 3. Stop both runners: every task on them is cancelled, loops close, threads end.
    left.stop()
    right.stop()
    while not (left.loop.is_closed() and right.loop.is_closed()):
        time.sleep(0.005)
    print("runners stopped; loops closed:", left.loop.is_closed(), right.loop.is_closed())


if __name__ == "__main__":
    main()
