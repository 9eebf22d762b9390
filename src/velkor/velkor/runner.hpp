// runner.hpp - loop-thread runners (class Real_tasks) and the one function
// through which work crosses to a runner's loop.
#pragma once
#include <atomic>

#include "engine.hpp"

namespace velkor {

// C++ side of a Real_tasks instance. Everything the application can see
// (name, loop, Events_async, executor, append_task_queue) lives in the
// instance __dict__ as plain Python objects; this holds only the runner's
// life-cycle, which jobs read on the loop thread.
struct Runner {
  enum Phase : int {
    kRegistered = 0,  // loop created, no thread yet
    kRunning = 1,     // the thread runs the loop
    kClosing = 2,     // run_forever has returned: the loop runs no new work
    kClosed = 3,      // loop closed, thread ended
  };
  std::atomic<int> phase{kRegistered};
  // Set when the stop sequence begins on the loop: from then on the
  // runner's tasks are being cancelled and take no new work.
  std::atomic<bool> stopping{false};
  // The batch of jobs whose wake-up is queued on the loop and has not run
  // yet (borrowed: the loop's ready queue owns it), or null. Read and
  // changed only with the GIL held.
  PyObject* batch = nullptr;
  // Steps whose first turn was left queued on the loop (not started at
  // once) and may not have run yet: while it is not 0, no step starts at
  // once, so that none overtakes them. Loop thread only.
  int queued_steps = 0;
  // Identity of the thread running the loop while it runs, else 0.
  std::atomic<unsigned long> thread_id{0};
  // Event name -> number of the last mirror update applied on this runner
  // (see event.cpp); a dict made by the first numbered update. GIL only.
  Ref mirror_updates;
};

// The C++ side of a Real_tasks, or null for any other object.
Runner* runner_of(PyObject* obj);

// The loop-thread key of the runner named `name` on node `node`: the text
// of each, joined by a comma.
Ref loop_thread_key(PyObject* node, PyObject* name);

// True for a Real_tasks whose thread has never begun to run its loop.
bool never_started(PyObject* runner);

// True when the calling thread is the one running `runner`'s loop.
bool on_runner_thread(PyObject* runner);

// A new runner took the key `l_t` from another: every registered event that
// lists the key sends its value there, so that the new loop gets the mirrors
// the old one had (its table starts empty, and the events only send their
// value to runner keys new to them).
void send_events_to_new_runner(PyObject* l_t);

// True once `runner` (a Real_tasks) has begun its stop sequence, or its loop
// is closing or closed. False for anything that is not a runner.
bool runner_stopping(PyObject* runner);

// Hand work to a runner's loop: when the loop takes the job it calls
// func(*args, **kwargs), which must return a coroutine, and runs that
// coroutine as an asyncio task (its first step right away). Jobs submitted
// while a wake-up of the loop is pending join that wake-up's batch, so a burst
// of submissions costs one call_soon_threadsafe. The coroutine is
// only built on the loop thread, so work that a loop never takes (a runner
// replaced before it started, or one that is closing) leaves no coroutine
// behind. Jobs to one runner run in submission order. Returns at once; the
// outcome of the work is not reported. A closed loop raises asyncio's
// closed-loop RuntimeError to the caller. `args` may be null (no
// positionals), `kwargs` may be null.
void submit(PyObject* runner, Ref func, Ref args, Ref kwargs);

// Hand a step to a runner: the loop thread creates the asyncio task
// loop.create_task(step(**kwargs), name=name), which is what the runner's own
// append_task(name=name, task=step, CPU_bound=False, **kwargs) does, without
// the task that runs append_task itself. The task starts at once (eager) when
// nothing but steps follows it in its batch and no earlier step is still
// waiting for its first turn; see batch_run. `append` is runner.append_task as
// read now; when it is not the engine's own (patched or overridden), nothing
// is submitted and the result is false: the caller submits `append` then.
bool submit_step(PyObject* runner, PyObject* append, PyObject* name, Ref step, Ref kwargs);

// Hand a plain call to a runner: the loop thread calls func(*args); an
// Exception it raises goes nowhere. Order and refusal as for submit().
void submit_call(PyObject* runner, Ref func, Ref args);

// loop.create_task(coro, name=name), made directly as asyncio.Task(coro,
// loop=loop, name=name) when that is all the loop's create_task would do
// (asyncio's or uvloop's own, no task factory, not in debug mode). `name`
// may be None. With `eager`, a task made directly starts at once
// (eager_start, on the running loop's thread only), and *started tells
// whether it did. New reference, or null with an error.
PyObject* create_named_task(PyObject* loop, PyObject* coro, PyObject* name, bool eager = false,
                            bool* started = nullptr);

// Number of runner threads currently inside their loop (for the exit hook).
int live_runner_threads();

}  // namespace velkor
