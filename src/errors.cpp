// mivelo.errors: the package's exception types.
#include "core.hpp"

namespace {

using mv::ClassSpec;

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

// Each class takes its base from the module (or the builtins) as it stands
// once the classes before it have been bound.
int exec_errors(PyObject* module) {
    const bool ok = mv::define_class(module, "Exception", kStreamSetupError) &&
                    mv::define_class(module, "StreamSetupError", kInvalidCustomPipelineError) &&
                    mv::define_class(module, "StreamSetupError", kSourceNotFoundError) &&
                    mv::define_class(module, "Exception", kInvalidRuntimeOptionError) &&
                    mv::define_class(module, "Exception", kNotLinkedError);
    return ok ? 0 : -1;
}

}  // namespace

MV_MODULE(errors, exec_errors)
