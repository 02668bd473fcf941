// The CPython mechanics that every module of the package shares, one job per
// file.  A module file includes this header and, besides the C API itself
// (objects' own functions, errors, the buffer protocol, GStreamer's C
// libraries in frame.cpp), uses only what these declare.  No module file
// calls Py_INCREF or Py_DECREF: what it owns lives in a Ref, and what it
// returns to CPython leaves a Ref by release() (or is Py_RETURN_NONE).
//
//   version.hpp   the CPython versions the code adapts to, one named guard each
//   ref.hpp       Ref, the owning reference
//   names.hpp     interned names (Name) and keyword-name tuples (KwNames)
//   calls.hpp     calls, attributes and methods; raise; truth
//   text.hpp      format(), f-string fields and their joining; the exact-str check
//   numbers.hpp   timeouts in seconds and 64-bit unsigned ints, as callers give them
//   items.hpp     `first, second = item` and `for key, value in mapping.items()`
//   modules.hpp   MV_MODULE, imports, binding names, module globals at each use
//   define.hpp    functions and classes from specs, and super().__init__()
//
// The core's own files, which module files do not include:
//   args.hpp      the argument stack: every change of calling convention
//   function.hpp  the function object type (binding.cpp, function_type.cpp,
//                 function_stub.cpp) and the direct slots of classes (slots.cpp)
#pragma once

#include "ref.hpp"
#include "names.hpp"
#include "calls.hpp"
#include "text.hpp"
#include "numbers.hpp"
#include "items.hpp"
#include "modules.hpp"
#include "define.hpp"
