"""Runners at the edges of their life: stopping with work in flight, work
that reaches a closing loop, and interpreter exit while runner threads are
busy. Each case runs in a fresh interpreter in asyncio debug mode, where any
"never awaited", "Task was destroyed but it is pending!", leak report or
abort would show on its standard error. The fresh interpreter runs on the
suite's event loop (uvloop under VELKOR_TEST_LOOP=uvloop)."""
import re
import subprocess
import sys
import textwrap

import pytest

from helpers import LOOP_PRELUDE, suite_loop_name

PRELUDE = LOOP_PRELUDE + """
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


def run_script(body, timeout=60):
    code = PRELUDE + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True,
                          text=True, timeout=timeout)


# Debug mode also logs callbacks that take longer than 0.1 s: a matter of
# how loaded the machine is, not of the engine.
SLOW_CALLBACK = re.compile(r"^Executing <.*> took \d+\.\d+ seconds$")


def assert_clean(proc, out=""):
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stderr.splitlines() if not SLOW_CALLBACK.match(line)]
    assert lines == []
    assert proc.stdout == out


def test_scripts_run_on_the_suites_loop():
    proc = run_script("""
        r = V.Real_tasks("main")
        print(type(r.loop).__module__.split(".")[0])
        r.loop.close()
    """)
    assert_clean(proc, suite_loop_name() + "\n")


def test_stop_with_work_in_flight_leaves_nothing_behind():
    proc = run_script("""
        r = V.Real_tasks("main")
        r.start()
        wait_until(r.loop.is_running)
        async def work(i):
            await asyncio.sleep(0.001 * (i % 7))
        for i in range(300):
            asyncio.run_coroutine_threadsafe(
                r.append_task(name=f"w{i}", task=work, i=i), r.loop).result()
        # Stops queued back to back: the later ones reach a loop that is
        # already stopping.
        r.stop(); r.stop(); r.stop()
        wait_until(r.loop.is_closed)
        gc.collect()
        print("ok")
    """)
    assert_clean(proc, "ok\n")


def test_work_queued_on_a_loop_that_never_runs_it_is_not_built():
    proc = run_script("""
        old = V.Real_tasks("main")
        old.stop()                      # queued; the loop will never run
        V.Real_tasks("main")            # replaces it, sends another stop
        old.loop.close()
        del old
        gc.collect()
        print("ok")
    """)
    assert_clean(proc, "ok\n")


@pytest.mark.parametrize("kind", ["cpu", "sleep", "mixed", "cxx"])
def test_interpreter_exit_while_runners_are_busy(kind):
    proc = run_script(f"""
        kind = {kind!r}
        started = threading.Semaphore(0)
        async def cpu():
            started.release()
            while True:
                sum(range(2000))       # the thread gives the GIL up and takes it back
        async def sleepy():
            started.release()
            while True:
                time.sleep(0.0005)     # blocking call without the GIL
        async def ticker():
            started.release()
            while True:
                await asyncio.sleep(0)
        from velkor import _coro_test
        def step():
            sum(range(2000))           # runs inside the C++ coroutine's own frame
            return asyncio.sleep(0)
        async def cxx():
            started.release()
            await _coro_test.call_await_loop(10 ** 12, step)
        kinds = {{"cpu": [cpu] * 3, "sleep": [sleepy] * 3, "mixed": [cpu, sleepy, ticker],
                  "cxx": [cxx] * 3}}[kind]
        runners = [V.Real_tasks(f"r{{i}}") for i in range(3)]
        for r in runners:
            r.start()
        for r, work in zip(runners, kinds):
            asyncio.run_coroutine_threadsafe(r.append_task(name="busy", task=work), r.loop)
        for _ in runners:
            started.acquire()
        print("exiting")
    """)
    assert_clean(proc, "exiting\n")


def test_threads_submitting_while_the_runner_stops():
    """Several threads hand work to a runner while another thread stops it:
    every submission either reaches the loop or raises the closed-loop error
    once the loop is closed; nothing crashes, hangs or warns."""
    proc = run_script("""
        r = V.Real_tasks("main")
        r.start()
        wait_until(r.loop.is_running)
        ran = []
        refused = []
        async def work(i):
            ran.append(i)
        def submitter(k):
            for i in range(3000):
                try:
                    V._submit(r, r.append_task, name="w", task=work, i=i)
                except RuntimeError as e:
                    assert "closed" in str(e), e
                    refused.append(k)
                    return
        threads = [threading.Thread(target=submitter, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        wait_until(lambda: len(ran) > 200)
        r.stop()
        for t in threads:
            t.join(30)
        wait_until(r.loop.is_closed)
        gc.collect()
        assert len(ran) > 200
        print("ok")
    """)
    assert_clean(proc, "ok\n")
