// named_task.cpp - loop.create_task(coro, name=name), made directly as an
// asyncio.Task when that is all the loop's own create_task would do.
#include "named_task.hpp"

namespace velkor {
namespace {

PyObject* g_base_create_task = nullptr;  // asyncio.BaseEventLoop.create_task
PyObject* g_uv_create_task = nullptr;    // uvloop.Loop.create_task, once uvloop is loaded
PyObject* g_kw_loop_name = nullptr;      // ("loop", "name")
PyObject* g_kw_loop_name_eager = nullptr;  // ("loop", "name", "eager_start")
PyObject* g_s_get_task_factory = nullptr;
PyObject* g_s_get_debug = nullptr;
PyObject* g_s_uvloop = nullptr;
PyObject* g_s_Loop = nullptr;

// Whether `method` (a loop class's create_task) is asyncio's or uvloop's own.
bool library_create_task(PyObject* method) {
  if (method == g_base_create_task) return true;
  if (!g_uv_create_task) {
    Ref uv = Ref::steal(PyImport_GetModule(g_s_uvloop));  // loaded by the application, or not
    if (!uv) {
      PyErr_Clear();
      return false;
    }
    PyObject* loop_type = nullptr;
    if (PyObject_GetOptionalAttr(uv.get(), g_s_Loop, &loop_type) <= 0) {
      PyErr_Clear();
      return false;
    }
    Ref lt = Ref::steal(loop_type);
    PyObject* m = nullptr;
    if (PyObject_GetOptionalAttr(lt.get(), g().s_create_task.get(), &m) <= 0) {
      PyErr_Clear();
      return false;
    }
    g_uv_create_task = m;  // held for good: compared by identity
  }
  return method == g_uv_create_task;
}

}  // namespace

PyObject* create_named_task(PyObject* loop, PyObject* coro, PyObject* name, bool eager,
                            bool* started) {
  if (started) *started = false;
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(loop)),
                               g().s_create_task.get(), &method) < 0)
    return nullptr;
  Ref m = Ref::steal(method);
  if (m && library_create_task(m.get())) {
    Ref factory = Ref::steal(PyObject_CallMethodNoArgs(loop, g_s_get_task_factory));
    if (!factory) return nullptr;
    Ref debug = Ref::steal(PyObject_CallMethodNoArgs(loop, g_s_get_debug));
    if (!debug) return nullptr;
    if (factory.get() == Py_None && debug.get() == Py_False) {
      if (eager) {
        if (started) *started = true;
        PyObject* argv[] = {coro, loop, name, Py_True};
        return PyObject_Vectorcall(g().Task.get(), argv, 1, g_kw_loop_name_eager);
      }
      PyObject* argv[] = {coro, loop, name};
      return PyObject_Vectorcall(g().Task.get(), argv, 1, g_kw_loop_name);
    }
  }
  PyObject* argv[] = {loop, coro, name};
  return PyObject_VectorcallMethod(g().s_create_task.get(), argv,
                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET, g().kw_name.get());
}

void init_named_task() {
  Ref base = pyco::getattr(g().asyncio.get(), pyco::intern("BaseEventLoop").get());
  g_base_create_task = pyco::getattr(base.get(), g().s_create_task.get()).release();
  g_kw_loop_name = kwnames({"loop", "name"}).release();
  g_kw_loop_name_eager = kwnames({"loop", "name", "eager_start"}).release();
  g_s_get_task_factory = pyco::intern("get_task_factory").release();
  g_s_get_debug = pyco::intern("get_debug").release();
  g_s_uvloop = pyco::intern("uvloop").release();
  g_s_Loop = pyco::intern("Loop").release();
}

}  // namespace velkor
