// common/event_flags.hpp - reading the flags of asyncio.Events without
// calling them: what a wait on a table of mirrors would find set now. Used
// by the engine's waiter and by the router, which skips the wait when a
// consumer is ready already. All need the GIL.
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

using pyco::Ref;

// Whether `event` is an asyncio.Event whose method `name` is asyncio's own
// `method`.
bool own_event_method(PyObject* event, PyObject* name, PyObject* method);

// event.is_set() for an asyncio.Event whose is_set is asyncio's own: the
// flag it returns, read without the call. -1 for anything else.
int event_flag(PyObject* event);

// The keys of the table (key -> event) whose events are set now, in table
// order. Events that are not asyncio.Events are asked through is_set().
Ref set_keys(PyObject* table);

}  // namespace velkor_common
