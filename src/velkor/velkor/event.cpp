// event.cpp - class custom_event: a named, node-wide flag that any thread may
// set or clear, mirrored as one asyncio.Event per runner loop that hosts a
// waiting task; and event_config, the coroutine that creates or updates one
// such mirror on its own loop.
//
// The value of an event lives in the object (`_value`); a mirror is created,
// set and cleared only by event_config running on the mirror's loop, which
// the event hands over with submit(). Submissions to one runner keep their
// order, so a mirror ends with the value of the last update sent to it.
#include "engine.hpp"
#include "common/exists_report.hpp"
#include "common/keys.hpp"
#include "common/shell.hpp"
#include "pyco/method.hpp"
#include "runner.hpp"
#include "submission.hpp"

namespace velkor {
namespace {

struct Event {};

// The engine's own event_config (the module holds it), the plain function
// that does what it does at once, and the internal coroutine function that
// wakes a mirror's waiters. Made at module init, never released.
PyObject* g_event_config = nullptr;
PyObject* g_config_now = nullptr;
PyObject* g_wake_mirror = nullptr;

Ref attr(PyObject* o, PyObject* name) { return pyco::getattr(o, name); }

void set_attr(PyObject* o, PyObject* name, PyObject* value) {
  check_int(PyObject_SetAttr(o, name, value));
}

// ---------------------------------------------------------------------------
// Mirror updates.

// Mirror updates are numbered: every change of an event's value (and every
// refresh that sends it) takes the next number, under the event's custom
// waiter lock, so one event's numbers follow the order of its changes. A
// runner remembers the number of the last update it applied per event, and
// an update that arrives with a lower one is dropped: it is older than what
// the mirror holds.
//
// That is what lets a change made on a runner's own thread reach that
// runner's mirror at once, ahead of updates still queued there: a producer
// that starts a consumer (run() clears the consumer's service-available
// event when its last unit goes) sees the mirror on its own runner clear
// before its next step looks at it, so a burst of steps cannot start the
// consumer more often than it has units. The updates it overtook carry
// older values and are dropped when they run. Only the engine's own
// event_config is numbered and applied early; a replaced one is always
// submitted, in order.
//
// The counter is only used with the GIL held.
unsigned long long g_update_number = 0;

Ref next_update_number() { return check(PyLong_FromUnsignedLongLong(++g_update_number)); }

void config_mirror(PyObject* l_t, PyObject* event, PyObject* value, PyObject* number);

// Send the event's current value to the runner `l_t`: submit
// velkor_state.event_config(l_t=l_t, event=self.name, value=self._value) to
// that runner's loop. The value is the one read now; `number` is the
// update's number (see above).
void schedule_update(PyObject* self, PyObject* l_t, PyObject* number) {
  Ref runners = state_attr(names().s_loop_threads);
  Ref runner = check(PyObject_GetItem(runners.get(), l_t));
  Ref func = state_attr(names().s_event_config);
  if (func.get() == g_event_config) {
    // The engine's own coroutine awaits nothing: its update is made by a
    // plain call on the loop, which spares an asyncio task per update; on
    // the runner's own thread, at once.
    Ref name = attr(self, names().s_name);
    Ref value = attr(self, names().s__value);
    if (on_runner_thread(runner.get())) {
      config_mirror(l_t, name.get(), value.get(), number);
      return;
    }
    Ref args = check(PyTuple_Pack(4, l_t, name.get(), value.get(), number));
    submit_call(runner.get(), Ref::borrow(g_config_now), std::move(args));
    return;
  }
  Ref kwargs = check(PyDict_New());
  check_int(PyDict_SetItemString(kwargs.get(), "l_t", l_t));
  check_int(PyDict_SetItemString(kwargs.get(), "event", attr(self, names().s_name).get()));
  check_int(PyDict_SetItemString(kwargs.get(), "value", attr(self, names().s__value).get()));
  submit(runner.get(), std::move(func), Ref(), std::move(kwargs));
}

// Recompute l_t_list from both waiter lists (the runner of every waiter, as
// its task says now), send the current value to the local runners that are
// new in it, then store it. Called with both locks held. Raises to the
// caller; l_t_list is assigned last, so it keeps its old value on failure.
void recompute_runners(PyObject* self) {
  Ref number;  // taken when the first update is sent
  Ref automate = attr(self, names().s_automate_waiter_task_list);
  Ref custom = attr(self, names().s_custom_waiter_task_list);
  Ref waiters = check(PyNumber_Or(automate.get(), custom.get()));
  Ref runner_keys = check(PySet_New(nullptr));
  {
    Ref it = check(PyObject_GetIter(waiters.get()));
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
      Ref tasks = state_attr(names().s_Tasks);
      Ref task = check(PyObject_GetItem(tasks.get(), key.get()));
      Ref runner = attr(task.get(), names().s_loop_thread);
      Ref runner_key = attr(runner.get(), names().s_name);
      check_int(PySet_Add(runner_keys.get(), runner_key.get()));
    }
    if (PyErr_Occurred()) pyco::throw_current();
  }
  Ref old = attr(self, names().s_l_t_list);
  Ref added = check(PyNumber_Subtract(runner_keys.get(), old.get()));
  {
    Ref it = check(PyObject_GetIter(added.get()));
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
      if (!is_local_key(key.get())) continue;
      if (!number) number = next_update_number();
      schedule_update(self, key.get(), number.get());
    }
    if (PyErr_Occurred()) pyco::throw_current();
  }
  set_attr(self, names().s_l_t_list, runner_keys.get());
}

