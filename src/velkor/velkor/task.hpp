// task.hpp - class async_task: one node of the task graph.
//
// Everything the application sees of a task (its key, runner, link sets,
// keyword buffer, locks, counters, event names) is a plain Python object in
// the instance __dict__, read and written by attribute name at every use, so
// application code may inspect and change any of it, as on a Python class.
// The C++ side of the class holds only engine bookkeeping.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

#include "attr_cache.hpp"
#include "engine.hpp"
#include "pyco/method.hpp"

namespace velkor {

// What a task has done, for stats(). Changed and read with the GIL held,
// which makes every count exact whatever thread the task's work runs on.
struct TaskCounters {
  std::uint64_t runs = 0;     // calls of the work function started (pass-through steps too)
  std::uint64_t errors = 0;   // steps reported with "task has error!!!"
  std::uint64_t inserts = 0;  // insert_kwargs_buffer calls that stored data
  std::uint64_t refused = 0;  // insert_kwargs_buffer calls refused
  std::uint64_t trimmed = 0;  // entries dropped beyond kwargs_buffer_len
  std::int64_t busy_ns = 0;     // in the work function, awaits included
  std::int64_t waiting_ns = 0;  // in trig_output, waiting for consumers
};

// The clock of busy_ns and waiting_ns (monotonic).
inline std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Adds the time from its making to the end of its scope to `*total` (no
// total: nothing), however the scope ends; but not in the forced unwind at
// exit, which passes without the GIL.
class TimeSpent {
 public:
  explicit TimeSpent(std::int64_t* total) : total_(total), start_(total ? now_ns() : 0) {}
  TimeSpent(const TimeSpent&) = delete;
  TimeSpent& operator=(const TimeSpent&) = delete;
  ~TimeSpent() {
    if (total_ && Ref::holds_gil()) *total_ += now_ns() - start_;
  }

 private:
  std::int64_t* total_;
  std::int64_t start_;
};

struct Task {
  // Steps that run() has handed to the runner and whose coroutine has not
  // been built yet: each owes its unit back even if it is cancelled before
  // it ever runs.
  std::atomic<long> steps_submitted{0};
  // The attributes task_attr read from the instance __dict__.
  DictCache attrs;
  TaskCounters counts;
};

// The C++ side of an async_task, or null for any other object.
Task* task_of(PyObject* obj);

// self.<name> for a task. On an async_task itself, whose class defines no
// data descriptor, getattr finds an attribute in the instance __dict__ before
// anything on the class: that entry is read directly. A subclass, or a name
// missing there (a method, or an AttributeError to raise), goes through
// getattr.
Ref task_attr(PyObject* self, PyObject* name);
// The same, but null (with no error set) where getattr would raise
// AttributeError.
Ref task_attr_optional(PyObject* self, PyObject* name);

// The slot of self's instance __dict__ when it sits at a fixed offset (as on
// async_task and its Python subclasses), else null. The slot holds null until
// the dict exists.
PyObject** instance_dict_slot(PyObject* self);


// The methods of async_task, each defined in the file of its concept and
// listed in the class's one method table (task.cpp).
PYCO_DECLARE_METHOD(insert_kwargs_buffer);  // keyword_buffer.cpp
PYCO_DECLARE_METHOD(activation_check);
PYCO_DECLARE_METHOD(cancel);  // wiring.cpp
PYCO_DECLARE_METHOD(InsertInput);
PYCO_DECLARE_METHOD(InsertOutput);
PYCO_DECLARE_METHOD(DeleteInput);
PYCO_DECLARE_METHOD(DeleteOutput);
PYCO_DECLARE_METHOD(InsertIncodeInput);
PYCO_DECLARE_METHOD(InsertIncodeOutput);
PYCO_DECLARE_METHOD(DeleteIncodeInput);
PYCO_DECLARE_METHOD(DeleteIncodeOutput);
PYCO_DECLARE_METHOD(stop);  // step.cpp
PYCO_DECLARE_METHOD(start);
PYCO_DECLARE_METHOD(run);
pyco::Frame trig_output_method_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
pyco::Frame temp_func_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// What the methods' files make ready at module init, before the class's
// methods are set.
void init_keyword_buffer();
void init_wiring();
void init_step();
// After: the step finds the class's own trig_output by identity.
void init_trig_output_method(PyObject* cls);

}  // namespace velkor
