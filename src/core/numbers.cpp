#include "numbers.hpp"

#include <cmath>
#include <limits>

namespace mv {

bool timeout_seconds(PyObject* timeout, double& seconds) {
    if (timeout == Py_None) {
        seconds = std::numeric_limits<double>::infinity();
        return true;
    }
    if (PyBool_Check(timeout) || !(PyFloat_Check(timeout) || PyLong_Check(timeout))) {
        PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds or None, not %.200s",
                     Py_TYPE(timeout)->tp_name);
        return false;
    }
    seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_Format(PyExc_ValueError, "timeout must be at least 0, not %R", timeout);
        return false;
    }
    return true;
}

bool unsigned_64(PyObject* value, const char* name, unsigned long long& number) {
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be from 0 to 2**64-1, not %R", name, value);
        return false;
    }
    return true;
}

}  // namespace mv
