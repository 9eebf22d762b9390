// common/consumer_watch.hpp - a producer's watch on its consumers: the
// mirror of each consumer's service-available event on the producer's own
// runner, which the producer waits on (waiter) before it hands a consumer
// anything, and the check, once a consumer has been reported ready, that it
// has not gone meanwhile. Used by the engine's trig_output and by the
// router, whose producer is its own engine task on the dispatch runner. All
// need the GIL and run on the producer's runner loop.
#pragma once
#include "task_reads.hpp"

namespace velkor_common {

struct Watch {
  Ref mirror;  // the consumer's service-available mirror on the producer's runner
  Ref table;   // that runner's Events_async, where the mirror must still be
};

// Whether a consumer whose service-available event is no longer in Events
// is watched while a mirror of it is left on the producer's runner (a late
// update after the event was deleted re-creates one).
enum class IfUnregistered {
  watch,  // waited on like any other; the gone check passes it over
  // A consumer of this node is not waited on at all: it could only wake the
  // wait for nothing. One of another node is watched whenever its mirror
  // exists: its events are registered on its own node, not in this Events.
  leave_out_local,
};

// A consumer (the task) that has gone while the producer waited: no events
// any more, its service-available event deleted, or the mirror waited on
// removed from the runner's table (a deleted event sets its removed mirrors
// to wake their waiters).
bool consumer_gone(const Reads& reads, PyObject* consumer, const Watch& w);

// The watches of one wait: key -> mirror, the table waiter waits on, and
// key -> (mirror, table) for the gone check.
class Watches {
 public:
  Watches();
  // Watch each consumer of `keys` (a list of task keys), in order; one
  // that cannot be watched (no mirror on the producer's runner yet, task or
  // runner missing) is left out silently.
  void watch_all(const Reads& reads, PyObject* producer, PyObject* keys,
                 IfUnregistered unregistered);
  PyObject* table() const { return table_.get(); }
  Py_ssize_t size() const { return PyDict_GET_SIZE(table_.get()); }
  // The watch kept for `key`, empty when there is none; `take` removes it
  // from both tables.
  Watch find(PyObject* key, bool take);

 private:
  Ref table_, watches_;
};

}  // namespace velkor_common
