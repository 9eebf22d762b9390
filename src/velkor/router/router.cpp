// router.cpp - class router: hands each data item to exactly one ready
// consumer of this node.
//
// A router is not a task itself: it owns (through velkor_state.Tasks) an
// engine task "router_<name>" on the node's shared "buffer_router" runner,
// whose work function is the router's coroutine method run. Producers start
// that task like any other, with the item as its keyword arguments; run
// waits until one of the output tasks reports itself available (its
// service-available event's mirror on the dispatch runner), then buffers the
// item there and starts it.
#include "router.hpp"

#include "common/consumer_watch.hpp"
#include "common/delivery.hpp"
#include "common/dispatch_runner.hpp"
#include "common/event_flags.hpp"
#include "common/exists_report.hpp"
#include "common/keys.hpp"
#include "common/shell.hpp"
#include "names.hpp"
#include "pyco/method.hpp"
#include "pyco/util.hpp"

#include <cstdint>

namespace velkor_router {
namespace {

using pyco::check;
using pyco::check_int;
using pyco::Ref;

Ref shared(PyObject* name) { return pyco::getattr(names().state, name); }
Ref node_name() { return pyco::getattr(shared(names().s_network_node).get(), names().s_name); }

// The router reads the shared state and its tasks' attributes by getattr.
Ref task_getattr(PyObject* task, PyObject* name) { return pyco::getattr(task, name); }
constexpr velkor_common::Reads kReads{shared, task_getattr};
// A consumer is started by run(tag=None) or its trigger event, which must
// exist.
constexpr velkor_common::StartStyle kStart{true, true};

// The router's task key: node name, a comma, the router's name.
Ref task_key(PyObject* self) {
  return velkor_common::key_of(node_name().get(), pyco::getattr(self, names().s_name).get());
}

// A snapshot of output_tasks that another thread's insert or delete cannot
// disturb: copying a set runs no Python code.
Ref snapshot(PyObject* self) {
  Ref outputs = pyco::getattr(self, names().s_output_tasks);
  if (PyAnySet_Check(outputs.get())) {
    Ref copy = check(PySet_New(outputs.get()));
    return check(PySequence_List(copy.get()));
  }
  return check(PySequence_List(outputs.get()));
}

PyObject* g_engine_waiter = nullptr;  // the engine's waiter (held for good)

// The C++ part of a router: what it has done, for stats(). Changed and read
// with the GIL held.
struct Router {
  Ref dispatched;  // consumer key -> items handed to it (a dict, made at first use)
  std::uint64_t dropped = 0;  // items that reached no consumer
};

Router* router_of(PyObject* obj) { return velkor_common::part_of<Router>(obj); }

// Counts one item of run(): handed to `consumer`, or, if the call ends
// otherwise (nothing ready but consumers of other nodes, a failure, a
// cancellation), dropped.
class ItemCount {
 public:
  explicit ItemCount(PyObject* self) : router_(router_of(self)) {}
  ItemCount(const ItemCount&) = delete;
  ItemCount& operator=(const ItemCount&) = delete;
  void handed(PyObject* consumer) {
    counted_ = true;
    if (!router_) return;
    if (!router_->dispatched) router_->dispatched = check(PyDict_New());
    PyObject* found = nullptr;
    check_int(PyDict_GetItemRef(router_->dispatched.get(), consumer, &found));
    long long before = 0;
    if (found) {
      before = PyLong_AsLongLong(found);
      Py_DECREF(found);
      if (before == -1 && PyErr_Occurred()) pyco::throw_current();
    }
    Ref after = check(PyLong_FromLongLong(before + 1));
    check_int(PyDict_SetItem(router_->dispatched.get(), consumer, after.get()));
  }
  ~ItemCount() {
    // The router outlives this: the call's frame holds it.
    if (!counted_ && router_ && Ref::holds_gil()) ++router_->dropped;
  }