// set() / clear(): change the value at once, then tell every local runner in
// l_t_list. Every exception is swallowed and reported by the result False.
//
// The flip and the scheduling of its updates happen under the event's custom
// waiter lock (the lock refresh and insert_custom_waiter_task hold while they
// send the value to new runners). Without it, a set() on one thread and a
// clear() on another can queue their updates in the opposite order of their
// flips, and a mirror would keep the older value for good: a producer then
// waits for ever on a consumer that is free, or hands items to one that is
// busy.
bool change_value(PyObject* self, bool value) {
  try {
    Ref lock = attr(self, names().s_custom_waiter_task_list_threading_lock);
    LockGuard hold(lock.get());
    Ref current = attr(self, names().s__value);
    if ((check_int(PyObject_IsTrue(current.get())) != 0) == value) return true;
    set_attr(self, names().s__value, value ? Py_True : Py_False);
    Ref number = next_update_number();
    Ref runner_keys = attr(self, names().s_l_t_list);  // read once: it is replaced, never changed
    Ref it = check(PyObject_GetIter(runner_keys.get()));
    while (Ref key = Ref::steal(PyIter_Next(it.get())))
      if (is_local_key(key.get())) schedule_update(self, key.get(), number.get());
    if (PyErr_Occurred()) pyco::throw_current();
    return true;
  } catch (...) {
    pyco::set_error_from_cpp();  // lets a thread's forced unwind through
    PyErr_Clear();
    return false;
  }
}

// ---------------------------------------------------------------------------
// Deletion.

// Runs on the loop of the runner whose table held `mirror`: sets the mirror
// that delete() took out of that table, so that coroutines still awaiting it
// are not left waiting for an event that no longer exists.
pyco::CoroNone wake_mirror_body(Ref mirror) {
  pyco::call_method(mirror.get(), names().s_set);
  co_return;
}

pyco::Frame wake_mirror_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("_wake_mirror", a, na, kw, {"mirror"}, 1, p);
  return wake_mirror_body(std::move(p[0]));
}

