// mivelo.errors: the package's exception types.
#include "core.hpp"

namespace {

using mv::ClassSpec;
using mv::Ref;

const ClassSpec kStreamSetupError = {
    "StreamSetupError", "An exception happened during setup of the stream.", nullptr};
const ClassSpec kInvalidCustomPipelineError = {
    "InvalidCustomPipelineError",
    "Raised when a supplied custom pipeline is missing a required component.", nullptr};
const ClassSpec kSourceNotFoundError = {
    "SourceNotFoundError", "Raised when the source for a stream no longer exists.", nullptr};
const ClassSpec kInvalidRuntimeOptionError = {
    "InvalidRuntimeOptionError",
    "Raised when a runtime option is provided that is not supported or is\n"
    "    of the wrong type.\n"
    "    ",
    nullptr};
const ClassSpec kNotLinkedError = {
    "NotLinkedError", "Raised when there was a problem while linking two elements", nullptr};

// Creates the class on `base` and binds it before the next one is made.
bool define(PyObject* module, PyObject* base, const ClassSpec& spec) {
    Ref cls = mv::make_class(module, base, spec);
    return cls && mv::bind(module, spec.name, cls.get());
}

// The subclasses of StreamSetupError take it from the module, as it stands
// once the first class has been bound.
bool define_on_global(PyObject* module, const char* base_name, const ClassSpec& spec) {
    Ref base = Ref::steal(PyObject_GetAttrString(module, base_name));
    return base && define(module, base.get(), spec);
}

int exec_errors(PyObject* module) {
    const bool ok = define(module, PyExc_Exception, kStreamSetupError) &&
                    define_on_global(module, "StreamSetupError", kInvalidCustomPipelineError) &&
                    define_on_global(module, "StreamSetupError", kSourceNotFoundError) &&
                    define(module, PyExc_Exception, kInvalidRuntimeOptionError) &&
                    define(module, PyExc_Exception, kNotLinkedError);
    return ok ? 0 : -1;
}

}  // namespace

MV_MODULE(errors, exec_errors)
