// common/keys.cpp - see keys.hpp.
#include "keys.hpp"

namespace velkor_common {

bool key_of_node(PyObject* key, PyObject* node) {
  if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(node)) {
    // key.split(",")[0] == node, without building the list: the text
    // before the first comma (all of it when there is none) equals node.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    Py_ssize_t end = PyUnicode_FindChar(key, ',', 0, len, 1);
    if (end == -2) pyco::throw_current();
    if (end == -1) end = len;
    if (end != PyUnicode_GET_LENGTH(node)) return false;
    const Py_ssize_t match = PyUnicode_Tailmatch(key, node, 0, end, -1);
    if (match < 0) pyco::throw_current();
    return match == 1;
  }
  Ref split = pyco::intern("split");
  Ref comma = pyco::intern(",");
  Ref fields = pyco::check(PyObject_CallMethodOneArg(key, split.get(), comma.get()));
  Ref first = pyco::check(PySequence_GetItem(fields.get(), 0));
  return pyco::check_int(PyObject_RichCompareBool(first.get(), node, Py_EQ)) != 0;
}

}  // namespace velkor_common
