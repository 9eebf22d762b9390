// module.cpp - the dravel module velkor.dravel: its names in binding order.
// The paced frame-buffer stage (class dravel) is bound after them.
#include <nanobind/nanobind.h>

#include "pyco/coro.hpp"
#include "common/module_util.hpp"
#include "common/names.hpp"
#include "pyco/util.hpp"
#include "dravel.hpp"

NB_MODULE(dravel, m) {
  m.doc() = "velkor's buffer stage: drains time-stamped frame buffers into one consumer at a paced rate.";
  if (pyco::import_api("velkor.velkor") < 0) throw nanobind::python_error();
  try {
    pyco::init_util();
    velkor_common::init_names();
    velkor_common::bind_stage_head(m.ptr());
    velkor_dravel::bind_dravel(m);
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nanobind::python_error();
  }
}
