// attr_cache.cpp - the dict watcher and the cached reads (see attr_cache.hpp).
#include "attr_cache.hpp"

#include <cstring>

namespace velkor {
namespace attr_cache_detail {

Bucket buckets[kBuckets];
std::uint64_t epoch = 1;  // moved by the watcher

}  // namespace attr_cache_detail

namespace {

namespace d = attr_cache_detail;
int g_watcher = -1;  // the dict watcher, or -1 when none could be had
int g_registered = 0;

int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
  const bool one_key = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                       event == PyDict_EVENT_DELETED;
  // A key that is no registered name leaves every entry as it is; any other
  // key (one that may equal a registered name) and any change of the whole
  // dict moves the epoch.
  if (one_key && key && PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key) &&
      d::slot_of(key) < 0)
    return 0;
  ++d::epoch;
  return 0;
}

}  // namespace

void init_attr_cache() {
  g_watcher = PyDict_AddWatcher(on_dict_event);
  if (g_watcher < 0) PyErr_Clear();
}

void register_cached_names(std::initializer_list<PyObject*> names) {
  if (g_watcher < 0) return;
  for (PyObject* name : names) {
    if (d::slot_of(name) >= 0 || g_registered == kCachedNames) continue;
    std::size_t i = d::bucket_of(name);
    while (d::buckets[i].name) i = (i + 1) % d::kBuckets;
    d::buckets[i] = {name, g_registered++};
  }
}

PyObject* attr_cache_detail::lookup(DictCache& cache, PyObject* dict, PyObject* name, int slot) {
  if (slot >= 0 && (cache.epoch != epoch || cache.dict != dict)) {
    if (PyDict_Watch(g_watcher, dict) == 0) {
      cache.epoch = epoch;
      cache.dict = dict;
      std::memset(cache.entries, 0, sizeof cache.entries);
    } else {
      PyErr_Clear();
      cache.dict = nullptr;
    }
  }
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name, &value) < 0) return nullptr;
  // Kept only when nothing moved the epoch during the lookup.
  if (slot >= 0 && value && cache.dict == dict && cache.epoch == epoch)
    cache.entries[slot] = value;
  return value;
}

}  // namespace velkor
