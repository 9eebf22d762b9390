// wiring.cpp - links between tasks, and cancel.
//
// A link lives on both ends: B in A.output_tasks exactly when A in
// B.input_tasks (likewise incode_output_tasks / incode_input_tasks). Each
// of the eight link methods changes this task's set and then calls its
// counterpart on the task at the other end with [self.name]; that call finds
// the link already there on this end and stops. Tasks at the other end are
// always looked up in velkor_state.Tasks by key.
#include <string>

#include "pyco/method.hpp"
#include "runner.hpp"
#include "submission.hpp"
#include "task.hpp"

namespace velkor {
namespace {

struct LinkMethod {
  PyObject* Names::*set;          // the set of this task it changes
  PyObject* Names::*counterpart;  // the method called on the other end
  bool insert;                        // add (skip present keys) or remove (skip absent keys)
  bool refresh;                       // refresh this task's service-available event afterwards
};

// Refresh the service-available event after input links were added, so that
// its mirrors exist on the producers' runners. A task without events (one of
// another node) has nothing to refresh.
void refresh_available_event(PyObject* self) {
  Ref events = pyco::getattr(self, names().s_events);
  if (check_int(PyObject_Length(events.get())) < 2) return;
  Ref name = check(PySequence_GetItem(events.get(), 1));
  Ref table = state_attr(names().s_Events);
  Ref event = check(PyObject_GetItem(table.get(), name.get()));
  pyco::call_method(event.get(), names().s_refresh_automate_waiter_task_list);
}

void change_links(PyObject* self, PyObject* tasks, const LinkMethod& m) {
  // Iterate a snapshot: `tasks` may be one of the sets being changed.
  Ref keys = check(PySequence_List(tasks));
  if (PyList_GET_SIZE(keys.get()) > 0) {
    Ref mine = pyco::getattr(self, names().*m.set);
    Ref name = pyco::getattr(self, names().s_name);
    Ref table = state_attr(names().s_Tasks);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
      const bool present = check_int(PySequence_Contains(mine.get(), key.get())) != 0;
      if (present == m.insert) continue;
      // Look the other end up before changing anything: an unknown key
      // raises KeyError with both ends untouched.
      Ref other = check(PyObject_GetItem(table.get(), key.get()));
      pyco::call_method(mine.get(), m.insert ? names().s_add : names().s_remove, key);
      Ref one = check(PyList_New(1));
      PyList_SET_ITEM(one.get(), 0, name.new_ref());
      pyco::call_method(other.get(), names().*m.counterpart, one);
    }
  }
  if (m.refresh) refresh_available_event(self);
}

template <const LinkMethod& M>
Ref link(PyObject* self, Ref* p) {
  change_links(self, p[0].get(), M);
  return Ref();
}

constexpr LinkMethod kInsertInput{&Names::s_input_tasks, &Names::s_insert_output_tasks, true,
                                  true};
constexpr LinkMethod kInsertOutput{&Names::s_output_tasks, &Names::s_insert_input_tasks,
                                   true, false};
constexpr LinkMethod kDeleteInput{&Names::s_input_tasks, &Names::s_delete_output_tasks,
                                  false, false};
constexpr LinkMethod kDeleteOutput{&Names::s_output_tasks, &Names::s_delete_input_tasks,
                                   false, false};
constexpr LinkMethod kInsertIncodeInput{&Names::s_incode_input_tasks,
                                        &Names::s_insert_incode_output_tasks, true, true};
constexpr LinkMethod kInsertIncodeOutput{&Names::s_incode_output_tasks,
                                         &Names::s_insert_incode_input_tasks, true, false};
constexpr LinkMethod kDeleteIncodeInput{&Names::s_incode_input_tasks,
                                        &Names::s_delete_incode_output_tasks, false, false};
constexpr LinkMethod kDeleteIncodeOutput{&Names::s_incode_output_tasks,
                                         &Names::s_delete_incode_input_tasks, false, false};

// Mirror updates of the task's events may still be queued on runners when
// cancel deletes the events; each would create a fresh mirror afterwards
// (event_config creates what is missing). So cancel also sends every runner
// a job that, queued behind those updates, drops what they re-created.
// Created by bind_wiring (the module's import), never destroyed.
PyObject* g_forget_mirrors = nullptr;  // the coroutine function below

// _forget_mirrors(runner, names, wake): on the runner's loop, take out of its
// Events_async the mirror of every name in `names` that no event is
// registered under (again) by now. A removed mirror whose name is in `wake`
// (an event with an owner task) is set, as custom_event.delete does, so
// that nothing keeps waiting on it.
pyco::CoroNone forget_mirrors_body(Ref runner, Ref event_names, Ref wake) {
  try {
    Ref table = pyco::getattr(runner.get(), names().s_Events_async);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(event_names.get()); ++i) {
      PyObject* name = PyTuple_GET_ITEM(event_names.get(), i);
      Ref events = state_attr(names().s_Events);
      if (check_int(PySequence_Contains(events.get(), name))) continue;
      Ref mirror = pyco::call_method(table.get(), names().s_pop, Ref::borrow(name), pyco::none());
      if (mirror.get() != Py_None && check_int(PySequence_Contains(wake.get(), name)))
        pyco::call_method(mirror.get(), names().s_set);
    }
  } catch (const pyco::Exception&) {
    // A runner torn down meanwhile: it has no mirrors left to drop.
  }
  co_return;
}

