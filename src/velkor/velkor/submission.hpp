// submission.hpp - the one way work crosses to a runner's loop.
#pragma once
#include "engine.hpp"

namespace velkor {

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

// Made ready at module init; `append_task` is the engine's own
// Real_tasks.append_task, which submit_step recognises.
void init_submission(PyObject* append_task);

}  // namespace velkor
