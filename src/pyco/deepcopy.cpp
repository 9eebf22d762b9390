// pyco/deepcopy.cpp - copy.deepcopy with plain data copied in C++.
//
// Exact dict, list and tuple are copied here, exact int, float, str, bytes,
// bool and None are returned as they are; every other object goes to
// copy.deepcopy(obj, memo) with the memo of this copy, so a value reached both
// from plain containers and from inside other objects stays shared.
//
// The steps, and the memo they leave, are those of Lib/copy.py:
//   * the memo maps id(x) to the copy of x; atomic objects are never stored;
//   * a list or dict is stored before its items are copied (cycles end there),
//     a tuple after its items, and only when some item changed (otherwise the
//     tuple is its own copy); a tuple whose id entered the memo while its
//     items were copied (a cycle through a mutable item) is that entry;
//   * once an object is copied, memo[id(x)] = y is set again and x is
//     appended to the list at memo[id(memo)], which keeps x alive;
//   * dict values are copied before their keys (the right-hand side of
//     `y[deepcopy(key)] = deepcopy(value)` is evaluated first);
//   * a list is walked by index, so items appended meanwhile are copied too; a
//     dict is walked like its items() iterator, with the same RuntimeErrors
//     when it changes size or keys under the walk.
//
// The memo. While no Python code has seen it, the memo lives in a small C++
// table (Memo below): ids need not be boxed into ints and atomic leaves need
// no lookup at all, because only our own containers are in it. The first
// object that goes to copy.deepcopy turns it into the dict copy.deepcopy would
// hold at that point (same entries, same order, same keep-alive list); from
// then on that dict is the memo and every object is looked up in it, as in
// copy.deepcopy (Python code may have put anything there). A memo passed by
// the caller is a dict from the start.
//
// The walk is recursive, one level per container, guarded by
// Py_EnterRecursiveCall: too deep a value raises RecursionError. The internal
// functions return a new reference or nullptr with the Python error set (no
// C++ exception crosses them, so their frames stay small and an error unwinds
// through plain returns).
#include "deepcopy.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace pyco {
namespace {

// copy.deepcopy, or nullptr with an error set.
PyObject* py_deepcopy() {
  static PyObject* fn = nullptr;
  if (!fn) {
    PyObject* mod = PyImport_ImportModule("copy");
    if (!mod) return nullptr;
    PyObject* f = PyObject_GetAttrString(mod, "deepcopy");
    Py_DECREF(mod);
    if (!f) return nullptr;
    if (fn) Py_DECREF(f);  // another thread got there while the import ran
    else fn = f;
  }
  return fn;
}

// The types copy.deepcopy returns as they are, of those we handle here.
inline bool is_atomic(PyObject* x) {
  PyTypeObject* t = Py_TYPE(x);
  return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || x == Py_None ||
         t == &PyBool_Type || t == &PyBytes_Type;
}

// Growable array of trivially copyable items, the first N inline. A failed
// growth sets MemoryError.
template <class T, std::size_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVec() = default;
  SmallVec(const SmallVec&) = delete;
  SmallVec& operator=(const SmallVec&) = delete;
  ~SmallVec() {
    if (data_ != buf_) std::free(data_);
  }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  bool push_back(T v) {
    if (size_ == cap_ && !grow()) return false;
    data_[size_++] = v;
    return true;
  }
  void clear() { size_ = 0; }

 private:
  bool grow() {
    const std::size_t cap = cap_ * 2;
    T* p;
    if (data_ == buf_) {
      p = static_cast<T*>(std::malloc(cap * sizeof(T)));
      if (p) std::memcpy(p, buf_, size_ * sizeof(T));
    } else {
      p = static_cast<T*>(std::realloc(data_, cap * sizeof(T)));
    }
    if (!p) {
      PyErr_NoMemory();
      return false;
    }
    data_ = p;
    cap_ = cap;
    return true;
  }
  T buf_[N];
  T* data_ = buf_;
  std::size_t size_ = 0, cap_ = N;
};

