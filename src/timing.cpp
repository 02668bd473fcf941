// mivelo.utils.timing: Timeout, a loop guard that stays true for a number of
// seconds.
//
// Expiry is worked out afresh at every truth test, against the module's
// `time` as it is bound at that moment; nothing is latched.  While that is
// still the builtin time.time, the wall clock is read here directly, to the
// same double that time.time() would return, instead of through a call and a
// float object; any other `time` (a fake clock) is called.
#include "core.hpp"

#include <cstdint>
#include <ctime>

namespace {

using mv::Function;
using mv::Name;
using mv::Ref;

Name time_("time");
Name logger_("logger");
Name TimeoutError_("TimeoutError");
Name warning_("warning");
Name start_("start");
Name time_seconds_("time_seconds");
Name raise_error_("raise_error");
Name print_timeout_("print_timeout");

// The C function behind the builtin time.time that the import bound.
PyCFunction builtin_time = nullptr;

// time.time()'s own reading of the wall clock: CLOCK_REALTIME in integer
// nanoseconds, turned into seconds the way CPython turns it into a float
// (whole seconds divided as integers, anything else as a double divided by
// 1e9).  False where time.time() would fail or overflow; the caller then
// calls it and gets its error.
bool read_wall_clock(double& seconds) {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        return false;
    }
    constexpr std::int64_t kNsPerSecond = 1000000000;
    std::int64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(ts.tv_sec), kNsPerSecond, &ns) ||
        __builtin_add_overflow(ns, static_cast<std::int64_t>(ts.tv_nsec), &ns)) {
        return false;
    }
    if (ns % kNsPerSecond == 0) {
        const std::int64_t whole = ns / kNsPerSecond;
        seconds = static_cast<double>(whole);
    } else {
        volatile double d = static_cast<double>(ns);  // as CPython rounds it
        d /= 1e9;
        seconds = d;
    }
    return true;
}

// Whether `clock` is the builtin time.time (or another builtin of the same C
// function), whose result read_wall_clock() reproduces.
bool is_builtin_time(PyObject* clock) {
    return builtin_time && Py_TYPE(clock) == &PyCFunction_Type &&
           PyCFunction_GET_FUNCTION(clock) == builtin_time;
}

// time(), with the module's `time` as bound now: read directly while that is
// the builtin; anything else is called.  `reading` gets the value when it is
// a float of the wall clock read directly (then `clock_result` stays empty).
bool read_clock(Function& fn, Ref& clock_result, double& reading) {
    Ref clock = mv::global(fn, time_);
    if (!clock) {
        return false;
    }
    if (is_builtin_time(clock.get()) && read_wall_clock(reading)) {
        return true;
    }
    clock_result = mv::call(clock.get());
    return static_cast<bool>(clock_result);
}

// time()
Ref now(Function& fn) {
    Ref result;
    double reading = 0.0;
    if (!read_clock(fn, result, reading)) {
        return {};
    }
    return result ? std::move(result) : Ref::steal(PyFloat_FromDouble(reading));
}

// time() - self.start
Ref elapsed(Function& fn, PyObject* self) {
    Ref current = now(fn);
    Ref start = current ? mv::getattr(self, start_) : Ref();
    return start ? Ref::steal(PyNumber_Subtract(current.get(), start.get())) : Ref();
}

// The value of an exact float, or of an exact int that a double holds
// exactly (at most 48 bits, the bound under which float comparison converts
// an int), for comparing with a float.
bool as_exact_double(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        constexpr long long limit = 1LL << 48;
        if (!overflow && v > -limit && v < limit) {
            out = static_cast<double>(v);
            return true;
        }
    }
    return false;
}

// time() - self.start < self.time_seconds.  With a float clock reading (or
// the wall clock read directly) and a float start, as in use, the difference
// is taken on doubles and compared with a float or small int limit directly:
// float subtraction and comparison give the very same result and the same
// bool, without the floats in between.
Ref compare_elapsed(Function& fn, PyObject* self) {
    Ref current;
    double reading = 0.0;
    if (!read_clock(fn, current, reading)) {
        return {};
    }
    Ref start = mv::getattr(self, start_);
    if (!start) {
        return {};
    }
    const bool float_reading = !current || PyFloat_CheckExact(current.get());
    if (current && float_reading) {
        reading = PyFloat_AS_DOUBLE(current.get());
    }
    Ref seconds;
    if (float_reading && PyFloat_CheckExact(start.get())) {
        const double difference = reading - PyFloat_AS_DOUBLE(start.get());
        Ref limit = mv::getattr(self, time_seconds_);
        double bound = 0.0;
        if (!limit || as_exact_double(limit.get(), bound)) {
            return limit ? Ref::borrow(difference < bound ? Py_True : Py_False) : Ref();
        }
        seconds = Ref::steal(PyFloat_FromDouble(difference));
        return seconds ? Ref::steal(PyObject_RichCompare(seconds.get(), limit.get(), Py_LT)) : Ref();
    }
    if (!current && !(current = Ref::steal(PyFloat_FromDouble(reading)))) {
        return {};
    }
    seconds = Ref::steal(PyNumber_Subtract(current.get(), start.get()));
    Ref limit = seconds ? mv::getattr(self, time_seconds_) : Ref();
    return limit ? Ref::steal(PyObject_RichCompare(seconds.get(), limit.get(), Py_LT)) : Ref();
}

