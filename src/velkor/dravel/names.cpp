// dravel/names.cpp - see names.hpp.
#include "names.hpp"

namespace velkor_dravel {
namespace {
Names* g_names = nullptr;  // never freed
}  // namespace

void init_names(PyObject* module) {
  if (g_names) return;
  auto* n = new Names;
  n->module = module;  // borrowed: the module outlives its class and registry users
  n->state = pyco::check(PyImport_ImportModule("Velkor.Velkor_state")).release();
  n->engine = pyco::check(PyImport_ImportModule("Velkor.Velkor")).release();
  VELKOR_DRAVEL_STRINGS(PYCO_NAME_STRING)
  VELKOR_DRAVEL_KWNAMES(PYCO_NAME_KWNAMES)
  g_names = n;
}

const Names& names() { return *g_names; }

}  // namespace velkor_dravel