pyco::Frame forget_mirrors_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[3];
  pyco::parse_args("_forget_mirrors", a, na, kw, {"runner", "names", "wake"}, 3, p);
  return forget_mirrors_body(std::move(p[0]), std::move(p[1]), std::move(p[2]));
}

// Send _forget_mirrors to every registered runner that can still take work.
void forget_mirrors_everywhere(PyObject* event_names, PyObject* wake) {
  Ref runners_table = state_attr(names().s_loop_threads);
  Ref runners = check(PyMapping_Values(runners_table.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runners.get()); ++i) {
    PyObject* runner = PyList_GET_ITEM(runners.get(), i);
    try {
      Ref args = check(PyTuple_Pack(3, runner, event_names, wake));
      submit(runner, Ref::borrow(g_forget_mirrors), std::move(args), Ref());
    } catch (const pyco::Exception&) {
      // A closed runner, or one without a loop: it runs no updates either.
    }
  }
}

// The runner cancels the task's asyncio tasks when its loop takes the job;
// a runner that cannot take it (closed, no loop) has none running.
void cancel_steps(PyObject* self, PyObject* key) {
  try {
    Ref runner = pyco::getattr(self, names().s_loop_thread);
    Ref cancel_task = pyco::getattr(runner.get(), names().s_cancel_task);
    Ref kw = check(PyDict_New());
    check_int(PyDict_SetItem(kw.get(), names().s_name, key));
    submit(runner.get(), std::move(cancel_task), Ref(), std::move(kw));
  } catch (const pyco::Exception&) {
  }
}

// The events, links and registration of a task that is cancelled.
void leave_system(PyObject* self, const Ref& key, bool local) {
  if (local) {
    // Events already deleted (by an earlier cancel of a task of the same
    // key, for example) are passed over.
    Ref event_names = check(PySequence_Tuple(pyco::getattr(self, names().s_events).get()));
    Ref wake = check(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(event_names.get()); ++i) {
      PyObject* name = PyTuple_GET_ITEM(event_names.get(), i);
      Ref table = state_attr(names().s_Events);
      PyObject* event = nullptr;
      check_int(PyMapping_GetOptionalItem(table.get(), name, &event));
      Ref e = Ref::steal(event);
      if (!e) continue;
      PyObject* owner = nullptr;
      check_int(PyObject_GetOptionalAttr(e.get(), names().s_task, &owner));
      if (Ref o = Ref::steal(owner); o && o.get() != Py_None)
        check_int(PySet_Add(wake.get(), name));
      pyco::call_method(e.get(), names().s_delete);
    }
    if (PyTuple_GET_SIZE(event_names.get()) > 0) forget_mirrors_everywhere(event_names.get(), wake.get());
  }
  PyObject* Names::*sets[] = {&Names::s_input_tasks, &Names::s_output_tasks,
                                  &Names::s_incode_input_tasks,
                                  &Names::s_incode_output_tasks};
  PyObject* Names::*deletes[] = {
      &Names::s_delete_input_tasks, &Names::s_delete_output_tasks,
      &Names::s_delete_incode_input_tasks, &Names::s_delete_incode_output_tasks};
  auto registered = [&] {
    Ref table = state_attr(names().s_Tasks);
    return check(PyObject_GetItem(table.get(), key.get()));
  };
  Ref copies[4];
  for (int i = 0; i < 4; ++i) {
    Ref s = pyco::getattr(registered().get(), names().*sets[i]);
    copies[i] = pyco::call_method(s.get(), names().s_copy);
  }
  for (int i = 0; i < 4; ++i) pyco::call_method(registered().get(), names().*deletes[i], copies[i]);
  Ref table = state_attr(names().s_Tasks);
  check_int(PyObject_DelItem(table.get(), key.get()));
}

// cancel(): take the task out of the system, then cancel its steps on its
// runner. In this order (also when leaving fails half-way) a step that ends
// by the cancellation finds the task gone and gives its unit back without
// inviting new work: the job may reach the loop before cancel() returns,
// since handing it over lets other threads run.
Ref cancel(PyObject* self, Ref*) {
  Ref key = pyco::getattr(self, names().s_name);
  const bool local = is_local_key(key.get());
  try {
    leave_system(self, key, local);
  } catch (...) {
    if (pyco::unwinding_at_exit()) throw;
    if (local) cancel_steps(self, key.get());
    throw;
  }
  if (local) cancel_steps(self, key.get());
  return Ref();
}

}  // namespace

PYCO_METHOD(cancel, "cancel", 0)

// One CPython function per link method.
#define LINK_METHOD(id, pyname)           \
  Ref id(PyObject* self, Ref* p) { return link<k##id>(self, p); } \
  PYCO_METHOD(id, pyname, 1, "tasks")
LINK_METHOD(InsertInput, "insert_input_tasks")
LINK_METHOD(InsertOutput, "insert_output_tasks")
LINK_METHOD(DeleteInput, "delete_input_tasks")
LINK_METHOD(DeleteOutput, "delete_output_tasks")
LINK_METHOD(InsertIncodeInput, "insert_incode_input_tasks")
LINK_METHOD(InsertIncodeOutput, "insert_incode_output_tasks")
LINK_METHOD(DeleteIncodeInput, "delete_incode_input_tasks")
LINK_METHOD(DeleteIncodeOutput, "delete_incode_output_tasks")
#undef LINK_METHOD

void init_wiring() {
  g_forget_mirrors = check(pyco::new_function(forget_mirrors_impl, "_forget_mirrors",
                                              "async_task._forget_mirrors", "velkor.velkor",
                                              nullptr))
                         .release();
}

}  // namespace velkor
