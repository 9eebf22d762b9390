// router/names.cpp - see names.hpp.
#include "names.hpp"

namespace velkor_router {
namespace {
Names* g_names = nullptr;  // never freed
}  // namespace

void init_names() {
  if (g_names) return;
  auto* n = new Names;
  n->state = pyco::check(PyImport_ImportModule("Velkor.Velkor_state")).release();
  n->engine = pyco::check(PyImport_ImportModule("Velkor.Velkor")).release();
  VELKOR_ROUTER_STRINGS(PYCO_NAME_STRING)
  VELKOR_ROUTER_KWNAMES(PYCO_NAME_KWNAMES)
  g_names = n;
}

const Names& names() { return *g_names; }

}  // namespace velkor_router
