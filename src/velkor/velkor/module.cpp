// module.cpp - the engine module velkor.velkor: binds its names in order.
// Importing it creates classes, functions and default values only.
#include <cstdlib>
#include <cstring>
#include <span>

#include "engine.hpp"
#include "pyco/method.hpp"
#include "runner.hpp"
#include "submission.hpp"

namespace velkor {
namespace {

void bind_import(nb::module_& m, const char* name, const char* module) {
  Ref mod = check(PyImport_ImportModule(module));
  check_int(PyModule_AddObjectRef(m.ptr(), name, mod.get()));
}

void bind_from(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
  Ref mod = check(PyImport_ImportModule(module));
  for (const char* n : names) {
    Ref obj = check(PyObject_GetAttrString(mod.get(), n));
    check_int(PyModule_AddObjectRef(m.ptr(), n, obj.get()));
  }
}

// At exit, daemon threads that are still running (runner threads, or the
// application's own) may hold engine objects: the interpreter ends them
// without unwinding their Python state, so those objects are never freed.
// That is expected, and an application must not see it reported as a leak.
// Leak reports are a development signal: they stay on only in a process
// that asks for them (VELKOR_LEAK_CHECK=1, as the test suite does) and has
// no runner thread left.
PyObject* at_exit(PyObject*, PyObject*) {
  const char* check = std::getenv("VELKOR_LEAK_CHECK");
  const bool wanted = check && std::strcmp(check, "1") == 0;
  if (!wanted || live_runner_threads() > 0) nb::set_leak_warnings(false);
  Py_RETURN_NONE;
}
PyMethodDef at_exit_def = {"_velkor_at_exit", at_exit, METH_NOARGS, nullptr};

// _submit(runner, func, /, *args, **kwargs)
PyObject* submit_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pyco::guard_function(submit_function, [&]() -> PyObject* {
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    if (n < 2) {
      PyErr_SetString(PyExc_TypeError, "_submit() takes a runner and a function");
      pyco::throw_current();
    }
    submit(args[0], Ref::borrow(args[1]), pyco::positional_tuple(args + 2, n - 2),
           pyco::keyword_dict(args + n, kwnames));
    return Py_NewRef(Py_None);
  });
}

// The module's functions (its classes bind their own methods).
const pyco::Method kFunctions[] = {
    pyco::coroutine("waiter", waiter_impl,
                    "waiter(tasks_events)\n--\n\n"
                    "Wait until at least one event of the table (key -> asyncio.Event of this "
                    "loop) is set; return the keys of all events set at that moment, in table "
                    "order."),
    pyco::coroutine(
        "trig_output", trig_output_impl,
        "trig_output(my_task, output_tasks, tag=None)\n--\n\n"
        "Run on the producer's runner: start each consumer of output_tasks as soon as its "
        "service-available event is set, in the order they become available; mode 0 "
        "consumers by run(tag), mode 1 consumers by setting their tag and their trigger "
        "event. Consumers without a mirror on this runner, of another node, or gone "
        "while waiting are passed over."),
    pyco::coroutine(
        "event_config", event_config_impl,
        "event_config(l_t, event, value)\n--\n\n"
        "Create or update the mirror of the event `event` (a full event name) on runner `l_t` "
        "(a loop-thread key): a new asyncio.Event in its Events_async, set when `value` is "
        "true; an existing mirror is set or cleared after `value`. Runs on that runner's loop "
        "only. A failure prints its traceback; the result is None."),
    pyco::plain("_submit", submit_function,
                "_submit(runner, func, /, *args, **kwargs)\n--\n\n"
                "Hand func(*args, **kwargs) to the runner's loop the way the engine hands over "
                "its own work: the coroutine is built on the loop thread and run as a task "
                "there; the outcome is not reported. Raises RuntimeError if the runner's loop is "
                "closed."),
    pyco::plain(
        "stats", stats_method,
        "stats()\n--\n\n"
        "One snapshot of the engine's counters, as plain Python data:\n\n"
        "    {\"time\": time.monotonic() when taken,\n"
        "     \"tasks\": {task key: {...}}, \"runners\": {loop-thread key: {...}},\n"
        "     \"routers\": {router name: {...}}, \"dravels\": {dravel name: {...}}}\n\n"
        "Each task, runner, router and dravel appears while it is registered in its table of "
        "velkor_state (Tasks, loop_threads, router_dict, dravel_dict). Counts and seconds only "
        "grow: rates are the difference of two snapshots over the difference of their times.\n\n"
        "Per task: runs (calls of the work function started, every mode; a pass-through step "
        "too), errors (steps reported with \"task has error!!!\"), inserts "
        "(insert_kwargs_buffer calls that stored data, a tagged merge included), refused "
        "(insert_kwargs_buffer calls refused), trimmed (entries dropped by the "
        "kwargs_buffer_len trim), buffered (entries in kwargs_buffer now), busy_s (seconds "
        "from the call of the work function to its end, awaits included), waiting_s (seconds "
        "its steps spent in trig_output waiting for consumers to become ready), available "
        "(Task_buffer_available now), runner (the key of its runner).\n\n"
        "Per runner: submitted (jobs handed to it), pending (jobs handed over that its loop "
        "has not taken yet), running (whether its loop runs).\n\n"
        "Per router: dispatched ({consumer key: items handed to it}), dropped (items that "
        "reached no consumer).\n\n"
        "Per dravel: taken (frames handed to its consumer), skipped (frames dropped from its "
        "buffers without being handed on), delay (its spacing now, in seconds)."),
};

}  // namespace
}  // namespace velkor

