// common/task_reads.hpp - how a module reads the shared state and task
// attributes when it calls the stage functions of this library: the engine
// through its caching accessors, the stage modules through getattr. Passed
// by the caller, so the engine's hot paths keep their own reads and the
// library reads nothing of any module's registry.
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

using pyco::Ref;

struct Reads {
  Ref (*state)(PyObject* name);                // velkor_state.<name>, read now
  Ref (*task_attr)(PyObject* task, PyObject* name);  // task.<name>, read now
};

}  // namespace velkor_common
