// Construction and truth test of a class made by make_class, straight into
// the C++ bodies of its __init__ and __bool__.
//
// type() gives a class whose namespace defines __init__ or __bool__ CPython's
// generic slots: tp_init = slot_tp_init and nb_bool = slot_nb_bool, which look
// the method up on the instance's type at every call and then call it (with
// an argument tuple and keyword dict, for tp_init); calling the class itself
// goes through type.__call__, which builds that tuple and dict.  The direct
// slots installed here do the same things in fewer steps:
// - direct_init and direct_bool look the method up as the generic slots do
//   (through the MRO, with CPython's type attribute cache) and, when what
//   they find is a function of this module, run its body without the call;
//   anything else goes to the generic slot that type() had installed;
// - direct_new, the class's own vectorcall (3.9 on), does what
//   type.__call__ does, object.__new__ and then __init__, for as long as the
//   class's __new__ is object's and its tp_init one of the two above; the
//   arguments reach the body as they were passed, `self` written ahead of
//   them into the caller's free slot where the call allows it.
// CPython itself keeps the rest right.  Assigning or deleting __init__ or
// __bool__ on the class or a base (type_setattro -> update_slot) re-derives
// the slot, replacing the direct one with the generic one or the base's; a
// subclass made by a class statement derives its slots from its MRO (the
// generic ones, since our functions are not wrapper descriptors); a class's
// vectorcall is not inherited.  So a patched, deleted or overridden method
// is always called as it would be without these slots.
//
// Of all the core, this file leans most on how CPython works inside, and it
// is the first thing to check on a new CPython:
// - _PyType_Lookup is private API (declared by Python.h from 3.7 to 3.13):
//   a borrowed reference to what the MRO holds for a name, or NULL without
//   an error set.  own_method() is the one place here that calls it
//   (calls.cpp's unbound_method is the other); 3.13 adds _PyType_LookupRef,
//   which returns a new reference, should the borrowed one go;
// - the generic slots are recognised by value: the first class made here
//   that defines the method records what type() installed, and a class's
//   slot is replaced only while it still is that generic one;
// - slots are patched after type() made the class, then PyType_Modified;
//   update_slot must still re-derive a slot when the method is assigned or
//   deleted, type.__call__ must still mean tp_new then tp_init, and a heap
//   type's tp_vectorcall must be honoured and not inherited.
// tests/test_class_changes.py checks each of these against the plain-Python
// model on every interpreter of the matrix (it needs no GStreamer): methods
// assigned, patched, deleted or overridden in subclasses, a __new__ of the
// class's own, and calls through type.__call__, which are the paths where
// the direct slots hand over to the generic ones or to type.__call__.
// Should something here stop holding, install_direct_slots() is the one
// switch: returning before it patches anything leaves every class on
// CPython's generic slots, as a class written in Python is.
#include "function.hpp"

#include "args.hpp"
#include "names.hpp"

namespace mv {

namespace {

Name dunder_init("__init__");
Name dunder_bool("__bool__");

// CPython's generic slots, as type() set them on the first class made here
// that defines the method: one C function each for the whole process, so
// these are written once, under the interpreter lock, and then only read.
initproc generic_init = nullptr;
inquiry generic_bool = nullptr;

// The function that `type` finds for `name` when it is one of this module's,
// held for the call.
Ref own_method(PyTypeObject* type, Name& name) {
    PyObject* found = _PyType_Lookup(type, name.get());
    return Ref::borrow(found && Py_TYPE(found) == &FunctionType ? found : nullptr);
}

// What slot_tp_init makes of __init__'s result.
int init_result(Ref result) {
    if (!result) {
        return -1;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return -1;
    }
    return 0;
}

int direct_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref init = own_method(Py_TYPE(self), dunder_init);
    if (!init) {
        return generic_init(self, args, kwargs);
    }
    auto* f = reinterpret_cast<Function*>(init.get());
    return init_result(Ref::steal(call_function_tuple(f, self, args, kwargs)));
}

int direct_bool(PyObject* self) {
    Ref method = own_method(Py_TYPE(self), dunder_bool);
    if (!method) {
        return generic_bool(self);
    }
    auto* f = reinterpret_cast<Function*>(method.get());
    Ref result = Ref::steal(call_function(f, &self, 1, nullptr));
    if (!result) {
        return -1;
    }
    if (!PyBool_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__bool__ should return bool, returned %s",
                     Py_TYPE(result.get())->tp_name);
        return -1;
    }
    return result.get() == Py_True ? 1 : 0;
}

