// common/keys.hpp - keys of tasks, runners and events: the node name, a
// comma, the short name. Field 0 of a key (the text before its first comma)
// names the node, field 1 the task, runner or event on it. Linked into
// every module of the package. All need the GIL.
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

using pyco::Ref;

// str(node) + "," + str(name).
Ref key_of(PyObject* node, PyObject* name);
// str(node) + "," + prefix + str(name); `prefix` is a str.
Ref key_of(PyObject* node, PyObject* prefix, PyObject* name);

// key.split(",")[0] == node: the key belongs to that node.
bool key_of_node(PyObject* key, PyObject* node);

// key.split(",")[index] (IndexError past the last field).
Ref key_field(PyObject* key, Py_ssize_t index);

}  // namespace velkor_common
