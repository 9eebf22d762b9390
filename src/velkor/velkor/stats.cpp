// stats.cpp - stats(): one snapshot of what the engine has counted, as plain
// Python data. The counters themselves are kept where the work happens
// (task.hpp, runner.hpp, the router's and the dravel's C++ parts), with the
// GIL held; the snapshot reads them all in one go, also with the GIL held,
// so it is consistent: no count moves while it is taken.
#include <algorithm>

#include "pyco/method.hpp"
#include "runner.hpp"
#include "task.hpp"

namespace velkor {
namespace {

void put(PyObject* dict, PyObject* key, Ref value) {
  check_int(PyDict_SetItem(dict, key, value.get()));
}
Ref count(std::uint64_t n) { return check(PyLong_FromUnsignedLongLong(n)); }
Ref seconds(std::int64_t ns) { return check(PyFloat_FromDouble(static_cast<double>(ns) / 1e9)); }

// The (key, value) pairs of a table of the shared state, as a list: the
// table may change while the snapshot reads what it holds.
Ref items_of(PyObject* table_name) {
  Ref table = state_attr(table_name);
  return check(PyMapping_Items(table.get()));
}

// self.<name>, or None where the attribute is missing.
Ref attr_or_none(PyObject* obj, PyObject* name) {
  Ref value = task_attr_optional(obj, name);
  return value ? value : pyco::none();
}

Ref task_entry(PyObject* task, const Task& t) {
  const Names& n = names();
  const TaskCounters& c = t.counts;
  Ref entry = check(PyDict_New());
  put(entry.get(), n.s_runs, count(c.runs));
  put(entry.get(), n.s_errors, count(c.errors));
  put(entry.get(), n.s_inserts, count(c.inserts));
  put(entry.get(), n.s_refused, count(c.refused));
  put(entry.get(), n.s_trimmed, count(c.trimmed));
  Ref buffered;
  if (Ref buffer = task_attr_optional(task, n.s_kwargs_buffer)) {
    const Py_ssize_t size = PyObject_Length(buffer.get());
    if (size < 0) PyErr_Clear();  // not a sized object: nothing to count
    else buffered = check(PyLong_FromSsize_t(size));
  }
  put(entry.get(), n.s_buffered, buffered ? buffered : count(0));
  put(entry.get(), n.s_busy_s, seconds(c.busy_ns));
  put(entry.get(), n.s_waiting_s, seconds(c.waiting_ns));
  put(entry.get(), n.s_available, attr_or_none(task, n.s_Task_buffer_available));
  // The runner's key: the name of the runner object the task runs on.
  Ref runner_key;
  if (Ref runner = task_attr_optional(task, n.s_loop_thread)) {
    PyObject* name = nullptr;
    if (PyObject_GetOptionalAttr(runner.get(), n.s_name, &name) < 0) PyErr_Clear();
    runner_key = name ? Ref::steal(name) : Ref();
  }
  put(entry.get(), n.s_runner, runner_key ? runner_key : pyco::none());
  return entry;
}

Ref tasks_part() {
  Ref out = check(PyDict_New());
  Ref items = items_of(names().s_Tasks);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* task = PyTuple_GET_ITEM(pair, 1);
    const Task* t = task_of(task);
    if (!t) continue;  // not a task
    put(out.get(), PyTuple_GET_ITEM(pair, 0), task_entry(task, *t));
  }
  return out;
}

Ref runners_part() {
  const Names& n = names();
  Ref out = check(PyDict_New());
  Ref items = items_of(n.s_loop_threads);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    const Runner* r = runner_of(PyTuple_GET_ITEM(pair, 1));
    if (!r) continue;
    Ref entry = check(PyDict_New());
    put(entry.get(), n.s_submitted, count(r->submitted));
    put(entry.get(), n.s_pending, count(static_cast<std::uint64_t>(std::max<std::int64_t>(r->pending, 0))));
    put(entry.get(), n.s_running,
        Ref::borrow(r->phase.load() == Runner::kRunning ? Py_True : Py_False));
    put(out.get(), PyTuple_GET_ITEM(pair, 0), std::move(entry));
  }
  return out;
}

// Routers and dravels keep their counters in their own modules; each
// object reports them through its _counters() method.
Ref stages_part(PyObject* table_name) {
  Ref out = check(PyDict_New());
  Ref items = items_of(table_name);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* stage = PyTuple_GET_ITEM(pair, 1);
    PyObject* method = nullptr;
    check_int(PyObject_GetOptionalAttr(stage, names().s__counters, &method));
    if (!method) continue;  // not a router or dravel
    Ref m = Ref::steal(method);
    put(out.get(), PyTuple_GET_ITEM(pair, 0), check(PyObject_CallNoArgs(m.get())));
  }
  return out;
}

Ref stats(PyObject*, Ref*) {
  const Names& n = names();
  PyTime_t now;
  check_int(PyTime_Monotonic(&now));
  Ref out = check(PyDict_New());
  put(out.get(), n.s_time, check(PyFloat_FromDouble(PyTime_AsSecondsDouble(now))));
  put(out.get(), n.s_tasks, tasks_part());
  put(out.get(), n.s_runners, runners_part());
  put(out.get(), n.s_routers, stages_part(n.s_router_dict));
  put(out.get(), n.s_dravels, stages_part(n.s_dravel_dict));
  return out;
}

}  // namespace

PYCO_METHOD(stats, "stats", 0)

}  // namespace velkor
