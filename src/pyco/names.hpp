// pyco/names.hpp - the pieces of a module's name registry.
//
// A module keeps every interned string, keyword-name tuple and library
// callable it uses in one table: an X-macro list per kind, expanded once
// into the fields of one struct and once into the code that fills them.
// The struct is made at module init and never freed (C++ static
// destructors run after the interpreter has finalized, when no Python
// object may be touched), so its fields are plain pointers to objects that
// stay alive for the life of the process.
//
//   #define MY_STRINGS(X) X(s_set, "set") X(s_name, "name")
//   #define MY_KWNAMES(X) X(kw_name_task, "name", "task")
//   #define MY_LIBRARY(X) X(gather, "asyncio", "gather")
//   struct Names {
//     MY_STRINGS(PYCO_NAME_FIELD) MY_KWNAMES(PYCO_NAME_FIELD) MY_LIBRARY(PYCO_NAME_FIELD)
//   };
//   void fill(Names* n) {
//     MY_STRINGS(PYCO_NAME_STRING) MY_KWNAMES(PYCO_NAME_KWNAMES) MY_LIBRARY(PYCO_NAME_LIBRARY)
//   }
//
// Every entry of a list is used by the module; one that is not is deleted.
#pragma once
#include "util.hpp"

namespace pyco {

// module.attr (dotted attribute paths allowed; "" for the module itself),
// imported now; a new reference.
inline Ref import_attr(const char* module, const char* attr) {
  Ref obj = check(PyImport_ImportModule(module));
  if (*attr == '\0') return obj;
  const char* start = attr;
  for (const char* p = attr;; ++p) {
    if (*p == '.' || *p == '\0') {
      Ref part = check(PyUnicode_FromStringAndSize(start, p - start));
      obj = check(PyObject_GetAttr(obj.get(), part.get()));
      if (*p == '\0') break;
      start = p + 1;
    }
  }
  return obj;
}

}  // namespace pyco

#define PYCO_NAME_FIELD(id, ...) PyObject* id = nullptr;
#define PYCO_NAME_STRING(id, text) n->id = ::pyco::intern(text).release();
#define PYCO_NAME_KWNAMES(id, ...) n->id = ::pyco::kwnames({__VA_ARGS__}).release();
#define PYCO_NAME_LIBRARY(id, module, attr) n->id = ::pyco::import_attr(module, attr).release();
