// The custom factory's URL rule: whether a URL, filled as text into a
// caller's launch template, could end a value and start new elements or
// properties.
//
// A URL is refused when it holds a double quote, a backslash, a control
// character or a lone surrogate anywhere, or when GStreamer's launch lexer
// would read the filled launch string otherwise than the same template
// filled with a harmless value of the URL's shape (launch_syntax.hpp makes
// that comparison; this file fills the template as str.format does).
#pragma once

#include "core.hpp"

namespace url_rule {

enum class Verdict {
    accepted,
    changes_structure,  // the URL could change the pipeline's structure
    lone_surrogate,     // the URL holds a lone surrogate, which no launch string carries
    error,              // a Python exception is set
};

// The verdict on filling `url` (whose text, format(url, ""), is the exact
// str `url_text`) into the "{url}" fields of the template `launch`.  A
// template that str.format refuses, or a field that format fails on with the
// URL, is accepted here: filling the template raises that error afterwards.
Verdict judge(PyObject* launch, PyObject* url, PyObject* url_text);

}  // namespace url_rule
