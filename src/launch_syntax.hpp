// GStreamer's launch syntax as its lexer reads it, and the test that the
// custom factory's URL rule makes with it: plain C++ over code points.
//
// The lexer is a flex scanner (gst/parse/parse.l): at each position every
// rule is tried, the longest match wins, and of matches of one length the
// earlier rule.  Here each rule is a function that returns the end of its
// longest match; runs of a character class are measured once per string, so
// that lexing stays linear in the length of the string.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace launch {

using Text = std::u32string;
using Pos = std::ptrdiff_t;  // a position in a Text; kNone where a rule does not match
constexpr Pos kNone = -1;

// The lexer's token kinds, in the order of its rules.
enum class Kind : unsigned char {
    assignment,  // name=value
    preset,      // @preset=value
    padref,      // .pad
    ref,         // element.pad
    binref,      // bin.(
    identifier,  // an element factory
    link,        // "!" or ":", or caps between two of them
    uri,         // scheme://... or /path: an element made from a URI
    op,          // one of (){}.!:,;=
    space,
    other,
};

struct Token {
    Kind kind;
    Pos start;
    Pos end;
};

struct Range {
    Pos start;
    Pos end;
};

// A launch string made from a template by str.format: its text, where each
// literal piece of the template stands in it, and where each url field does.
struct Filled {
    Text text;
    std::vector<Range> literals;
    std::vector<Range> fields;
};

// The tokens of `text`, in order; together they cover it.
std::vector<Token> tokens(const Text& text);

// Whether the lexer reads `text` on its own as one URI.
bool is_uri(const Text& text);

// Whether the launch string `with_url` reads otherwise than the same
// template filled with a value that changes nothing (`harmless`, of the same
// shape as the URL): other tokens (of other kinds, or that begin elsewhere
// outside the url fields), or a token that begins inside a url field.  The
// URL then changes no more than the one token that holds it.
bool changes_structure(const Filled& with_url, const Filled& harmless);

}  // namespace launch
