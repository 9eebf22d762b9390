// router/names.hpp - the router module's name registry: the modules it
// reaches the shared state and the engine through, and the interned names
// and keyword-name tuples of its own code (what it shares with the other
// modules goes through velkor_common, which has a registry of its own).
// Filled by the module's init, never freed (see pyco/names.hpp).
#pragma once
#include "pyco/names.hpp"

#define VELKOR_ROUTER_STRINGS(X)                                                             \
  X(s_router_dict, "router_dict") X(s_network_node, "network_node") X(s_name, "name")       \
  X(s_Tasks, "Tasks") X(s_async_task, "async_task") X(s_waiter, "waiter")                   \
  X(s_output_tasks, "output_tasks") X(s_insert_output_tasks, "insert_output_tasks")         \
  X(s_insert_incode_input_tasks, "insert_incode_input_tasks")                               \
  X(s_delete_incode_input_tasks, "delete_incode_input_tasks") X(s_run, "run")               \
  X(s_add, "add") X(s_remove, "remove") X(s_router_prefix, "router_")                     \
  X(s_dispatched, "dispatched") X(s_dropped, "dropped")
#define VELKOR_ROUTER_KWNAMES(X)                                                             \
  X(kw_task_args, "loop_thread", "name", "task", "WT", "CPU_bound", "Task_buffer_available") \
  X(kw_tasks_events, "tasks_events")

namespace velkor_router {

struct Names {
  // Velkor.Velkor_state and Velkor.Velkor: their attributes are read at use.
  PyObject* state = nullptr;
  PyObject* engine = nullptr;
  VELKOR_ROUTER_STRINGS(PYCO_NAME_FIELD)
  VELKOR_ROUTER_KWNAMES(PYCO_NAME_FIELD)
};

// Fill the registry (the module's init, once).
void init_names();
const Names& names();

}  // namespace velkor_router
