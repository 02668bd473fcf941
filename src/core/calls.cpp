#include "calls.hpp"

#include "args.hpp"

namespace mv {

namespace {

// callable(*args), the last PyTuple_GET_SIZE(kwnames) of the `n` arguments
// passed by those names; args[-1] is free for the callee to use.
Ref vectorcall(PyObject* callable, PyObject** args, Py_ssize_t n, PyObject* kwnames) {
    const Py_ssize_t npos = n - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
#if MV_HAVE_PUBLIC_VECTORCALL
    return Ref::steal(PyObject_Vectorcall(
        callable, args, static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#elif MV_HAVE_VECTORCALL
    return Ref::steal(_PyObject_Vectorcall(
        callable, args, static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#else
    Ref tuple;
    Ref kwargs;
    if (!pack(args, npos, kwnames, tuple, kwargs)) {
        return {};
    }
    return Ref::steal(PyObject_Call(callable, tuple.get(), kwargs.get()));
#endif
}

// `raise obj`, for the object a call produced.
PyObject* raise_object(PyObject* obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance = call(obj);
        if (!instance) {
            return nullptr;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            return nullptr;
        }
        PyErr_SetObject(obj, instance.get());
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

#if MV_HAVE_VECTORCALL && !MV_HAVE_GET_METHOD
// What `obj.name` finds when it is a method descriptor of the object's class
// that the instance does not shadow, looked up as the interpreter's method
// call does: the descriptor itself, to be called with obj first.  Returns 1
// with `found` set to it, 2 with `found` set to the instance's own entry that
// shadows it, 0 when the attribute must be fetched by getattr, and -1 with an
// error set.  _PyType_Lookup and _PyObject_GetDictPtr are private API (see
// slots.cpp on what to check with a new CPython).
int unbound_method(PyObject* obj, PyObject* key, Ref& found) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(key) ||
        !PyType_HasFeature(type, Py_TPFLAGS_READY)) {
        return 0;
    }
    PyObject* descr = _PyType_Lookup(type, key);
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return 0;
    }
    // A method descriptor defines no __set__, so an entry of the instance's
    // own dict comes first.
    Ref method = Ref::borrow(descr);
    PyObject** dict_ptr = _PyObject_GetDictPtr(obj);
    if (!dict_ptr) {
#ifdef Py_TPFLAGS_MANAGED_DICT
        if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
            return 0;  // its dict could not be had: leave it to getattr
        }
#endif
    } else if (*dict_ptr) {
        Ref dict = Ref::borrow(*dict_ptr);
        PyObject* own = PyDict_GetItemWithError(dict.get(), key);
        if (own) {
            found = Ref::borrow(own);
            return 2;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    found = std::move(method);
    return 1;
}
#endif

}  // namespace

Ref call_with(PyObject* callable, PyObject* first, std::initializer_list<PyObject*> args,
              KwNames* kw) {
    const auto n = static_cast<Py_ssize_t>(args.size()) + (first ? 1 : 0);
    if (n > kMaxArgs || (kw && kw->size() > static_cast<Py_ssize_t>(args.size()))) {
        PyErr_SetString(PyExc_SystemError, "mivelo: a call with more arguments than names or room");
        return {};
    }
    PyObject* kwnames = kw ? kw->get() : nullptr;
    if (kw && !kwnames) {
        return {};
    }
    // The arguments as the caller holds them, borrowed, after one free slot.
    // Calls from C++ pass a few arguments that the caller holds: their stack
    // needs neither a tuple for more nor references of its own, and an
    // ArgStack's bookkeeping of those measured about 5 ns a call.
    PyObject* slots[kMaxArgs + 1];
    PyObject** stack = slots + 1;
    Py_ssize_t i = 0;
    if (first) {
        stack[i++] = first;
    }
    for (PyObject* arg : args) {
        stack[i++] = arg;
    }
    return vectorcall(callable, stack, n, kwnames);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, KwNames* kw) {
    return call_with(callable, nullptr, args, kw);
}

Ref getattr(PyObject* obj, Name& name) {
    PyObject* key = name.get();
    return key ? Ref::steal(PyObject_GetAttr(obj, key)) : Ref();
}

bool setattr(PyObject* obj, Name& name, PyObject* value) {
    PyObject* key = name.get();
    if (!key) {
        return false;
    }
    // The name is an interned str already, the one thing PyObject_SetAttr
    // would add before handing over to the type's slot.
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return (set ? set(obj, key, value) : PyObject_SetAttr(obj, key, value)) == 0;
}

// `obj.name` as the interpreter looks up a method it is about to call: a
// plain function (or other method descriptor) of the class is kept unbound
// and called with obj prepended, so no bound method is made for the call.
Method::Method(PyObject* obj, Name& name) {
    PyObject* key = name.get();
    if (!key) {
        return;
    }
#if MV_HAVE_GET_METHOD
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(obj, key, &found);
    callable_ = Ref::steal(found);
    if (unbound && callable_) {
        self_ = Ref::borrow(obj);
    }
#elif MV_HAVE_VECTORCALL
    const int found = unbound_method(obj, key, callable_);
    if (found == 1) {
        self_ = Ref::borrow(obj);
    } else if (found == 0) {
        callable_ = Ref::steal(PyObject_GetAttr(obj, key));
    }
#else
    callable_ = Ref::steal(PyObject_GetAttr(obj, key));
#endif
}

Ref Method::operator()(std::initializer_list<PyObject*> args, KwNames* kw) {
    return call_with(callable_.get(), self_.get(), args, kw);
}

PyObject* raise_new(PyObject* callable, PyObject* message) {
    Ref error = call(callable, {message});
    return error ? raise_object(error.get()) : nullptr;
}

}  // namespace mv