// Take the mirror under `name` out of the table of every local runner in
// l_t_list that still exists and still has one. The entry is removed from
// this thread (a plain dict operation); the asyncio.Event itself is only
// touched on its loop. An event with an owner task wakes the coroutines
// awaiting the removed mirrors; a runner that can no longer take work is
// left alone.
void remove_mirrors(PyObject* self, PyObject* name) {
  Ref runner_keys = attr(self, names().s_l_t_list);
  Ref owner = attr(self, names().s_task);
  const bool wake = owner.get() != Py_None;
  Ref it = check(PyObject_GetIter(runner_keys.get()));
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    if (!is_local_key(key.get())) continue;
    Ref runners = state_attr(names().s_loop_threads);
    PyObject* raw = nullptr;
    if (check_int(PyMapping_GetOptionalItem(runners.get(), key.get(), &raw)) == 0) continue;
    Ref runner = Ref::steal(raw);
    Ref table = attr(runner.get(), names().s_Events_async);
    Ref mirror = pyco::call_method(table.get(), names().s_pop, Ref::borrow(name), pyco::none());
    if (Runner* r = runner_of(runner.get()); r && r->mirror_updates)
      check_int(PyDict_Pop(r->mirror_updates.get(), name, nullptr));
    if (!wake || mirror.get() == Py_None) continue;
    Ref args = check(PyTuple_Pack(1, mirror.get()));
    try {
      submit(runner.get(), Ref::borrow(g_wake_mirror), std::move(args), Ref());
    } catch (const pyco::Exception&) {
      // A closed loop: no coroutine is left there to wake.
    }
  }
  if (PyErr_Occurred()) pyco::throw_current();
}

// Remove this event from velkor_state.Events. Raises KeyError when the name
// is not registered, or is registered to another event (that one stays).
void unregister(PyObject* self, PyObject* name) {
  Ref events = state_attr(names().s_Events);
  Ref registered = check(PyObject_GetItem(events.get(), name));
  if (registered.get() != self) {
    PyErr_SetObject(PyExc_KeyError, name);
    pyco::throw_current();
  }
  check_int(PyObject_DelItem(events.get(), name));
}

// ---------------------------------------------------------------------------
// Methods.

Ref event_refresh(PyObject* self, Ref* = nullptr);

// __init__(name, task=None)
Ref event_init(PyObject* self, Ref* p) {
  PyObject* name = p[0].get();
  PyObject* task = p[1] ? p[1].get() : Py_None;
  velkor_common::construct<Event>(self);
  Ref node_text = check(PyObject_Str(node_name().get()));
  Ref short_text = check(PyObject_Str(name));
  Ref full = velkor_common::key_of(node_text.get(), short_text.get());
  set_attr(self, names().s_name, full.get());
  Ref events = state_attr(names().s_Events);
  if (check_int(PySequence_Contains(events.get(), full.get()))) {
    velkor_common::report_exists("Event", short_text.get());
    return Ref();
  }
  check_int(PyObject_SetItem(events.get(), full.get(), self));
  set_attr(self, names().s_task, task);
  set_attr(self, names().s__value, Py_False);
  set_attr(self, names().s_custom_waiter_task_list, check(PySet_New(nullptr)).get());
  set_attr(self, names().s_automate_waiter_task_list, check(PySet_New(nullptr)).get());
  set_attr(self, names().s_custom_waiter_task_list_threading_lock, pyco::call(names().threading_Lock).get());
  set_attr(self, names().s_automate_waiter_task_list_threading_lock, pyco::call(names().threading_Lock).get());
  set_attr(self, names().s_l_t_list, check(PySet_New(nullptr)).get());
  event_refresh(self);
  return Ref();
}

