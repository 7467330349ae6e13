// pyrt/names.hpp: a module's constant objects (interned names, fixed texts,
// small ints, keyword-name tuples), made once at module exec.
//
// A module lists them in three X-macros and lets PYRT_NAMES declare the
// fields and the step that makes them:
//
//   #define MOD_TEXTS(X) X(recv, "recv") X(t_colon, ":")   // field, text
//   #define MOD_INTS(X) X(one, 1)                         // field, value
//   #define MOD_KEYWORDS(X) X(kw_obj_alias, obj, alias)   // field, text fields
//   struct Names { PYRT_NAMES(MOD_TEXTS, MOD_INTS, MOD_KEYWORDS) };
//
// Every object lives as long as the process, like the interned texts.
#pragma once

#include "pyrt/pyrt.hpp"

#include <initializer_list>

namespace pyrt {

// A tuple of the given texts, for the keyword names of a vectorcall.
PyObject* keywords(std::initializer_list<PyObject*> names);

}  // namespace pyrt

#define PYRT_NAME_FIELD(field, ...) PyObject* field = nullptr;
#define PYRT_NAME_TEXT(field, text) field = ::pyrt::intern(text);
#define PYRT_NAME_INT(field, value) \
  if (!(field = PyLong_FromLong(value))) return -1;
#define PYRT_NAME_KEYWORDS(field, ...) \
  if (!(field = ::pyrt::keywords({__VA_ARGS__}))) return -1;

// The fields, and `int make()`: makes them all, once; -1 with an error set.
#define PYRT_NAMES(TEXTS, INTS, KEYWORDS) \
  TEXTS(PYRT_NAME_FIELD)                  \
  INTS(PYRT_NAME_FIELD)                   \
  KEYWORDS(PYRT_NAME_FIELD)               \
  bool made = false;                      \
  int make() {                            \
    if (made) return 0;                   \
    TEXTS(PYRT_NAME_TEXT)                 \
    INTS(PYRT_NAME_INT)                   \
    KEYWORDS(PYRT_NAME_KEYWORDS)          \
    made = true;                          \
    return 0;                             \
  }
