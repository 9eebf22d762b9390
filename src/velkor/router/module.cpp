// module.cpp - the router module velkor.router: its names in binding order.
// The one-of-N dispatch stage (class router) is bound after them.
#include <nanobind/nanobind.h>

#include "pyco/coro.hpp"
#include "common/module_util.hpp"
#include "common/names.hpp"
#include "pyco/util.hpp"
#include "router.hpp"

NB_MODULE(router, m) {
  m.doc() = "velkor's router stage: hands each item to exactly one ready local consumer.";
  if (pyco::import_api("velkor.velkor") < 0) throw nanobind::python_error();
  try {
    pyco::init_util();
    velkor_common::init_names();
    velkor_common::bind_stage_head(m.ptr());
    velkor_router::bind_router(m);
  } catch (const pyco::BaseException& e) {
    e.restore();
    throw nanobind::python_error();
  }
}
