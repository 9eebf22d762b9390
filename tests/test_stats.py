"""stats(): exact counts of known graphs, on the roads their work takes
(run, trig_output, routers, dravels), and the shape of the snapshot."""
import asyncio
import threading
import time

from velkor import velkor as engine
from velkor import velkor_state as S
from velkor.dravel import dravel
from velkor.router import router

from helpers import DISPATCH, available, key, make_task, start_runner, wait_until

TASK_FIELDS = {"runs", "errors", "inserts", "refused", "trimmed", "buffered", "busy_s",
               "waiting_s", "available", "runner"}


def counts(task_key):
    return engine.stats()["tasks"][task_key]


def quiet(*tasks):
    """Every step of the tasks has ended: their units are back."""
    for t in tasks:
        wait_until(lambda t=t: t.Task_buffer_available == float("inf") or available(t),
                   message=f"{t.name} to finish its steps")


def chain(runners, names, sink):
    """Tasks names[0] -> ... -> names[-1], each on the runner of the same index;
    each passes its x on under its tag, the last one appends it to `sink`."""
    tasks = []
    for i, name in enumerate(names):
        nxt = key(names[i + 1]) if i + 1 < len(names) else None

        def work(x, nxt=nxt):
            if nxt is None:
                sink.append(x)
            else:
                S.Tasks[nxt].insert_kwargs_buffer({"x": x}, str(x))
            return str(x)
        tasks.append(make_task(name, runners[i], task=work))
    for a, b in zip(names, names[1:]):
        S.Tasks[key(a)].insert_output_tasks([key(b)])
    return tasks


def feed(task, n):
    for i in range(n):
        task.insert_kwargs_buffer({"x": i}, str(i))
        task.run(str(i))


def test_a_chain_on_two_runners_counts_every_step_and_insert():
    a, b = start_runner("a"), start_runner("b")
    before = engine.stats()["runners"]
    sink = []
    tasks = chain([a, b, a], ["t1", "t2", "t3"], sink)
    n = 60
    feed(tasks[0], n)
    wait_until(lambda: len(sink) == n)
    quiet(*tasks)
    snap = engine.stats()
    assert set(snap) == {"time", "tasks", "runners", "routers", "dravels"}
    assert abs(snap["time"] - time.monotonic()) < 5
    for t, runner in zip(tasks, [a, b, a]):
        c = snap["tasks"][t.name]
        assert set(c) == TASK_FIELDS
        assert (c["runs"], c["inserts"], c["buffered"]) == (n, n, 0)
        assert (c["errors"], c["refused"], c["trimmed"]) == (0, 0, 0)
        assert c["runner"] == runner.name and c["available"] == float("inf")
        assert c["busy_s"] >= 0 and c["waiting_s"] >= 0
    runners = snap["runners"]
    # Every step was a job handed to its runner: two of them run on a.
    assert runners[a.name]["submitted"] - before[a.name]["submitted"] >= 2 * n
    assert runners[b.name]["submitted"] - before[b.name]["submitted"] >= n
    wait_until(lambda: engine.stats()["runners"][a.name]["pending"] == 0)
    assert runners[a.name]["running"] is True
    a.stop()
    wait_until(lambda: a.name not in S.loop_threads or
               not engine.stats()["runners"][a.name]["running"])


def test_errors_refusals_and_the_capacity_trim(capsys):
    r = start_runner()

    def fails(x):
        raise ValueError(x)
    bad = make_task("bad", r, task=fails)
    for i in range(3):
        bad.insert_kwargs_buffer({"x": i}, f"t{i}")
        bad.run(f"t{i}")
    wait_until(lambda: counts(bad.name)["errors"] == 3)
    quiet(bad)
    assert counts(bad.name)["runs"] == 3
    assert capsys.readouterr().out.count("task has error!!!") == 3

    # A step whose tag finds nothing buffered does not call the work function.
    bad.run("missing")
    quiet(bad)
    assert (counts(bad.name)["runs"], counts(bad.name)["errors"]) == (3, 3)

    held = make_task("held", r, kwargs_buffer_len=3)
    for i in range(5):
        held.insert_kwargs_buffer({"x": i})
    held.insert_kwargs_buffer({"x": 9}, "tagged")
    held.insert_kwargs_buffer({"y": 1}, "tagged")  # a merge into the same entry
    held.insert_kwargs_buffer([1], "tag")
    held.insert_kwargs_buffer({"x": 1}, 7)
    c = counts(held.name)
    assert (c["inserts"], c["refused"], c["trimmed"], c["buffered"]) == (7, 2, 3, 3)
    assert capsys.readouterr().out.count("tag should be string") == 2
    assert c["runs"] == 0 and c["available"] == held.Task_buffer_available


def test_a_pass_through_task_and_a_mode_1_task_count_their_runs():
    r = start_runner()
    through = make_task("through", r)  # no work function
    for i in range(4):
        through.run()
    sink = []
    triggered = make_task("triggered", r, task=lambda: sink.append(1), WT=1)
    triggered.run()  # starts its loop, which waits for its trigger
    trigger = S.Events[triggered.events[0]]
    for _ in range(3):
        n = len(sink)
        wait_until(lambda: not trigger.is_set())
        trigger.set()
        wait_until(lambda: len(sink) == n + 1)
    wait_until(lambda: counts(through.name)["runs"] == 4)
    assert counts(triggered.name)["runs"] == 3
    assert counts(through.name)["busy_s"] == 0