NB_MODULE(velkor, m) {
  using namespace velkor;
  try {
    // Tracebacks name the module's functions in this module's file.
    if (pyco::set_trace_module(m.ptr()) < 0) pyco::throw_current();
    if (pyco::create_api(m.ptr(), "velkor") < 0) pyco::throw_current();
    register_exception_translator();
    init_engine();
    m.doc() =
        "velkor's engine: tasks, runners, events and the network node.\n\n"
        "Runners (Real_tasks) own an asyncio loop driven by a daemon thread of their own; "
        "the node (net_node) names the process and offers a raw TCP server and client.";
    bind_import(m, "velkor_state", "velkor.velkor_state");
    bind_import(m, "asyncio", "asyncio");
    bind_import(m, "np", "numpy");
    bind_import(m, "threading", "threading");
    bind_import(m, "nx", "networkx");
    bind_import(m, "concurrent", "concurrent");
    bind_from(m, "concurrent.futures", {"ProcessPoolExecutor", "ThreadPoolExecutor"});
    bind_from(m, "queue", {"PriorityQueue"});
    bind_import(m, "pyplot", "matplotlib.pyplot");
    bind_import(m, "inspect", "inspect");
    bind_import(m, "traceback", "traceback");
    bind_import(m, "time", "time");
    bind_import(m, "copy", "copy");
    bind_import(m, "random", "random");
    bind_import(m, "bisect", "bisect");
    bind_from(m, "collections", {"defaultdict", "deque"});
    bind_net_node(m);
    bind_graph_view(m);
    bind_runner(m);
    bind_task(m);
    // The functions take their places between the classes.
    const std::span<const pyco::Method> functions(kFunctions);
    pyco::add_functions(m.ptr(), functions.subspan(0, 2));  // waiter, trig_output
    bind_event(m);
    pyco::add_functions(m.ptr(), functions.subspan(2, 1));  // event_config
    bind_buffer_record(m);
    pyco::add_functions(m.ptr(), functions.subspan(3));     // _submit, stats
    init_trigger_functions(m.ptr());
    init_event_config(m.ptr());

    Ref hook = check(PyCFunction_New(&at_exit_def, nullptr));
    Ref atexit = check(PyImport_ImportModule("atexit"));
    pyco::call_method(atexit.get(), pyco::intern("register").get(), hook);
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nb::python_error();
  }
}
