// router.hpp - class router of the module velkor.router.
#pragma once
#include <nanobind/nanobind.h>

#include "pyco/coro.hpp"

namespace velkor_router {
namespace nb = nanobind;
void bind_router(nb::module_& m);
}  // namespace velkor_router
