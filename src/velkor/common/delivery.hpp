// common/delivery.hpp - handing work to a consumer task: its data into the
// consumer's keyword buffer, and the start by the consumer's mode WT (0: one
// run per start; 1: its trigger loop woken through its tag and trigger
// event; any other mode is not started from outside). Used by the engine's
// trig_output, the router and the dravel. All need the GIL.
#pragma once
#include "task_reads.hpp"

namespace velkor_common {

// consumer.insert_kwargs_buffer(data=item): the item becomes one untagged
// entry of the consumer's buffer.
void buffer_item(PyObject* consumer, PyObject* item);

// How a caller starts a consumer.
struct StartStyle {
  bool run_by_keyword;      // run(tag=tag) rather than run(tag)
  bool trigger_must_exist;  // a trigger event missing from Events raises
                            // KeyError, rather than leaving the consumer
                            // unstarted
};

// Start `consumer` (the task) with `tag` by its mode: WT 0 by run(tag); WT
// 1 by setting its tag, then its trigger event (events[0] in Events); any
// other WT: nothing.
void start_by_mode(const Reads& reads, PyObject* consumer, PyObject* tag, StartStyle style);

}  // namespace velkor_common
