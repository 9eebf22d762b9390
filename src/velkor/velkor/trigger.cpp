// trigger.cpp - the hand-over from a producer to its consumers: waiter
// (wait until one of several mirrors is set) and trig_output (start each
// consumer as soon as it reports itself available).
#include "runner.hpp"
#include "named_task.hpp"
#include "submission.hpp"
#include "task.hpp"
#include "common/consumer_watch.hpp"
#include "common/delivery.hpp"
#include "common/event_flags.hpp"

#include <list>
#include <unordered_map>
#include <vector>

namespace velkor {
namespace {

using velkor_common::event_flag;
using velkor_common::set_keys;


// The module's own coroutine functions (the module holds them for good).
PyObject* g_waiter = nullptr;
PyObject* g_trig_output = nullptr;

void cancel_all(PyObject* tasks) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks); ++i) {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(PyList_GET_ITEM(tasks, i), names().s_cancel));
    if (!r) PyErr_WriteUnraisable(PyList_GET_ITEM(tasks, i));
  }
}

// Whether event.wait is asyncio.Event's own, on an asyncio.Event.
bool own_event_wait(PyObject* event) {
  return velkor_common::own_event_method(event, names().s_wait, names().asyncio_Event_wait);
}

// Resolve a waiter's future unless it is done already: 1 when it was woken
// now, 0 when it had been, -1 with an error set.
int wake(PyObject* fut) {
  Ref done = Ref::steal(PyObject_CallMethodNoArgs(fut, names().s_done));
  if (!done) return -1;
  if (done.get() != Py_False) return 0;
  Ref r = Ref::steal(PyObject_CallMethodOneArg(fut, names().s_set_result, Py_None));
  return r ? 1 : -1;
}

// Done callback of the wait tasks (bound to the waiter's future): the first
// wait that ends wakes the waiter.
PyObject* wake_waiter(PyObject* fut, PyObject*) {
  if (wake(fut) < 0) return nullptr;
  Py_RETURN_NONE;
}
PyMethodDef wake_waiter_def = {"_wake_waiter", wake_waiter, METH_O, nullptr};

void remove_callback(PyObject* tasks, PyObject* callback) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks); ++i) {
    Ref r = Ref::steal(PyObject_CallMethodOneArg(PyList_GET_ITEM(tasks, i),
                                                 names().s_remove_done_callback, callback));
    if (!r) PyErr_WriteUnraisable(PyList_GET_ITEM(tasks, i));
  }
}

// loop.create_future(), made directly as asyncio.Future(loop=loop) when
// that is all the loop's own method does.
Ref new_future(PyObject* loop) {
  PyObject* method = nullptr;
  check_int(PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(loop)),
                                     names().s_create_future, &method));
  Ref m = Ref::steal(method);
  if (m.get() == names().asyncio_BaseEventLoop_create_future) {
    PyObject* argv[] = {loop};
    return check(PyObject_Vectorcall(names().asyncio_Future, argv, 0, names().kw_loop));
  }
  return check(PyObject_CallMethodNoArgs(loop, names().s_create_future));
}

// The engine's own waits on asyncio.Events stand in line, one line per
// event, instead of each waiting through a task of its own.
//
// Why: a consumer that takes one start at a time may have hundreds of
// producer steps waiting for it on one runner. If every one of them waited
// through its own asyncio task on the mirror, each set() would wake them all;
// the first to look starts the consumer (its run() clears the mirror at
// once, see event.cpp), and all the others find it clear and wait again,
// each making new wait tasks: work proportional to the number waiting, for
// every item. In line, a set() wakes the first waiter only. A woken waiter
// that finds the event set hands the turn on to the next one before it
// returns (if the event is still set when that one looks, it goes on too);
// one that finds it clear goes back to waiting. So every waiter still wakes
// while the event stays set, and a set costs the same however many wait.
//
// A line notices set() through its gate: one future of its own in the
// event's list of waiters, which asyncio.Event.set() resolves like any
// other; its done callback wakes the first in line. (A waiter called as
// such also has a wait task on the event, which wakes it in any case; a
// line of such waiters alone has no gate.) A mirror update made by
// the engine (config_mirror) wakes the first in line itself, in the turn
// that sets the mirror, a turn before the gate's callback would run. Lines
// are only touched with the GIL held, on the loop that owns their event.
struct Place;
struct Line {
  Ref event;  // held while the line exists, so its address is not reused
  Ref gate;   // the future in event._waiters while armed, else null
  std::list<Place*> queue;
};
std::unordered_map<PyObject*, Line>* g_lines = nullptr;  // keyed by event

