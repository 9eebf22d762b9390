// names.hpp - the engine module's one table of names: every interned
// string, keyword-name tuple and library callable its files use, and the
// few constant objects they share. Filled once at module init (init_names),
// never freed (see pyco/names.hpp); read with the GIL held.
//
// Strings are s_<text> (the few that are not identifiers have a name that
// says what they are), keyword tuples kw_<names>, library objects
// <module>_<attribute>. The shared-state module's attributes are not here:
// they are read at every use through state_attr() (engine.hpp).
#pragma once
#include "pyco/names.hpp"

namespace velkor {

#define VELKOR_STRINGS(X) \
  X(s__closed, "_closed") \
  X(s__counters, "_counters") \
  X(s__selector, "_selector") \
  X(s__stop, "_stop") \
  X(s__value, "_value") \
  X(s__waiters, "_waiters") \
  X(s_activation_check, "activation_check") \
  X(s_add, "add") \
  X(s_add_done_callback, "add_done_callback") \
  X(s_add_edge, "add_edge") \
  X(s_add_nodes_from, "add_nodes_from") \
  X(s_address, "address") \
  X(s_aenter, "__aenter__") \
  X(s_aexit, "__aexit__") \
  X(s_append, "append") \
  X(s_append_task, "append_task") \
  X(s_append_task_queue, "append_task_queue") \
  X(s_args, "args") \
  X(s_async_task, "async_task") \
  X(s_automate_waiter_task_list, "automate_waiter_task_list") \
  X(s_automate_waiter_task_list_threading_lock, "automate_waiter_task_list_threading_lock") \
  X(s_available, "available") \
  X(s_black, "black") \
  X(s_buffer, "buffer") \
  X(s_buffer_threading_lock, "buffer_threading_lock") \
  X(s_buffered, "buffered") \
  X(s_busy_s, "busy_s") \
  X(s_call_soon, "call_soon") \
  X(s_call_soon_threadsafe, "call_soon_threadsafe") \
  X(s_can_write_eof, "can_write_eof") \
  X(s_cancel, "cancel") \
  X(s_cancel_task, "cancel_task") \
  X(s_cancelled, "cancelled") \
  X(s_clear, "clear") \
  X(s_close, "close") \
  X(s_copy, "copy") \
  X(s_CPU_bound, "CPU_bound") \
  X(s_create_future, "create_future") \
  X(s_create_task, "create_task") \
  X(s_custom_event, "custom_event") \
  X(s_custom_waiter_task_list, "custom_waiter_task_list") \
  X(s_custom_waiter_task_list_threading_lock, "custom_waiter_task_list_threading_lock") \
  X(s_default_factory, "default_factory") \
  X(s_delete, "delete") \
  X(s_delete_incode_input_tasks, "delete_incode_input_tasks") \
  X(s_delete_incode_output_tasks, "delete_incode_output_tasks") \
  X(s_delete_input_tasks, "delete_input_tasks") \
  X(s_delete_output_tasks, "delete_output_tasks") \
  X(s_done, "done") \
  X(s_drain, "drain") \
  X(s_dravel_dict, "dravel_dict") \
  X(s_dravels, "dravels") \
  X(s_errors, "errors") \
  X(s_event_config, "event_config") \
  X(s_events, "events") \
  X(s_Events, "Events") \
  X(s_Events_async, "Events_async") \
  X(s_exception, "exception") \
  X(s_executor, "executor") \
  X(s_get_debug, "get_debug") \
  X(s_get_name, "get_name") \
  X(s_get_task_factory, "get_task_factory") \
  X(s_gray, "gray") \
  X(s_handle_client, "handle_client") \
  X(s_incode_input_tasks, "incode_input_tasks") \
  X(s_incode_output_tasks, "incode_output_tasks") \
  X(s_input_tasks, "input_tasks") \
  X(s_insert_custom_waiter_task, "insert_custom_waiter_task") \
  X(s_insert_incode_input_tasks, "insert_incode_input_tasks") \
  X(s_insert_incode_output_tasks, "insert_incode_output_tasks") \
  X(s_insert_input_tasks, "insert_input_tasks") \
  X(s_insert_output_tasks, "insert_output_tasks") \
  X(s_inserts, "inserts") \
  X(s_is_closed, "is_closed") \
  X(s_is_coroutine_marker, "_is_coroutine_marker") \
  X(s_is_running, "is_running") \
  X(s_kwargs_buffer, "kwargs_buffer") \
  X(s_kwargs_buffer_len, "kwargs_buffer_len") \
  X(s_kwargs_buffer_threading_lock, "kwargs_buffer_threading_lock") \
  X(s_l_t_list, "l_t_list") \
  X(s_last_time, "last_time") \
  X(s_lightblue, "lightblue") \
  X(s_lightgreen, "lightgreen") \
  X(s_loop, "loop") \
  X(s_Loop, "Loop") \
  X(s_loop_thread, "loop_thread") \
  X(s_loop_threads, "loop_threads") \
  X(s_maxlen, "maxlen") \
  X(s_name, "name") \
  X(s_network_node, "network_node") \
  X(s_output_tasks, "output_tasks") \
  X(s_partialmethod, "__partialmethod__") \
  X(s_pending, "pending") \
  X(s_pop, "pop") \
  X(s_port, "port") \
  X(s_read, "read") \
  X(s_Real_tasks, "Real_tasks") \
  X(s_red, "red") \
  X(s_refresh_automate_waiter_task_list, "refresh_automate_waiter_task_list") \
  X(s_refused, "refused") \
  X(s_refused_line, "tag should be string and data should be dict instance!") \
  X(s_remove, "remove") \
  X(s_remove_done_callback, "remove_done_callback") \
  X(s_router_dict, "router_dict") \
  X(s_routers, "routers") \
  X(s_run, "run") \
  X(s_run_asyncio_in_thread, "run_asyncio_in_thread") \
  X(s_run_forever, "run_forever") \
  X(s_run_in_executor, "run_in_executor") \
  X(s_run_until_complete, "run_until_complete") \
  X(s_runner, "runner") \
  X(s_runners, "runners") \
  X(s_running, "running") \
  X(s_runs, "runs") \
  X(s_serve_forever, "serve_forever") \
  X(s_server, "server") \
  X(s_set, "set") \
  X(s_set_result, "set_result") \
  X(s_shutdown_asyncgens, "shutdown_asyncgens") \
  X(s_start, "start") \
  X(s_stop, "stop") \
  X(s_stop_flag, "stop_flag") \
  X(s_submitted, "submitted") \
  X(s_suffix_event, ",event") \
  X(s_suffix_external, ",EXTERNAL") \
  X(s_suffix_service_available_event, ",service_available_event") \
  X(s_tag, "tag") \
  X(s_task, "task") \
  X(s_Task_buffer_available, "Task_buffer_available") \
  X(s_Task_buffer_available_asyncio_lock, "Task_buffer_available_asyncio_lock") \
  X(s_Task_buffer_available_threading_lock, "Task_buffer_available_threading_lock") \
  X(s_task_error, " task has error!!!") \
  X(s_Tasks, "Tasks") \
  X(s_tasks, "tasks") \
  X(s_temp_func, "temp_func") \
  X(s_time, "time") \
  X(s_trig_output, "trig_output") \
  X(s_trimmed, "trimmed") \
  X(s_update, "update") \
  X(s_uvloop, "uvloop") \
  X(s_wait, "wait") \
  X(s_wait_closed, "wait_closed") \
  X(s_waiter, "waiter") \
  X(s_waiting_s, "waiting_s") \
  X(s_write, "write") \
  X(s_write_eof, "write_eof") \
  X(s_WT, "WT") \
  X(s_WT_run, "WT_run") \
  X(s_WT_sleep, "WT_sleep")

#define VELKOR_KWNAMES(X) \
  X(kw_async_task, "loop_thread", "name", "network_node_name") \
  X(kw_backlog, "backlog") \
  X(kw_draw_labels, "with_labels", "node_color", "edge_color", "arrows", "font_size") \
  X(kw_figsize, "figsize") \
  X(kw_loop, "loop") \
  X(kw_loop_eager, "loop", "eager_start") \
  X(kw_loop_name, "loop", "name") \
  X(kw_loop_name_eager, "loop", "name", "eager_start") \
  X(kw_name, "name") \
  X(kw_name_task, "name", "task") \
  X(kw_return_exceptions, "return_exceptions") \
  X(kw_return_when, "return_when") \
  X(kw_target_daemon_name, "target", "daemon", "name") \
  X(kw_tasks_events, "tasks_events") \
  X(kw_trig, "my_task", "output_tasks", "tag")

// Modules and their attributes (dotted paths allowed; "" is the module).
#define VELKOR_LIBRARY(X) \
  X(asyncio_all_tasks, "asyncio", "all_tasks") \
  X(asyncio_BaseEventLoop_create_future, "asyncio", "BaseEventLoop.create_future") \
  X(asyncio_BaseEventLoop_create_task, "asyncio", "BaseEventLoop.create_task") \
  X(asyncio_Event, "asyncio", "Event") \
  X(asyncio_Event_wait, "asyncio", "Event.wait") \
  X(asyncio_FIRST_COMPLETED, "asyncio", "FIRST_COMPLETED") \
  X(asyncio_Future, "asyncio", "Future") \
  X(asyncio_gather, "asyncio", "gather") \
  X(asyncio_get_running_loop, "asyncio", "get_running_loop") \
  X(asyncio_Lock, "asyncio", "Lock") \
  X(asyncio_new_event_loop, "asyncio", "new_event_loop") \
  X(asyncio_open_connection, "asyncio", "open_connection") \
  X(asyncio_PriorityQueue, "asyncio", "PriorityQueue") \
  X(asyncio_run, "asyncio", "run") \
  X(asyncio_set_event_loop, "asyncio", "set_event_loop") \
  X(asyncio_sleep, "asyncio", "sleep") \
  X(asyncio_start_server, "asyncio", "start_server") \
  X(asyncio_Task, "asyncio", "Task") \
  X(asyncio_wait, "asyncio", "wait") \
  X(builtins_print, "builtins", "print") \
  X(collections_defaultdict, "collections", "defaultdict") \
  X(functools_partial, "functools", "partial") \
  X(inspect_iscoroutinefunction, "inspect", "iscoroutinefunction") \
  X(matplotlib_get_backend, "matplotlib", "get_backend") \
  X(networkx_DiGraph, "networkx", "DiGraph") \
  X(networkx_draw, "networkx", "draw") \
  X(networkx_kamada_kawai_layout, "networkx", "kamada_kawai_layout") \
  X(numpy_inf, "numpy", "inf") \
  X(pyplot_figure, "matplotlib.pyplot", "figure") \
  X(pyplot_show, "matplotlib.pyplot", "show") \
  X(socket_SOMAXCONN, "socket", "SOMAXCONN") \
  X(state_module, "velkor.velkor_state", "") \
  X(threading_Lock, "threading", "Lock") \
  X(threading_Thread, "threading", "Thread")

struct Names {
  VELKOR_STRINGS(PYCO_NAME_FIELD)
  VELKOR_KWNAMES(PYCO_NAME_FIELD)
  VELKOR_LIBRARY(PYCO_NAME_FIELD)
  PyObject* empty_tuple = nullptr;  // ()
  PyObject* zero = nullptr;         // 0
  PyObject* one = nullptr;          // 1
};

extern const Names* g_names;

// The module's names; valid from module init on.
inline const Names& names() { return *g_names; }

// Fill the table. Called first thing at module init.
void init_names();

}  // namespace velkor