def test_busy_time_of_a_sleeping_work_function_and_waiting_time_of_a_held_producer():
    p, c = start_runner("p"), start_runner("c")
    pause = 0.05

    async def slow(x):
        await asyncio.sleep(pause)
        return x
    consumer = make_task("consumer", c, task=slow, Task_buffer_available=1)

    def hand_on(x):
        S.Tasks[consumer.name].insert_kwargs_buffer({"x": x}, x)
        return x
    producer = make_task("producer", p, task=hand_on)
    producer.insert_output_tasks([consumer.name])
    wait_until(lambda: available(consumer))
    n = 4
    for i in range(n):
        producer.insert_kwargs_buffer({"x": str(i)}, str(i))
        producer.run(str(i))
    wait_until(lambda: counts(consumer.name)["runs"] == n)
    quiet(consumer, producer)
    c_counts, p_counts = counts(consumer.name), counts(producer.name)
    assert n * pause <= c_counts["busy_s"] < n * pause + 2.0
    # The producers' steps all started at once; each waited in trig_output
    # while the one before it held the consumer: 1 + 2 + 3 pauses at least,
    # less the time the first ones took to reach their wait.
    assert p_counts["waiting_s"] >= (n - 1) * n / 2 * pause * 0.8
    assert c_counts["waiting_s"] == 0 and p_counts["busy_s"] < c_counts["busy_s"]


def test_pending_jobs_of_a_runner_whose_loop_is_held():
    r = start_runner()
    gate = threading.Event()
    task = make_task("blocker", r, task=lambda: gate.wait(10))
    task.run()
    wait_until(lambda: counts(task.name)["runs"] == 1)
    other = make_task("other", r)  # its events' mirrors are jobs too
    before = engine.stats()["runners"][r.name]
    for _ in range(5):
        other.run()
    entry = engine.stats()["runners"][r.name]
    assert entry["pending"] - before["pending"] == 5 and before["pending"] > 0
    assert entry["submitted"] - before["submitted"] == 5
    gate.set()
    wait_until(lambda: engine.stats()["runners"][r.name]["pending"] == 0)
    assert counts(other.name)["runs"] == 5


def test_a_router_dispatch_split_sums_to_the_items_sent():
    w = start_runner("w")
    got = []
    names = ["c1", "c2", "c3"]
    for name in names:
        make_task(name, w, task=lambda i, name=name: got.append(name), Task_buffer_available=1)
    rt = router("r", output_tasks=[key(n) for n in names])
    task = S.Tasks[key(rt.name)]
    n = 45
    for i in range(n):
        task.insert_kwargs_buffer({"i": i})
        task.run()
    wait_until(lambda: len(got) == n)
    entry = engine.stats()["routers"][rt.name]
    assert entry["dropped"] == 0
    assert entry["dispatched"] == {key(c): got.count(c) for c in names if got.count(c)}
    assert sum(entry["dispatched"].values()) == n
    assert counts(task.name)["runs"] == n


def test_a_router_counts_items_that_reach_no_consumer(capsys):
    start_runner("w")
    rt = router("lonely")
    task = S.Tasks[key(rt.name)]
    task.insert_kwargs_buffer({"i": 0})
    task.run()
    wait_until(lambda: engine.stats()["routers"][rt.name]["dropped"] == 1)
    assert counts(task.name)["errors"] == 1  # nothing to wait on
    assert engine.stats()["routers"][rt.name]["dispatched"] == {}
    assert "task has error!!!" in capsys.readouterr().out


def test_a_dravel_takes_or_skips_every_frame_appended():
    w = start_runner("w")
    sink = []
    consumer = make_task("sink", w, task=lambda v: sink.append(v))
    record = engine.buffer()
    d = dravel("paced", WT_sleep=0.001, optimum_delay=0.002, zarib=1.0,
               output_task=consumer.name, buffers_list=[record])
    start = time.time()
    n = 60
    with record.buffer_threading_lock:
        record.buffer.extend({"buffer_timestamp": start + i * 1e-3, "data": {"v": i}}
                             for i in range(n))

    def drained():
        # Frames within `delay` of the last one taken stay in the buffer.
        entry = engine.stats()["dravels"]["paced"]
        with record.buffer_threading_lock:
            left = len(record.buffer)
        done = left < 5 and entry["taken"] + entry["skipped"] + left == n
        return done and len(sink) == entry["taken"] and entry
    entry = wait_until(drained, message="the dravel to drain its buffer")
    assert entry["skipped"] > 0  # frames closer than 2 ms to the last one taken
    assert entry["taken"] == len(sink) == counts(consumer.name)["runs"]
    assert entry["delay"] == d.delay
    assert counts(key("dravel_paced"))["runs"] >= entry["taken"]


def test_only_what_is_registered_appears():
    r = start_runner()
    task = make_task("gone", r)
    assert task.name in engine.stats()["tasks"]
    S.Tasks["not a task"] = object()
    S.router_dict["not a router"] = object()
    snap = engine.stats()
    assert "not a task" not in snap["tasks"] and "not a router" not in snap["routers"]
    task.cancel()
    assert task.name not in engine.stats()["tasks"]
    assert DISPATCH not in engine.stats()["runners"]


def test_counts_stay_exact_when_many_threads_insert_and_run_at_once():
    a, b = start_runner("a"), start_runner("b")
    sink = []
    tasks = chain([a, b], ["head", "tail"], sink)
    per_thread, threads = 150, 4
    for t in tasks:
        t.kwargs_buffer_len = per_thread * threads  # room for every item at once

    def producer(t):
        for i in range(per_thread):
            tag = f"{t}-{i}"
            tasks[0].insert_kwargs_buffer({"x": tag}, tag)
            tasks[0].run(tag)
    workers = [threading.Thread(target=producer, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    n = per_thread * threads
    wait_until(lambda: len(sink) == n, timeout=30)
    quiet(*tasks)
    for t in tasks:
        c = counts(t.name)
        assert (c["runs"], c["inserts"], c["buffered"], c["trimmed"]) == (n, n, 0, 0)
