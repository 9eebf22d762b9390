// common/names.hpp - velkor_common's name registry: the interned names,
// keyword-name tuples and library callables that the functions of this
// library use (keys, consumer watches, event flags, delivery, the dispatch
// runner, the "exists!" report).
//
// Every module of the package links its own copy of this library, so each
// copy has its own registry; every module's init calls init_names() before
// it uses any of these functions (a second call does nothing). Made once,
// never freed (see pyco/names.hpp).
#pragma once
#include "pyco/names.hpp"

#define VELKOR_COMMON_STRINGS(X)                                                              \
  X(s_name, "name") X(s_loop_thread, "loop_thread") X(s_Events_async, "Events_async")        \
  X(s_events, "events") X(s_Events, "Events") X(s_Tasks, "Tasks")                            \
  X(s_loop_threads, "loop_threads") X(s_network_node, "network_node") X(s_WT, "WT")          \
  X(s_tag, "tag") X(s_run, "run") X(s_set, "set")                                            \
  X(s_insert_kwargs_buffer, "insert_kwargs_buffer") X(s_Real_tasks, "Real_tasks")            \
  X(s_start, "start") X(s_buffer_router, "buffer_router") X(s_split, "split") X(s_comma, ",") \
  X(s_is_set, "is_set") X(s__value, "_value")
#define VELKOR_COMMON_KWNAMES(X) X(kw_name, "name") X(kw_data, "data") X(kw_tag, "tag")
#define VELKOR_COMMON_LIBRARY(X)                                                              \
  X(print, "builtins", "print") X(asyncio_Event, "asyncio", "Event")                         \
  X(asyncio_Event_is_set, "asyncio", "Event.is_set")

namespace velkor_common {

struct Names {
  VELKOR_COMMON_STRINGS(PYCO_NAME_FIELD)
  VELKOR_COMMON_KWNAMES(PYCO_NAME_FIELD)
  VELKOR_COMMON_LIBRARY(PYCO_NAME_FIELD)
};

// Fill this copy's registry, once.
void init_names();
// The registry; init_names() has been called.
const Names& names();

}  // namespace velkor_common
