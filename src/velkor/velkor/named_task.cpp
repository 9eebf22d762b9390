// named_task.cpp - loop.create_task(coro, name=name), made directly as an
// asyncio.Task when that is all the loop's own create_task would do.
#include "named_task.hpp"

namespace velkor {
namespace {

PyObject* g_uv_create_task = nullptr;    // uvloop.Loop.create_task, once uvloop is loaded

// Whether `method` (a loop class's create_task) is asyncio's or uvloop's own.
bool library_create_task(PyObject* method) {
  if (method == names().asyncio_BaseEventLoop_create_task) return true;
  if (!g_uv_create_task) {
    Ref uv = Ref::steal(PyImport_GetModule(names().s_uvloop));  // loaded by the application, or not
    if (!uv) {
      PyErr_Clear();
      return false;
    }
    PyObject* loop_type = nullptr;
    if (PyObject_GetOptionalAttr(uv.get(), names().s_Loop, &loop_type) <= 0) {
      PyErr_Clear();
      return false;
    }
    Ref lt = Ref::steal(loop_type);
    PyObject* m = nullptr;
    if (PyObject_GetOptionalAttr(lt.get(), names().s_create_task, &m) <= 0) {
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
                               names().s_create_task, &method) < 0)
    return nullptr;
  Ref m = Ref::steal(method);
  if (m && library_create_task(m.get())) {
    Ref factory = Ref::steal(PyObject_CallMethodNoArgs(loop, names().s_get_task_factory));
    if (!factory) return nullptr;
    Ref debug = Ref::steal(PyObject_CallMethodNoArgs(loop, names().s_get_debug));
    if (!debug) return nullptr;
    if (factory.get() == Py_None && debug.get() == Py_False) {
      if (eager) {
        if (started) *started = true;
        PyObject* argv[] = {coro, loop, name, Py_True};
        return PyObject_Vectorcall(names().asyncio_Task, argv, 1, names().kw_loop_name_eager);
      }
      PyObject* argv[] = {coro, loop, name};
      return PyObject_Vectorcall(names().asyncio_Task, argv, 1, names().kw_loop_name);
    }
  }
  PyObject* argv[] = {loop, coro, name};
  return PyObject_VectorcallMethod(names().s_create_task, argv,
                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names().kw_name);
}

}  // namespace velkor
