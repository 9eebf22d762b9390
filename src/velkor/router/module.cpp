// module.cpp - the router module velkor.router: its names in binding order.
// The one-of-N dispatch stage (class router) is bound after them.
#include "common/module_util.hpp"
#include "router.hpp"

NB_MODULE(router, m) {
  m.doc() = "velkor's router stage: hands each item to exactly one ready local consumer.";
  velkor_common::init_stage_module(m, velkor_router::bind_router);
}
