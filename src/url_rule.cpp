// The URL rule of the custom factory (see url_rule.hpp): the template is
// filled as str.format fills it, once with the URL and once with a harmless
// value, and launch_syntax.cpp compares how GStreamer's lexer reads the two.
#include "url_rule.hpp"

#include "launch_syntax.hpp"

namespace url_rule {

namespace {

using mv::Method;
using mv::Name;
using mv::Ref;

Name format_("format");
Name formatter_parser_("formatter_parser");
Name empty_("");
// What a url field is compared with: values that change nothing, one for a
// URL that the launch lexer reads as a URI on its own, one for any other.
Name harmless_uri_("a://a");
Name harmless_("a");

mv::KwNames url_keyword("url");

bool refused_anywhere(Py_UCS4 c) { return c == '"' || c == '\\' || c < 0x20 || c == 0x7f; }
bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

// Makes `str` readable by code point (strings made by the legacy API are
// not until 3.12).
bool ready(PyObject* str) {
#if MV_HAVE_READY_STRINGS
    (void)str;
    return true;
#else
    return PyUnicode_READY(str) == 0;
#endif
}

// Appends the code points of the str `str` to `text`.
bool append(launch::Text& text, PyObject* str) {
    if (!ready(str)) {
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        text.push_back(static_cast<char32_t>(PyUnicode_READ(kind, data, i)));
    }
    return true;
}

// Whether a field named `name` reads the url argument ("url", "url.x", "url[0]").
bool names_url(PyObject* name) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    const auto at = [&](Py_ssize_t i) { return i < n ? PyUnicode_READ_CHAR(name, i) : 0; };
    return at(0) == 'u' && at(1) == 'r' && at(2) == 'l' && (n == 3 || at(3) == '.' || at(3) == '[');
}

// What str.format makes of one field, with `value` as url; an empty str for
// a field that reads no url, and `failed` for one that format fails on (a
// harmless value may not suit a format spec meant for the URL's own type).
// Without `failed`, a field that format fails on gives an empty Ref with no
// error set: with the URL, format fails on it again when the launch string
// is filled, and raises then.
Ref field_text(PyObject* name, PyObject* spec, PyObject* conversion, PyObject* value,
               PyObject* failed) {
    if (!names_url(name)) {
        return Ref::borrow(empty_.get());
    }
    const bool has_spec = PyUnicode_GET_LENGTH(spec) > 0;
    Ref field = Ref::steal(PyUnicode_FromFormat(
        "{%U%s%U%s%U}", name, conversion != Py_None ? "!" : "",
        conversion != Py_None ? conversion : empty_.get(), has_spec ? ":" : "", spec));
    if (!field) {
        return {};
    }
    Method format(field.get(), format_);
    Ref text = format ? format({value}, &url_keyword) : Ref();
    if (!text && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return Ref::borrow(failed);  // an empty Ref without `failed`
    }
    return text;
}

// The launch string that `pieces` (what _string.formatter_parser yields for
// the template) make with `value` as url, and where its pieces stand; a
// field that format fails on stands as `failed`.  1 when filled; without
// `failed`, 0 when format fails on a field; -1 with an error set.
int fill(PyObject* pieces, PyObject* value, PyObject* failed, launch::Filled& filled) {
    const Py_ssize_t n = PyList_GET_SIZE(pieces);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces, i);
        PyObject* name = PyTuple_GET_ITEM(piece, 1);
        const auto at = [&] { return static_cast<launch::Pos>(filled.text.size()); };
        const launch::Pos literal = at();
        if (!append(filled.text, PyTuple_GET_ITEM(piece, 0))) {
            return -1;
        }
        filled.literals.push_back({literal, at()});
        if (name == Py_None) {
            continue;
        }
        Ref text =
            field_text(name, PyTuple_GET_ITEM(piece, 2), PyTuple_GET_ITEM(piece, 3), value, failed);
        const launch::Pos field = at();
        if (!text || !append(filled.text, text.get())) {
            return text || PyErr_Occurred() ? -1 : 0;
        }
        filled.fields.push_back({field, at()});
    }
    return 1;
}

// list(_string.formatter_parser(launch)): the template as str.format reads
// it; None when format refuses it (and raises when it is filled).
Ref template_pieces(PyObject* launch) {
    Ref string_module = Ref::steal(PyImport_ImportModule("_string"));
    Ref parser = string_module ? mv::getattr(string_module.get(), formatter_parser_) : Ref();
    if (!parser) {
        return {};
    }
    Ref iterator = mv::call(parser.get(), {launch});
    Ref pieces = iterator ? Ref::steal(PySequence_List(iterator.get())) : Ref();
    if (!pieces && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    return pieces;
}

// Whether filling `url` (whose text is `url_text`) into the template
// `launch` changes more than the token that holds it (see
// launch_syntax.hpp); -1 with an error set.
int changes_structure(PyObject* launch, PyObject* url, PyObject* url_text) {
    Ref pieces = template_pieces(launch);
    if (!pieces || pieces.is_none()) {
        return pieces ? 0 : -1;
    }
    launch::Text text;
    if (!append(text, url_text)) {
        return -1;
    }
    PyObject* reference = launch::is_uri(text) ? harmless_uri_.get() : harmless_.get();
    launch::Filled with_url;
    launch::Filled harmless;
    const int filled = fill(pieces.get(), url, nullptr, with_url);
    if (filled <= 0 || fill(pieces.get(), reference, reference, harmless) < 0) {
        return filled <= 0 ? filled : -1;
    }
    return launch::changes_structure(with_url, harmless) ? 1 : 0;
}

}  // namespace

Verdict judge(PyObject* launch, PyObject* url, PyObject* url_text) {
    if (!ready(url_text)) {
        return Verdict::error;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(url_text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(url_text, i);
        if (refused_anywhere(c)) {
            return Verdict::changes_structure;
        }
        if (is_surrogate(c)) {
            return Verdict::lone_surrogate;
        }
    }
    switch (changes_structure(launch, url, url_text)) {
    case 0:
        return Verdict::accepted;
    case 1:
        return Verdict::changes_structure;
    default:
        return Verdict::error;
    }
}

}  // namespace url_rule
