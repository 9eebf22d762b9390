// common/names.cpp - see names.hpp.
#include "names.hpp"

namespace velkor_common {
namespace {
Names* g_names = nullptr;  // this module copy's registry, never freed
}  // namespace

void init_names() {
  if (g_names) return;
  auto* n = new Names;
  VELKOR_COMMON_STRINGS(PYCO_NAME_STRING)
  VELKOR_COMMON_KWNAMES(PYCO_NAME_KWNAMES)
  VELKOR_COMMON_LIBRARY(PYCO_NAME_LIBRARY)
  g_names = n;
}

const Names& names() { return *g_names; }

}  // namespace velkor_common