 private:
  Router* router_;
  bool counted_ = false;
};

// run(**kwargs): one item. The router's own engine task is the producer
// whose runner (the dispatch runner) holds the mirrors waited on. Every
// consumer whose mirror is found there is waited on, those of other nodes
// too (when one of them is ready, it is passed over: the item is not
// delivered there). A consumer of this node whose service-available event
// is no longer registered is not waited on, also when a late update on the
// dispatch loop has left a mirror of it behind.
pyco::CoroNone run_body(Ref self, Ref item) {
  const Names& n = names();
  ItemCount count(self.get());
  Ref key = task_key(self.get());
  for (;;) {
    velkor_common::Watches watches;
    Ref keys = snapshot(self.get());
    watches.watch_all(kReads, key.get(), keys.get(),
                      velkor_common::IfUnregistered::leave_out_local);
    Ref waiter = pyco::getattr(n.engine, n.s_waiter);
    Ref ready;
    // The engine's own waiter returns at once, without a wait task, with
    // the keys whose mirrors are set when it is called: those are read
    // here without the call. Any other waiter is called.
    if (waiter.get() == g_engine_waiter && watches.size() > 0) {
      ready = velkor_common::set_keys(watches.table());
      if (PyList_GET_SIZE(ready.get()) == 0) ready = Ref();
    }
    if (!ready) {
      Ref waiting = pyco::vcall_kw(waiter.get(), {watches.table()}, n.kw_tasks_events);
      ready = co_await std::move(waiting);
    }
    Ref ready_keys = check(PySequence_List(ready.get()));
    bool wait_again = PyList_GET_SIZE(ready_keys.get()) == 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ready_keys.get()); ++i) {
      PyObject* consumer_key = PyList_GET_ITEM(ready_keys.get(), i);
      if (!velkor_common::key_of_node(consumer_key, node_name().get())) continue;
      Ref tasks = shared(n.s_Tasks);
      PyObject* found = nullptr;
      check_int(PyMapping_GetOptionalItem(tasks.get(), consumer_key, &found));
      Ref consumer = Ref::steal(found);
      velkor_common::Watch w = watches.find(consumer_key, false);
      if (!consumer || !w.mirror || velkor_common::consumer_gone(kReads, consumer.get(), w)) {
        wait_again = true;  // never hand an item to a consumer that is going away
        continue;
      }
      velkor_common::buffer_item(consumer.get(), item.get());
      count.handed(consumer_key);
      velkor_common::start_by_mode(kReads, consumer.get(), Py_None, kStart);
      co_return;
    }
    // Nothing ready after all (the event that woke the wait was cleared
    // again), or the ready consumers had gone: wait for the others. Ready
    // consumers of other nodes only: the item is dropped.
    if (!wait_again) co_return;
  }
}

// self is positional-only: every keyword, "self" included, is part of the item.
pyco::Frame run_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  if (na != 1) {
    PyErr_Format(PyExc_TypeError, "run() takes 1 positional argument but %zd were given", na);
    pyco::throw_current();
  }
  Ref kwargs = check(PyDict_New());
  const Py_ssize_t nk = kw ? PyTuple_GET_SIZE(kw) : 0;
  for (Py_ssize_t k = 0; k < nk; ++k)
    check_int(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kw, k), a[na + k]));
  return run_body(Ref::borrow(a[0]), std::move(kwargs));
}

// A one-element list holding `key`.
Ref one_list(PyObject* key) {
  Ref one = check(PyList_New(1));
  PyList_SET_ITEM(one.get(), 0, Py_NewRef(key));
  return one;
}

// The consumers' side of the link: each counts the router among its
// in-code inputs.
Ref insert_output_tasks(PyObject* self, Ref* p) {
  const Names& n = names();
  Ref keys = check(PySequence_List(p[0].get()));
  Ref key = task_key(self);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* consumer = PyList_GET_ITEM(keys.get(), i);
    Ref tasks = shared(n.s_Tasks);
    Ref task = check(PyObject_GetItem(tasks.get(), consumer));
    pyco::call_method(task.get(), n.s_insert_incode_input_tasks, one_list(key.get()));
    Ref outputs = pyco::getattr(self, n.s_output_tasks);
    pyco::call_method(outputs.get(), n.s_add, Ref::borrow(consumer));
  }
  return Ref();
}

Ref delete_output_tasks(PyObject* self, Ref* p) {
  const Names& n = names();
  Ref keys = check(PySequence_List(p[0].get()));
  Ref key = task_key(self);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* consumer = PyList_GET_ITEM(keys.get(), i);
    Ref outputs = pyco::getattr(self, n.s_output_tasks);
    if (!check_int(PySequence_Contains(outputs.get(), consumer))) continue;
    pyco::call_method(outputs.get(), n.s_remove, Ref::borrow(consumer));
    Ref tasks = shared(n.s_Tasks);
    Ref task = check(PyObject_GetItem(tasks.get(), consumer));
    pyco::call_method(task.get(), n.s_delete_incode_input_tasks, one_list(key.get()));
  }
  return Ref();
}

