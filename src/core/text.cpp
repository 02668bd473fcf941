#include "text.hpp"

#include "names.hpp"

namespace mv {

namespace {

Name empty("");

}  // namespace

Ref format_text(PyObject* value) { return Ref::steal(PyObject_Format(value, empty.get())); }

Ref fstring_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Ref::steal(PyObject_Repr(value));
    }
    return format_text(value);
}

Ref join(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        if (!part) {
            return {};
        }
#if !MV_HAVE_READY_STRINGS
        if (PyUnicode_READY(part) < 0) {
            return {};
        }
#endif
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        max_char = part_max > max_char ? part_max : max_char;
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    if (!text) {
        return {};
    }
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_CopyCharacters(text.get(), at, part, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return text;
}

bool check_str_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyUnicode_CheckExact(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, "str", Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace mv
