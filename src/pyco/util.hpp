// pyco/util.hpp - small helpers for extension modules: calls with
// keyword names, `with lock:` for a Python lock object, and int comparison. All need the GIL.
#pragma once
#include <initializer_list>

#include "ref.hpp"

namespace pyco {

// A tuple of interned keyword names, for vcall_kw.
Ref kwnames(std::initializer_list<const char*> names);

// callable(*positionals, **keywords) where the last len(kwnames) values of
// `args` are the keyword values.
Ref vcall_kw(Borrowed callable, std::initializer_list<PyObject*> args, Borrowed kwnames);

// v == value, as Python compares them (exact ints without a call).
bool equals_int(Borrowed v, long value);

// Holds a Python lock object (threading.Lock or anything with
// acquire()/release()) for a scope: `with lock:` in C++. acquire() blocks
// with the GIL released, as it does when called from Python. A failing
// release() on the way out is reported as unraisable (a destructor must not
// throw); on a thread being ended at exit (no GIL) nothing is touched.
class LockGuard {
 public:
  explicit LockGuard(Borrowed lock);
  ~LockGuard();
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Ref lock_;
};

// Must be called once from each module's init, before the helpers above.
void init_util();

// Whether LockGuard takes a free threading.Lock without calling acquire()
// (the lock's layout in this interpreter is the one checked for).
bool lock_layout_known();

}  // namespace pyco
