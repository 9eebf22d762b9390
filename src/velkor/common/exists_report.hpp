// common/exists_report.hpp - the line printed when a constructor finds its
// name already registered (an event, a router, a dravel): "<kind> <name>
// exists!". The registered object stays in force and the new one is left
// empty; nothing is raised.
#pragma once
#include "pyco/ref.hpp"

namespace velkor_common {

// print(f"{kind} {name} exists!") through builtins.print, so a redirected
// sys.stdout sees it. `name` is the str the caller was given as the name.
void report_exists(const char* kind, PyObject* name);

}  // namespace velkor_common