#if MV_HAVE_TYPE_VECTORCALL
// type.__call__(cls, *args, **kwargs).
PyObject* type_call(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref tuple;
    Ref kwargs;
    return pack(args, PyVectorcall_NARGS(nargsf), kwnames, tuple, kwargs)
               ? Py_TYPE(cls)->tp_call(cls, tuple.get(), kwargs.get())
               : nullptr;
}

// self.__init__(*args, **kwargs) through our function `init`, the
// arguments as vectorcall passed them.
int call_own_init(PyObject* init, PyObject* self, PyObject* const* args, size_t nargsf,
                  PyObject* kwnames) {
    ArgStack stack;
    if (!stack.prepend(self, args, nargsf, kwnames)) {
        return -1;
    }
    auto* f = reinterpret_cast<Function*>(init);
    return init_result(
        Ref::steal(call_function(f, stack.args(), PyVectorcall_NARGS(nargsf) + 1, kwnames)));
}

// tp_init(self, *args, **kwargs) of a slot that is not ours.
int call_init_slot(initproc slot, PyObject* self, PyObject* const* args, size_t nargsf,
                   PyObject* kwnames) {
    Ref tuple;
    Ref kwargs;
    return pack(args, PyVectorcall_NARGS(nargsf), kwnames, tuple, kwargs)
               ? slot(self, tuple.get(), kwargs.get())
               : -1;
}

bool is_direct_or_generic(initproc slot) { return slot == direct_init || slot == generic_init; }

// A call of the class, as type.__call__ makes it: tp_new, and then tp_init of
// the new instance's type.  Where that is object.__new__ and our __init__,
// the arguments reach the body as they were passed.
PyObject* direct_new(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new || !is_direct_or_generic(type->tp_init)) {
        return type_call(cls, args, nargsf, kwnames);
    }
    // object.__new__ looks at no argument while __init__ is overridden.
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref self = no_args ? Ref::steal(type->tp_new(type, no_args.get(), nullptr)) : Ref();
    if (!self) {
        return nullptr;
    }
    // Making the instance may have run code (a collection, finalizers) that
    // changed the class: __init__ is looked up only now, as tp_init does.
    const initproc slot = Py_TYPE(self.get())->tp_init;
    Ref init = own_method(Py_TYPE(self.get()), dunder_init);
    int status = 0;
    if (init && is_direct_or_generic(slot)) {
        status = call_own_init(init.get(), self.get(), args, nargsf, kwnames);
    } else if (slot) {
        status = call_init_slot(slot, self.get(), args, nargsf, kwnames);
    }
    return status < 0 ? nullptr : self.release();
}
#endif

// Whether the class's own namespace holds one of this module's functions
// under `name`.
bool defines_own(PyTypeObject* type, Name& name) {
    PyObject* found = PyDict_GetItemWithError(type->tp_dict, name.get());
    return found && Py_TYPE(found) == &FunctionType;
}

}  // namespace

bool install_direct_slots(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (defines_own(type, dunder_init)) {
        generic_init = generic_init ? generic_init : type->tp_init;
        if (type->tp_init == generic_init) {
            type->tp_init = direct_init;
#if MV_HAVE_TYPE_VECTORCALL
            if (Py_TYPE(cls) == &PyType_Type) {
                type->tp_vectorcall = direct_new;
            }
#endif
        }
    }
    if (defines_own(type, dunder_bool)) {
        generic_bool = generic_bool ? generic_bool : type->tp_as_number->nb_bool;
        if (type->tp_as_number->nb_bool == generic_bool) {
            type->tp_as_number->nb_bool = direct_bool;
        }
    }
    PyType_Modified(type);
    return !PyErr_Occurred();
}

}  // namespace mv