// The memo while it is private to this copy: original -> copy, in the order
// copy.deepcopy inserts ids into its dict, and the keep-alive list. Holds a
// reference to every original and every copy in it.
class Memo {
 public:
  struct Entry {
    PyObject* orig;
    PyObject* copy;
  };
  static constexpr std::size_t kNone = SIZE_MAX;

  Memo() = default;
  Memo(const Memo&) = delete;
  Memo& operator=(const Memo&) = delete;
  ~Memo() { std::free(index_); }

  // The copy of `orig` (borrowed), or nullptr.
  PyObject* find(PyObject* orig) const {
    if (!index_) {
      for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].orig == orig) return entries_[i].copy;
      return nullptr;
    }
    for (std::size_t s = slot(orig);; s = (s + 1) & mask_) {
      const std::uint32_t e = index_[s];
      if (!e) return nullptr;
      if (entries_[e - 1].orig == orig) return entries_[e - 1].copy;
    }
  }
  // A new entry (orig is not in the memo). False with MemoryError set.
  bool add(PyObject* orig, PyObject* copy) {
    if (!entries_.push_back({orig, copy})) return false;
    Py_INCREF(orig);
    Py_INCREF(copy);
    if (index_ && 2 * entries_.size() <= mask_ + 1) {
      insert(entries_.size() - 1);
      return true;
    }
    if (entries_.size() > kLinear) return reindex();
    return true;
  }
  // _keep_alive(orig): orig has an entry, which holds the reference.
  bool keep(PyObject* orig) {
    if (keep_pos_ == kNone) keep_pos_ = entries_.size();
    return keep_.push_back(orig);
  }
  std::size_t size() const { return entries_.size(); }
  const Entry& entry(std::size_t i) const { return entries_[i]; }
  std::size_t kept() const { return keep_.size(); }
  PyObject* kept(std::size_t i) const { return keep_[i]; }
  // Position of memo[id(memo)] among the entries (kNone: not there yet).
  std::size_t keep_pos() const { return keep_pos_; }

  // Drop every entry and its references.
  void clear() {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Py_DECREF(entries_[i].orig);
      Py_DECREF(entries_[i].copy);
    }
    entries_.clear();
    keep_.clear();
    keep_pos_ = kNone;
    std::free(index_);
    index_ = nullptr;
    mask_ = 0;
  }

 private:
  static constexpr std::size_t kInline = 16;  // entries scanned linearly
  static constexpr std::size_t kLinear = kInline;

  std::size_t slot(PyObject* p) const {
    const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & mask_;
  }
  void insert(std::size_t i) {
    std::size_t s = slot(entries_[i].orig);
    while (index_[s]) s = (s + 1) & mask_;
    index_[s] = static_cast<std::uint32_t>(i + 1);
  }
  bool reindex() {
    if (entries_.size() >= UINT32_MAX / 4) {
      PyErr_NoMemory();
      return false;
    }
    std::size_t cap = 64;
    while (cap < 4 * entries_.size()) cap *= 2;
    auto* idx = static_cast<std::uint32_t*>(std::calloc(cap, sizeof(std::uint32_t)));
    if (!idx) {
      PyErr_NoMemory();
      return false;
    }
    std::free(index_);
    index_ = idx;
    mask_ = cap - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) insert(i);
    return true;
  }

  SmallVec<Entry, kInline> entries_;
  SmallVec<PyObject*, kInline> keep_;
  std::size_t keep_pos_ = kNone;
  std::uint32_t* index_ = nullptr;  // open addressing, entry index + 1
  std::size_t mask_ = 0;
};

struct Ctx {
  PyObject* memo = nullptr;     // the Python memo dict, once there is one
  bool own_memo = false;        // ... made by us (else the caller's)
  PyObject* memo_id = nullptr;  // id(memo), owned
  Memo cm;                      // the memo until then

