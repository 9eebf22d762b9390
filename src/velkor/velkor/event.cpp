// event.cpp - placeholder until custom_event and event_config land.
#include "engine.hpp"

namespace velkor {
void bind_event(nb::module_&) {}
void bind_event_config(nb::module_&) {}
}  // namespace velkor