// delete()
Ref event_delete(PyObject* self, Ref*) {
  // Like try: <remove mirrors> finally: <unregister>, all inside
  // try/except Exception that reports the failure.
  Ref name, pending;
  try {
    name = attr(self, names().s_name);
    remove_mirrors(self, name.get());
  } catch (const pyco::BaseException& e) {
    pending = Ref::borrow(e.value());
  }
  if (name) {
    try {
      unregister(self, name.get());
    } catch (const pyco::BaseException& e) {
      if (pending) PyException_SetContext(e.value(), pending.release());
      pending = Ref::borrow(e.value());
    }
  }
  if (!pending) return Ref();
  if (!name || !PyObject_TypeCheck(pending.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
    pyco::throw_exc(std::move(pending));
  Ref line = check(PyUnicode_FromFormat("Can not delete Event %S succesfully. please try again!",
                                        name.get()));
  print_object(line.get());
  pyco::print_exception(pyco::Exception(std::move(pending)), "custom_event.delete");
  return Ref();
}

// set() and clear()
Ref event_set(PyObject* self, Ref*) { return Ref::borrow(change_value(self, true) ? Py_True : Py_False); }
Ref event_clear(PyObject* self, Ref*) {
  return Ref::borrow(change_value(self, false) ? Py_True : Py_False);
}

// refresh_automate_waiter_task_list()
Ref event_refresh(PyObject* self, Ref*) {
  Ref custom_lock = attr(self, names().s_custom_waiter_task_list_threading_lock);
  Ref automate_lock = attr(self, names().s_automate_waiter_task_list_threading_lock);
  LockGuard hold_custom(custom_lock.get());
  LockGuard hold_automate(automate_lock.get());
  Ref automate = check(PySet_New(nullptr));
  set_attr(self, names().s_automate_waiter_task_list, automate.get());
  Ref owner_key = attr(self, names().s_task);
  if (owner_key.get() != Py_None) {
    for (PyObject* list : {names().s_input_tasks, names().s_incode_input_tasks}) {
      Ref tasks = state_attr(names().s_Tasks);
      Ref owner = check(PyObject_GetItem(tasks.get(), owner_key.get()));
      Ref waiters = attr(owner.get(), list);
      pyco::call_method(automate.get(), names().s_update, waiters);
    }
  }
  recompute_runners(self);
  return Ref();
}

// insert_custom_waiter_task(task)
Ref event_insert_custom(PyObject* self, Ref* p) {
  PyObject* task = p[0].get();
  Ref tasks = state_attr(names().s_Tasks);
  if (!check_int(PySequence_Contains(tasks.get(), task))) {
    // A waiter not known here (typically one of another node): the task
    // class builds a placeholder that registers itself under this key.
    Ref task_name = velkor_common::key_field(task, 1);
    Ref node = velkor_common::key_field(task, 0);
    Ref cls = state_attr(names().s_async_task);
    Ref placeholder =
        vcall_kw(cls.get(), {Py_None, task_name.get(), node.get()}, names().kw_async_task);
  }
  Ref custom_lock = attr(self, names().s_custom_waiter_task_list_threading_lock);
  Ref automate_lock = attr(self, names().s_automate_waiter_task_list_threading_lock);
  LockGuard hold_custom(custom_lock.get());
  LockGuard hold_automate(automate_lock.get());
  Ref custom = attr(self, names().s_custom_waiter_task_list);
  pyco::call_method(custom.get(), names().s_add, Ref::borrow(task));
  recompute_runners(self);
  return Ref();
}

// delete_custom_waiter_task(task)
Ref event_delete_custom(PyObject* self, Ref* p) {
  PyObject* task = p[0].get();
  Ref custom_lock = attr(self, names().s_custom_waiter_task_list_threading_lock);
  LockGuard hold_custom(custom_lock.get());
  Ref custom = attr(self, names().s_custom_waiter_task_list);
  pyco::call_method(custom.get(), names().s_remove, Ref::borrow(task));
  return Ref();
}

// is_set()
Ref event_is_set(PyObject* self, Ref*) { return attr(self, names().s__value); }

PYCO_METHOD(event_init, "__init__", 1, "name", "task")
PYCO_METHOD(event_is_set, "is_set", 0)
PYCO_METHOD(event_delete, "delete", 0)
PYCO_METHOD(event_set, "set", 0)
PYCO_METHOD(event_clear, "clear", 0)
PYCO_METHOD(event_refresh, "refresh_automate_waiter_task_list", 0)
PYCO_METHOD(event_insert_custom, "insert_custom_waiter_task", 1, "task")
PYCO_METHOD(event_delete_custom, "delete_custom_waiter_task", 1, "task")

// ---------------------------------------------------------------------------
// event_config(l_t, event, value): create or update the mirror `event` in the
// table of runner `l_t`. Runs on that runner's loop only, and awaits nothing:
// a coroutine of the loop sees the mirror before or after the whole update.

// Whether the update numbered `number` of `event` is newer than the last
// one `runner` applied; if so it is recorded as the last.
bool newest_update(PyObject* runner, PyObject* event, PyObject* number) {
  Runner* r = runner_of(runner);
  if (!r) return true;
  if (!r->mirror_updates) r->mirror_updates = check(PyDict_New());
  PyObject* raw = nullptr;
  check_int(PyDict_GetItemRef(r->mirror_updates.get(), event, &raw));
  Ref last = Ref::steal(raw);
  if (last && check_int(PyObject_RichCompareBool(last.get(), number, Py_GE))) return false;
  check_int(PyDict_SetItem(r->mirror_updates.get(), event, number));
  return true;
}

// `number` is null for an update that is not numbered (event_config called
// as such): it is always applied.
void config_mirror(PyObject* l_t, PyObject* event, PyObject* value, PyObject* number) {
  try {
    Ref runners = state_attr(names().s_loop_threads);
    Ref runner = check(PyObject_GetItem(runners.get(), l_t));
    Ref table = attr(runner.get(), names().s_Events_async);
    if (number && !newest_update(runner.get(), event, number)) return;
    const bool on = check_int(PyObject_IsTrue(value)) != 0;
    PyObject* raw = nullptr;
    if (check_int(PyMapping_GetOptionalItem(table.get(), event, &raw)) == 0) {
      Ref mirror = pyco::call(names().asyncio_Event);
      check_int(PyObject_SetItem(table.get(), event, mirror.get()));
      if (on) pyco::call_method(mirror.get(), names().s_set);
    } else {
      Ref mirror = Ref::steal(raw);
      // The waits are woken first: each waiter then runs before the wait
      // tasks that the set wakes, and cancels them instead of taking a turn
      // for their done callbacks.
      if (on) wake_waits_on(mirror.get());
      pyco::call_method(mirror.get(), (on ? names().s_set : names().s_clear));
    }
  } catch (const pyco::Exception& e) {
    pyco::print_exception(e, "event_config");
  }
}

pyco::CoroNone event_config_body(Ref l_t, Ref event, Ref value) {
  config_mirror(l_t.get(), event.get(), value.get(), nullptr);
  co_return;
}

PyObject* config_now(PyObject*, PyObject* const* a, Py_ssize_t na) {
  if (na != 4) {
    PyErr_SetString(PyExc_TypeError, "_config_mirror takes (l_t, event, value, number)");
    return nullptr;
  }
  return pyco::guard([&] {
    config_mirror(a[0], a[1], a[2], a[3]);
    return Py_NewRef(Py_None);
  });
}
PyMethodDef config_now_def = {"_config_mirror", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(config_now)),
                              METH_FASTCALL, nullptr};



PyObject* g_event_type = nullptr;  // custom_event (the module holds it)

}  // namespace