// One waiter's place in one line.
struct Place {
  PyObject* fut;    // the waiter's future (the waiter holds it)
  PyObject* event;  // the line's event
  bool in_line = false;
  std::list<Place*>::iterator pos;
};

void arm_gate(Line& line);

// Wake the first waiter in line that is still waiting (its future pending);
// every place passed over leaves the line. True if one was woken.
bool wake_first(Line& line) {
  while (!line.queue.empty()) {
    Place* p = line.queue.front();
    line.queue.pop_front();
    p->in_line = false;
    const int woken = wake(p->fut);  // 0: woken through another line already
    if (woken < 0) PyErr_WriteUnraisable(p->fut);
    if (woken > 0) return true;
  }
  return false;
}

// Take the gate out of the event's waiters; it is dropped unresolved.
void disarm_gate(Line& line) {
  if (!line.gate) return;
  Ref gate = std::move(line.gate);
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttr(line.event.get(), names().s__waiters, &raw) > 0) {
    Ref waiters = Ref::steal(raw);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(waiters.get(), names().s_remove, gate.get()));
  }
  PyErr_Clear();  // already taken out (or the event taken apart): nothing to undo
}

// A line that no one stands in any more goes, its gate taken out of the
// event's waiters first. True if it went.
bool drop_if_empty(std::unordered_map<PyObject*, Line>::iterator it) {
  if (!it->second.queue.empty()) return false;
  disarm_gate(it->second);
  g_lines->erase(it);
  return true;
}

// Done callback of a gate (bound to its event).
PyObject* gate_fired(PyObject* event, PyObject* gate) {
  if (!g_lines) Py_RETURN_NONE;
  auto it = g_lines->find(event);
  if (it == g_lines->end() || it->second.gate.get() != gate) Py_RETURN_NONE;  // disarmed
  Line& line = it->second;
  disarm_gate(line);
  wake_first(line);
  if (drop_if_empty(it)) Py_RETURN_NONE;
  return pyco::guard([&] {
    arm_gate(line);
    return Py_NewRef(Py_None);
  });
}
PyMethodDef gate_fired_def = {"_gate_fired", gate_fired, METH_O, nullptr};

void arm_gate(Line& line) {
  if (line.gate) return;
  Ref loop = check(PyObject_CallNoArgs(names().asyncio_get_running_loop));
  Ref gate = new_future(loop.get());
  Ref callback = check(PyCFunction_New(&gate_fired_def, line.event.get()));
  pyco::call_method(gate.get(), names().s_add_done_callback, callback);
  Ref waiters = pyco::getattr(line.event.get(), names().s__waiters);
  pyco::call_method(waiters.get(), names().s_append, gate);
  line.gate = std::move(gate);
}