// _counters(): {"dispatched": {consumer key: items}, "dropped": items}.
Ref counters(PyObject* self, Ref*) {
  Router* r = router_of(self);
  if (!r) pyco::raise(PyExc_TypeError, "the router is not initialised");
  Ref dispatched = r->dispatched ? check(PyDict_Copy(r->dispatched.get())) : check(PyDict_New());
  Ref dropped = check(PyLong_FromUnsignedLongLong(r->dropped));
  Ref out = check(PyDict_New());
  check_int(PyDict_SetItem(out.get(), names().s_dispatched, dispatched.get()));
  check_int(PyDict_SetItem(out.get(), names().s_dropped, dropped.get()));
  return out;
}

PYCO_METHOD(insert_output_tasks, "insert_output_tasks", 1, "tasks")
PYCO_METHOD(delete_output_tasks, "delete_output_tasks", 1, "tasks")
PYCO_METHOD(counters, "_counters", 0)

PyObject* g_no_outputs = nullptr;  // the default of output_tasks (held for good)

// __init__(name, output_tasks=[])
Ref router_init(PyObject* self, Ref* p) {
  velkor_common::construct<Router>(self);
  PyObject* name = p[0].get();
  PyObject* output_tasks = p[1] ? p[1].get() : g_no_outputs;
  const Names& n = names();
  Ref text = check(PyObject_Str(name));
  Ref full = check(PyUnicode_Concat(n.s_router_prefix, text.get()));
  Ref routers = shared(n.s_router_dict);
  if (check_int(PySequence_Contains(routers.get(), full.get()))) {
    velkor_common::report_exists("router", text.get());
    return Ref();
  }
  check_int(PyObject_SetAttr(self, n.s_name, full.get()));
  check_int(PyObject_SetItem(routers.get(), full.get(), self));
  check_int(PyObject_SetAttr(self, n.s_output_tasks, check(PySet_New(nullptr)).get()));
  Ref runner_key = velkor_common::dispatch_runner(n.state, n.engine);
  Ref task_class = pyco::getattr(n.engine, n.s_async_task);
  Ref run = pyco::getattr(self, n.s_run);
  Ref one = check(PyLong_FromLong(1));
  Ref zero = check(PyLong_FromLong(0));
  pyco::vcall_kw(task_class.get(),
                 {runner_key.get(), full.get(), run.get(), zero.get(), Py_False, one.get()},
                 n.kw_task_args);
  pyco::call_method(self, n.s_insert_output_tasks, Ref::borrow(output_tasks));
  return Ref();
}

PYCO_METHOD(router_init, "__init__", 1, "name", "output_tasks")

}  // namespace

void bind_router(nb::module_& m) {
  init_names();
  g_engine_waiter = pyco::getattr(names().engine, names().s_waiter).release();
  // The default of output_tasks: one empty list, only ever read.
  g_no_outputs = check(PyList_New(0)).release();
  const pyco::Method methods[] = {
      pyco::plain("__init__", router_init_method,
                  "__init__($self, name, output_tasks=[])\n--\n\n"
                  "Register the router, its engine task and its consumers."),
      pyco::plain("insert_output_tasks", insert_output_tasks_method,
                  "insert_output_tasks($self, tasks)\n--\n\n"
                  "Add consumers (task keys); each counts the router among its in-code inputs."),
      pyco::plain("delete_output_tasks", delete_output_tasks_method,
                  "delete_output_tasks($self, tasks)\n--\n\n"
                  "Remove consumers (task keys); keys that are not consumers are passed over."),
      pyco::plain("_counters", counters_method,
                  "_counters($self)\n--\n\n"
                  "What the router has done: {\"dispatched\": {consumer key: items handed to "
                  "it}, \"dropped\": items that reached no consumer}. velkor.velkor.stats() "
                  "reports it."),
      pyco::coroutine(
          "run", run_impl,
          "run($self, /, **kwargs)\n--\n\n"
          "Hand one item (the keyword arguments) to the first ready consumer of this node: it "
          "gets the item in its buffer and is started (WT 0 by run(tag=None), WT 1 by its "
          "trigger event). Consumers gone while waiting are passed over; if the only ready ones "
          "belong to other nodes, the item is dropped."),
  };
  PyObject* cls = velkor_common::bind_class<Router>(
      m, "router",
      "router(name, output_tasks=[])\n\n"
      "A dispatch stage: every item that reaches it (the keyword arguments its engine task\n"
      "\"router_<name>\" is started with) goes to exactly one ready consumer of this node\n"
      "among output_tasks. Registered in velkor_state.router_dict as \"router_<name>\"; a\n"
      "name already registered prints \"router <name> exists!\". Runs on the node's shared\n"
      "\"buffer_router\" runner, created and started by the first router or dravel.",
      methods);
}

}  // namespace velkor_router