void send_events_to_new_runner(PyObject* l_t) {
  Ref events = state_attr(names().s_Events);
  Ref all = check(PyMapping_Values(events.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
    PyObject* event = PyList_GET_ITEM(all.get(), i);
    if (!PyObject_TypeCheck(event, reinterpret_cast<PyTypeObject*>(g_event_type))) continue;
    try {
      Ref lock = attr(event, names().s_custom_waiter_task_list_threading_lock);
      LockGuard hold(lock.get());
      Ref runner_keys = attr(event, names().s_l_t_list);
      if (!check_int(PySequence_Contains(runner_keys.get(), l_t))) continue;
      Ref number = next_update_number();
      schedule_update(event, l_t, number.get());
    } catch (const pyco::Exception&) {
      // An event the application has taken apart: nothing to send.
    }
  }
}

void bind_event(nb::module_& m) {
  g_wake_mirror = check(pyco::new_function(wake_mirror_impl, "_wake_mirror",
                                             "custom_event._wake_mirror", "velkor.velkor", nullptr))
                      .release();
  const pyco::Method methods[] = {
      pyco::plain("__init__", event_init_method,
                  "__init__($self, name, task=None)\n--\n\n"
                  "Create the event, register it and compute its waiters and their runners."),
      pyco::plain("is_set", event_is_set_method,
                  "is_set($self)\n--\n\nReturn the event's value (_value)."),
      pyco::plain("delete", event_delete_method,
                  "delete($self)\n--\n\n"
                  "Remove the mirrors of the local runners in l_t_list and unregister the event "
                  "from velkor_state.Events. When the event has an owner task, coroutines awaiting "
                  "a removed mirror are woken. A failure prints \"Can not delete Event <full name> "
                  "succesfully. please try again!\" and the traceback; the event is unregistered "
                  "even then, when it is registered."),
      pyco::plain("set", event_set_method,
                  "set($self)\n--\n\n"
                  "Set the value and send it to every local runner in l_t_list. Return True (also "
                  "when already set; nothing is sent then), False when anything failed."),
      pyco::plain("clear", event_clear_method,
                  "clear($self)\n--\n\n"
                  "Clear the value and send it to every local runner in l_t_list. Return True "
                  "(also when already clear; nothing is sent then), False when anything failed."),
      pyco::plain("refresh_automate_waiter_task_list", event_refresh_method,
                  "refresh_automate_waiter_task_list($self)\n--\n\n"
                  "Recompute the automate waiter list from the owner task's input and in-code "
                  "input tasks, then l_t_list from both waiter lists; runners new in l_t_list get "
                  "the current value."),
      pyco::plain("insert_custom_waiter_task", event_insert_custom_method,
                  "insert_custom_waiter_task($self, task)\n--\n\n"
                  "Add the task key `task` to the custom waiter list (a key unknown in "
                  "velkor_state.Tasks first gets a placeholder async_task) and recompute "
                  "l_t_list; runners new in it get the current value."),
      pyco::plain("delete_custom_waiter_task", event_delete_custom_method,
                  "delete_custom_waiter_task($self, task)\n--\n\n"
                  "Remove `task` from the custom waiter list (KeyError if absent). l_t_list is "
                  "recomputed only by the next refresh or insert."),
  };
  PyObject* cls = velkor_common::bind_class<Event>(
      m, "custom_event",
      "custom_event(name, task=None)\n\n"
      "A named, node-wide flag that any thread may set or clear. Its full name is the node\n"
      "name, a comma and `name`; it is registered in velkor_state.Events under it. Coroutines\n"
      "await its mirror, the asyncio.Event under the full name in their runner's Events_async;\n"
      "each local runner of a waiter task holds one, updated on its own loop by event_config.\n"
      "Waiters are the owner task's input and in-code input tasks (`task`, a task key, or\n"
      "None) and the tasks inserted with insert_custom_waiter_task. A full name already\n"
      "registered prints \"Event <name> exists!\" and leaves the new object with only `name`.",
      methods);
  g_event_type = cls;
}

pyco::Frame event_config_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[3];
  pyco::parse_args("event_config", a, na, kw, {"l_t", "event", "value"}, 3, p);
  return event_config_body(std::move(p[0]), std::move(p[1]), std::move(p[2]));
}

void init_event_config(PyObject* module) {
  g_event_config = check(PyObject_GetAttrString(module, "event_config")).release();
  g_config_now = check(PyCFunction_New(&config_now_def, nullptr)).release();
}

}  // namespace velkor
