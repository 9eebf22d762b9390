// common/dispatch_runner.hpp - the node's shared dispatch runner: one
// Real_tasks runner per node, "<node>,buffer_router", on which every router
// and dravel of the node runs its engine tasks. The first stage built
// creates, registers and starts it; the others find it registered and use
// it as it is (also one that someone else registered and never started).
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

using pyco::Ref;

// The dispatch runner's loop-thread key, after creating and starting the
// runner if velkor_state.loop_threads has none under it. `state` is the
// shared-state module, `engine` the engine module (its Real_tasks).
Ref dispatch_runner(PyObject* state, PyObject* engine);

}  // namespace velkor_common
