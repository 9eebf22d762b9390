// common/keys.cpp - see keys.hpp.
#include "keys.hpp"

#include "names.hpp"

namespace velkor_common {

using pyco::check;

Ref key_of(PyObject* node, PyObject* name) {
  Ref node_text = check(PyObject_Str(node));
  Ref name_text = check(PyObject_Str(name));
  return check(PyUnicode_FromFormat("%U,%U", node_text.get(), name_text.get()));
}

Ref key_of(PyObject* node, PyObject* prefix, PyObject* name) {
  Ref node_text = check(PyObject_Str(node));
  Ref name_text = check(PyObject_Str(name));
  return check(PyUnicode_FromFormat("%U,%U%U", node_text.get(), prefix, name_text.get()));
}

namespace {

// The bounds [start, end) of field `index` of a str key; false when the key
// has fewer fields.
bool field_bounds(PyObject* key, Py_ssize_t index, Py_ssize_t* start, Py_ssize_t* end) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
  Py_ssize_t from = 0;
  for (Py_ssize_t i = 0;; ++i) {
    Py_ssize_t comma = PyUnicode_FindChar(key, ',', from, len, 1);
    if (comma == -2) pyco::throw_current();
    if (comma == -1) comma = len;
    if (i == index) {
      *start = from;
      *end = comma;
      return true;
    }
    if (comma == len) return false;
    from = comma + 1;
  }
}

// key.split(",") for a key that is not a str: whatever its split does.
Ref split(PyObject* key) {
  return pyco::call_method(key, names().s_split, Ref::borrow(names().s_comma));
}

}  // namespace

bool key_of_node(PyObject* key, PyObject* node) {
  if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(node)) {
    // Without building the list: field 0 has node's length and text.
    Py_ssize_t start, end;
    field_bounds(key, 0, &start, &end);
    if (end != PyUnicode_GET_LENGTH(node)) return false;
    const Py_ssize_t match = PyUnicode_Tailmatch(key, node, 0, end, -1);
    if (match < 0) pyco::throw_current();
    return match == 1;
  }
  Ref fields = split(key);
  Ref first = check(PySequence_GetItem(fields.get(), 0));
  return pyco::check_int(PyObject_RichCompareBool(first.get(), node, Py_EQ)) != 0;
}

Ref key_field(PyObject* key, Py_ssize_t index) {
  if (PyUnicode_CheckExact(key)) {
    Py_ssize_t start, end;
    if (!field_bounds(key, index, &start, &end)) pyco::raise(PyExc_IndexError, "list index out of range");
    return check(PyUnicode_Substring(key, start, end));
  }
  Ref fields = split(key);
  return check(PySequence_GetItem(fields.get(), index));
}

}  // namespace velkor_common
