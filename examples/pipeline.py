"""A small camera pipeline on velkor, in one file.

Two camera threads append time-stamped frames to two buffer records, faster
than the pipeline can take them. A dravel paces the frames into `detect`,
skipping old ones so it never falls behind. Each detection goes through a
router to whichever of three `describe` workers (on two runners) is free, and
`store` takes what arrives.

    camera A ─┐                                      ┌─► describe_1 ─┐
              ├─► dravel "cameras" ─► detect ─► router ─► describe_2 ─┼─► store
    camera B ─┘                                      └─► describe_3 ─┘

Run it with `make demo` (or `python examples/pipeline.py` inside the venv).
It prints one progress line per second, taken from the engine's counters
(velkor.velkor.stats()), then a summary, and saves the task graph to
task_graph.png and the graph with each stage's rate, errors and busy share to
pipeline_stats.png. With --live it shows velkor.monitor's live table instead
of the lines (the monitor needs the extra: pip install 'velkor[monitor]').
"""
import argparse
import asyncio
import threading
import time

import matplotlib

matplotlib.use("Agg")  # draw without a window; the graph goes to a file

from matplotlib import pyplot  # noqa: E402

import velkor  # noqa: E402,F401
from velkor import velkor as engine  # noqa: E402
from velkor import velkor_state as state  # noqa: E402
from velkor.dravel import dravel  # noqa: E402
from velkor.router import router  # noqa: E402

RUN_SECONDS = 8
FRAMES_PER_SECOND = 400  # per camera
WORKERS = ["describe_1", "describe_2", "describe_3"]

def key(name):
    """Tasks are found by key: the node's name, a comma, the task's name."""
    return f"{state.network_node.name},{name}"


# --- the application's threads ---------------------------------------------

def camera(name, record, stopping):
    """Append frames to `record` at a steady rate until told to stop."""
    period, due, number = 1 / FRAMES_PER_SECOND, time.perf_counter(), 0
    while not stopping.is_set():
        pixels = [(number * 31 + i * 7) % 256 for i in range(64)]
        frame = {"buffer_timestamp": time.time(),
                 "data": {"camera": name, "number": number, "pixels": pixels}}
        with record.buffer_threading_lock:  # the dravel reads under the same lock
            record.buffer.append(frame)
        number += 1
        due += period
        time.sleep(max(0.0, due - time.perf_counter()))


# --- the work functions -----------------------------------------------------
# A work function gets its input as keyword arguments, puts the next stage's
# input into that stage's buffer under a tag, and returns the tag: the engine
# then starts the next stage with it.

def detect(camera, number, pixels):
    brightness = sum(pixels) / len(pixels)
    tag = f"{camera}:{number}"
    state.Tasks[key("router_describe")].insert_kwargs_buffer(
        {"camera": camera, "number": number, "brightness": brightness}, tag)
    return tag


def describer(worker):
    async def describe(camera, number, brightness):
        await asyncio.sleep(0.015)  # stands for a call to a slower service
        label = "bright" if brightness > 127 else "dark"
        tag = f"{camera}:{number}"
        state.Tasks[key("store")].insert_kwargs_buffer(
            {"worker": worker, "camera": camera, "label": label}, tag)
        return tag
    return describe


def store(worker, camera, label):
    pass  # a real pipeline would keep the label; the engine counts the call


# --- building the graph -----------------------------------------------------

def build():
    for runner in ("vision", "workers_a", "workers_b", "storage"):
        engine.Real_tasks(runner).start()
    engine.async_task(loop_thread=key("vision"), name="detect", task=detect)
    for worker, runner in zip(WORKERS, ("workers_a", "workers_a", "workers_b")):
        # One item at a time: a busy worker is passed over by the router.
        engine.async_task(loop_thread=key(runner), name=worker, task=describer(worker),
                          Task_buffer_available=1)
    engine.async_task(loop_thread=key("storage"), name="store", task=store)

    router("describe", output_tasks=[key(w) for w in WORKERS])
    state.Tasks[key("detect")].insert_output_tasks([key("router_describe")])
    for worker in WORKERS:
        state.Tasks[key(worker)].insert_output_tasks([key("store")])

    records = [engine.buffer(), engine.buffer()]
    pacer = dravel("cameras", WT_sleep=0.002, optimum_delay=0.004, zarib=1.05,
                   output_task=key("detect"), buffers_list=records)
    return records, pacer


