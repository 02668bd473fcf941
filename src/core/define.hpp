// Functions and classes as a module defines them: from specs, made the way a
// def and a class statement make them, and the one thing a method's body
// needs of its class, `super().__init__(...)`.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace mv {

class KwNames;
struct Function;

// A function body receives one borrowed argument per parameter, in the order
// of the parameter list, after the call has been checked and defaults filled.
using Body = PyObject* (*)(Function& fn, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* params;  // the parameter list as a def writes it, without defaults
    const char* locals;  // further local variable names, comma-separated, or nullptr
    const char* doc;     // nullptr: no docstring
    const char* annotations[10];  // name, annotation text, ...; nullptr-terminated
    Body body;
    Ref (*defaults)();  // builds __defaults__, or nullptr
};

struct ClassSpec {
    const char* name;
    const char* doc;
    const FunctionSpec* const* methods;  // nullptr-terminated, or nullptr
};

// A function of `module` named spec.name (qualified by `owner_qualname`, the
// class it will belong to, when given).  function_stub.cpp.
Ref make_function(PyObject* module, const FunctionSpec& spec, const char* owner_qualname);

// Creates a class the way a class statement in `module` does: through the
// metaclass of `base` (type when base is nullptr), with a namespace from its
// __prepare__ holding __module__, __qualname__, __doc__ and the methods.
// classes.cpp, as are the two below.
Ref make_class(PyObject* module, PyObject* base, const ClassSpec& spec);

// `class <spec.name>(<base_name>): ...` at the top level of `module`: the base
// is looked up as a module global (then builtin) as it stands now, and the
// class is bound in the module.  No base_name: a class on object.
bool define_class(PyObject* module, const char* base_name, const ClassSpec& spec);

// `super().__init__(**kw)` from a method of the class that owns `fn`.
Ref call_super_init(Function& fn, PyObject* self, std::initializer_list<PyObject*> kwvalues,
                    KwNames& kw);

}  // namespace mv
