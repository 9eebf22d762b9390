// runner.hpp - loop-thread runners (class Real_tasks).
#pragma once
#include <atomic>
#include <cstdint>

#include "engine.hpp"
#include "pyco/method.hpp"

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
  // Jobs handed to the runner, and those of them its loop has not taken yet
  // (submission.cpp), for stats(). GIL only.
  std::uint64_t submitted = 0;
  std::int64_t pending = 0;
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

// The runner's loop (its `loop` attribute, read now).
Ref loop_of(PyObject* runner);

// The runner's life-cycle phase (Runner::Phase); kRunning for an object
// that is not a Real_tasks (its loop is trusted to refuse work itself).
int runner_phase(PyObject* runner);

// asyncio.gather(*tasks, return_exceptions=True) for a list of tasks: done
// when every one of them has finished, whatever its outcome.
Ref gather_settled(PyObject* tasks);

// The body of a runner's thread (Real_tasks.run_asyncio_in_thread), bound
// as a plain method.
PYCO_DECLARE_METHOD(run_asyncio_in_thread);

// Number of runner threads currently inside their loop (for the exit hook).
int live_runner_threads();

}  // namespace velkor
