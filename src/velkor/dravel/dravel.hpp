// dravel.hpp - class dravel of the module velkor.dravel.
#pragma once
#include <nanobind/nanobind.h>

#include "pyco/coro.hpp"

namespace velkor_dravel {
namespace nb = nanobind;
void bind_dravel(nb::module_& m);
}  // namespace velkor_dravel
