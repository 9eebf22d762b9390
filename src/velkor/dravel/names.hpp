// dravel/names.hpp - the dravel module's name registry: the modules it
// reaches the shared state and the engine through, and the interned names
// and keyword-name tuples of its own code (what it shares with the other
// modules goes through velkor_common, which has a registry of its own).
// Filled by the module's init, never freed (see pyco/names.hpp).
#pragma once
#include "pyco/names.hpp"

#define VELKOR_DRAVEL_STRINGS(X)                                                              \
  X(s_dravel_dict, "dravel_dict") X(s_network_node, "network_node") X(s_name, "name")        \
  X(s_Tasks, "Tasks") X(s_async_task, "async_task") X(s_trig_output, "trig_output")          \
  X(s_kwargs, "kwargs") X(s_delay, "delay") X(s_optimum_delay, "optimum_delay")              \
  X(s_zarib, "zarib") X(s_buffers_list, "buffers_list") X(s_output_task, "output_task")      \
  X(s_insert_input_tasks, "insert_input_tasks")                                              \
  X(s_insert_incode_input_tasks, "insert_incode_input_tasks")                                \
  X(s_delete_incode_input_tasks, "delete_incode_input_tasks") X(s_run, "run")                \
  X(s_buffer, "buffer") X(s_buffer_threading_lock, "buffer_threading_lock")                  \
  X(s_last_time, "last_time") X(s_buffer_timestamp, "buffer_timestamp") X(s_data, "data")    \
  X(s_random, "random") X(s_choice, "choice") X(s_copy, "copy")                              \
  X(s_change_output_task, "change_output_task") X(s_dravel_prefix, "dravel_")                \
  X(s_trigger_prefix, "trigger_dravel_") X(s_taken, "taken") X(s_skipped, "skipped")
#define VELKOR_DRAVEL_KWNAMES(X)                                                              \
  X(kw_trigger_args, "loop_thread", "name", "WT", "WT_sleep", "CPU_bound")                   \
  X(kw_main_args, "loop_thread", "name", "task", "WT", "CPU_bound", "Task_buffer_available") \
  X(kw_trig, "my_task", "output_tasks")

namespace velkor_dravel {

struct Names {
  PyObject* module = nullptr;  // velkor.dravel itself (its module-level `random`)
  // Velkor.Velkor_state and Velkor.Velkor: their attributes are read at use.
  PyObject* state = nullptr;
  PyObject* engine = nullptr;
  VELKOR_DRAVEL_STRINGS(PYCO_NAME_FIELD)
  VELKOR_DRAVEL_KWNAMES(PYCO_NAME_FIELD)
};

// Fill the registry (the module's init, once); `module` is velkor.dravel.
void init_names(PyObject* module);
const Names& names();

}  // namespace velkor_dravel
