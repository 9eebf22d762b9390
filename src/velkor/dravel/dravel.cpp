// dravel.cpp - class dravel: drains time-stamped frame buffers into one
// consumer at a paced, self-adjusting rate.
//
// Each tick (the periodic trigger task "trigger_dravel_<name>" starts the
// main task "dravel_<name>", whose work function is run) picks one buffer at
// random and takes at most one frame from it: the first frame ever, then
// the first frame strictly later than last_time + delay, found by bisection
// on "buffer_timestamp"; the frames skipped on the way go in one slice
// deletion. The spacing `delay` grows by `zarib` per frame taken and shrinks
// by the n-th root of `zarib` per tick without a frame (n buffers), never
// below `optimum_delay`: under load old frames are thinned out instead of
// piling up.
#include "dravel.hpp"

#include "common/delivery.hpp"
#include "common/dispatch_runner.hpp"
#include "common/exists_report.hpp"
#include "common/keys.hpp"
#include "common/shell.hpp"
#include "names.hpp"
#include "pyco/method.hpp"
#include "pyco/util.hpp"

#include <cstdint>

namespace velkor_dravel {
namespace {

using pyco::check;
using pyco::check_int;
using pyco::Ref;

Ref shared(PyObject* name) { return pyco::getattr(names().state, name); }
Ref node_name() { return pyco::getattr(shared(names().s_network_node).get(), names().s_name); }
// A task key of this node: node name, a comma, prefix + name.
Ref key_of(PyObject* prefix, PyObject* name) {
  return velkor_common::key_of(node_name().get(), prefix, name);
}
// The dravel's own task key: the key of its main task.
Ref own_key(PyObject* self) {
  return key_of(names().s_dravel_prefix, pyco::getattr(self, names().s_name).get());
}
Ref one_list(PyObject* item) {
  Ref l = check(PyList_New(1));
  PyList_SET_ITEM(l.get(), 0, Py_NewRef(item));
  return l;
}
Ref task(PyObject* key) {
  return check(PyObject_GetItem(shared(names().s_Tasks).get(), key));
}

// The C++ part of a dravel: what it has done, for stats(). Changed and read
// with the GIL held.
struct Dravel {
  std::uint64_t taken = 0;    // frames handed to the consumer's buffer
  std::uint64_t skipped = 0;  // frames taken out of a buffer and not handed on
};

Dravel* dravel_of(PyObject* obj) { return velkor_common::part_of<Dravel>(obj); }

// bisect.bisect_right(frames, x, key=lambda f: f["buffer_timestamp"]): the
// number of frames whose timestamp is at most x.
Py_ssize_t bisect_right(PyObject* frames, PyObject* x) {
  Py_ssize_t lo = 0, hi = check_int(PyObject_Length(frames));
  while (lo < hi) {
    const Py_ssize_t mid = lo + (hi - lo) / 2;
    Ref frame = check(PySequence_GetItem(frames, mid));
    Ref stamp = check(PyObject_GetItem(frame.get(), names().s_buffer_timestamp));
    if (check_int(PyObject_RichCompareBool(x, stamp.get(), Py_LT))) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

// Under the buffer's lock: the frame to deliver from `buff`, or null.
Ref take_frame(PyObject* self, PyObject* buff) {
  const Names& n = names();
  Ref lock = pyco::getattr(buff, n.s_buffer_threading_lock);
  pyco::LockGuard hold(lock.get());
  Ref frames = pyco::getattr(buff, n.s_buffer);
  if (check_int(PyObject_Length(frames.get())) == 0) return Ref();
  Ref last = pyco::getattr(buff, n.s_last_time);
  Py_ssize_t index = 0;
  if (last.get() != Py_None) {
    Ref delay = pyco::getattr(self, n.s_delay);
    Ref bound = check(PyNumber_Add(last.get(), delay.get()));
    index = bisect_right(frames.get(), bound.get());
    if (index >= check_int(PyObject_Length(frames.get()))) return Ref();
  }
  Ref frame = check(PySequence_GetItem(frames.get(), index));
  // Out of the list before its timestamp is read: a frame without one is
  // dropped (the error reaches the engine) instead of blocking the buffer.
  check_int(PySequence_DelSlice(frames.get(), 0, index + 1));
  Dravel* counts = dravel_of(self);
  if (counts) counts->skipped += static_cast<std::uint64_t>(index);
  Ref stamp = Ref::steal(PyObject_GetItem(frame.get(), n.s_buffer_timestamp));
  if (!stamp) {
    if (counts) ++counts->skipped;
    pyco::throw_current();
  }
  check_int(PyObject_SetAttr(buff, n.s_last_time, stamp.get()));
  return frame;
}

// run(): one tick.
pyco::CoroNone run_body(Ref self) {
  const Names& n = names();
  Ref output = pyco::getattr(self.get(), n.s_output_task);
  Ref buffers = pyco::getattr(self.get(), n.s_buffers_list);
  const Py_ssize_t count = check_int(PyObject_Length(buffers.get()));
  if (output.get() == Py_None || count == 0) co_return;
  Ref random = pyco::getattr(n.module, n.s_random);  // the module-level name
  Ref buff = pyco::call_method(random.get(), n.s_choice, buffers);
  Ref frame = take_frame(self.get(), buff.get());
  Ref delay = pyco::getattr(self.get(), n.s_delay);
  Ref zarib = pyco::getattr(self.get(), n.s_zarib);
  if (!frame) {
    Ref root = check(PyNumber_Power(zarib.get(), check(PyFloat_FromDouble(1.0 / count)).get(), Py_None));
    Ref smaller = check(PyNumber_TrueDivide(delay.get(), root.get()));
    Ref floor = pyco::getattr(self.get(), n.s_optimum_delay);
    const bool below = check_int(PyObject_RichCompareBool(floor.get(), smaller.get(), Py_GT));
    check_int(PyObject_SetAttr(self.get(), n.s_delay, below ? floor.get() : smaller.get()));
    co_return;
  }
  Dravel* counts = dravel_of(self.get());  // self is held: alive across the await
  try {
    Ref grown = check(PyNumber_Multiply(delay.get(), zarib.get()));
    check_int(PyObject_SetAttr(self.get(), n.s_delay, grown.get()));
    Ref data = check(PyObject_GetItem(frame.get(), n.s_data));
    Ref consumer = task(output.get());
    velkor_common::buffer_item(consumer.get(), data.get());
  } catch (...) {
    if (counts && !pyco::unwinding_at_exit()) ++counts->skipped;  // out of its buffer, not handed on
    throw;
  }
  if (counts) ++counts->taken;
  Ref trig = pyco::getattr(n.engine, n.s_trig_output);
  Ref key = own_key(self.get());
  Ref outputs = one_list(output.get());
  Ref handing = pyco::vcall_kw(trig.get(), {key.get(), outputs.get()}, n.kw_trig);
  co_await std::move(handing);
}

pyco::Frame run_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("run", a, na, kw, {"self"}, 1, p);
  return run_body(std::move(p[0]));
}

Ref change_output_task(PyObject* self, Ref* p) {
  const Names& n = names();
  nb::handle new_task(p[0].get());
  Ref key = own_key(self);
  Ref current = pyco::getattr(self, n.s_output_task);
  if (current.get() != Py_None)
    pyco::call_method(task(current.get()).get(), n.s_delete_incode_input_tasks, one_list(key.get()));
  check_int(PyObject_SetAttr(self, n.s_output_task, new_task.ptr()));
  pyco::call_method(task(new_task.ptr()).get(), n.s_insert_incode_input_tasks, one_list(key.get()));
  return Ref();
}

// _counters(): {"taken": frames, "skipped": frames, "delay": self.delay}.
Ref counters(PyObject* self, Ref*) {
  Dravel* d = dravel_of(self);
  if (!d) pyco::raise(PyExc_TypeError, "the dravel is not initialised");
  Ref out = check(PyDict_New());
  Ref taken = check(PyLong_FromUnsignedLongLong(d->taken));
  Ref skipped = check(PyLong_FromUnsignedLongLong(d->skipped));
  check_int(PyDict_SetItem(out.get(), names().s_taken, taken.get()));
  check_int(PyDict_SetItem(out.get(), names().s_skipped, skipped.get()));
  PyObject* delay = nullptr;
  check_int(PyObject_GetOptionalAttr(self, names().s_delay, &delay));
  Ref d_ref = delay ? Ref::steal(delay) : pyco::none();
  check_int(PyDict_SetItem(out.get(), names().s_delay, d_ref.get()));
  return out;
}

PYCO_METHOD(change_output_task, "change_output_task", 1, "task")
PYCO_METHOD(counters, "_counters", 0)

// __init__(name, WT_sleep, optimum_delay, zarib=1.01, output_task=None,
// buffers_list=[], **kwargs); p[6] holds the keywords dict.
void dravel_init(PyObject* self, Ref* p) {
  velkor_common::construct<Dravel>(self);
  PyObject* name = p[0].get();
  PyObject* wt_sleep = p[1].get();
  PyObject* optimum_delay = p[2].get();
  PyObject* zarib = p[3].get();
  PyObject* output_task = p[4].get();
  PyObject* buffers_list = p[5].get();
  PyObject* kwargs = p[6].get();
  const Names& n = names();
  // Registered under the name's text, so the test uses the text too.
  Ref text = check(PyObject_Str(name));
  Ref dravels = shared(n.s_dravel_dict);
  if (check_int(PySequence_Contains(dravels.get(), text.get()))) {
    velkor_common::report_exists("Dravel", text.get());
    return;
  }
  check_int(PyObject_SetAttr(self, n.s_name, text.get()));
  check_int(PyObject_SetItem(dravels.get(), text.get(), self));
  check_int(PyObject_SetAttr(self, n.s_kwargs, kwargs));
  check_int(PyObject_SetAttr(self, n.s_delay, optimum_delay));
  check_int(PyObject_SetAttr(self, n.s_optimum_delay, optimum_delay));
  check_int(PyObject_SetAttr(self, n.s_zarib, zarib));
  Ref copy = pyco::call_method(buffers_list, n.s_copy);
  check_int(PyObject_SetAttr(self, n.s_buffers_list, copy.get()));
  Ref runner_key = velkor_common::dispatch_runner(n.state, n.engine);
  Ref task_class = pyco::getattr(n.engine, n.s_async_task);
  Ref trigger_name = check(PyUnicode_Concat(n.s_trigger_prefix, text.get()));
  Ref two = check(PyLong_FromLong(2));
  pyco::vcall_kw(task_class.get(), {runner_key.get(), trigger_name.get(), two.get(), wt_sleep, Py_False},
                 n.kw_trigger_args);
  Ref main_name = check(PyUnicode_Concat(n.s_dravel_prefix, text.get()));
  Ref run = pyco::getattr(self, n.s_run);
  Ref zero = check(PyLong_FromLong(0));
  Ref one = check(PyLong_FromLong(1));
  pyco::vcall_kw(task_class.get(),
                 {runner_key.get(), main_name.get(), run.get(), zero.get(), Py_False, one.get()},
                 n.kw_main_args);
  Ref trigger_key = key_of(n.s_trigger_prefix, text.get());
  Ref main_key = own_key(self);
  pyco::call_method(task(main_key.get()).get(), n.s_insert_input_tasks, one_list(trigger_key.get()));
  check_int(PyObject_SetAttr(self, n.s_output_task, Py_None));
  if (output_task != Py_None)
    pyco::call_method(self, n.s_change_output_task, Ref::borrow(output_task));
  pyco::call_method(task(trigger_key.get()).get(), n.s_run);
}

PyObject* g_no_buffers = nullptr;  // the default of buffers_list (held for good)

PyObject* dravel_init_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return pyco::guard_function(dravel_init_method, [&]() -> PyObject* {
    Ref p[7];
    pyco::parse_args("__init__", args, PyVectorcall_NARGS(nargs), kwnames,
                     {"name", "WT_sleep", "optimum_delay", "zarib", "output_task", "buffers_list"},
                     3, p, &p[6]);
    if (!p[3]) p[3] = check(PyFloat_FromDouble(1.01));
    if (!p[4]) p[4] = pyco::none();
    if (!p[5]) p[5] = Ref::borrow(g_no_buffers);
    if (!p[6]) p[6] = check(PyDict_New());
    dravel_init(self, p);
    return Py_NewRef(Py_None);
  });
}

}  // namespace

void bind_dravel(nb::module_& m) {
  init_names(m.ptr());
  // The default of buffers_list: one empty list, only ever copied.
  g_no_buffers = check(PyList_New(0)).release();
  const pyco::Method methods[] = {
      pyco::plain("__init__", dravel_init_method,
                  "__init__($self, name, WT_sleep, optimum_delay, zarib=1.01, output_task=None, "
                  "buffers_list=[], **kwargs)\n--\n\n"
                  "Register the dravel, create its trigger and main tasks and start ticking."),
      pyco::plain("change_output_task", change_output_task_method,
                  "change_output_task($self, task)\n--\n\n"
                  "Make `task` (a task key) the consumer, unlinking the previous one."),
      pyco::plain("_counters", counters_method,
                  "_counters($self)\n--\n\n"
                  "What the dravel has done: {\"taken\": frames handed to the consumer, "
                  "\"skipped\": frames dropped from its buffers, \"delay\": the spacing now}. "
                  "velkor.velkor.stats() reports it."),
      pyco::coroutine("run", run_impl,
                      "run($self)\n--\n\n"
                      "One tick: take at most one frame from a random buffer and hand its data to "
                      "the consumer, adjusting the spacing `delay`."),
  };
  PyObject* cls = velkor_common::bind_class<Dravel>(
      m, "dravel",
      "dravel(name, WT_sleep, optimum_delay, zarib=1.01, output_task=None, buffers_list=[], "
      "**kwargs)\n\n"
      "A paced drain of time-stamped frame buffers (velkor.velkor.buffer records) into one\n"
      "consumer task. Every WT_sleep seconds it takes at most one frame from a random buffer,\n"
      "skipping frames closer than `delay` to the last one taken from it; `delay` grows by\n"
      "`zarib` per frame taken and shrinks back towards `optimum_delay` when none is.\n"
      "Registered in velkor_state.dravel_dict; a name already registered prints\n"
      "\"Dravel <name> exists!\". Runs on the node's shared \"buffer_router\" runner.",
      methods);
}

}  // namespace velkor_dravel
