// common/dispatch_runner.cpp - see dispatch_runner.hpp.
#include "dispatch_runner.hpp"

#include "keys.hpp"
#include "names.hpp"
#include "pyco/util.hpp"

namespace velkor_common {

using pyco::check;
using pyco::check_int;

Ref dispatch_runner(PyObject* state, PyObject* engine) {
  const Names& n = names();
  Ref node = pyco::getattr(pyco::getattr(state, n.s_network_node).get(), n.s_name);
  Ref key = key_of(node.get(), n.s_buffer_router);
  Ref runners = pyco::getattr(state, n.s_loop_threads);
  if (!check_int(PySequence_Contains(runners.get(), key.get()))) {
    // The runner registers itself under the key (the node's name, which it
    // reads itself, a comma, its name).
    Ref runner_class = pyco::getattr(engine, n.s_Real_tasks);
    pyco::vcall_kw(runner_class.get(), {n.s_buffer_router}, n.kw_name);
    Ref registered = check(PyObject_GetItem(pyco::getattr(state, n.s_loop_threads).get(), key.get()));
    pyco::call_method(registered.get(), n.s_start);
  }
  return key;
}

}  // namespace velkor_common
