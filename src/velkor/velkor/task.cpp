// task.cpp - placeholder until async_task lands.
#include "engine.hpp"

namespace velkor {
void bind_task(nb::module_&) {}
}  // namespace velkor