// A waiter's places in the lines of the events it waits on, while it waits.
// Leaving, it hands the turn on to the next in line of every event that is
// set: the event may still be set once this waiter is done with it, and a
// waiter cancelled after it was woken must not end the turn.
class InLine {
 public:
  InLine(PyObject* fut, Py_ssize_t events) : fut_(fut) { places_.reserve(events); }
  InLine(const InLine&) = delete;
  InLine& operator=(const InLine&) = delete;
  // `gated`: nothing but the line tells this waiter that the event was set
  // (it has no wait task on it), so the line needs its gate.
  void join(PyObject* event, bool gated) {
    if (!g_lines) g_lines = new std::unordered_map<PyObject*, Line>;
    auto [it, made] = g_lines->try_emplace(event);
    Line& line = it->second;
    if (made) line.event = Ref::borrow(event);
    Place& p = places_.emplace_back(Place{fut_, event});
    p.pos = line.queue.insert(line.queue.end(), &p);
    p.in_line = true;
    if (gated) arm_gate(line);
  }
  ~InLine() {
    if (!Ref::holds_gil()) return;  // the runtime is finalizing: nothing wakes anyone now
    PyObject* pending = PyErr_GetRaisedException();
    for (Place& p : places_) {
      auto it = g_lines->find(p.event);
      if (it == g_lines->end()) continue;
      Line& line = it->second;
      if (p.in_line) line.queue.erase(p.pos);
      if (event_flag(p.event) == 1) wake_first(line);
      drop_if_empty(it);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }

 private:
  PyObject* fut_;
  std::vector<Place> places_;
};

// waiter(tasks_events): wait until at least one event of the table is set;
// return the keys of every event set at that moment, in table order. No
// wait task outlives the call, also when the call itself is cancelled.
//
// Called as waiter(), it waits on each event through an asyncio task of its
// own, where the application can see it, and stands in line on each
// asyncio.Event as well (which wakes it sooner). Awaited inline by the
// engine's own trig_output (`wait_tasks` false), it stands in line only,
// and makes wait tasks just for events that are not asyncio.Events.
pyco::Coro waiter_body(Ref table, bool wait_tasks) {
  // Events already set: the wait would end at once with these keys, so no
  // wait task is made. An empty table goes to asyncio.wait, which rejects
  // it.
  const Py_ssize_t size = PyObject_Length(table.get());
  if (size < 0) pyco::throw_current();
  if (size == 0) {
    Ref waits = check(PyList_New(0));
    Ref waiting = vcall_kw(names().asyncio_wait, {waits.get(), names().asyncio_FIRST_COMPLETED},
                           names().kw_return_when);
    co_return co_await std::move(waiting);
  }
  {
    Ref ready = set_keys(table.get());
    if (PyList_GET_SIZE(ready.get()) > 0) co_return ready;
  }
  // The first wait task to end wakes this call, as asyncio.wait(waits,
  // return_when=FIRST_COMPLETED) would, and so does a turn in line.
  Ref loop = check(PyObject_CallNoArgs(names().asyncio_get_running_loop));
  Ref fut = new_future(loop.get());
  Ref waits = check(PyList_New(0));
  Ref values = check(PyMapping_Values(table.get()));
  InLine in_line(fut.get(), PyList_GET_SIZE(values.get()));
  try {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
      PyObject* event = PyList_GET_ITEM(values.get(), i);
      const bool own = own_event_wait(event);
      if (own) in_line.join(event, !wait_tasks);
      if (own && !wait_tasks) continue;
      Ref coro = pyco::call_method(event, names().s_wait);
      // asyncio.Event.wait() only registers itself with the event and waits:
      // started at once, it is waiting before anything else can run, as it
      // would be after its first turn. Other events' waits keep their turn.
      Ref task = check(create_named_task(loop.get(), coro.get(), Py_None, own));
      check_int(PyList_Append(waits.get(), task.get()));
    }
  } catch (...) {
    if (pyco::unwinding_at_exit()) throw;
    cancel_all(waits.get());  // the waits made before the failure
    throw;
  }
  Ref wake = check(PyCFunction_New(&wake_waiter_def, fut.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waits.get()); ++i) {
    Ref r = Ref::steal(PyObject_CallMethodOneArg(PyList_GET_ITEM(waits.get(), i),
                                                 names().s_add_done_callback, wake.get()));
    if (!r) {
      PyObject* failure = PyErr_GetRaisedException();
      remove_callback(waits.get(), wake.get());
      cancel_all(waits.get());
      PyErr_SetRaisedException(failure);
      pyco::throw_current();
    }
  }
  try {
    co_await Ref(fut);
  } catch (...) {
    if (pyco::unwinding_at_exit()) throw;
    remove_callback(waits.get(), wake.get());
    cancel_all(waits.get());
    throw;
  }
  remove_callback(waits.get(), wake.get());
  // Which waits are still pending is decided now, before anything else can
  // run on the loop, as asyncio.wait decides it when it returns.
  Ref pending = check(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waits.get()); ++i) {
    PyObject* t = PyList_GET_ITEM(waits.get(), i);
    Ref done = pyco::call_method(t, names().s_done);
    if (done.get() != Py_True) check_int(PyList_Append(pending.get(), t));
  }
  Ref ready = set_keys(table.get());
  // Leaving the lines (at co_return, nothing runs before) hands the turn on.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i)
    pyco::call_method(PyList_GET_ITEM(pending.get(), i), names().s_cancel);
  co_return ready;
}

}  // namespace

