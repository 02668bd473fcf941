#include "items.hpp"

#include "calls.hpp"

namespace mv {

namespace {

Name items_name("items");

}  // namespace

bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

bool raise_items_of_none() {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return false;
}

bool raise_dict_resized() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

bool raise_dict_keys_changed() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    return false;
}

Ref items_iterator(PyObject* mapping) {
    Ref items_method = getattr(mapping, items_name);
    if (!items_method) {
        return {};
    }
    Ref items = call(items_method.get());
    return items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
}

}  // namespace mv
