// pyco/api.hpp - the bridge's Python types, one set per process.
//
// Every extension module links a copy of pyco of its own, but the Python
// types of the bridge (the coroutine and the coroutine function) exist once
// in the process: asyncio caches the types it has seen as coroutines, code
// that tells coroutine functions apart by their type must see one type, and
// a C++ coroutine that awaits another steps it directly only when it
// recognises the type.
//
// One module owns the types. Its init calls create_api(), which readies them
// under the names the owner gives and publishes them as the module attribute
// _pyco_api: a capsule named "<owner module>._pyco_api" holding an Api.
// Every other module's init calls import_api() with the owner's name instead:
// that imports the owner (so the owner is always initialised first) and
// copies the Api out of the capsule. Either way api() then names the same
// types in every copy, and each copy has readied its own interned names.
//
// Which copy runs what:
//   * the types' slots (send, throw, close, dealloc, traverse, ...) are
//     functions of the owner's copy;
//   * a coroutine object or a coroutine function made through another copy
//     (wrap(), new_function()) has the layout of that copy, the same one:
//     all copies come from the same sources, and the version number below
//     changes whenever the objects' layout or this struct does;
//   * a frame is resumed and destroyed through its std::coroutine_handle,
//     i.e. by the functions of the module that compiled its body, whichever
//     copy drives it.
//
// Counters. A build with PYCO_STATS defined (the test build, where every
// module is compiled with it) counts live frames and coroutine objects and
// the slot calls, and can record the names of attributes read on coroutine
// objects. The counters are the owner's, shared through the Api, so they
// cover the coroutines of every module. Without PYCO_STATS the hot paths
// carry no counting at all. A module refuses an owner whose build differs
// from its own in this (or in the version).
#pragma once
#include "ref.hpp"

namespace pyco {

// Live objects and slot calls, counted in builds with PYCO_STATS.
struct Stats {
  long long frames_live = 0;
  long long objects_live = 0;
  long long am_send = 0, iternext = 0, send = 0, throw_ = 0, close = 0, am_await = 0;
  // The names of attributes read on coroutine objects are added to this set
  // while it is set (owned reference).
  PyObject* attr_trace = nullptr;
  // The owner's tp_getattro that records them, hooked in only while tracing.
  getattrofunc traced_getattro = nullptr;
};

inline constexpr unsigned kApiVersion = 2;
inline constexpr unsigned kFeatureStats = 1u << 0;
#ifdef PYCO_STATS
inline constexpr unsigned kFeatures = kFeatureStats;
#else
inline constexpr unsigned kFeatures = 0;
#endif

// What the capsule holds. Plain data; the owner's lives as long as the
// process, and each copy keeps a copy of it.
struct Api {
  unsigned version;   // kApiVersion of the owner
  unsigned features;  // kFeatures of the owner's build
  PyTypeObject* coroutine_type;
  PyTypeObject* function_type;
  Stats* stats;  // the owner's counters; null unless features has kFeatureStats
};

namespace detail {
extern Api g_api;  // this copy's; zero until create_api or import_api
}  // namespace detail

inline const Api& api() noexcept { return detail::g_api; }

// For the owner's init: readies the types, named "<type_module>.cxx_coroutine"
// and "<type_module>.cxx_coroutine_function", registers the coroutine type
// with collections.abc.Coroutine and sets module._pyco_api. 0, or -1 with a
// Python error set. A second call only publishes the capsule again.
int create_api(PyObject* module, const char* type_module) noexcept;

// For every other module's init: imports `owner` (a dotted module name) and
// takes the types from its _pyco_api. 0, or -1 with ImportError set if the
// owner has none or was built for another version or with other features.
int import_api(const char* owner) noexcept;

// Sets the types as module.cxx_coroutine and module.cxx_coroutine_function.
int add_types(PyObject* module) noexcept;

#ifdef PYCO_STATS
// The owner's counters.
inline Stats& stats() noexcept { return *detail::g_api.stats; }
// Record the names of attributes read on coroutine objects into `set`, or
// stop recording (null).
void set_attr_trace(PyObject* set_or_null) noexcept;
#define PYCO_COUNT(counter, delta) (::pyco::detail::g_api.stats->counter += (delta))
#else
#define PYCO_COUNT(counter, delta) ((void)0)
#endif

}  // namespace pyco
