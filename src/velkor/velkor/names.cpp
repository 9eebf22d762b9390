// names.cpp - see names.hpp.
#include "names.hpp"

namespace velkor {

const Names* g_names = nullptr;

void init_names() {
  if (g_names) return;
  auto* n = new Names;  // never freed, see names.hpp
  VELKOR_STRINGS(PYCO_NAME_STRING)
  VELKOR_KWNAMES(PYCO_NAME_KWNAMES)
  VELKOR_LIBRARY(PYCO_NAME_LIBRARY)
  n->empty_tuple = pyco::check(PyTuple_New(0)).release();
  n->zero = pyco::check(PyLong_FromLong(0)).release();
  n->one = pyco::check(PyLong_FromLong(1)).release();
  g_names = n;
}

}  // namespace velkor