def queued(records):
    total = 0
    for record in records:
        with record.buffer_threading_lock:
            total += len(record.buffer)
    return total


def runs(snapshot, name):
    return snapshot["tasks"][key(name)]["runs"]


def report(elapsed, before, now, records):
    """One line from two snapshots of the engine's counters."""
    seconds = now["time"] - before["time"]

    def rate(name):
        return (runs(now, name) - runs(before, name)) / seconds
    pacer = now["dravels"]["cameras"]
    frames = pacer["taken"] + pacer["skipped"]
    earlier = before["dravels"]["cameras"]
    captured = (frames - earlier["taken"] - earlier["skipped"]) / seconds
    workers = "+".join(f"{rate(w):.0f}" for w in WORKERS)
    print(f"t={elapsed:4.1f}s  frames {captured:4.0f}/s  detect {rate('detect'):4.0f}/s  "
          f"describe {workers}/s  store {rate('store'):4.0f}/s  "
          f"delay {pacer['delay'] * 1000:6.2f} ms  skipped {pacer['skipped']:6d}  "
          f"queued {queued(records):3d}", flush=True)


def run_for(seconds, records, live):
    """Let the pipeline run; print a line per second, or show the live table."""
    start = time.perf_counter()
    if live:
        from velkor import monitor

        with monitor.live(interval=1.0):
            time.sleep(seconds)
        return
    before = engine.stats()
    while (now := time.perf_counter()) - start < seconds:
        time.sleep(1 - (now - start) % 1)
        snapshot = engine.stats()
        report(time.perf_counter() - start, before, snapshot, records)
        before = snapshot


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--live", action="store_true",
                        help="show the live table of velkor.monitor instead of the lines")
    parser.add_argument("--seconds", type=float, default=RUN_SECONDS,
                        help=f"how long the cameras run (default {RUN_SECONDS})")
    args = parser.parse_args()

    records, pacer = build()
    first = engine.stats()
    stopping = threading.Event()
    cameras = [threading.Thread(target=camera, args=(name, record, stopping), daemon=True)
               for name, record in zip("AB", records)]
    for thread in cameras:
        thread.start()
    run_for(args.seconds, records, args.live)

    # Stop the cameras and the dravel's ticking, then let the rest drain.
    stopping.set()
    for thread in cameras:
        thread.join()
    state.Tasks[key("trigger_dravel_cameras")].stop()
    deadline = time.time() + 5
    while time.time() < deadline:
        snapshot = engine.stats()
        if runs(snapshot, "store") == runs(snapshot, "detect"):
            break
        time.sleep(0.05)

    total = engine.stats()
    left = queued(records)
    frames = total["dravels"]["cameras"]
    split = total["routers"]["router_describe"]["dispatched"]
    described = [split.get(key(w), 0) for w in WORKERS]
    taken, stored = frames["taken"], runs(total, "store")
    errors = sum(task["errors"] for task in total["tasks"].values())
    print()
    print(f"captured {frames['taken'] + frames['skipped'] + left} frames in {args.seconds:g} s; "
          f"the dravel took {taken} and skipped {frames['skipped']} ({left} still queued)")
    print("described by " + ", ".join(f"{w} {n}" for w, n in zip(WORKERS, described))
          + f"; stored {stored} (every detection exactly once: "
          f"{stored == taken == runs(total, 'detect') == sum(described)}); errors {errors}")
    print(f"final spacing of the dravel: {pacer.delay * 1000:.2f} ms "
          f"(floor {pacer.optimum_delay * 1000:.2f} ms)")

    everything = [key(name) for name in ("trigger_dravel_cameras", "dravel_cameras", "detect",
                                          "router_describe", *WORKERS, "store")]
    engine.Tasks_Graph(everything, font_size=9, figure_size=(11, 6))
    pyplot.gcf().suptitle("velkor demo: black arrows = trigger links, red = in-code links, "
                          "gray = stopped")
    pyplot.gcf().savefig("task_graph.png", dpi=100)
    print("task graph saved to task_graph.png")
    try:
        from velkor import monitor
    except ImportError as error:
        print(f"pipeline_stats.png not drawn: {error}")
    else:
        monitor.save_graph("pipeline_stats.png", everything, since=first)
        print("rates, errors and busy shares saved to pipeline_stats.png")

    for runner in list(state.loop_threads.values()):
        runner.stop()


if __name__ == "__main__":
    main()
