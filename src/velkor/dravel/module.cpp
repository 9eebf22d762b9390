// module.cpp - the dravel module velkor.dravel: its names in binding order.
// The paced frame-buffer stage (class dravel) is bound after them.
#include "common/module_util.hpp"
#include "dravel.hpp"

NB_MODULE(dravel, m) {
  m.doc() = "velkor's buffer stage: drains time-stamped frame buffers into one consumer at a paced rate.";
  velkor_common::init_stage_module(m, velkor_dravel::bind_dravel);
}
