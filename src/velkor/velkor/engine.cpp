// engine.cpp - the engine module's shared names and the state accessor.
#include "engine.hpp"

#include "attr_cache.hpp"
#include "common/keys.hpp"
#include "common/names.hpp"

namespace velkor {

Globals& g() {
  static Globals* globals = new Globals;  // never destroyed, see engine.hpp
  return *globals;
}



namespace {
DictCache g_state_cache;  // the entries state_attr read from the module's dict
}  // namespace

Ref state_attr(PyObject* name) {
  // The module's own dict holds every attribute it has; a name missing
  // there goes through getattr (module __getattr__, the AttributeError).
  if (PyObject* value =
          cached_item(g_state_cache, PyModule_GetDict(g().state_module.get()), name))
    return Ref::steal(value);
  PyErr_Clear();
  return pyco::getattr(g().state_module.get(), name);
}

Ref node_name() {
  Ref node = state_attr(g().s_network_node.get());
  return pyco::getattr(node.get(), g().s_name.get());
}





bool is_local_key(PyObject* key) { return velkor_common::key_of_node(key, node_name().get()); }

void print_object(PyObject* obj) { pyco::call(g().builtins_print.get(), Ref::borrow(obj)); }

PyObject* add_coroutine_method(nb::handle cls, pyco::CoroImpl impl, const char* name,
                               const char* qualname, const char* doc) {
  Ref f = check(pyco::new_function(impl, name, qualname, "velkor.velkor", doc));
  check_int(PyObject_SetAttrString(cls.ptr(), name, f.get()));
  return f.get();  // the class keeps it
}

void register_exception_translator() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const pyco::BaseException& e) {
      e.restore();
    }
  });
}

void init_globals(PyObject* module) {
  Globals& G = g();
  (void)module;
  pyco::init_util();
  velkor_common::init_names();
  G.state_module = check(PyImport_ImportModule("velkor.velkor_state"));
  Ref builtins = check(PyImport_ImportModule("builtins"));
  G.builtins_print = check(PyObject_GetAttrString(builtins.get(), "print"));
  G.asyncio = check(PyImport_ImportModule("asyncio"));
  auto A = [&](const char* n) { return check(PyObject_GetAttrString(G.asyncio.get(), n)); };
  G.all_tasks = A("all_tasks");
  G.gather = A("gather");
  G.new_event_loop = A("new_event_loop");
  G.set_event_loop = A("set_event_loop");
  G.PriorityQueue = A("PriorityQueue");
  G.Task = A("Task");
  G.run = A("run");
  G.start_server = A("start_server");
  G.open_connection = A("open_connection");
  Ref threading = check(PyImport_ImportModule("threading"));
  G.threading_Thread = check(PyObject_GetAttrString(threading.get(), "Thread"));

  struct Name { Ref* slot; const char* text; };
  const Name names[] = {
      {&G.s_name, "name"}, {&G.s_loop, "loop"}, {&G.s_Events_async, "Events_async"},
      {&G.s_executor, "executor"}, {&G.s_append_task_queue, "append_task_queue"},
      {&G.s_loop_thread, "loop_thread"}, {&G.s_cancel, "cancel"}, {&G.s_get_name, "get_name"},
      {&G.s_create_task, "create_task"}, {&G.s_run_in_executor, "run_in_executor"},
      {&G.s_stop, "stop"}, {&G.s_is_closed, "is_closed"}, {&G.s_is_running, "is_running"}, {&G.s_run_forever, "run_forever"},
      {&G.s_close, "close"}, {&G.s_call_soon_threadsafe, "call_soon_threadsafe"},
      {&G.s_call_soon, "call_soon"},
      {&G.s_done, "done"}, {&G.s_cancelled, "cancelled"}, {&G.s_exception, "exception"},
      {&G.s_add_done_callback, "add_done_callback"}, {&G.s_network_node, "network_node"},
      {&G.s_loop_threads, "loop_threads"}, {&G.s_Tasks, "Tasks"}, {&G.s_task, "task"},
      {&G.s_start, "start"}, {&G.s_split, "split"},
      {&G.s_run_until_complete, "run_until_complete"},
      {&G.s_shutdown_asyncgens, "shutdown_asyncgens"}, {&G.s_read, "read"},
      {&G.s_write, "write"}, {&G.s_drain, "drain"}, {&G.s_wait_closed, "wait_closed"},
      {&G.s_write_eof, "write_eof"}, {&G.s_can_write_eof, "can_write_eof"},
      {&G.s_serve_forever, "serve_forever"}, {&G.s_aenter, "__aenter__"},
      {&G.s_aexit, "__aexit__"}, {&G.s_port, "port"}, {&G.s_address, "address"},
      {&G.s_server, "server"}, {&G.s_handle_client, "handle_client"},
      {&G.s_append_task, "append_task"}, {&G.s__stop, "_stop"},
      {&G.s_run_asyncio_in_thread, "run_asyncio_in_thread"},
      {&G.s_comma, ","},
  };
  for (const Name& n : names) *n.slot = pyco::intern(n.text);
  init_attr_cache();
  // The shared-state names read on every step ("Events" and "waiter" are
  // held for good here; their users intern their own references).
  register_cached_names({G.s_Tasks.get(), G.s_loop_threads.get(), G.s_network_node.get(),
                         pyco::intern("Events").release(), pyco::intern("waiter").release()});
  G.kw_name = kwnames({"name"});
  G.kw_loop_eager = kwnames({"loop", "eager_start"});
  G.kw_return_exceptions = kwnames({"return_exceptions"});
  G.kw_target_daemon_name = kwnames({"target", "daemon", "name"});
  G.empty_tuple = check(PyTuple_New(0));
  G.zero = check(PyLong_FromLong(0));
  G.one = check(PyLong_FromLong(1));
  G.two = check(PyLong_FromLong(2));
  G.s_set = pyco::intern("set");
}

}  // namespace velkor
