// attr_cache.hpp - reads of dict entries that skip the lookup while nothing
// can have changed them.
//
// The engine reads a task's attributes and velkor_state's names at every use,
// so that the application may replace any of them at any moment. Most of them
// are set once and then only read. A dict watcher moves one global epoch
// whenever a watched dict adds, replaces or deletes one of the names
// registered here, is cleared, takes a clone or is freed; an entry read while
// the epoch stood still is what a new lookup would find. Entries are borrowed:
// the dict holds each of them for as long as the epoch stands.
//
// Names that change on the hot path (a task's counter, tag, WT_run) are not
// registered: every change of a registered name invalidates every cache.
// Everything here is used with the GIL held.
#pragma once
#include "engine.hpp"

#include <cstdint>

namespace velkor {

constexpr int kCachedNames = 32;

// The entries read from one dict.
struct DictCache {
  std::uint64_t epoch = 0;
  PyObject* dict = nullptr;  // borrowed: the dict the entries were read from
  PyObject* entries[kCachedNames] = {};
};

// Set up the watcher (at module import) and register the names to cache
// (interned strings, held for good by their owners). Without a watcher (all
// of the interpreter's are taken) no name is registered and every read looks
// up.
void init_attr_cache();
void register_cached_names(std::initializer_list<PyObject*> names);

namespace attr_cache_detail {
constexpr int kBuckets = 128;
struct Bucket {
  PyObject* name = nullptr;
  int slot = -1;
};
extern Bucket buckets[kBuckets];
extern std::uint64_t epoch;

inline std::size_t bucket_of(PyObject* name) {  // the top 7 bits of a Fibonacci hash
  const std::uint64_t h = reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 57);
}
// The slot of a registered name, else -1. Registered names are interned, so
// an interned string equal to one of them is that very object.
inline int slot_of(PyObject* name) {
  for (std::size_t i = bucket_of(name);; i = (i + 1) % kBuckets) {
    const Bucket& b = buckets[i];
    if (b.name == name) return b.slot;
    if (!b.name) return -1;
  }
}
PyObject* lookup(DictCache& cache, PyObject* dict, PyObject* name, int slot);
}  // namespace attr_cache_detail

// dict[name] as a new reference, or null: with an error set, or without one
// when the name is missing. Read through `cache` when the name is registered.
inline PyObject* cached_item(DictCache& cache, PyObject* dict, PyObject* name) {
  namespace d = attr_cache_detail;
  const int slot = d::slot_of(name);
  if (slot >= 0 && cache.epoch == d::epoch && cache.dict == dict) {
    if (PyObject* v = cache.entries[slot]) return Py_NewRef(v);
  }
  return d::lookup(cache, dict, name, slot);
}

}  // namespace velkor