  explicit Ctx(PyObject* caller_memo) : memo(caller_memo) {}
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
  ~Ctx() {
    if (!Ref::holds_gil()) return;  // thread exit at shutdown: leak
    cm.clear();
    Py_XDECREF(memo_id);
    if (own_memo) Py_DECREF(memo);
  }
};

PyObject* copy_obj(Ctx& c, PyObject* x);

// Turn the private memo into the dict copy.deepcopy would hold now.
int materialize(Ctx& c) {
  PyObject* memo = PyDict_New();
  if (!memo) return -1;
  PyObject* memo_id = PyLong_FromVoidPtr(memo);
  PyObject* keep = nullptr;
  const Memo& m = c.cm;
  if (!memo_id) goto fail;
  if (m.keep_pos() != Memo::kNone) {
    keep = PyList_New(static_cast<Py_ssize_t>(m.kept()));
    if (!keep) goto fail;
    for (std::size_t i = 0; i < m.kept(); ++i)
      PyList_SET_ITEM(keep, static_cast<Py_ssize_t>(i), Py_NewRef(m.kept(i)));
  }
  for (std::size_t i = 0; i <= m.size(); ++i) {
    if (i == m.keep_pos() && PyDict_SetItem(memo, memo_id, keep) < 0) goto fail;
    if (i == m.size()) break;
    PyObject* key = PyLong_FromVoidPtr(m.entry(i).orig);
    if (!key) goto fail;
    const int r = PyDict_SetItem(memo, key, m.entry(i).copy);
    Py_DECREF(key);
    if (r < 0) goto fail;
  }
  Py_XDECREF(keep);
  c.memo = memo;
  c.own_memo = true;
  c.memo_id = memo_id;
  c.cm.clear();
  return 0;
fail:
  Py_XDECREF(keep);
  Py_XDECREF(memo_id);
  Py_DECREF(memo);
  return -1;
}

// _keep_alive(x, memo) on the Python memo.
int keep_alive_py(Ctx& c, PyObject* x) {
  if (!c.memo_id && !(c.memo_id = PyLong_FromVoidPtr(c.memo))) return -1;
  PyObject* keep;
  const int found = PyDict_GetItemRef(c.memo, c.memo_id, &keep);
  if (found < 0) return -1;
  if (found) {
    int r;
    if (PyList_CheckExact(keep)) {
      r = PyList_Append(keep, x);
    } else {
      static PyObject* s_append = PyUnicode_InternFromString("append");
      PyObject* res = s_append ? PyObject_CallMethodOneArg(keep, s_append, x) : nullptr;
      r = res ? 0 : -1;
      Py_XDECREF(res);
    }
    Py_DECREF(keep);
    if (r == 0 || !PyErr_ExceptionMatches(PyExc_KeyError)) return r;
    PyErr_Clear();  // `except KeyError:` around the whole statement
  }
  PyObject* fresh = PyList_New(1);
  if (!fresh) return -1;
  PyList_SET_ITEM(fresh, 0, Py_NewRef(x));
  const int r = PyDict_SetItem(c.memo, c.memo_id, fresh);
  Py_DECREF(fresh);
  return r;
}

// The key id(x) for the Python memo: `key` if the caller has it, else a new
// one in `own` (which the caller releases).
inline PyObject* id_key(PyObject* x, PyObject* key, PyObject*& own) {
  if (key) return key;
  return own = PyLong_FromVoidPtr(x);
}

// memo[id(x)] = y before the items of list/dict x are copied.
int memo_open(Ctx& c, PyObject* x, PyObject* key, PyObject* y) {
  if (!c.memo) return c.cm.add(x, y) ? 0 : -1;
  PyObject* own = nullptr;
  PyObject* k = id_key(x, key, own);
  const int r = k ? PyDict_SetItem(c.memo, k, y) : -1;
  Py_XDECREF(own);
  return r;
}

