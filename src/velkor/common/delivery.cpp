// common/delivery.cpp - see delivery.hpp.
#include "delivery.hpp"

#include "names.hpp"
#include "pyco/util.hpp"

namespace velkor_common {

using pyco::check;
using pyco::check_int;

void buffer_item(PyObject* consumer, PyObject* item) {
  const Names& n = names();
  Ref insert = pyco::getattr(consumer, n.s_insert_kwargs_buffer);
  pyco::vcall_kw(insert.get(), {item}, n.kw_data);
}

void start_by_mode(const Reads& reads, PyObject* consumer, PyObject* tag, StartStyle style) {
  const Names& n = names();
  Ref wt = reads.task_attr(consumer, n.s_WT);
  if (pyco::equals_int(wt.get(), 0)) {
    // run(tag) or run(tag=tag): the tag is the one argument either way.
    PyObject* argv[] = {consumer, tag};
    PyObject* kw = style.run_by_keyword ? n.kw_tag : nullptr;
    check(PyObject_VectorcallMethod(n.s_run, argv, (kw ? 1 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
  } else if (pyco::equals_int(wt.get(), 1)) {
    check_int(PyObject_SetAttr(consumer, n.s_tag, tag));
    Ref events = reads.task_attr(consumer, n.s_events);
    Ref trigger = check(PySequence_GetItem(events.get(), 0));
    Ref registry = reads.state(n.s_Events);
    Ref event;
    if (style.trigger_must_exist) {
      event = check(PyObject_GetItem(registry.get(), trigger.get()));
    } else {
      PyObject* found = nullptr;
      check_int(PyMapping_GetOptionalItem(registry.get(), trigger.get(), &found));
      event = Ref::steal(found);
      if (!event) return;
    }
    pyco::call_method(event.get(), n.s_set);
  }
}

}  // namespace velkor_common
