// Calls, attributes and methods, as Python code writes them.  All return an
// empty Ref (or false) with the Python exception set on failure.
#pragma once

#include "names.hpp"

#include <initializer_list>

namespace mv {

// callable(*args); with `kw`, the last kw.size() arguments are passed by those names.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}, KwNames* kw = nullptr);
Ref getattr(PyObject* obj, Name& name);
bool setattr(PyObject* obj, Name& name, PyObject* value);

// A method looked up on an object ahead of its arguments, as `obj.name(...)`
// evaluates it; calling it later avoids making a bound method where the
// attribute is a plain method of the object's class.
class Method {
public:
    Method(PyObject* obj, Name& name);
    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }
    Ref operator()(std::initializer_list<PyObject*> args = {}, KwNames* kw = nullptr);

private:
    Ref callable_;
    Ref self_;  // set when callable_ is an unbound function that wants self first
};

// callable(first, *args), the last kw->size() arguments passed by name, as
// a call of a method found unbound does it; `first` is left out when it is
// nullptr.
Ref call_with(PyObject* callable, PyObject* first, std::initializer_list<PyObject*> args,
              KwNames* kw);

// Raises what `raise callable(message)` raises.  Always returns nullptr.
PyObject* raise_new(PyObject* callable, PyObject* message);

// Truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

}  // namespace mv
