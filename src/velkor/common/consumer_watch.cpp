// common/consumer_watch.cpp - see consumer_watch.hpp.
#include "consumer_watch.hpp"

#include "keys.hpp"
#include "names.hpp"

namespace velkor_common {

using pyco::check;
using pyco::check_int;

namespace {

// The table of mirrors on the producer's runner (`producer` is a task key
// of `tasks`): Events_async of the runner the producer's task names.
// Throws when the task or its runner is missing.
Ref producer_table(const Reads& reads, PyObject* tasks, PyObject* producer) {
  const Names& n = names();
  Ref runners = reads.state(n.s_loop_threads);
  Ref p = check(PyObject_GetItem(tasks, producer));
  Ref runner_key = pyco::getattr(reads.task_attr(p.get(), n.s_loop_thread).get(), n.s_name);
  Ref runner = check(PyObject_GetItem(runners.get(), runner_key.get()));
  return pyco::getattr(runner.get(), n.s_Events_async);
}

// The watch on `consumer` (a task key of `tasks`) through the producer's
// `table`: throws when the task or the mirror is missing; empty when
// `unregistered` leaves the consumer out.
Watch watch_consumer(const Reads& reads, PyObject* tasks, const Ref& table, PyObject* consumer,
                     IfUnregistered unregistered) {
  const Names& n = names();
  Ref c = check(PyObject_GetItem(tasks, consumer));
  Ref events = reads.task_attr(c.get(), n.s_events);
  Ref name = check(PySequence_GetItem(events.get(), 1));
  if (unregistered == IfUnregistered::leave_out_local) {
    Ref registry = reads.state(n.s_Events);
    if (!check_int(PySequence_Contains(registry.get(), name.get()))) {
      Ref node = pyco::getattr(reads.state(n.s_network_node).get(), n.s_name);
      if (key_of_node(consumer, node.get())) return {};
    }
  }
  return {check(PyObject_GetItem(table.get(), name.get())), table};
}

}  // namespace

bool consumer_gone(const Reads& reads, PyObject* consumer, const Watch& w) {
  const Names& n = names();
  Ref events = reads.task_attr(consumer, n.s_events);
  if (check_int(PyObject_Length(events.get())) < 2) return true;
  Ref name = check(PySequence_GetItem(events.get(), 1));
  Ref registry = reads.state(n.s_Events);
  if (!check_int(PySequence_Contains(registry.get(), name.get()))) return true;
  PyObject* now = nullptr;
  check_int(PyMapping_GetOptionalItem(w.table.get(), name.get(), &now));
  Ref current = Ref::steal(now);
  return current.get() != w.mirror.get();
}

Watches::Watches() : table_(check(PyDict_New())), watches_(check(PyDict_New())) {}

void Watches::watch_all(const Reads& reads, PyObject* producer, PyObject* keys,
                        IfUnregistered unregistered) {
  if (PyList_GET_SIZE(keys) == 0) return;
  // The task table and the producer's side are the same for every
  // consumer: looked up once. When that fails, every consumer is left out,
  // as each lookup would fail.
  Ref tasks, table;
  try {
    tasks = reads.state(names().s_Tasks);
    table = producer_table(reads, tasks.get(), producer);
  } catch (const pyco::Exception&) {
    return;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    try {
      Watch w = watch_consumer(reads, tasks.get(), table, key, unregistered);
      if (!w.mirror) continue;
      check_int(PyDict_SetItem(table_.get(), key, w.mirror.get()));
      Ref pair = check(PyTuple_Pack(2, w.mirror.get(), w.table.get()));
      check_int(PyDict_SetItem(watches_.get(), key, pair.get()));
    } catch (const pyco::Exception&) {
      // Nothing to watch (yet): left out of this wait.
    }
  }
}

Watch Watches::find(PyObject* key, bool take) {
  PyObject* raw = nullptr;
  check_int(PyDict_GetItemRef(watches_.get(), key, &raw));
  Ref pair = Ref::steal(raw);
  if (!pair) return {};
  if (take) {
    check_int(PyDict_DelItem(table_.get(), key));
    check_int(PyDict_DelItem(watches_.get(), key));
  }
  return {Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
}

}  // namespace velkor_common