// What copy.deepcopy does once y is the copy of x (y is not x):
// memo[id(x)] = y; _keep_alive(x, memo). `in_memo`: x has its entry already
// (only matters for the private memo, where that entry cannot have changed).
int memo_close(Ctx& c, PyObject* x, PyObject* key, PyObject* y, bool in_memo) {
  if (!c.memo) {
    if (!in_memo && !c.cm.add(x, y)) return -1;
    return c.cm.keep(x) ? 0 : -1;
  }
  PyObject* own = nullptr;
  PyObject* k = id_key(x, key, own);
  int r = k ? PyDict_SetItem(c.memo, k, y) : -1;
  Py_XDECREF(own);
  if (r == 0) r = keep_alive_py(c, x);
  return r;
}

// copy.deepcopy(x, memo) for an object not handled here.
PyObject* fallback(Ctx& c, PyObject* x) {
  if (!c.memo && materialize(c) < 0) return nullptr;
  PyObject* fn = py_deepcopy();
  if (!fn) return nullptr;
  PyObject* args[] = {x, c.memo};
  return PyObject_Vectorcall(fn, args, 2, nullptr);
}

inline PyObject* copy_item(Ctx& c, PyObject* x) {
  if (!c.memo && is_atomic(x)) return Py_NewRef(x);
  return copy_obj(c, x);
}

PyObject* copy_list(Ctx& c, PyObject* x, PyObject* key) {
  if (Py_EnterRecursiveCall(" while deep-copying a list")) return nullptr;
  PyObject* y = PyList_New(0);
  if (!y) goto fail;
  if (memo_open(c, x, key, y) < 0) goto fail;
  // By index, like list's iterator: the list may change under the walk.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
    PyObject* item = Py_NewRef(PyList_GET_ITEM(x, i));
    PyObject* copy = copy_item(c, item);
    Py_DECREF(item);
    if (!copy) goto fail;
    const int r = PyList_Append(y, copy);
    Py_DECREF(copy);
    if (r < 0) goto fail;
  }
  if (memo_close(c, x, key, y, true) < 0) goto fail;
  Py_LeaveRecursiveCall();
  return y;
fail:
  Py_LeaveRecursiveCall();
  Py_XDECREF(y);
  return nullptr;
}

PyObject* copy_dict(Ctx& c, PyObject* x, PyObject* key) {
  if (Py_EnterRecursiveCall(" while deep-copying a dict")) return nullptr;
  PyObject* y = PyDict_New();
  if (!y) goto fail;
  if (memo_open(c, x, key, y) < 0) goto fail;
  {
    // As dict.items()'s iterator: a size change is an error at the next
    // step, and so is finding more entries than the dict had.
    const Py_ssize_t used = PyDict_GET_SIZE(x);
    Py_ssize_t pos = 0, left = used;
    PyObject *k, *v;
    for (;;) {
      if (PyDict_GET_SIZE(x) != used) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        goto fail;
      }
      if (!PyDict_Next(x, &pos, &k, &v)) break;
      if (left-- == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        goto fail;
      }
      // Own them: copying may run code that changes x.
      Py_INCREF(k);
      Py_INCREF(v);
      PyObject* cv = copy_item(c, v);
      Py_DECREF(v);
      if (!cv) {
        Py_DECREF(k);
        goto fail;
      }
      PyObject* ck = copy_item(c, k);
      Py_DECREF(k);
      if (!ck) {
        Py_DECREF(cv);
        goto fail;
      }
      const int r = PyDict_SetItem(y, ck, cv);
      Py_DECREF(ck);
      Py_DECREF(cv);
      if (r < 0) goto fail;
    }
  }
  if (memo_close(c, x, key, y, true) < 0) goto fail;
  Py_LeaveRecursiveCall();
  return y;
fail:
  Py_LeaveRecursiveCall();
  Py_XDECREF(y);
  return nullptr;
}

