// pyco/deepcopy.hpp - copy.deepcopy, with the common plain-data cases in C++.
#pragma once
#include "ref.hpp"

namespace pyco {

// Equivalent to copy.deepcopy(obj) (memo == nullptr or None) or
// copy.deepcopy(obj, memo) (memo: a dict, as copy.deepcopy uses it).
// Exact dict, list and tuple and the atomic leaves int, float, str, bytes,
// bool and None are handled here; any other object is handed to
// copy.deepcopy with the same memo, so sharing and cycles across both come
// out as copy.deepcopy makes them. Too deep a value raises RecursionError.
// Throws the Python exception of a failing copy. Needs the GIL.
Ref deepcopy(Borrowed obj, Borrowed memo = {});

}  // namespace pyco
