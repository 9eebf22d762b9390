"""Pieces the benchmark scripts share: polling with a deadline, and the
floor's hand-over (a deque that a loop drains after one wake-up per batch).
Not a benchmark itself: run_all.py skips files whose name starts with an
underscore.
"""
import collections
import time


def wait_for(predicate, timeout=60.0, interval=0.001):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("benchmark stalled")
        time.sleep(interval)


class Hop:
    """A deque that a receiver's loop drains after one wake-up per batch,
    handing each item to `deliver` on that loop."""

    def __init__(self, loop, deliver):
        self.loop = loop
        self.deliver = deliver
        self.items = collections.deque()
        self.woken = False
        self.wakeups = 0

    def put(self, item):
        self.items.append(item)
        if not self.woken:
            self.woken = True
            self.wakeups += 1
            self.loop.call_soon_threadsafe(self.drain)

    def drain(self):
        # Cleared before draining: an item put from now on is either seen by
        # this drain or wakes the loop again.
        self.woken = False
        items, deliver = self.items, self.deliver
        while items:
            deliver(items.popleft())
