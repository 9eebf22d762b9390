// named_task.hpp - the task-creation shortcut.
#pragma once
#include "engine.hpp"

namespace velkor {

// loop.create_task(coro, name=name), made directly as asyncio.Task(coro,
// loop=loop, name=name) when that is all the loop's create_task would do
// (asyncio's or uvloop's own, no task factory, not in debug mode). `name`
// may be None. With `eager`, a task made directly starts at once
// (eager_start, on the running loop's thread only), and *started tells
// whether it did. New reference, or null with an error.
PyObject* create_named_task(PyObject* loop, PyObject* coro, PyObject* name, bool eager = false,
                            bool* started = nullptr);

}  // namespace velkor
