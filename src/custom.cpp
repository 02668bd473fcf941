// mivelo.pipeline_factories.custom: the factory for a caller's own GStreamer
// launch string.
//
// The launch string holds a "{url}" field that construction fills with the
// URL.  The URL is plain text inside the launch syntax, so construction first
// refuses a URL that could end a value and start new elements or properties:
// one holding a double quote, a backslash or a control character anywhere,
// and one with which GStreamer's launch lexer would read the string
// otherwise than with a harmless URL of the same shape (url_rule.hpp).
#include "factory.hpp"
#include "url_rule.hpp"

namespace {

using factory::APPSINK_PROPERTIES;
using factory::BUFFER_SRC_NAME;
using factory::Pipeline_;
using factory::appsink_;
using factory::get_static_pad_;
using factory::pipeline_watcher_;
using factory::src_;
using factory::url_;
using mv::Function;
using mv::KwNames;
using mv::Method;
using mv::Name;
using mv::Ref;

Name InvalidCustomPipelineError_("InvalidCustomPipelineError");
Name mask_text_("mask_text");
Name mask_url_("mask_url");
Name pipeline_str_("_pipeline_str");
Name logger_("_logger");
Name from_launch_string_("from_launch_string");
Name get_by_name_("get_by_name");
Name set_property_("set_property");
Name warning_("warning");
Name format_("format");
Name url_field("{url}");
Name main_sink_("main_sink");

KwNames url_keyword("url");

const char kNoBufferSource[] =
    "Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will not be "
    "skipped";
const char kNoSourcePad[] =
    "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe to";

// raise InvalidCustomPipelineError(message), the class looked up as it stands now.
PyObject* raise_invalid(Function& fn, Ref message) {
    Ref error_class = message ? mv::global(fn, InvalidCustomPipelineError_) : Ref();
    return error_class ? mv::raise_new(error_class.get(), message.get()) : nullptr;
}

// mask(text), with the module global `mask` (mask_text or mask_url) as it
// stands now: what an error shows of a URL or a launch string.
Ref masked(Function& fn, Name& mask, PyObject* text) {
    Ref function = mv::global(fn, mask);
    return function ? mv::call(function.get(), {text}) : Ref();
}

// Raises InvalidCustomPipelineError when the URL (`url`, whose text is
// `url_text`) could change the structure of the pipeline that `launch`
// describes (see url_rule.hpp).
bool check_url(Function& fn, PyObject* launch, PyObject* url, PyObject* url_text) {
    const url_rule::Verdict verdict = url_rule::judge(launch, url, url_text);
    if (verdict == url_rule::Verdict::accepted || verdict == url_rule::Verdict::error) {
        return verdict == url_rule::Verdict::accepted;
    }
    Ref shown = masked(fn, mask_url_, url_text);
    raise_invalid(fn, shown ? Ref::steal(PyUnicode_FromFormat(
                                  verdict == url_rule::Verdict::lone_surrogate
                                      ? "Refused URL %R: it holds a lone surrogate, which no "
                                        "launch string can carry"
                                      : "Refused URL %R: it would change the structure of the "
                                        "pipeline; percent-encode white space, quotes, "
                                        "backslashes and control characters",
                                  shown.get()))
                            : Ref());
    return false;
}

// __init__(self, pipeline_str, *, url, pipeline_watcher, on_complete)
PyObject* init(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* pipeline_str = args[1];
    PyObject* url = args[2];
    PyObject* pipeline_watcher = args[3];
    PyObject* on_complete = args[4];
    if (!mv::check_str_or_none(pipeline_str, "pipeline_str") || !mv::check_str_or_none(url, "url")) {
        return nullptr;
    }
    if (!factory::init_base(fn, self, url, on_complete)) {
        return nullptr;
    }
    if (pipeline_str == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    const int has_field = PyUnicode_Contains(pipeline_str, url_field.get());
    if (has_field <= 0) {
        Ref shown = has_field < 0 ? Ref() : masked(fn, mask_text_, pipeline_str);
        return shown ? raise_invalid(fn, Ref::steal(PyUnicode_FromFormat(
                                             "Invalid pipeline format: '%S'. Pipelines must "
                                             "contain a '{url}' portion to be filled by the "
                                             "source URL.",
                                             shown.get())))
                     : nullptr;
    }
    Ref stored_url = mv::getattr(self, url_);
    Ref url_text = stored_url ? mv::format_text(stored_url.get()) : Ref();
    if (!url_text || !check_url(fn, pipeline_str, stored_url.get(), url_text.get())) {
        return nullptr;
    }
    Method format(pipeline_str, format_);
    Ref filled = format ? format({stored_url.get()}, &url_keyword) : Ref();
    if (!filled || !mv::setattr(self, pipeline_str_, filled.get()) ||
        !mv::setattr(self, pipeline_watcher_, pipeline_watcher)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Pipeline.from_launch_string(self._pipeline_str, self._url)
Ref parse(Function& fn, PyObject* self) {
    Ref pipeline_class = mv::global(fn, Pipeline_);
    if (!pipeline_class) {
        return {};
    }
    Method from_launch_string(pipeline_class.get(), from_launch_string_);
    if (!from_launch_string) {
        return {};
    }
    Ref launch = mv::getattr(self, pipeline_str_);
    Ref url = launch ? mv::getattr(self, url_) : Ref();
    return url ? from_launch_string({launch.get(), url.get()}) : Ref();
}

// The element named "main_sink", which must exist.
Ref find_sink(Function& fn, PyObject* self, PyObject* pipeline) {
    Method get_by_name(pipeline, get_by_name_);
    Ref sink = get_by_name ? get_by_name({main_sink_.get()}) : Ref();
    if (!sink || !sink.is_none()) {
        return sink;
    }
    Ref launch = mv::getattr(self, pipeline_str_);
    Ref text = launch ? mv::format_text(launch.get()) : Ref();
    Ref shown = text ? masked(fn, mask_text_, text.get()) : Ref();
    raise_invalid(fn, shown ? Ref::steal(PyUnicode_FromFormat(
                                  "No element with name 'main_sink' element found in custom "
                                  "pipeline '%S'",
                                  shown.get()))
                            : Ref());
    return {};
}

// for name, value in _APPSINK_PROPERTIES.items(): sink.set_property(name, value)
bool configure_sink(Function& fn, PyObject* sink) {
    Ref properties = mv::global(fn, APPSINK_PROPERTIES);
    return properties && mv::for_each_item(properties.get(), [&](PyObject* name, PyObject* value) {
               Method set_property(sink, set_property_);
               return set_property && set_property({name, value});
           });
}

// Warns when the buffer source is missing; refuses one without a "src" pad.
bool check_buffer_source(Function& fn, PyObject* self, PyObject* pipeline) {
    Method get_by_name(pipeline, get_by_name_);
    Ref name = get_by_name ? mv::global(fn, BUFFER_SRC_NAME) : Ref();
    Ref source = name ? get_by_name({name.get()}) : Ref();
    if (!source) {
        return false;
    }
    if (source.is_none()) {
        Ref logger = mv::getattr(self, logger_);
        if (!logger) {
            return false;
        }
        Method warning(logger.get(), warning_);
        Ref message = Ref::steal(PyUnicode_FromString(kNoBufferSource));
        return warning && message && warning({message.get()});
    }
    Method get_static_pad(source.get(), get_static_pad_);
    Ref pad = get_static_pad ? get_static_pad({src_.get()}) : Ref();
    if (!pad) {
        return false;
    }
    if (pad.is_none()) {
        raise_invalid(fn, Ref::steal(PyUnicode_FromString(kNoSourcePad)));
        return false;
    }
    return true;
}

// build(self) -> "Pipeline"
PyObject* build(Function& fn, PyObject* const* args) {
    PyObject* self = args[0];
    Ref pipeline = parse(fn, self);
    if (!pipeline || !factory::watch_bus(self, pipeline.get())) {
        return nullptr;
    }
    Ref sink = find_sink(fn, self, pipeline.get());
    if (!sink || !configure_sink(fn, sink.get()) ||
        !mv::setattr(pipeline.get(), appsink_, sink.get()) ||
        !check_buffer_source(fn, self, pipeline.get()) || !factory::play(fn, pipeline.get())) {
        return nullptr;
    }
    return pipeline.release();
}

const mv::FunctionSpec kInit = {
    "__init__",
    "self, pipeline_str, *, url, pipeline_watcher, on_complete",
    nullptr,
    "\n"
    "        :param pipeline_str: The custom pipeline string\n"
    "        :param url: The URL to connect to\n"
    "        :param pipeline_watcher: Function to connect to the pipeline's bus\n"
    "        :param on_complete: Called when the pipeline has been built successfully\n"
    "        ",
    {"pipeline_str", "str", "url", "str", "pipeline_watcher", "_PIPELINE_WATCHER", "on_complete",
     "_ON_COMPLETE_CALLBACK"},
    init,
    nullptr,
};

const mv::FunctionSpec kBuild = factory::build_spec(build);

const mv::FunctionSpec* const kMethods[] = {&kInit, &kBuild, nullptr};

const mv::ClassSpec kFactory = {"CustomPipelineFactory", "Creates a pipeline from a pipeline string.",
                                kMethods};

int exec_custom(PyObject* module) {
    return factory::define_factory(module, "InvalidCustomPipelineError", kFactory) ? 0 : -1;
}

}  // namespace

MV_MODULE(custom, exec_custom)
