// engine.hpp - what every file of the engine module shares: its names
// (names.hpp) and the accessor for the shared-state module.
//
// Rules of use:
//   * Everything here is used with the GIL held.
//   * The shared-state module's attributes are read at every use (the
//     application may replace the node object, and the tables are only
//     guaranteed to exist once the package has filled the module): go
//     through state_attr(), which skips the lookup only while a dict watcher
//     vouches that the entry is unchanged (attr_cache.hpp).
//   * Library callables (asyncio.Event, asyncio.gather, ...) are taken once,
//     when the module is imported; they are not shared state.
#pragma once
#include <nanobind/nanobind.h>

#include "pyco/coro.hpp"
#include "pyco/util.hpp"
#include "names.hpp"

namespace velkor {

namespace nb = nanobind;
using pyco::check;
using pyco::check_int;
using pyco::equals_int;
using pyco::kwnames;
using pyco::LockGuard;
using pyco::Ref;
using pyco::vcall_kw;

// Fill the module's names and the shared-state cache. First thing at init.
void init_engine();

// velkor_state.<name>, read now.
Ref state_attr(PyObject* name);
// velkor_state.network_node.name, read now.
Ref node_name();

// print(obj) through builtins.print, so redirected sys.stdout sees it.
void print_object(PyObject* obj);

// The type translator that lets nanobind-bound functions raise the Python
// exception carried by a pyco exception.
void register_exception_translator();

// True when field 0 of `key` split at commas equals the local node's name
// (velkor_state.network_node.name, read now): a task, runner or event key of
// this node.
bool is_local_key(PyObject* key);

// The engine's own trig_output coroutine function (held by the module for
// good), and its body, for callers that find velkor_state.trig_output is it
// and await it without a coroutine object (pyco::inline_await).
PyObject* own_trig_output();
// `counted`: the producer's task object, whose waiting time the call adds
// to its counters (null: the task registered under my_task, if any).
pyco::Frame trig_output_frame(Ref my_task, Ref output_tasks, Ref tag, Ref counted);

// Called by the mirror update on its loop right before it sets `mirror`:
// wakes the engine's own waits on it at once (see waiter_body). Does
// nothing when the mirror is set already (its waits are woken then).
void wake_waits_on(PyObject* mirror);

// Defined in their own files; each binds its class on `m`.
void bind_net_node(nb::module_& m);
void bind_graph_view(nb::module_& m);   // Task_draw_directed_graph_with_two_colors, Tasks_Graph
void bind_runner(nb::module_& m);
void bind_task(nb::module_& m);          // async_task
void bind_event(nb::module_& m);         // custom_event
void bind_buffer_record(nb::module_& m); // buffer

// stats() (stats.cpp), listed in the module's function table.
PyObject* stats_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The module's coroutine functions, listed in its function table (module.cpp).
pyco::Frame waiter_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
pyco::Frame trig_output_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
pyco::Frame event_config_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Made ready once the functions are set: they keep the functions the engine
// finds by identity.
void init_trigger_functions(PyObject* module);
void init_event_config(PyObject* module);

}  // namespace velkor
