// Iteration as the modules' Python writes it: `first, second = item`, and
// the loop `for key, value in mapping.items():`.
#pragma once

#include "ref.hpp"

namespace mv {

// Unpacks `item` into exactly two values, with CPython's messages.
bool unpack_pair(PyObject* item, Ref& first, Ref& second);

// Walks `mapping.items()`: an exact dict directly (RuntimeError when its size
// changes during the walk), anything else through the iterator of its items().
// `visit(key, value)` returns false to stop with an error set.
template <class Visit>
bool for_each_item(PyObject* mapping, Visit&& visit);

// What for_each_item raises, and the iterator of its general case (items.cpp).
bool raise_items_of_none();
bool raise_dict_resized();
bool raise_dict_keys_changed();
// iter(mapping.items())
Ref items_iterator(PyObject* mapping);

template <class Visit>
bool for_each_item(PyObject* mapping, Visit&& visit) {
    if (mapping == Py_None) {
        return raise_items_of_none();
    }
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
#if MV_HAVE_DICT_KEYS_CHECK
        // Entries the walk may still yield: from 3.8 on a dict iterator stops
        // with an error when it meets more entries than the dict had at the
        // start, as it does when keys are replaced while the size stays.
        Py_ssize_t remaining = size;
#endif
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (;;) {
            if (PyDict_GET_SIZE(mapping) != size) {
                return raise_dict_resized();
            }
            if (!PyDict_Next(mapping, &pos, &key, &value)) {
                return true;
            }
#if MV_HAVE_DICT_KEYS_CHECK
            if (remaining-- == 0) {
                return raise_dict_keys_changed();
            }
#endif
            // The visitor may run code that changes the dict; hold both.
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            if (!visit(k.get(), v.get())) {
                return false;
            }
        }
    }
    Ref iterator = items_iterator(mapping);
    if (!iterator) {
        return false;
    }
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            return !PyErr_Occurred();
        }
        Ref key;
        Ref value;
        if (!unpack_pair(item.get(), key, value) || !visit(key.get(), value.get())) {
            return false;
        }
    }
}

}  // namespace mv