PyObject* copy_tuple(Ctx& c, PyObject* x, PyObject* key) {
  if (Py_EnterRecursiveCall(" while deep-copying a tuple")) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(x);
  PyObject* y = nullptr;  // made at the first item whose copy is another object
  PyObject* found = nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(x, i);
    PyObject* copy = copy_item(c, item);
    if (!copy) goto fail;
    if (y) {
      PyTuple_SET_ITEM(y, i, copy);
    } else if (copy != item) {
      y = PyTuple_New(n);
      if (!y) {
        Py_DECREF(copy);
        goto fail;
      }
      for (Py_ssize_t j = 0; j < i; ++j) PyTuple_SET_ITEM(y, j, Py_NewRef(PyTuple_GET_ITEM(x, j)));
      PyTuple_SET_ITEM(y, i, copy);
    } else {
      Py_DECREF(copy);
    }
  }
  // A cycle through a mutable item may have copied x meanwhile.
  if (!c.memo) {
    found = Py_XNewRef(c.cm.find(x));
  } else {
    PyObject* own = nullptr;
    PyObject* k = id_key(x, key, own);
    const int r = k ? PyDict_GetItemRef(c.memo, k, &found) : -1;
    Py_XDECREF(own);
    if (r < 0) goto fail;
  }
  if (found) {
    Py_XDECREF(y);
    y = found;
    if (y != x && memo_close(c, x, key, y, true) < 0) goto fail;
  } else if (!y) {
    y = Py_NewRef(x);  // its own copy: not memoized
  } else if (memo_close(c, x, key, y, false) < 0) {
    goto fail;
  }
  Py_LeaveRecursiveCall();
  return y;
fail:
  Py_LeaveRecursiveCall();
  Py_XDECREF(y);
  return nullptr;
}

PyObject* copy_obj(Ctx& c, PyObject* x) {
  PyTypeObject* t = Py_TYPE(x);
  if (!c.memo) {
    if (is_atomic(x)) return Py_NewRef(x);
    if (t == &PyList_Type || t == &PyDict_Type || t == &PyTuple_Type) {
      if (PyObject* y = c.cm.find(x)) return Py_NewRef(y);
      if (t == &PyList_Type) return copy_list(c, x, nullptr);
      if (t == &PyDict_Type) return copy_dict(c, x, nullptr);
      return copy_tuple(c, x, nullptr);
    }
    return fallback(c, x);
  }
  // The Python memo: look everything up first, as copy.deepcopy does.
  PyObject* key = PyLong_FromVoidPtr(x);
  if (!key) return nullptr;
  PyObject* y;
  const int found = PyDict_GetItemRef(c.memo, key, &y);
  if (found == 0) {
    if (is_atomic(x)) y = Py_NewRef(x);
    else if (t == &PyList_Type) y = copy_list(c, x, key);
    else if (t == &PyDict_Type) y = copy_dict(c, x, key);
    else if (t == &PyTuple_Type) y = copy_tuple(c, x, key);
    else y = fallback(c, x);
  }
  Py_DECREF(key);
  return y;
}

}  // namespace

Ref deepcopy(Borrowed obj, Borrowed memo) {
  if (memo == Py_None) memo = nullptr;
  const bool ours = is_atomic(obj) || PyList_CheckExact(obj) || PyDict_CheckExact(obj) ||
                    PyTuple_CheckExact(obj);
  if (!ours || (memo && !PyDict_CheckExact(memo))) {
    // Nothing for us to do (or a memo that is not a plain dict, whose methods
    // copy.deepcopy would call): copy.deepcopy itself.
    PyObject* fn = py_deepcopy();
    if (!fn) throw_current();
    PyObject* args[] = {obj, memo};
    return check(PyObject_Vectorcall(fn, args, memo ? 2 : 1, nullptr));
  }
  if (!memo && is_atomic(obj)) return Ref::borrow(obj);
  Ctx c(memo);
  PyObject* y = copy_obj(c, obj);
  if (!y) throw_current();
  return Ref::steal(y);
}

}  // namespace pyco
