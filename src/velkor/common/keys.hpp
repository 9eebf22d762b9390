// common/keys.hpp - keys of tasks, runners and events: the node name, a
// comma, the short name. Linked into every module of the package. All need
// the GIL.
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

using pyco::Ref;

// key.split(",")[0] == node: the key belongs to that node.
bool key_of_node(PyObject* key, PyObject* node);

}  // namespace velkor_common
