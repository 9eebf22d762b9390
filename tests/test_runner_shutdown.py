"""Runners at the edges of their life: stopping with work in flight, work
that reaches a closing loop, and interpreter exit while runner threads are
busy. Each case runs in a fresh interpreter in asyncio debug mode, where any
"never awaited", "Task was destroyed but it is pending!", leak report or
abort would show on its standard error. The fresh interpreter runs on the
suite's event loop (uvloop under VELKOR_TEST_LOOP=uvloop)."""
import subprocess
import sys
import textwrap

import pytest

from helpers import SCRIPT_PRELUDE, assert_clean, run_script, suite_loop_name


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
        import _pyco_test
        def step():
            sum(range(2000))           # runs inside the C++ coroutine's own frame
            return asyncio.sleep(0)
        async def cxx():
            started.release()
            await _pyco_test.call_await_loop(10 ** 12, step)
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


# A program ends while an engine step is inside its work function, for each
# road work takes through the engine (its own step, eager start and batch
# drain included) and each way a program ends. The work spins in Python, so
# the runner thread gives the GIL up and asks for it back while the
# interpreter finalizes: it is then ended by a forced unwind, which must
# neither crash nor touch Python memory on its way out.
EXIT_WORK = {
    "plain": """
        V.async_task(loop_thread="node_0,a", name="w", task=spin)
        S.Tasks["node_0,w"].run()
    """,
    "async": """
        async def work():
            while True:
                spin(0.01)
                await asyncio.sleep(0)
        V.async_task(loop_thread="node_0,a", name="w", task=work)
        S.Tasks["node_0,w"].run()
    """,
    "chain": """
        V.async_task(loop_thread="node_0,a", name="w", task=spin, Task_buffer_available=1)
        producer_into("node_0,w").run()
    """,
    "mode1": """
        V.async_task(loop_thread="node_0,b", name="p", task=lambda: None)
        V.async_task(loop_thread="node_0,a", name="w", task=spin, WT=1)
        S.Tasks["node_0,p"].insert_output_tasks(["node_0,w"])
        S.Tasks["node_0,w"].start()
        wait_until(lambda: S.Tasks["node_0,w"].WT_run)
        S.Tasks["node_0,p"].run()
    """,
    "mode2": """
        V.async_task(loop_thread="node_0,a", name="w", task=spin, WT=2, WT_sleep=0.001)
        S.Tasks["node_0,w"].start()
    """,
    "cpu_bound": """
        V.async_task(loop_thread="node_0,a", name="w", task=spin, CPU_bound=True)
        S.Tasks["node_0,w"].run()
    """,
    "router": """
        from velkor.router import router
        V.async_task(loop_thread="node_0,a", name="w", task=spin, Task_buffer_available=1)
        router("r", output_tasks=["node_0,w"])
        producer_into("node_0,router_r").run()
    """,
    "dravel": """
        from velkor.dravel import dravel
        record = V.buffer()
        V.async_task(loop_thread="node_0,a", name="w", task=spin)
        dravel("d", WT_sleep=0.002, optimum_delay=0.001, zarib=1.0, output_task="node_0,w",
               buffers_list=[record])
        with record.buffer_threading_lock:
            record.buffer.append({"buffer_timestamp": time.time(), "data": {}})
    """,
}

EXIT_ENDINGS = {
    "end": ("", 0),
    "exit": ("sys.exit(3)", 3),
    "raise": ("raise RuntimeError('program fails')", 1),
    "stop": ("for r in list(S.loop_threads.values()): r.stop()", 0),
}

EXIT_PRELUDE = SCRIPT_PRELUDE + """
inside = threading.Event()
def spin(seconds=1.0, **_):  # a CPU-bound step's executor thread is joined at exit
    inside.set()
    t = time.time()
    while time.time() - t < seconds:
        sum(range(200))
def producer_into(target):  # a task on runner b whose one item goes to `target`
    def produce():
        S.Tasks[target].insert_kwargs_buffer({}, "t")
        return "t"
    V.async_task(loop_thread="node_0,b", name="p", task=produce)
    S.Tasks["node_0,p"].insert_output_tasks([target])
    return S.Tasks["node_0,p"]
for name in ("a", "b"):
    V.Real_tasks(name).start()
"""


def exit_script(work, ending):
    return (EXIT_PRELUDE + textwrap.dedent(EXIT_WORK[work])
            + "wait_until(inside.is_set)\ntime.sleep(0.02)\nprint('main ends', flush=True)\n"
            + EXIT_ENDINGS[ending][0] + "\n")


@pytest.mark.parametrize("work", sorted(EXIT_WORK))
def test_program_ends_while_a_step_runs(work):
    # Each ending twice, all in parallel: fresh interpreters, so each run
    # meets the exit on its own.
    runs = [ending for ending in EXIT_ENDINGS for _ in range(2)]
    procs = [subprocess.Popen([sys.executable, "-c", exit_script(work, ending)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for ending in runs]
    failures = []
    for ending, proc in zip(runs, procs):
        out, err = proc.communicate(timeout=60)
        status = EXIT_ENDINGS[ending][1]
        lines = err.splitlines()
        if ending == "raise":  # the program's own traceback, and nothing else
            ok_err = bool(lines) and lines[0].startswith("Traceback") and \
                lines[-1] == "RuntimeError: program fails"
        else:
            ok_err = err == ""
        if proc.returncode != status or out != "main ends\n" or not ok_err:
            failures.append(f"{ending}: status {proc.returncode} (want {status}), "
                            f"stdout {out!r}, stderr {err[-600:]!r}")
    assert not failures, "\n".join(failures)


def test_tasks_of_other_nodes_and_dropped_runners_hold_no_descriptors():
    # Tasks of another node (made directly, or as placeholders for custom
    # waiters) share one never-started runner per node; a runner replaced
    # before it ever ran, once dropped, closes its loop quietly (debug mode
    # would report an unclosed loop or a failing __del__ on stderr).
    proc = run_script("""
        import os
        def fds():
            return len(os.listdir("/proc/self/fd"))
        base = fds()
        for i in range(300):
            V.async_task(loop_thread=None, name=f"t{i}", network_node_name="m")
        event = V.custom_event("e")
        for i in range(100):
            event.insert_custom_waiter_task(f"q,w{i}")
        print("remote", fds() - base < 30, len(S.loop_threads))  # one loop per node
        base = fds()
        for i in range(20):
            V.Real_tasks("x")            # replaces the one before, never started
        S.loop_threads.pop("node_0,x").loop.close()
        gc.collect()
        print("replaced", fds() - base)
    """)
    assert_clean(proc, "remote True 2\nreplaced 0\n")
