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
        fn, key_text ? Ref::steal(PyUnicode_FromFormat("Unknown option '%U'", key_text.get())) : Ref());
}

// "Option '<key>' should be of type '<supported[key]>', got '<type(val)>'"
bool wrong_type(Function& fn, PyObject* key, PyObject* val, PyObject* supported) {
    Ref key_text = mv::format_text(key);
    Ref expected = key_text ? Ref::steal(PyObject_GetItem(supported, key)) : Ref();
    Ref expected_text = expected ? mv::format_text(expected.get()) : Ref();
    Ref got_text = expected_text ? mv::format_text(reinterpret_cast<PyObject*>(Py_TYPE(val))) : Ref();
    return raise_invalid(fn, got_text ? Ref::steal(PyUnicode_FromFormat(
                                            "Option '%U' should be of type '%U', got '%U'",
                                            key_text.get(), expected_text.get(), got_text.get()))
                                      : Ref());
}

bool check_option(Function& fn, PyObject* key, PyObject* val, PyObject* supported) {
    const int known = PySequence_Contains(supported, key);
    if (known <= 0) {
        return known == 0 ? unknown_option(fn, key) : false;
    }
    Ref expected = Ref::steal(PyObject_GetItem(supported, key));
    if (!expected) {
        return false;
    }
    const int matches = PyObject_IsInstance(val, expected.get());
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