void wake_waits_on(PyObject* mirror) {
  if (!g_lines || g_lines->empty() || event_flag(mirror) != 0) return;
  auto it = g_lines->find(mirror);
  if (it == g_lines->end()) return;
  wake_first(it->second);
  // No one else stands in line: the gate could only wake an empty line once
  // the set that follows resolves it. Taken out now, that set has one
  // future fewer to resolve and the loop one callback fewer to run.
  drop_if_empty(it);
}

pyco::Frame waiter_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("waiter", a, na, kw, {"tasks_events"}, 1, p);
  return waiter_body(std::move(p[0]), true);
}

namespace {

// The producer's watch on its consumers reads the shared state and task
// attributes as the rest of the engine does; a consumer is started by
// run(tag), or by its trigger event when that is still registered.
constexpr velkor_common::Reads kReads{state_attr, task_attr};
constexpr velkor_common::StartStyle kStart{false, false};

// trig_output(my_task, output_tasks, tag=None): start every consumer of
// `output_tasks` as soon as its service-available event is set; mode 0
// consumers by run(tag), mode 1 consumers by their trigger event.
pyco::CoroNone trig_output_body(Ref my_task, Ref output_tasks, Ref tag, Ref counted) {
  velkor_common::Watches watches;
  {
    Ref keys = check(PySequence_List(output_tasks.get()));
    watches.watch_all(kReads, my_task.get(), keys.get(), velkor_common::IfUnregistered::watch);
  }
  // The waits count for the step's own task, else for the task registered
  // under my_task, if any (`counted` keeps it alive).
  if (!counted) {
    Ref tasks = state_attr(names().s_Tasks);
    PyObject* found = nullptr;
    if (PyMapping_GetOptionalItem(tasks.get(), my_task.get(), &found) < 0) PyErr_Clear();
    counted = Ref::steal(found);
  }
  Task* counts = counted ? task_of(counted.get()) : nullptr;
  while (watches.size() > 0) {
    Ref waiter = state_attr(names().s_waiter);
    Ref ready;
    {
      TimeSpent waiting(counts ? &counts->counts.waiting_ns : nullptr);
      if (waiter.get() == g_waiter) {
        ready = co_await pyco::inline_await(waiter_body(Ref::borrow(watches.table()), false),
                                            waiter.get());
      } else {
        Ref waiting_call = vcall_kw(waiter.get(), {watches.table()}, names().kw_tasks_events);
        ready = co_await std::move(waiting_call);
      }
    }
    Ref keys = check(PySequence_List(ready.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      PyObject* key = PyList_GET_ITEM(keys.get(), i);
      velkor_common::Watch w = watches.find(key, true);
      if (!w.mirror) continue;  // not (or no longer) in the table
      Ref tasks = state_attr(names().s_Tasks);
      PyObject* found = nullptr;
      check_int(PyMapping_GetOptionalItem(tasks.get(), key, &found));
      Ref consumer = Ref::steal(found);
      if (!consumer) continue;
      if (!is_local_key(key)) continue;
      if (velkor_common::consumer_gone(kReads, consumer.get(), w)) continue;
      velkor_common::start_by_mode(kReads, consumer.get(), tag.get(), kStart);
    }
  }
}

}  // namespace

pyco::Frame trig_output_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[3];
  pyco::parse_args("trig_output", a, na, kw, {"my_task", "output_tasks", "tag"}, 2, p);
  if (!p[2]) p[2] = pyco::none();
  return trig_output_body(std::move(p[0]), std::move(p[1]), std::move(p[2]), Ref());
}


PyObject* own_trig_output() { return g_trig_output; }

pyco::Frame trig_output_frame(Ref my_task, Ref output_tasks, Ref tag, Ref counted) {
  return trig_output_body(std::move(my_task), std::move(output_tasks), std::move(tag),
                          std::move(counted));
}


void init_trigger_functions(PyObject* module) {
  // Held for good: compared by identity.
  g_trig_output = check(PyObject_GetAttrString(module, "trig_output")).release();
  g_waiter = check(PyObject_GetAttrString(module, "waiter")).release();
}

}  // namespace velkor
