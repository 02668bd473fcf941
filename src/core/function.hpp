// The function object type behind every function and method of the package;
// the core's own header (module files see it only as the mv::Function that
// their bodies receive).
//
// It behaves like a Python function where callers can tell: it binds as a
// method, carries __name__, __qualname__, __module__, __doc__, __defaults__,
// __kwdefaults__, __annotations__, __dict__ and a real __code__ (a compiled
// stub with the same parameters and local names), so that inspect.signature()
// and help() describe it as they would the same def.  Calls are checked with
// CPython's own messages before the C++ body runs.
//
// Its code, one job per file:
// - binding.cpp: a call's arguments bound to the parameters, with CPython's
//   checks and messages, then the body (call_function, call_function_tuple);
// - function_type.cpp: the type, its slots and attributes;
// - function_stub.cpp: making a function from its spec and a compiled stub;
// - slots.cpp: a class's construction and truth test straight into the
//   bodies of its own __init__ and __bool__.
//
// Each extension module has its own copy of this type.  The core is a static
// library linked into every module's .so, so each module readies its own
// FunctionType (all of them named "mivelo.function"), and the functions a
// module makes are of its own copy.  That is harmless, and chosen over one
// shared core extension:
// - C++ treats an object as a Function only where it made the object itself
//   (make_class, and the bodies, which receive their own function) or has
//   checked that the object's type is its own module's FunctionType (the
//   direct slots, slots.cpp); a function of another module is handled like
//   any other callable;
// - what each copy keeps besides its static type object is set once and
//   then only read: the type's slot tables, filled by ready_function_type()
//   on the first import; and, in slots.cpp, the two generic slots that
//   type() gives every class whose namespace defines __init__ or __bool__
//   (slot_tp_init and slot_nb_bool, one C function each for the whole
//   process), recorded from the first class made.  Both are written with the
//   interpreter lock held, hold no Python object, and would be written with
//   the same values again by any other copy, so the copies cannot disagree
//   about anything at run time;
// - Python code sees what it sees of any function: the one trace is that
//   functions of two modules are not of the identical type object, which no
//   behaviour of the modules depends on (Python functions are of yet another
//   type, types.FunctionType).
// A shared core would add an import that no module's import list has, a
// table of entry points passed through a capsule, and an indirect call on
// every call into the core, to gain nothing that Python code can observe.
#pragma once

#include "define.hpp"

namespace mv {

struct Function {
    PyObject_HEAD
#if MV_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict or NULL (made on demand)
    PyObject* dict;
    PyObject* code;
    PyObject* globals;      // the module's namespace
    PyObject* builtins;     // the builtins module's namespace
    PyObject* owner;        // the class it was made for, as the __class__ cell of a def
    PyObject* varnames;     // parameter names, interned, in order
    PyObject* weakreflist;
    Py_ssize_t argcount;    // positional-or-keyword parameters
    Py_ssize_t kwonlycount;
    Body body;
};

// ---------------------------------------------------------------------------
// binding.cpp

// Calls `f` as calling it from Python does: the arguments bound to its
// parameters with CPython's checks and messages, then its body.  `args` holds
// `nargs` positional arguments and then the values of the keywords named in
// the tuple `kwnames` (or nullptr), as vectorcall lays them out.
PyObject* call_function(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// f(self, *args, **kwargs), where args is a tuple and kwargs a dict or
// nullptr, as tp_call and tp_init receive them; no `self` when it is nullptr.
PyObject* call_function_tuple(Function* f, PyObject* self, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// function_type.cpp

extern PyTypeObject FunctionType;
// Readies this module's FunctionType, once.
bool ready_function_type();
// Records the class a method belongs to (for call_super_init).
void set_owner(PyObject* function, PyObject* owner);
#if MV_HAVE_VECTORCALL
// The type's vectorcall, which each new function carries.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
#endif

// ---------------------------------------------------------------------------
// slots.cpp

// Once type() has made `cls`: its construction and truth test run the bodies
// of its own __init__ and __bool__ without looking them up and calling them
// through CPython's generic slots, for as long as the class finds these
// functions.  Returns false with an error set.
bool install_direct_slots(PyObject* cls);

}  // namespace mv
