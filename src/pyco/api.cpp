// pyco/api.cpp - making the bridge's types (the owner) or taking them from
// the owner's capsule (every other module); see api.hpp.
#include <string>

#include "coro_object.hpp"

namespace pyco {
namespace detail {
Api g_api{};
}  // namespace detail

namespace {

using namespace detail;

constexpr const char* kAttr = "_pyco_api";

// The Api this copy publishes, when it is the owner's; made once, never freed.
Api* g_owned = nullptr;

std::string capsule_name(const char* module) { return std::string(module) + "." + kAttr; }

// A copy of `s` that lives as long as the process (type and capsule names).
const char* keep(const std::string& s) { return (new std::string(s))->c_str(); }

const char* counters(unsigned features) {
  return features & kFeatureStats ? "with" : "without";
}

// What every copy looks up for itself, owner or not.
int init_copy() noexcept {
  if (init_coroutine_names() < 0 || init_function_names() < 0 || init_awaitable_names() < 0)
    return -1;
  return 0;
}

// collections.abc.Coroutine.register(type). Its __subclasshook__ would accept
// the type anyway (it defines __await__, send, throw and close); registering
// says so explicitly.
void register_coroutine(PyTypeObject* type) {
  Ref abc = check(PyImport_ImportModule("collections.abc"));
  Ref coroutine_abc = check(PyObject_GetAttrString(abc.get(), "Coroutine"));
  check(PyObject_CallMethod(coroutine_abc.get(), "register", "O", type));
}

Api* make_api(const char* type_module) {
  const std::string prefix(type_module);
  PyTypeObject* coroutine = ready_coroutine_type(keep(prefix + ".cxx_coroutine"));
  if (!coroutine) throw_current();
  PyTypeObject* function = ready_function_type(keep(prefix + ".cxx_coroutine_function"));
  if (!function) throw_current();
  auto* a = new Api{kApiVersion, kFeatures, coroutine, function, nullptr};
#ifdef PYCO_STATS
  a->stats = new Stats;
  a->stats->traced_getattro = traced_getattro();
#endif
  g_api = *a;
  if (init_copy() < 0) throw_current();
  register_coroutine(coroutine);
  return a;
}

template <class F>
int guard_int(F&& f) noexcept {
  try {
    f();
    return 0;
  } catch (...) {
    set_error_from_cpp();  // a forced unwind cannot reach a module's init
    return -1;
  }
}

}  // namespace

int create_api(PyObject* module, const char* type_module) noexcept {
  return guard_int([&] {
    if (!g_owned) g_owned = make_api(type_module);
    const char* name = PyModule_GetName(module);
    if (!name) throw_current();
    Ref capsule = check(PyCapsule_New(g_owned, keep(capsule_name(name)), nullptr));
    check_int(PyModule_AddObjectRef(module, kAttr, capsule.get()));
  });
}

int import_api(const char* owner) noexcept {
  return guard_int([&] {
    Ref module = check(PyImport_ImportModule(owner));
    PyObject* raw = nullptr;
    check_int(PyObject_GetOptionalAttrString(module.get(), kAttr, &raw));
    Ref capsule = Ref::steal(raw);
    const std::string name = capsule_name(owner);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), name.c_str())) {
      PyErr_Format(PyExc_ImportError,
                   "%s does not export the coroutine bridge's types (no capsule %s)", owner,
                   name.c_str());
      throw_current();
    }
    const auto* a = static_cast<const Api*>(PyCapsule_GetPointer(capsule.get(), name.c_str()));
    if (!a) throw_current();
    if (a->version != kApiVersion) {
      PyErr_Format(PyExc_ImportError,
                   "the coroutine bridge of %s has interface version %u, this module's %u: "
                   "build them from the same sources",
                   owner, a->version, kApiVersion);
      throw_current();
    }
    if (a->features != kFeatures) {
      PyErr_Format(PyExc_ImportError,
                   "the coroutine bridge of %s was built %s counters (PYCO_STATS), this "
                   "module's %s: build them in the same configuration",
                   owner, counters(a->features), counters(kFeatures));
      throw_current();
    }
    if (!a->coroutine_type || !a->function_type) {
      PyErr_Format(PyExc_ImportError, "the capsule %s names no types", name.c_str());
      throw_current();
    }
    g_api = *a;
    if (init_copy() < 0) throw_current();
  });
}

int add_types(PyObject* module) noexcept {
  if (PyModule_AddObjectRef(module, "cxx_coroutine",
                            reinterpret_cast<PyObject*>(api().coroutine_type)) < 0)
    return -1;
  return PyModule_AddObjectRef(module, "cxx_coroutine_function",
                               reinterpret_cast<PyObject*>(api().function_type));
}

}  // namespace pyco
