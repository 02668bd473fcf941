// Numbers as Python callers give them to the modules' functions: timeouts
// in seconds, and 64-bit unsigned ints (frame indices, keys).
#pragma once

#include "version.hpp"

namespace mv {

// `timeout` as seconds: an int or a float (not a bool) of at least 0, or
// None for a wait without end, which gives infinity.  Returns false with
// TypeError or ValueError set.
bool timeout_seconds(PyObject* timeout, double& seconds);

// `value`, an int (not a bool) from 0 to 2**64-1, which the errors call
// `name`.  Returns false with TypeError or ValueError set.
bool unsigned_64(PyObject* value, const char* name, unsigned long long& number);

}  // namespace mv
