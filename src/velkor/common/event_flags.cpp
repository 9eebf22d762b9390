// common/event_flags.cpp - see event_flags.hpp.
#include "event_flags.hpp"

#include "names.hpp"

namespace velkor_common {

using pyco::check;
using pyco::check_int;

bool own_event_method(PyObject* event, PyObject* name, PyObject* method) {
  return Py_TYPE(event) == reinterpret_cast<PyTypeObject*>(names().asyncio_Event) &&
         _PyType_Lookup(Py_TYPE(event), name) == method;
}

int event_flag(PyObject* event) {
  if (!own_event_method(event, names().s_is_set, names().asyncio_Event_is_set)) return -1;
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(event, names().s__value, &value) <= 0) {
    PyErr_Clear();
    return -1;
  }
  Ref v = Ref::steal(value);
  if (v.get() == Py_True) return 1;
  return v.get() == Py_False ? 0 : -1;
}

Ref set_keys(PyObject* table) {
  Ref ready = check(PyList_New(0));
  if (PyDict_CheckExact(table)) {
    // Walk the table's own entries while every event is an asyncio.Event
    // read without a call (nothing runs that could change the table);
    // otherwise start over on a copy of the items.
    Py_ssize_t pos = 0;
    PyObject *key, *event;
    bool all_read = true;
    while (PyDict_Next(table, &pos, &key, &event)) {
      const int set = event_flag(event);
      if (set < 0) {
        all_read = false;
        break;
      }
      if (set) check_int(PyList_Append(ready.get(), key));
    }
    if (all_read) return ready;
    check_int(PyList_SetSlice(ready.get(), 0, PyList_GET_SIZE(ready.get()), nullptr));
  }
  Ref items = check(PyMapping_Items(table));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    Ref set = pyco::call_method(PyTuple_GET_ITEM(item, 1), names().s_is_set);
    if (check_int(PyObject_IsTrue(set.get())))
      check_int(PyList_Append(ready.get(), PyTuple_GET_ITEM(item, 0)));
  }
  return ready;
}

}  // namespace velkor_common
