// engine.cpp - the engine module's shared names and the state accessor.
#include "engine.hpp"

namespace velkor {

Globals& g() {
  static Globals* globals = new Globals;  // never destroyed, see engine.hpp
  return *globals;
}

Ref kwnames(std::initializer_list<const char*> names) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, pyco::intern(n).release());
  return t;
}

Ref vcall_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwn) {
  const Py_ssize_t nkw = kwn ? PyTuple_GET_SIZE(kwn) : 0;
  return check(PyObject_Vectorcall(callable, args.begin(),
                                   static_cast<Py_ssize_t>(args.size()) - nkw, kwn));
}

Ref state_attr(PyObject* name) { return pyco::getattr(g().state_module.get(), name); }

Ref node_name() {
  Ref node = state_attr(g().s_network_node.get());
  return pyco::getattr(node.get(), g().s_name.get());
}

namespace {
// threading.Lock's type and its acquire/release method descriptors: a lock
// of that exact type is taken without looking the methods up.
PyObject* g_lock_type = nullptr;
PyObject* g_lock_acquire = nullptr;
PyObject* g_lock_release = nullptr;

PyObject* call_lock(PyObject* lock, PyObject* descr, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(lock)) == g_lock_type)
    return PyObject_Vectorcall(descr, &lock, 1, nullptr);
  Ref n = Ref::steal(PyUnicode_InternFromString(name));
  return n ? PyObject_CallMethodNoArgs(lock, n.get()) : nullptr;
}
}  // namespace

LockGuard::LockGuard(PyObject* lock) : lock_(Ref::borrow(lock)) {
  Ref r = check(call_lock(lock, g_lock_acquire, "acquire"));
}

LockGuard::~LockGuard() {
  if (!PyThreadState_GetUnchecked()) return;  // a thread being ended at exit
  // Keep an exception in flight (the reason the scope is being left) across
  // the call.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* r = call_lock(lock_.get(), g_lock_release, "release");
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(lock_.get());
  }
  PyErr_SetRaisedException(pending);
}

bool equals_int(PyObject* v, long value) {
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) pyco::throw_current();
    return !overflow && x == value;
  }
  Ref other = check(PyLong_FromLong(value));
  return check_int(PyObject_RichCompareBool(v, other.get(), Py_EQ)) != 0;
}

bool is_local_key(PyObject* key) {
  Ref node = node_name();
  Ref fields = pyco::call_method(key, g().s_split.get(), g().s_comma);
  Ref first = check(PySequence_GetItem(fields.get(), 0));
  return check_int(PyObject_RichCompareBool(first.get(), node.get(), Py_EQ)) != 0;
}

void print_object(PyObject* obj) { pyco::call(g().builtins_print.get(), Ref::borrow(obj)); }

void add_coroutine_method(nb::handle cls, pyco::CoroImpl impl, const char* name,
                          const char* qualname, const char* doc) {
  Ref f = check(pyco::new_function(impl, name, qualname, "velkor.velkor", doc));
  check_int(PyObject_SetAttrString(cls.ptr(), name, f.get()));
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
  {
    Ref lock = check(PyObject_CallMethod(threading.get(), "Lock", nullptr));
    g_lock_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())));
    g_lock_acquire = check(PyObject_GetAttrString(g_lock_type, "acquire")).release();
    g_lock_release = check(PyObject_GetAttrString(g_lock_type, "release")).release();
  }

  struct Name { Ref* slot; const char* text; };
  const Name names[] = {
      {&G.s_name, "name"}, {&G.s_loop, "loop"}, {&G.s_Events_async, "Events_async"},
      {&G.s_executor, "executor"}, {&G.s_append_task_queue, "append_task_queue"},
      {&G.s_loop_thread, "loop_thread"}, {&G.s_cancel, "cancel"}, {&G.s_get_name, "get_name"},
      {&G.s_create_task, "create_task"}, {&G.s_run_in_executor, "run_in_executor"},
      {&G.s_stop, "stop"}, {&G.s_is_closed, "is_closed"}, {&G.s_run_forever, "run_forever"},
      {&G.s_close, "close"}, {&G.s_call_soon_threadsafe, "call_soon_threadsafe"},
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
