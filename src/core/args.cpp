#include "args.hpp"

namespace mv {

bool ArgStack::spill(Py_ssize_t n) {
    spill_ = Ref::steal(PyTuple_New(n));
    if (!spill_) {
        return false;
    }
    items_ = &PyTuple_GET_ITEM(spill_.get(), 0);
    return true;
}

Py_ssize_t ArgStack::unpack(PyObject* self, PyObject* args, PyObject* kwargs, Ref& kwnames) {
    const Py_ssize_t nargs = (self ? 1 : 0) + PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (!reserve(nargs + nkw)) {
        return -1;
    }
    if (self) {
        push(self);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        push(PyTuple_GET_ITEM(args, i));
    }
    if (nkw == 0) {
        return nargs;
    }
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return -1;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t j = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), j++, Ref::borrow(key).release());
        push_held(value);
    }
    return nargs;
}

#if MV_HAVE_VECTORCALL
bool ArgStack::prepend(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t total =
        PyVectorcall_NARGS(nargsf) + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        // The caller lets us use args[-1] while the call runs (PEP 590); the
        // array is const only in the signature that vectorcall gives it.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        lent_slot_ = const_cast<PyObject**>(args) - 1;
        lent_value_ = *lent_slot_;
        *lent_slot_ = self;
        items_ = lent_slot_;
        size_ = total + 1;
        return true;
    }
    if (!reserve(total + 1)) {
        return false;
    }
    push(self);
    for (Py_ssize_t i = 0; i < total; ++i) {
        push(args[i]);
    }
    return true;
}
#endif

bool pack(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref& tuple, Ref& kwargs) {
    tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    }
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        return true;
    }
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) {
        return false;
    }
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace mv
