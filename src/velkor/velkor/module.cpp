// module.cpp - the engine module velkor.velkor: binds its names in order.
// Importing it creates classes, functions and default values only.
#include <cstdlib>
#include <cstring>

#include "engine.hpp"
#include "runner.hpp"

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

}  // namespace
}  // namespace velkor

NB_MODULE(velkor, m) {
  using namespace velkor;
  try {
    if (pyco::create_api(m.ptr(), "velkor") < 0) pyco::throw_current();
    register_exception_translator();
    init_globals(m.ptr());
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
    bind_waiter(m);
    bind_trig_output(m);
    bind_event(m);
    bind_event_config(m);
    bind_buffer_record(m);
    m.def(
        "_submit",
        [](nb::handle runner, nb::handle func, nb::args args, nb::kwargs kwargs) {
          submit(runner.ptr(), Ref::borrow(func.ptr()), Ref::borrow(args.ptr()),
                 PyDict_GET_SIZE(kwargs.ptr()) ? Ref::borrow(kwargs.ptr()) : Ref());
        },
        nb::arg("runner"), nb::arg("func"), nb::arg("args"), nb::arg("kwargs"),
        "_submit(runner, func, /, *args, **kwargs)\n\n"
        "Hand func(*args, **kwargs) to the runner's loop the way the engine hands over its "
        "own work: the coroutine is built on the loop thread and run as a task there; the "
        "outcome is not reported. Raises RuntimeError if the runner's loop is closed.");

    Ref hook = check(PyCFunction_New(&at_exit_def, nullptr));
    Ref atexit = check(PyImport_ImportModule("atexit"));
    pyco::call_method(atexit.get(), pyco::intern("register").get(), hook);
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nb::python_error();
  }
}
