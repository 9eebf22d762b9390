// keyword_buffer.cpp - a task's buffer of pending keyword-argument sets:
// insert_kwargs_buffer (producers, any thread) and activation_check (the
// task's own execution step).
//
// The buffer is the task's `kwargs_buffer` attribute (a defaultdict of
// dicts) and every access holds `kwargs_buffer_threading_lock`. Keys are
// tags given by producers, or time stamps (the text of time.time()) for
// untagged data. Everything stored is a deep copy of what the producer gave.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>

#include "pyco/deepcopy.hpp"
#include "pyco/method.hpp"
#include "task.hpp"

namespace velkor {
namespace {

// str(time.time()), without going through the time module.
// The text of time.time() now, as str() writes it; `seconds` gets the value.
//
// str() of a float writes the shortest digits that read back as the same
// value; between 1e-4 and 1e16 it writes them without an exponent, with
// ".0" when there is no fraction. std::to_chars writes the same shortest
// digits in fixed notation, several times faster than the interpreter's
// conversion; other values (never a clock of this century) take that one.
Ref time_stamp(double* seconds) {
  PyTime_t now;
  check_int(PyTime_Time(&now));
  *seconds = PyTime_AsSecondsDouble(now);
  if (*seconds >= 1e-4 && *seconds < 1e16) {
    char text[48];
    auto [end, ec] =
        std::to_chars(text, text + sizeof text - 2, *seconds, std::chars_format::fixed);
    if (ec == std::errc()) {
      if (std::find(text, end, '.') == end) {
        *end++ = '.';
        *end++ = '0';
      }
      return check(PyUnicode_FromStringAndSize(text, end - text));
    }
  }
  char* s = PyOS_double_to_string(*seconds, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (!s) pyco::throw_current();
  Ref r = Ref::steal(PyUnicode_FromString(s));
  PyMem_Free(s);
  return check(r.release());
}

// Wait, without the GIL, until time.time() is no longer `seconds`: its text
// changes with its value. The clock moves on within a microsecond, so this
// is a short spin; a clock that does not move within a millisecond is
// waited for in 1 ms sleeps.
void wait_for_clock_after(double seconds) {
  Py_BEGIN_ALLOW_THREADS
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    PyTime_t now;
    if (PyTime_TimeRaw(&now) < 0 || PyTime_AsSecondsDouble(now) != seconds) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(1))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    else
      std::this_thread::yield();
  }
  Py_END_ALLOW_THREADS
}

bool contains(PyObject* buffer, PyObject* key) {
  return check_int(PySequence_Contains(buffer, key)) != 0;
}

// The oldest key (first in insertion order) or null for an empty buffer.
Ref first_key(PyObject* buffer) {
  if (PyDict_Check(buffer)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    return PyDict_Next(buffer, &pos, &k, &v) ? Ref::borrow(k) : Ref();
  }
  Ref it = check(PyObject_GetIter(buffer));
  Ref k = Ref::steal(PyIter_Next(it.get()));
  if (!k && PyErr_Occurred()) pyco::throw_current();
  return k;
}

// The first key in ascending sort order (what sorted(keys)[0] gives).
Ref least_key(PyObject* buffer) {
  if (PyDict_Check(buffer)) {
    // Keys of exact str compare without running Python code, so the dict
    // can be walked in place; anything else takes the general way below.
    Py_ssize_t pos = 0;
    PyObject *k, *v, *best = nullptr;
    bool plain = true;
    while (plain && PyDict_Next(buffer, &pos, &k, &v)) {
      if (!PyUnicode_CheckExact(k)) plain = false;
      else if (!best || PyUnicode_Compare(k, best) < 0) best = k;
    }
    if (plain) return Ref::borrow(best);
  }
  Ref keys = check(PySequence_List(buffer));
  Ref best;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* k = PyList_GET_ITEM(keys.get(), i);
    if (!best || check_int(PyObject_RichCompareBool(k, best.get(), Py_LT))) best = Ref::borrow(k);
  }
  return best;
}

// Is `buffer` a defaultdict(dict), whose missing entries start as {}?
Py_ssize_t g_factory_offset = 0;  // where a defaultdict keeps default_factory

bool fresh_entry_is_a_dict(PyObject* buffer) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(buffer)) != names().collections_defaultdict) return false;
  PyObject* factory = nullptr;
  Ref held;
  if (g_factory_offset > 0) {
    // Read the slot that defaultdict's own member descriptor reads.
    factory = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(buffer) + g_factory_offset);
  } else {
    held = pyco::getattr(buffer, names().s_default_factory);
    factory = held.get();
  }
  return factory == reinterpret_cast<PyObject*>(&PyDict_Type);
}

Ref take(PyObject* buffer, PyObject* key) {
  Ref value = check(PyObject_GetItem(buffer, key));
  check_int(PyObject_DelItem(buffer, key));
  return value;
}

Ref pair(bool ready, Ref kwargs) {
  return check(PyTuple_Pack(2, ready ? Py_True : Py_False, kwargs.get()));
}

