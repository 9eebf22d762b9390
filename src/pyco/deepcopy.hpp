// pyco/deepcopy.hpp - copy.deepcopy, with the common plain-data cases in C++.
#pragma once
#include "ref.hpp"

namespace pyco {

// Equivalent to copy.deepcopy(obj) (memo == nullptr) or
// copy.deepcopy(obj, memo) (memo: a dict, as copy.deepcopy uses it).
// Throws the Python exception of a failing copy.
Ref deepcopy(PyObject* obj, PyObject* memo = nullptr);

}  // namespace pyco
