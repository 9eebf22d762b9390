"""Work handed to runners in batches: order across batches and threads, the
closed-loop refusal, what a replaced append_task or event_config still gets,
and that queued work never keeps a runner alive."""
import asyncio
import threading

import pytest

from velkor import velkor as V
from velkor import velkor_state as S

from helpers import run_on, run_script, wait_until


def recorder(log):
    async def record(who, i):
        log.append((who, i))

    return record


@pytest.mark.timeout(60)
def test_order_per_submitter_survives_batching(make_runner):
    """Four threads and the loop itself submit bursts; every job runs once and
    each submitter's jobs run in the order it submitted them."""
    r = make_runner("batched")
    log = []
    record = recorder(log)
    n = 2000

    def feed(who):
        for i in range(n):
            V._submit(r, record, who, i)

    threads = [threading.Thread(target=feed, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()

    async def from_the_loop():
        for i in range(n):
            V._submit(r, record, "loop", i)

    run_on(r, from_the_loop())
    for t in threads:
        t.join()
    wait_until(lambda: len(log) == 5 * n, message="every job to run")
    for who in [0, 1, 2, 3, "loop"]:
        assert [i for w, i in log if w == who] == list(range(n))


def test_a_closed_runner_refuses_work_while_a_batch_is_queued():
    """Jobs of a runner that never ran sit in a queued batch; once its loop is
    closed, the next submission raises the closed-loop error and the queued
    jobs are dropped unbuilt."""
    r = V.Real_tasks("never_run")
    built = []

    def make():
        built.append(1)
        return asyncio.sleep(0)

    V._submit(r, make)
    V._submit(r, make)
    r.loop.close()
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        V._submit(r, make)
    assert built == []


def test_queued_work_does_not_keep_a_dropped_runner_alive():
    """A never-started runner with jobs queued on its loop (its jobs refer back
    to it) is collected once nothing else refers to it. Checked in a fresh
    interpreter: on uvloop the loop itself, never closed, outlives the
    collection and must not stay behind in this one."""
    done = run_script("""
        r = V.Real_tasks("dropped")
        for _ in range(3):
            V._submit(r, r.append_task, name="w", task=asyncio.sleep, delay=0)
        key = r.name
        del S.loop_threads[key]
        del r
        gc.collect()
        print(sum(isinstance(o, V.Real_tasks) and o.name == key for o in gc.get_objects()))
    """, dev_mode=False)  # an ordinary interpreter: only the count printed is checked
    assert done.returncode == 0, done.stderr
    assert done.stdout == "0\n"


def test_a_replaced_append_task_still_receives_every_step(make_runner):
    """run() hands steps over without append_task's own task only while
    append_task is the runner's own; a replacement on the instance is called
    with the specified keywords for every step."""
    r = make_runner("patched")
    seen = []
    done = []
    own = r.append_task

    def wrapper(**kwargs):
        seen.append(sorted(kwargs))
        return own(**kwargs)

    r.append_task = wrapper
    t = V.async_task(loop_thread=r.name, name="w", task=lambda: done.append(1) or None)
    for _ in range(3):
        t.run()
    wait_until(lambda: len(done) == 3, message="three steps")
    assert seen == [["CPU_bound", "name", "tag", "task"]] * 3


def test_a_replaced_event_config_receives_every_update(make_runner, monkeypatch):
    """Mirror updates go through velkor_state.event_config as it is when the
    update is sent; the engine's own is not used behind a replacement."""
    r = make_runner("cfg")
    calls = []
    own = S.event_config

    def spy(**kwargs):
        calls.append((kwargs["event"], kwargs["value"]))
        return own(**kwargs)

    t = V.async_task(loop_thread=r.name, name="w", task=lambda: None)
    e = V.custom_event("flag")
    e.insert_custom_waiter_task(t.name)
    wait_until(lambda: e.name in r.Events_async, message="mirror made")
    monkeypatch.setattr(S, "event_config", spy)
    assert e.set() and e.clear() and e.set()
    wait_until(lambda: len(calls) == 3, message="three updates")
    assert calls == [(e.name, True), (e.name, False), (e.name, True)]
    wait_until(lambda: r.Events_async[e.name].is_set(), message="mirror set")
