// common/exists_report.cpp - see exists_report.hpp.
#include "exists_report.hpp"

#include "names.hpp"

namespace velkor_common {

void report_exists(const char* kind, PyObject* name) {
  pyco::Ref line = pyco::check(PyUnicode_FromFormat("%s %U exists!", kind, name));
  pyco::call(names().print, line);
}

}  // namespace velkor_common
