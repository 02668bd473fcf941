// The function type itself: its slots, its attributes (with the checks a
// Python function makes when they are set) and its readiness.
#include "function.hpp"

#include <structmember.h>

namespace mv {

namespace {

#if MV_HAVE_VECTORCALL
#if MV_HAVE_PUBLIC_VECTORCALL
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
constexpr unsigned long kCallFlags = kVectorcallFlag | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
constexpr unsigned long kCallFlags = 0;
#endif

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

#if !MV_HAVE_VECTORCALL
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_function_tuple(as_function(self), nullptr, args, kwargs);
}
#endif

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->owner);
    Py_VISIT(f->varnames);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->varnames);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

// Pickles and copies by reference, as functions do.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyObject* get_field(PyObject* value) {
    Py_INCREF(value);
    return value;
}

// Replaces a field, checking what a Python function checks for it.
int set_field(PyObject*& field, PyObject* value, bool (*accepts)(PyObject*), bool none_clears,
              const char* error) {
    if (value == nullptr || (none_clears && value == Py_None)) {
        if (!none_clears) {
            PyErr_SetString(PyExc_TypeError, error);
            return -1;
        }
        Py_CLEAR(field);
        return 0;
    }
    if (!accepts(value)) {
        PyErr_SetString(PyExc_TypeError, error);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

bool is_str(PyObject* v) { return PyUnicode_Check(v); }
bool is_tuple(PyObject* v) { return PyTuple_Check(v); }
bool is_dict(PyObject* v) { return PyDict_Check(v); }

PyObject* get_name(PyObject* self, void*) { return get_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->name, v, is_str, false,
                     "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->qualname, v, is_str, false,
                     "__qualname__ must be set to a string object");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return get_field(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->defaults, v, is_tuple, true,
                     "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return get_field(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->kwdefaults, v, is_dict, true,
                     "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) {
        return nullptr;
    }
    return get_field(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    return set_field(as_function(self)->annotations, v, is_dict, true,
                     "__annotations__ must be set to a dict object");
}
PyObject* get_code(PyObject* self, void*) { return get_field(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
#if MV_HAVE_QUALNAME_ERRORS
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

#if MV_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_function(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

// Filled in by ready_function_type(); only the object header is static.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

bool ready_function_type() {
    static bool ready = false;
    if (ready) {
        return true;
    }
    PyTypeObject& t = FunctionType;
    t.tp_name = "mivelo.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kCallFlags;
    t.tp_doc = "A function of the mivelo package, implemented in C++.";
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
#if MV_HAVE_VECTORCALL
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
#else
    t.tp_call = function_call;
#endif
    if (PyType_Ready(&t) < 0) {
        return false;
    }
    ready = true;
    return true;
}

void set_owner(PyObject* function, PyObject* owner) {
    Py_INCREF(owner);
    Py_XSETREF(as_function(function)->owner, owner);
}

}  // namespace mv