// buffer[tag].update(copy), a missing tag first getting its default entry.
void merge(PyObject* buffer, PyObject* tag, Ref copy) {
  Ref entry;
  if (fresh_entry_is_a_dict(buffer)) {
    PyObject* found = nullptr;
    if (PyDict_CheckExact(copy.get()) && Py_REFCNT(copy.get()) == 1) {
      // For a new tag the entry would be a new {} updated with the copy,
      // which is what the copy already is (a fresh plain dict that nothing
      // else, not even a value inside it, refers to): it is stored itself.
      if (check_int(PyDict_SetDefaultRef(buffer, tag, copy.get(), &found)) == 0) {
        Py_DECREF(found);
        return;
      }
    } else {
      check_int(PyDict_GetItemRef(buffer, tag, &found));
    }
    entry = Ref::steal(found);
  }
  if (!entry) entry = check(PyObject_GetItem(buffer, tag));
  if (PyDict_CheckExact(entry.get())) {
    check_int(PyDict_Update(entry.get(), copy.get()));
  } else {
    pyco::call_method(entry.get(), names().s_update, copy);
  }
}


Ref insert_kwargs_buffer(PyObject* self, Ref* p) {
  nb::handle data(p[0].get());
  nb::handle tag(p[1] ? p[1].get() : Py_None);
  Ref buffer = task_attr(self, names().s_kwargs_buffer);
  Ref lock = task_attr(self, names().s_kwargs_buffer_threading_lock);
  LockGuard hold(lock.get());
  TaskCounters* counts = nullptr;
  if (Task* t = task_of(self)) counts = &t->counts;  // self is alive for the call
  if (tag.is_none()) {
    Ref copy = pyco::deepcopy(data.ptr());
    for (;;) {
      double seconds = 0;
      Ref stamp = time_stamp(&seconds);
      if (!contains(buffer.get(), stamp.get())) {
        check_int(PyObject_SetItem(buffer.get(), stamp.get(), copy.get()));
        if (counts) ++counts->inserts;
        break;
      }
      // The clock has not moved on since that entry: wait until it has
      // (holding the buffer's lock, but not the GIL).
      wait_for_clock_after(seconds);
    }
  } else if (PyDict_Check(data.ptr()) && PyUnicode_Check(tag.ptr())) {
    // Copy first: a copy that fails leaves the buffer as it was.
    merge(buffer.get(), tag.ptr(), pyco::deepcopy(data.ptr()));
    if (counts) ++counts->inserts;
  } else {
    if (counts) ++counts->refused;
    print_object(names().s_refused_line);
  }
  // Beyond capacity the oldest entry (by insertion order) goes.
  const Py_ssize_t n = check_int(PyObject_Length(buffer.get()));
  Ref capacity = task_attr(self, names().s_kwargs_buffer_len);
  bool over;
  if (PyLong_CheckExact(capacity.get())) {
    int overflow = 0;
    const long long cap = PyLong_AsLongLongAndOverflow(capacity.get(), &overflow);
    if (cap == -1 && PyErr_Occurred()) pyco::throw_current();
    over = overflow == 0 ? n > cap : overflow < 0;
  } else {
    Ref size = check(PyLong_FromSsize_t(n));
    over = check_int(PyObject_RichCompareBool(size.get(), capacity.get(), Py_GT)) != 0;
  }
  if (over) {
    if (Ref oldest = first_key(buffer.get())) {
      check_int(PyObject_DelItem(buffer.get(), oldest.get()));
      if (counts) ++counts->trimmed;
    }
  }
  return Ref();
}

Ref activation_check(PyObject* self, Ref* p) {
  nb::handle tag(p[0].get());
  Ref buffer = task_attr(self, names().s_kwargs_buffer);
  Ref lock = task_attr(self, names().s_kwargs_buffer_threading_lock);
  Ref result;
  {
    LockGuard hold(lock.get());
    if (tag.is_none()) {
      // Untagged: the entry whose key sorts first (time stamps in time
      // order); nothing buffered still means ready, with no arguments.
      Ref key = least_key(buffer.get());
      result = key ? pair(true, take(buffer.get(), key.get())) : pair(true, check(PyDict_New()));
    } else if (contains(buffer.get(), tag.ptr())) {
      result = pair(true, take(buffer.get(), tag.ptr()));
    } else {
      result = pair(false, check(PyDict_New()));
    }
  }
  return result;
}

}  // namespace

PYCO_METHOD(insert_kwargs_buffer, "insert_kwargs_buffer", 1, "data", "tag")
PYCO_METHOD(activation_check, "activation_check", 1, "tag")

void init_keyword_buffer() {
  {
    // defaultdict.default_factory is a member of the C object: its
    // descriptor says at which offset the object holds it.
    Ref descr = Ref::steal(PyObject_GetAttrString(names().collections_defaultdict, "default_factory"));
    if (descr && PyObject_TypeCheck(descr.get(), &PyMemberDescr_Type)) {
      PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
      if (m->type == _Py_T_OBJECT || m->type == Py_T_OBJECT_EX) g_factory_offset = m->offset;
    }
    PyErr_Clear();
  }
}

}  // namespace velkor