// __init__(self, time_seconds, raise_error=True, print_timeout=False)
PyObject* init(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref start = now(fn);
    if (!start || !mv::setattr(self, start_, start.get()) ||
        !mv::setattr(self, time_seconds_, args[1]) || !mv::setattr(self, raise_error_, args[2]) ||
        !mv::setattr(self, print_timeout_, args[3])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reset(self)
PyObject* reset(Function& fn, PyObject* const* args) {
    Ref start = now(fn);
    if (!start || !mv::setattr(args[0], start_, start.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// f"{time() - self.start}"
Ref elapsed_text(Function& fn, PyObject* self) {
    Ref seconds = elapsed(fn, self);
    return seconds ? mv::fstring_text(seconds.get()) : Ref();
}

// logger.warning(f"Timer timed out! Time: {time() - self.start}")
bool warn(Function& fn, PyObject* self) {
    Ref logger = mv::global(fn, logger_);
    Ref warning = logger ? mv::getattr(logger.get(), warning_) : Ref();
    if (!warning) {
        return false;
    }
    Ref seconds = elapsed_text(fn, self);
    if (!seconds) {
        return false;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("Timer timed out! Time: %U", seconds.get()));
    return message && mv::call(warning.get(), {message.get()});
}

// raise TimeoutError(f"Timer of {self.time_seconds} seconds timed out at {time() - self.start} seconds!")
void raise_timeout(Function& fn, PyObject* self) {
    Ref error_class = mv::global(fn, TimeoutError_);
    if (!error_class) {
        return;
    }
    Ref limit = mv::getattr(self, time_seconds_);
    Ref limit_text = limit ? mv::fstring_text(limit.get()) : Ref();
    if (!limit_text) {
        return;
    }
    Ref seconds = elapsed_text(fn, self);
    if (!seconds) {
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("Timer of %U seconds timed out at %U seconds!",
                                                  limit_text.get(), seconds.get()));
    if (message) {
        mv::raise_new(error_class.get(), message.get());
    }
}

// Reads a flag attribute and tests it: 1, 0, or -1 on error.
int flag(PyObject* self, Name& name) {
    Ref value = mv::getattr(self, name);
    return value ? mv::truth(value.get()) : -1;
}

// __bool__(self).  still_going is tested once for the warning and once for
// the error, each time it decides whether a flag is read at all.
PyObject* bool_(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref still_going = compare_elapsed(fn, self);
    if (!still_going) {
        return nullptr;
    }
    int going = mv::truth(still_going.get());
    if (going == 0) {
        const int print = flag(self, print_timeout_);
        if (print < 0 || (print && !warn(fn, self))) {
            return nullptr;
        }
    }
    if (going >= 0) {
        going = mv::truth(still_going.get());
    }
    if (going == 0) {
        const int raise = flag(self, raise_error_);
        if (raise > 0) {
            raise_timeout(fn, self);
        }
        if (raise != 0) {
            return nullptr;
        }
    }
    return going < 0 ? nullptr : still_going.release();
}

Ref default_flags() { return Ref::steal(PyTuple_Pack(2, Py_True, Py_False)); }

const mv::FunctionSpec kInit = {
    "__init__",
    "self, time_seconds, raise_error, print_timeout",
    nullptr,
    "\n"
    "        :param time_seconds: How long until the timeout returns False for bool()\n"
    "        :param print_timeout: If you want a printout when the timer has timed\n"
    "        out\n"
    "        :param raise_error: If you want the timer to raise an error if bool()\n"
    "        ever returns false\n"
    "        ",
    {nullptr},
    init,
    default_flags,
};

const mv::FunctionSpec kReset = {
    "reset",
    "self",
    nullptr,
    "Resets the timeout counter, making the new start time the current\n"
    "        time.\n"
    "        ",
    {nullptr},
    reset,
    nullptr,
};

const mv::FunctionSpec kBool = {
    "__bool__", "self", "still_going", nullptr, {nullptr}, bool_, nullptr,
};

const mv::FunctionSpec* const kMethods[] = {&kInit, &kReset, &kBool, nullptr};

const mv::ClassSpec kTimeout = {
    "Timeout",
    "This module is intended to be used as such:\n"
    "    >>> timeout = Timeout(300)\n"
    "    >>> while timeout:\n"
    "    >>>     # Do things\n"
    "    >>>     pass\n"
    "    The timeout object will return false after the alloted time, ending the\n"
    "    loop. This can be useful for tests.\n"
    "    ",
    kMethods,
};

// Remembers the C function of the builtin that `from time import time`
// bound, so that the clock is read directly while that binding stands.
void note_builtin_time(PyObject* module) {
    PyObject* clock = PyDict_GetItemWithError(PyModule_GetDict(module), time_.get());
    if (clock && Py_TYPE(clock) == &PyCFunction_Type &&
        PyCFunction_GET_FLAGS(clock) == METH_NOARGS) {
        builtin_time = PyCFunction_GET_FUNCTION(clock);
    }
}

int exec_timing(PyObject* module) {
    if (!mv::import_names(module, "time", 0, {"time"})) {
        return -1;
    }
    note_builtin_time(module);
    if (PyErr_Occurred() || !mv::import_names(module, "mivelo", 0, {"logger"})) {
        return -1;
    }
    return mv::define_class(module, nullptr, kTimeout) ? 0 : -1;
}

}  // namespace

MV_MODULE(timing, exec_timing)
