// mivelo.pipeline_factories.custom: the factory for a caller's own GStreamer
// launch string.
//
// The launch string holds a "{url}" field that construction fills with the
// URL.  The URL is plain text inside the launch syntax, so construction first
// refuses a URL that could end a value and start new elements or properties:
// one holding a double quote, a backslash or a control character, or white
// space where a {url} field stands outside double quotes.
#include "factory.hpp"

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

// ---------------------------------------------------------------------------
// The URL rule

bool breaks_out_anywhere(Py_UCS4 c) { return c == '"' || c == '\\' || c < 0x20 || c == 0x7f; }

// Where a character of the launch string stands for the launch-syntax
// tokenizer, which reads the string after str.format has filled it in.
enum class Lex { token_start, in_token, escaped, double_quoted, single_quoted };

bool launch_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether white space in the URL could split the value that a field named
// `url` fills in, i.e. whether such a field may stand outside a double-quoted
// value of the launch string.  The template is read as str.format reads it
// (doubled braces are one literal brace, a field runs to its closing brace)
// and its literal text as the launch-syntax tokenizer reads the result:
// - outside quotes a backslash escapes the next character;
// - a double or single quote opens a quoted value only where a token starts
//   (at the start, or after unescaped white space or '='); anywhere else,
//   right after a closing quote included, it is part of an unquoted value;
// - a quoted value ends at the next quote of its kind that no backslash
//   precedes; one that the template never closes quotes nothing.
// Only a double-quoted value protects a field: the URL may itself hold single
// quotes, and the !r and !a conversions add quotes of their own.
bool url_field_outside_quotes(PyObject* launch) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(launch);
    const int kind = PyUnicode_KIND(launch);
    const void* data = PyUnicode_DATA(launch);
    auto at = [&](Py_ssize_t i) { return i < n ? PyUnicode_READ(kind, data, i) : Py_UCS4(0); };
    Lex state = Lex::token_start;
    bool after_backslash = false;  // within a quoted value
    bool url_in_value = false;     // a url field in the open double-quoted value
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = at(i);
        if (c == '{' && at(i + 1) != '{') {
            Py_ssize_t end = i + 1;
            while (end < n && at(end) != '}' && at(end) != '!' && at(end) != ':' && at(end) != '.' &&
                   at(end) != '[') {
                ++end;
            }
            const bool is_url =
                end - i == 4 && at(i + 1) == 'u' && at(i + 2) == 'r' && at(i + 3) == 'l';
            bool converted = false;  // a conversion other than !s, before any format spec
            bool in_spec = false;
            for (int depth = 1; depth > 0 && i + 1 < n;) {
                const Py_UCS4 d = at(++i);
                converted = converted || (!in_spec && d == '!' && at(i + 1) != 's');
                in_spec = in_spec || (depth == 1 && d == ':');
                depth += d == '{' ? 1 : d == '}' ? -1 : 0;
            }
            if (is_url && (state != Lex::double_quoted || converted)) {
                return true;
            }
            url_in_value = url_in_value || is_url;
            // The filled-in text acts as ordinary characters of the value.
            after_backslash = false;
            if (state != Lex::double_quoted && state != Lex::single_quoted) {
                state = Lex::in_token;
            }
            continue;
        }
        if ((c == '{' || c == '}') && at(i + 1) == c) {
            ++i;
        }
        switch (state) {
        case Lex::double_quoted:
        case Lex::single_quoted:
            if (c == (state == Lex::double_quoted ? '"' : '\'') && !after_backslash) {
                state = Lex::in_token;
                url_in_value = false;
            } else {
                after_backslash = c == '\\';
            }
            break;
        case Lex::escaped:
            state = Lex::in_token;
            break;
        case Lex::token_start:
        case Lex::in_token:
            if (c == '\\') {
                state = Lex::escaped;
            } else if ((c == '"' || c == '\'') && state == Lex::token_start) {
                state = c == '"' ? Lex::double_quoted : Lex::single_quoted;
                after_backslash = false;
            } else {
                state = launch_space(c) || c == '=' ? Lex::token_start : Lex::in_token;
            }
            break;
        }
    }
    return url_in_value;
}

// Raises InvalidCustomPipelineError when `url_text` could change the
// structure of the pipeline that `launch` describes: anywhere, with a double
// quote, a backslash or a control character; where a field may stand outside
// a double-quoted value, also with white space or a leading single quote.
bool check_url(Function& fn, PyObject* launch, PyObject* url_text) {
#if !MV_HAVE_READY_STRINGS
    if (PyUnicode_READY(launch) < 0 || PyUnicode_READY(url_text) < 0) {
        return false;
    }
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(url_text);
    const int kind = PyUnicode_KIND(url_text);
    const void* data = PyUnicode_DATA(url_text);
    bool has_space = false;
    bool refused = false;
    for (Py_ssize_t i = 0; i < n && !refused; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        refused = breaks_out_anywhere(c);
        has_space = has_space || Py_UNICODE_ISSPACE(c);
    }
    // A value that starts with a single quote opens a quoted value where the
    // field starts a token, and a later field or quote closes it.
    const bool leading_quote = n > 0 && PyUnicode_READ(kind, data, 0) == '\'';
    if (!refused && !((has_space || leading_quote) && url_field_outside_quotes(launch))) {
        return true;
    }
    raise_invalid(fn, Ref::steal(PyUnicode_FromFormat(
                          "Refused URL %R: it would change the structure of the pipeline; "
                          "percent-encode white space, quotes, backslashes and control characters",
                          url_text)));
    return false;
}

// ---------------------------------------------------------------------------
// The factory

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
        return has_field < 0 ? nullptr
                             : raise_invalid(fn, Ref::steal(PyUnicode_FromFormat(
                                                     "Invalid pipeline format: '%U'. Pipelines must "
                                                     "contain a '{url}' portion to be filled by the "
                                                     "source URL.",
                                                     pipeline_str)));
    }
    Ref stored_url = mv::getattr(self, url_);
    Ref url_text = stored_url ? mv::format_text(stored_url.get()) : Ref();
    if (!url_text || !check_url(fn, pipeline_str, url_text.get())) {
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
    Ref launch = from_launch_string ? mv::getattr(self, pipeline_str_) : Ref();
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
    raise_invalid(fn, text ? Ref::steal(PyUnicode_FromFormat(
                                 "No element with name 'main_sink' element found in custom "
                                 "pipeline '%U'",
                                 text.get()))
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
