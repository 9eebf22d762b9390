"""Where a router's item spends its time: per item, on each thread of the
router benchmark's engine case (the source runner, the dispatch runner, the
two consumer runners), how often the thread was woken from another thread,
how many turns its loop made and how many of them slept in the selector,
how many callbacks it ran, and how often the kernel switched it out (its
voluntary context switches: the sleeps in the selector plus the waits for
the GIL), and its time on a CPU in microseconds. Not a benchmark:
run_all.py skips it. The wake-ups, turns, sleeps and callbacks are counted
on asyncio's loop only (by patching the pure-Python loop's methods on each
runner's loop object); on uvloop's the table has the context switches and
the CPU time.

    python benchmarks/_router_trace.py [--loop uvloop] [--items N]
"""
import argparse
import threading
import time

import _loop
import router as bench
from velkor import velkor_state as S


def cpu_us(native_id):
    with open(f"/proc/self/task/{native_id}/schedstat") as f:
        return int(f.read().split()[0]) / 1000


def ctx_switches(native_id):
    with open(f"/proc/self/task/{native_id}/status") as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches"):
                return int(line.split()[1])
    return 0


class Counted:
    """Counts on one runner's loop."""

    def __init__(self, name, runner):
        self.name, self.loop = name, runner.loop
        self.counts = dict.fromkeys(("woken", "turns", "sleeps", "callbacks"), 0)
        self.native_id = None
        self.loop.call_soon_threadsafe(self._record_thread)
        if hasattr(self.loop, "_run_once"):
            self._patch()

    def _patch(self):
        loop, counts = self.loop, self.counts
        run_once, select = loop._run_once, loop._selector.select
        threadsafe = loop.call_soon_threadsafe

        def counted_threadsafe(*a, **k):
            counts["woken"] += 1
            return threadsafe(*a, **k)

        def counted_run_once():
            counts["turns"] += 1
            counts["callbacks"] += len(loop._ready)
            return run_once()

        def counted_select(timeout=None):
            if timeout is None or timeout > 0:
                counts["sleeps"] += 1
            return select(timeout)

        loop.call_soon_threadsafe = counted_threadsafe
        loop._run_once = counted_run_once
        loop._selector.select = counted_select

    def _record_thread(self):
        self.native_id = threading.get_native_id()

    def snapshot(self):
        return dict(self.counts, switches=ctx_switches(self.native_id),
                    cpu_us=cpu_us(self.native_id))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--loop", choices=_loop.LOOPS, default="asyncio")
    parser.add_argument("--items", type=int, default=3000)
    args = parser.parse_args()
    loop_name = _loop.install(["--loop", args.loop])
    items = bench.N = args.items
    eng = bench.EngineCase()
    runners = {"source": eng.runners[0], "dispatch": S.loop_threads["node_0,buffer_router"],
               "consumers c0": eng.runners[1], "consumers c1": eng.runners[2]}
    counted = {name: Counted(name, r) for name, r in runners.items()}
    bench.wait_for(lambda: all(c.native_id for c in counted.values()))
    eng.run()  # warm up
    before = {k: c.snapshot() for k, c in counted.items()}
    t0 = time.perf_counter()
    rate = eng.run()
    elapsed = time.perf_counter() - t0
    after = {k: c.snapshot() for k, c in counted.items()}
    eng.close()
    patched = loop_name == "asyncio"
    print(f"{loop_name}: {items} items, {rate:.0f} items/s ({1e6 / rate:.1f} us per item); per item:")
    fields = ("woken", "turns", "sleeps", "callbacks", "switches", "cpu_us")
    if not patched:
        fields = fields[-2:]
    print(f"{'thread':<14}" + "".join(f"{f:>11}" for f in fields))
    for name in counted:
        row = [(after[name][f] - before[name][f]) / items for f in fields]
        print(f"{name:<14}" + "".join(f"{v:>11.2f}" for v in row))
    print(f"(run with setup {elapsed:.2f} s)")


if __name__ == "__main__":
    main()
