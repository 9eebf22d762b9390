// engine.cpp - the engine module's shared names and the state accessor.
#include "engine.hpp"

#include "attr_cache.hpp"
#include "common/keys.hpp"
#include "common/names.hpp"

namespace velkor {




namespace {
DictCache g_state_cache;  // the entries state_attr read from the module's dict
}  // namespace

Ref state_attr(PyObject* name) {
  // The module's own dict holds every attribute it has; a name missing
  // there goes through getattr (module __getattr__, the AttributeError).
  if (PyObject* value =
          cached_item(g_state_cache, PyModule_GetDict(names().state_module), name))
    return Ref::steal(value);
  PyErr_Clear();
  return pyco::getattr(names().state_module, name);
}

Ref node_name() {
  Ref node = state_attr(names().s_network_node);
  return pyco::getattr(node.get(), names().s_name);
}





bool is_local_key(PyObject* key) { return velkor_common::key_of_node(key, node_name().get()); }

void print_object(PyObject* obj) { pyco::call(names().builtins_print, Ref::borrow(obj)); }

void register_exception_translator() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const pyco::BaseException& e) {
      e.restore();
    }
  });
}

void init_engine() {
  pyco::init_util();
  velkor_common::init_names();
  init_names();
  init_attr_cache();
  // The shared-state names read on every step.
  register_cached_names({names().s_Tasks, names().s_loop_threads,
                         names().s_network_node, names().s_Events,
                         names().s_waiter});
}

}  // namespace velkor
