// runner_thread.cpp - the body of a runner's daemon thread: runs the loop
// until the stop sequence stops it, then finishes and closes it.
#include "runner.hpp"

#include "pyco/method.hpp"

namespace velkor {
namespace {

std::atomic<int> g_live_threads{0};

// ---------------------------------------------------------------------------
// The thread body: at interpreter exit the thread may be ended by a forced
// unwind passing through this frame, and nothing on the way may catch it for
// good (see pyco/ref.hpp and pyco/method.hpp).

void finish_loop(PyObject* loop) {
  // Tasks created after the stop sequence (work that reached the loop in
  // its last iteration) would be destroyed pending: cancel them and let
  // them unwind. Jobs still queued see the closing phase and do nothing.
  Ref pending = pyco::call(names().asyncio_all_tasks, Ref::borrow(loop));
  if (PySet_GET_SIZE(pending.get()) > 0) {
    Ref list = check(PySequence_List(pending.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
      pyco::call_method(PyList_GET_ITEM(list.get(), i), names().s_cancel);
    pyco::call_method(loop, names().s_run_until_complete, gather_settled(list.get()));
  }
  Ref agen = pyco::call_method(loop, names().s_shutdown_asyncgens);
  pyco::call_method(loop, names().s_run_until_complete, agen);
}

}  // namespace

Ref run_asyncio_in_thread(PyObject* self, Ref*) {
  {
    Runner* r = runner_of(self);
    Ref queue = pyco::call(names().asyncio_PriorityQueue);
    check_int(PyObject_SetAttr(self, names().s_append_task_queue, queue.get()));
    Ref loop = loop_of(self);
    pyco::call(names().asyncio_set_event_loop, loop);
    int expected = Runner::kRegistered;
    if (!r || !r->phase.compare_exchange_strong(expected, Runner::kRunning)) {
      // Started twice, or after closing: asyncio reports it.
      pyco::call_method(loop.get(), names().s_run_forever);
      return Ref();
    }
    ++g_live_threads;
    r->thread_id = PyThread_get_thread_ident();
    struct Count {
      Runner* r;
      ~Count() {
        r->thread_id = 0;
        --g_live_threads;
      }
    } count{r};
    Ref ran = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), names().s_run_forever));
    PyObject* err = ran ? nullptr : PyErr_GetRaisedException();
    r->phase = Runner::kClosing;
    Ref finished = Ref::steal(pyco::guard([&] {
      finish_loop(loop.get());
      return Py_NewRef(Py_None);
    }));
    if (!finished) PyErr_WriteUnraisable(loop.get());
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), names().s_close));
    r->phase = Runner::kClosed;
    if (err) {
      PyErr_SetRaisedException(err);
      pyco::throw_current();
    }
    if (!closed) pyco::throw_current();
    return Ref();
  }
}

PYCO_METHOD(run_asyncio_in_thread, "run_asyncio_in_thread", 0)

int live_runner_threads() { return g_live_threads.load(); }

}  // namespace velkor
