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

#include "common/shell.hpp"
#include "pyco/method.hpp"
#include "pyco/util.hpp"

namespace velkor_dravel {
namespace {

using pyco::check;
using pyco::check_int;
using pyco::Ref;

struct Names {
  PyObject* module = nullptr;  // velkor.dravel itself (borrowed: it outlives its class)
  Ref state, engine;
  Ref s_dravel_dict, s_network_node, s_name, s_loop_threads, s_Tasks, s_Real_tasks,
      s_async_task, s_trig_output, s_start, s_kwargs, s_delay, s_optimum_delay, s_zarib,
      s_buffers_list, s_output_task, s_insert_input_tasks, s_insert_incode_input_tasks,
      s_delete_incode_input_tasks, s_insert_kwargs_buffer, s_run, s_buffer,
      s_buffer_threading_lock, s_last_time, s_buffer_timestamp, s_data, s_random, s_choice,
      s_copy, s_change_output_task, s_buffer_router_suffix, s_buffer_router, s_dravel_prefix,
      s_trigger_prefix;
  Ref kw_name, kw_trigger_args, kw_main_args, kw_data, kw_trig;
};
Names* n_ = nullptr;
Names& N() { return *n_; }

Ref shared(PyObject* name) { return pyco::getattr(N().state.get(), name); }
Ref node_text() {
  Ref node = pyco::getattr(shared(N().s_network_node.get()).get(), N().s_name.get());
  return check(PyObject_Str(node.get()));
}
Ref key_of(PyObject* prefix, PyObject* name) {
  return check(PyUnicode_FromFormat("%U,%U%U", node_text().get(), prefix, name));
}
// The dravel's own task key: the key of its main task.
Ref own_key(PyObject* self) {
  return key_of(N().s_dravel_prefix.get(), pyco::getattr(self, N().s_name.get()).get());
}
Ref one_list(PyObject* item) {
  Ref l = check(PyList_New(1));
  PyList_SET_ITEM(l.get(), 0, Py_NewRef(item));
  return l;
}
Ref task(PyObject* key) {
  return check(PyObject_GetItem(shared(N().s_Tasks.get()).get(), key));
}

// bisect.bisect_right(frames, x, key=lambda f: f["buffer_timestamp"]): the
// number of frames whose timestamp is at most x.
Py_ssize_t bisect_right(PyObject* frames, PyObject* x) {
  Py_ssize_t lo = 0, hi = check_int(PyObject_Length(frames));
  while (lo < hi) {
    const Py_ssize_t mid = lo + (hi - lo) / 2;
    Ref frame = check(PySequence_GetItem(frames, mid));
    Ref stamp = check(PyObject_GetItem(frame.get(), N().s_buffer_timestamp.get()));
    if (check_int(PyObject_RichCompareBool(x, stamp.get(), Py_LT))) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

// Under the buffer's lock: the frame to deliver from `buff`, or null.
Ref take_frame(PyObject* self, PyObject* buff) {
  Names& n = N();
  Ref lock = pyco::getattr(buff, n.s_buffer_threading_lock.get());
  pyco::LockGuard hold(lock.get());
  Ref frames = pyco::getattr(buff, n.s_buffer.get());
  if (check_int(PyObject_Length(frames.get())) == 0) return Ref();
  Ref last = pyco::getattr(buff, n.s_last_time.get());
  Py_ssize_t index = 0;
  if (last.get() != Py_None) {
    Ref delay = pyco::getattr(self, n.s_delay.get());
    Ref bound = check(PyNumber_Add(last.get(), delay.get()));
    index = bisect_right(frames.get(), bound.get());
    if (index >= check_int(PyObject_Length(frames.get()))) return Ref();
  }
  Ref frame = check(PySequence_GetItem(frames.get(), index));
  // Out of the list before its timestamp is read: a frame without one is
  // dropped (the error reaches the engine) instead of blocking the buffer.
  check_int(PySequence_DelSlice(frames.get(), 0, index + 1));
  Ref stamp = check(PyObject_GetItem(frame.get(), n.s_buffer_timestamp.get()));
  check_int(PyObject_SetAttr(buff, n.s_last_time.get(), stamp.get()));
  return frame;
}

// run(): one tick.
pyco::CoroNone run_body(Ref self) {
  Names& n = N();
  Ref output = pyco::getattr(self.get(), n.s_output_task.get());
  Ref buffers = pyco::getattr(self.get(), n.s_buffers_list.get());
  const Py_ssize_t count = check_int(PyObject_Length(buffers.get()));
  if (output.get() == Py_None || count == 0) co_return;
  Ref random = pyco::getattr(n.module, n.s_random.get());  // the module-level name
  Ref buff = pyco::call_method(random.get(), n.s_choice.get(), buffers);
  Ref frame = take_frame(self.get(), buff.get());
  Ref delay = pyco::getattr(self.get(), n.s_delay.get());
  Ref zarib = pyco::getattr(self.get(), n.s_zarib.get());
  if (!frame) {
    Ref root = check(PyNumber_Power(zarib.get(), check(PyFloat_FromDouble(1.0 / count)).get(), Py_None));
    Ref smaller = check(PyNumber_TrueDivide(delay.get(), root.get()));
    Ref floor = pyco::getattr(self.get(), n.s_optimum_delay.get());
    const bool below = check_int(PyObject_RichCompareBool(floor.get(), smaller.get(), Py_GT));
    check_int(PyObject_SetAttr(self.get(), n.s_delay.get(), below ? floor.get() : smaller.get()));
    co_return;
  }
  Ref grown = check(PyNumber_Multiply(delay.get(), zarib.get()));
  check_int(PyObject_SetAttr(self.get(), n.s_delay.get(), grown.get()));
  Ref data = check(PyObject_GetItem(frame.get(), n.s_data.get()));
  Ref consumer = task(output.get());
  pyco::vcall_kw(pyco::getattr(consumer.get(), n.s_insert_kwargs_buffer.get()).get(),
                 {data.get()}, n.kw_data.get());
  Ref trig = pyco::getattr(n.engine.get(), n.s_trig_output.get());
  Ref key = own_key(self.get());
  Ref outputs = one_list(output.get());
  Ref handing = pyco::vcall_kw(trig.get(), {key.get(), outputs.get()}, n.kw_trig.get());
  co_await std::move(handing);
}

pyco::Frame run_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("run", a, na, kw, {"self"}, 1, p);
  return run_body(std::move(p[0]));
}

Ref change_output_task(PyObject* self, Ref* p) {
  Names& n = N();
  nb::handle new_task(p[0].get());
  Ref key = own_key(self);
  Ref current = pyco::getattr(self, n.s_output_task.get());
  if (current.get() != Py_None)
    pyco::call_method(task(current.get()).get(), n.s_delete_incode_input_tasks.get(), one_list(key.get()));
  check_int(PyObject_SetAttr(self, n.s_output_task.get(), new_task.ptr()));
  pyco::call_method(task(new_task.ptr()).get(), n.s_insert_incode_input_tasks.get(), one_list(key.get()));
  return Ref();
}

PYCO_METHOD(change_output_task, "change_output_task", 1, "task")

struct Dravel {};

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
  Names& n = N();
  // Registered under the name's text, so the test uses the text too.
  Ref text = check(PyObject_Str(name));
  Ref dravels = shared(n.s_dravel_dict.get());
  if (check_int(PySequence_Contains(dravels.get(), text.get()))) {
    Ref line = check(PyUnicode_FromFormat("Dravel %U exists!", text.get()));
    Ref builtins = check(PyImport_ImportModule("builtins"));
    pyco::call(pyco::getattr(builtins.get(), pyco::intern("print").get()).get(), line);
    return;
  }
  check_int(PyObject_SetAttr(self, n.s_name.get(), text.get()));
  check_int(PyObject_SetItem(dravels.get(), text.get(), self));
  check_int(PyObject_SetAttr(self, n.s_kwargs.get(), kwargs));
  check_int(PyObject_SetAttr(self, n.s_delay.get(), optimum_delay));
  check_int(PyObject_SetAttr(self, n.s_optimum_delay.get(), optimum_delay));
  check_int(PyObject_SetAttr(self, n.s_zarib.get(), zarib));
  Ref copy = pyco::call_method(buffers_list, n.s_copy.get());
  check_int(PyObject_SetAttr(self, n.s_buffers_list.get(), copy.get()));
  // The node's dispatch runner, shared by its routers and dravels.
  Ref runner_key = check(PyUnicode_Concat(node_text().get(), n.s_buffer_router_suffix.get()));
  if (!check_int(PySequence_Contains(shared(n.s_loop_threads.get()).get(), runner_key.get()))) {
    Ref rt = pyco::getattr(n.engine.get(), n.s_Real_tasks.get());
    pyco::vcall_kw(rt.get(), {n.s_buffer_router.get()}, n.kw_name.get());
    Ref runner = check(PyObject_GetItem(shared(n.s_loop_threads.get()).get(), runner_key.get()));
    pyco::call_method(runner.get(), n.s_start.get());
  }
  Ref task_class = pyco::getattr(n.engine.get(), n.s_async_task.get());
  Ref trigger_name = check(PyUnicode_Concat(n.s_trigger_prefix.get(), text.get()));
  Ref two = check(PyLong_FromLong(2));
  pyco::vcall_kw(task_class.get(), {runner_key.get(), trigger_name.get(), two.get(), wt_sleep, Py_False},
                 n.kw_trigger_args.get());
  Ref main_name = check(PyUnicode_Concat(n.s_dravel_prefix.get(), text.get()));
  Ref run = pyco::getattr(self, n.s_run.get());
  Ref zero = check(PyLong_FromLong(0));
  Ref one = check(PyLong_FromLong(1));
  pyco::vcall_kw(task_class.get(),
                 {runner_key.get(), main_name.get(), run.get(), zero.get(), Py_False, one.get()},
                 n.kw_main_args.get());
  Ref trigger_key = key_of(n.s_trigger_prefix.get(), text.get());
  Ref main_key = own_key(self);
  pyco::call_method(task(main_key.get()).get(), n.s_insert_input_tasks.get(), one_list(trigger_key.get()));
  check_int(PyObject_SetAttr(self, n.s_output_task.get(), Py_None));
  if (output_task != Py_None)
    pyco::call_method(self, n.s_change_output_task.get(), Ref::borrow(output_task));
  pyco::call_method(task(trigger_key.get()).get(), n.s_run.get());
}

PyObject* g_no_buffers = nullptr;  // the default of buffers_list (held for good)

PyObject* dravel_init_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return pyco::guard([&]() -> PyObject* {
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
  auto* n = new Names;
  n->module = m.ptr();
  n->state = check(PyImport_ImportModule("Velkor.Velkor_state"));
  n->engine = check(PyImport_ImportModule("Velkor.Velkor"));
  struct Name { Ref* slot; const char* text; };
  const Name names[] = {
      {&n->s_dravel_dict, "dravel_dict"}, {&n->s_network_node, "network_node"},
      {&n->s_name, "name"}, {&n->s_loop_threads, "loop_threads"}, {&n->s_Tasks, "Tasks"},
      {&n->s_Real_tasks, "Real_tasks"}, {&n->s_async_task, "async_task"},
      {&n->s_trig_output, "trig_output"}, {&n->s_start, "start"}, {&n->s_kwargs, "kwargs"},
      {&n->s_delay, "delay"}, {&n->s_optimum_delay, "optimum_delay"}, {&n->s_zarib, "zarib"},
      {&n->s_buffers_list, "buffers_list"}, {&n->s_output_task, "output_task"},
      {&n->s_insert_input_tasks, "insert_input_tasks"},
      {&n->s_insert_incode_input_tasks, "insert_incode_input_tasks"},
      {&n->s_delete_incode_input_tasks, "delete_incode_input_tasks"},
      {&n->s_insert_kwargs_buffer, "insert_kwargs_buffer"}, {&n->s_run, "run"},
      {&n->s_buffer, "buffer"}, {&n->s_buffer_threading_lock, "buffer_threading_lock"},
      {&n->s_last_time, "last_time"}, {&n->s_buffer_timestamp, "buffer_timestamp"},
      {&n->s_data, "data"}, {&n->s_random, "random"}, {&n->s_choice, "choice"},
      {&n->s_copy, "copy"}, {&n->s_change_output_task, "change_output_task"},
      {&n->s_buffer_router_suffix, ",buffer_router"}, {&n->s_buffer_router, "buffer_router"},
      {&n->s_dravel_prefix, "dravel_"}, {&n->s_trigger_prefix, "trigger_dravel_"}};
  for (const Name& x : names) *x.slot = pyco::intern(x.text);
  n->kw_name = pyco::kwnames({"name"});
  n->kw_trigger_args = pyco::kwnames({"loop_thread", "name", "WT", "WT_sleep", "CPU_bound"});
  n->kw_main_args =
      pyco::kwnames({"loop_thread", "name", "task", "WT", "CPU_bound", "Task_buffer_available"});
  n->kw_data = pyco::kwnames({"data"});
  n->kw_trig = pyco::kwnames({"my_task", "output_tasks"});
  n_ = n;

  // The default of buffers_list: one empty list, only ever copied.
  g_no_buffers = check(PyList_New(0)).release();
  static PyType_Slot shell_slots[] = {VELKOR_SHELL_SLOTS, {0, nullptr}};
  auto cls = nb::class_<Dravel>(
      m, "dravel", nb::dynamic_attr(), nb::type_slots(shell_slots),
      "dravel(name, WT_sleep, optimum_delay, zarib=1.01, output_task=None, buffers_list=[], "
      "**kwargs)\n\n"
      "A paced drain of time-stamped frame buffers (velkor.velkor.buffer records) into one\n"
      "consumer task. Every WT_sleep seconds it takes at most one frame from a random buffer,\n"
      "skipping frames closer than `delay` to the last one taken from it; `delay` grows by\n"
      "`zarib` per frame taken and shrinks back towards `optimum_delay` when none is.\n"
      "Registered in velkor_state.dravel_dict; a name already registered prints\n"
      "\"Dravel <name> exists!\". Runs on the node's shared \"buffer_router\" runner.");
  const pyco::Method methods[] = {
      pyco::plain("__init__", dravel_init_method,
                  "__init__($self, name, WT_sleep, optimum_delay, zarib=1.01, output_task=None, "
                  "buffers_list=[], **kwargs)\n--\n\n"
                  "Register the dravel, create its trigger and main tasks and start ticking."),
      pyco::plain("change_output_task", change_output_task_method,
                  "change_output_task($self, task)\n--\n\n"
                  "Make `task` (a task key) the consumer, unlinking the previous one."),
      pyco::coroutine("run", run_impl,
                      "run($self)\n--\n\n"
                      "One tick: take at most one frame from a random buffer and hand its data to "
                      "the consumer, adjusting the spacing `delay`."),
  };
  pyco::add_methods(cls.ptr(), "velkor.dravel", methods);
}

}  // namespace velkor_dravel
