// Text as Python code makes it: format(), f-string fields and their joining,
// and the exact-str check of the factories' arguments.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace mv {

// Text of a value as format(value, "") gives it.
Ref format_text(PyObject* value);
// The same, but exact int and float through repr(), as an f-string field does.
Ref fstring_text(PyObject* value);
// The concatenation of `parts`, each an exact str (or a Name's text), as an
// f-string joins its pieces: without parsing a format.
Ref join(std::initializer_list<PyObject*> parts);

// `TypeError: Argument '<name>' has incorrect type ...` unless value is an
// exact str or None.  Returns false with the error set.
bool check_str_or_none(PyObject* value, const char* name);

}  // namespace mv
