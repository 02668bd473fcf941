// mivelo.stream_reader.tunables: checks a stream reader's runtime options.
//
// Each supplied option must be supported and of the supported type; the
// first one that is not raises InvalidRuntimeOptionError naming it.  The
// check keeps no state, so any thread may call it.
#include "core.hpp"

namespace {

using mv::Function;
using mv::Name;
using mv::Ref;

Name InvalidRuntimeOptionError_("InvalidRuntimeOptionError");
Name unknown_option_head("Unknown option '");
Name option_head("Option '");
Name expected_head("' should be of type '");
Name got_head("', got '");
Name quote("'");

// supported[key]; an exact dict is read directly (it has no __missing__).
Ref lookup(PyObject* supported, PyObject* key) {
    if (PyDict_CheckExact(supported)) {
        PyObject* value = PyDict_GetItemWithError(supported, key);
        if (value || PyErr_Occurred()) {
            return Ref::borrow(value);
        }
        // Gone since the membership test: let the subscription raise KeyError.
    }
    return Ref::steal(PyObject_GetItem(supported, key));
}

// raise InvalidRuntimeOptionError(message), the class looked up as it stands now.
bool raise_invalid(Function& fn, Ref message) {
    Ref error_class = message ? mv::global(fn, InvalidRuntimeOptionError_) : Ref();
    if (error_class) {
        mv::raise_new(error_class.get(), message.get());
    }
    return false;
}

// "Unknown option '<key>'"
bool unknown_option(Function& fn, PyObject* key) {
    Ref key_text = mv::format_text(key);
    return raise_invalid(
        fn, key_text ? mv::join({unknown_option_head.get(), key_text.get(), quote.get()}) : Ref());
}

// "Option '<key>' should be of type '<supported[key]>', got '<type(val)>'"
bool wrong_type(Function& fn, PyObject* key, PyObject* val, PyObject* supported) {
    Ref key_text = mv::format_text(key);
    if (!key_text) {
        return false;
    }
    Ref expected = lookup(supported, key);
    Ref expected_text = expected ? mv::format_text(expected.get()) : Ref();
    if (!expected_text) {
        return false;
    }
    Ref got_text = mv::format_text(reinterpret_cast<PyObject*>(Py_TYPE(val)));
    return got_text && raise_invalid(fn, mv::join({option_head.get(), key_text.get(),
                                                   expected_head.get(), expected_text.get(),
                                                   got_head.get(), got_text.get(), quote.get()}));
}

// `key in supported`, then supported[key]: 1 with `expected` set, 0 when the
// key is not supported, -1 with an error set.
int find_expected(PyObject* supported, PyObject* key, Ref& expected) {
    if (PyDict_CheckExact(supported) && PyUnicode_CheckExact(key)) {
        // An exact str hashes and compares without running code, and so do
        // an exact dict's lookups of it (short of a stored key of another
        // type with the very same hash): one lookup answers both.
        PyObject* value = PyDict_GetItemWithError(supported, key);
        if (!value) {
            return PyErr_Occurred() ? -1 : 0;
        }
        expected = Ref::borrow(value);
        return 1;
    }
    const int known = PyDict_CheckExact(supported) ? PyDict_Contains(supported, key)
                                                   : PySequence_Contains(supported, key);
    if (known > 0) {
        expected = lookup(supported, key);
        return expected ? 1 : -1;
    }
    return known;
}

bool check_option(Function& fn, PyObject* key, PyObject* val, PyObject* supported) {
    Ref expected;
    const int known = find_expected(supported, key, expected);
    if (known <= 0) {
        return known == 0 ? unknown_option(fn, key) : false;
    }
    // The first test isinstance() makes, without the call.
    const int matches = Py_TYPE(val) == reinterpret_cast<PyTypeObject*>(expected.get())
                            ? 1
                            : PyObject_IsInstance(val, expected.get());
    if (matches <= 0) {
        return matches == 0 ? wrong_type(fn, key, val, supported) : false;
    }
    return true;
}

// check_tunables(supplied, supported)
PyObject* check_tunables(Function& fn, PyObject* const* args) {
    PyObject* supplied = args[0];
    PyObject* supported = args[1];
    const bool ok = mv::for_each_item(supplied, [&](PyObject* key, PyObject* val) {
        return check_option(fn, key, val, supported);
    });
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const mv::FunctionSpec kCheckTunables = {
    "check_tunables",
    "supplied, supported",
    "key, val",
    "Checks that the supplied runtime options are supported by the stream\n"
    "    reader and are of the right type.\n"
    "\n"
    "    :param supplied: The supplied options\n"
    "    :param supported: The supported options, where the key is the option name\n"
    "        and the value is the expected type\n"
    "    ",
    {nullptr},
    check_tunables,
    nullptr,
};

int exec_tunables(PyObject* module) {
    if (!mv::import_names(module, "mivelo.errors", 0, {"InvalidRuntimeOptionError"})) {
        return -1;
    }
    Ref function = mv::make_function(module, kCheckTunables, nullptr);
    return function && mv::bind(module, kCheckTunables.name, function.get()) ? 0 : -1;
}

}  // namespace

MV_MODULE(tunables, exec_tunables)
