#include "launch_syntax.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace launch {

namespace {

bool is_space(char32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_alpha(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(char32_t c) { return is_alpha(c) || (c >= '0' && c <= '9'); }
bool is_ident_char(char32_t c) {
    return is_alnum(c) || c == '-' || c == '_' || c == '%' || c == ':';
}
bool is_mime_char(char32_t c) { return is_alnum(c) || c == '-'; }
bool is_protocol_char(char32_t c) {
    return is_alnum(c) || c == '+' || c == ',' || c == '-' || c == '.';
}
bool is_operator(char32_t c) { return std::char_traits<char32_t>::find(U"(){}.!:,;=", 10, c); }
// The lexer's URI rule allows one of these before the "/" of a path: a
// character class that reads as though it meant an optional ".name".
bool is_uri_prefix(char32_t c) { return std::char_traits<char32_t>::find(U"\"._{}identfr", 12, c); }

// States of the caps part of a link, bits of a set.
constexpr unsigned kPre = 1;         // after the opening "!" or ":": spaces, then a media type
constexpr unsigned kMime = 2;        // in the media type, before its "/"
constexpr unsigned kSubtype = 4;     // right after the "/"
constexpr unsigned kBody = 8;        // after a whole media type: caps text
constexpr unsigned kEscape = 16;     // after a backslash in the caps text
constexpr unsigned kComma = 32;      // after a comma in the caps text
constexpr unsigned kSemicolon = 64;  // after a ";" that starts further caps: as kPre

unsigned link_step(unsigned states, char32_t c) {
    unsigned next = 0;
    if (states & (kPre | kSemicolon)) {
        next |= is_space(c) ? (states & (kPre | kSemicolon)) : is_mime_char(c) ? kMime : 0;
    }
    if (states & kMime) {
        next |= c == '/' ? kSubtype : is_mime_char(c) ? kMime : 0;
    }
    if (states & kSubtype) {
        next |= is_mime_char(c) ? kBody : 0;
    }
    if (states & kEscape) {
        next |= c != '\n' ? kBody : 0;  // "\\." escapes anything but a newline
    }
    if (states & kComma) {
        next |= c != '!' ? kBody : 0;  // after a comma even a ";" is caps text
    }
    if (states & kBody) {
        next |= c != ';' && c != '!' ? kBody : 0;
        next |= c == '\\' ? kEscape : c == ',' ? kComma : c == ';' ? kSemicolon : 0;
    }
    return next;
}

class Lexer {
public:
    explicit Lexer(const Text& text);
    Token next(Pos at) const;

private:
    char32_t at(Pos i) const { return i >= 0 && i < size_ ? text_[i] : U'\0'; }
    bool starts(Pos i, const char32_t* word) const;
    // For each i, the end of the run of positions that `is_in` accepts
    // and that starts at i (i itself if it does not accept i).
    template <class Is>
    std::vector<Pos> runs(Is is_in) const;
    template <bool (*Is)(char32_t)>
    std::vector<Pos> runs_of() const {
        return runs([this](Pos i) { return Is(text_[i]); });
    }
    std::vector<Pos> quote_ends(char32_t quote) const;

    Pos identifier(Pos i) const;
    Pos assign(Pos i) const;
    Pos chars(Pos i) const;
    Pos quoted(Pos i, int which) const;
    Pos value(Pos i) const;
    Pos assignment(Pos i) const;
    Pos preset(Pos i) const;
    Pos padref(Pos i) const;
    Pos ref(Pos i) const;
    Pos binref(Pos i) const;
    Pos link(Pos i) const;
    Pos uri(Pos i) const;
    Pos op(Pos i) const { return is_operator(at(i)) && i < size_ ? i + 1 : kNone; }
    Pos space(Pos i) const { return spaces_[i] > i ? spaces_[i] : kNone; }
    Pos other(Pos i) const { return i < size_ ? i + 1 : kNone; }

    const Text& text_;
    Pos size_;
    std::vector<Pos> idents_, protocols_, spaces_, breaks_;
    std::array<std::vector<Pos>, 2> quote_ends_;
};

Lexer::Lexer(const Text& text)
    : text_(text),
      size_(static_cast<Pos>(text.size())),
      idents_(runs_of<is_ident_char>()),
      protocols_(runs_of<is_protocol_char>()),
      spaces_(runs_of<is_space>()),
      // Where a run of characters and escaped pairs that has started before
      // i ends: at white space, unless a backslash escapes it (a backslash
      // may stand alone, so it escapes whatever precedes it) and it is no
      // newline, which "\\." does not match.
      breaks_(runs([this](Pos i) {
          return !is_space(text_[i]) || (text_[i] != '\n' && at(i - 1) == '\\');
      })),
      quote_ends_{quote_ends('"'), quote_ends('\'')} {}

template <class Is>
std::vector<Pos> Lexer::runs(Is is_in) const {
    std::vector<Pos> ends(static_cast<std::size_t>(size_) + 1);
    ends[size_] = size_;
    for (Pos i = size_ - 1; i >= 0; --i) {
        ends[i] = is_in(i) ? ends[i + 1] : i;
    }
    return ends;
}

// For each i, where a string quoted with `quote` that opens right before i
// ends at the longest: at the first quote that no backslash precedes, or,
// when there is none, at the last (escaped) one; kNone without any.
std::vector<Pos> Lexer::quote_ends(char32_t quote) const {
    std::vector<Pos> ends(static_cast<std::size_t>(size_) + 1, kNone);
    for (Pos i = size_ - 1; i >= 0; --i) {
        if (text_[i] != quote) {
            ends[i] = ends[i + 1];
        } else if (at(i - 1) != '\\') {
            ends[i] = i + 1;
        } else {
            ends[i] = ends[i + 1] != kNone ? ends[i + 1] : i + 1;
        }
    }
    return ends;
}

bool Lexer::starts(Pos i, const char32_t* word) const {
    for (; *word; ++word, ++i) {
        if (i >= size_ || text_[i] != *word) {
            return false;
        }
    }
    return true;
}

Pos Lexer::identifier(Pos i) const {
    return i >= 0 && i < size_ && (is_alnum(text_[i]) || text_[i] == '_') ? idents_[i] : kNone;
}

// [[:space:]]*"="[[:space:]]*
Pos Lexer::assign(Pos i) const {
    if (i < 0) {
        return kNone;
    }
    const Pos sign = spaces_[i];
    return at(sign) == '=' && sign < size_ ? spaces_[sign + 1] : kNone;
}

// ("\\".|[^[:space:]])+
Pos Lexer::chars(Pos i) const {
    return i >= 0 && i < size_ && !is_space(text_[i]) ? breaks_[i + 1] : kNone;
}

Pos Lexer::quoted(Pos i, int which) const {
    const char32_t quote = which == 0 ? '"' : '\'';
    return i >= 0 && i < size_ && text_[i] == quote ? quote_ends_[which][i + 1] : kNone;
}

Pos Lexer::value(Pos i) const { return std::max({chars(i), quoted(i, 0), quoted(i, 1)}); }

Pos Lexer::assignment(Pos i) const { return value(assign(identifier(i))); }

Pos Lexer::preset(Pos i) const { return starts(i, U"@preset") ? value(assign(i + 7)) : kNone; }

Pos Lexer::padref(Pos i) const { return at(i) == '.' && i < size_ ? identifier(i + 1) : kNone; }

Pos Lexer::ref(Pos i) const {
    const Pos dot = identifier(i);
    return dot >= 0 && at(dot) == '.' && dot < size_ ? std::max(dot + 1, identifier(dot + 1)) : kNone;
}

Pos Lexer::binref(Pos i) const {
    const Pos name = identifier(i);
    const Pos dot = name >= 0 ? spaces_[name] : kNone;
    if (dot < 0 || dot >= size_ || text_[dot] != '.') {
        return kNone;
    }
    const Pos paren = spaces_[dot + 1];
    return at(paren) == '(' && paren < size_ ? paren + 1 : kNone;
}

Pos Lexer::link(Pos i) const {
    if (i >= size_ || (text_[i] != '!' && text_[i] != ':')) {
        return kNone;
    }
    Pos end = i + 1;
    unsigned states = kPre;
    for (Pos k = i + 1; k < size_ && states != 0; ++k) {
        if ((states & kBody) && (text_[k] == '!' || text_[k] == ':')) {
            end = k + 1;
        }
        states = link_step(states, text_[k]);
    }
    return end;
}

Pos Lexer::uri(Pos i) const {
    if (i < size_ && is_alpha(text_[i])) {
        const Pos scheme_end = protocols_[i + 1];
        if (starts(scheme_end, U"://")) {
            return std::max(scheme_end + 3, value(scheme_end + 3));
        }
    }
    const Pos slash = is_uri_prefix(at(i)) && at(i + 1) == '/' && i < size_ ? i + 1 : i;
    return at(slash) == '/' && slash < size_ ? value(slash + 1) : kNone;
}

Token Lexer::next(Pos i) const {
    using Rule = Pos (Lexer::*)(Pos) const;
    static constexpr std::pair<Kind, Rule> kRules[] = {
        {Kind::assignment, &Lexer::assignment}, {Kind::preset, &Lexer::preset},
        {Kind::padref, &Lexer::padref},         {Kind::ref, &Lexer::ref},
        {Kind::binref, &Lexer::binref},         {Kind::identifier, &Lexer::identifier},
        {Kind::link, &Lexer::link},             {Kind::uri, &Lexer::uri},
        {Kind::op, &Lexer::op},                 {Kind::space, &Lexer::space},
        {Kind::other, &Lexer::other},
    };
    Token best{Kind::other, i, kNone};
    for (const auto& [kind, rule] : kRules) {
        const Pos end = (this->*rule)(i);
        if (end > best.end) {
            best = {kind, i, end};
        }
    }
    return best;
}

// Where a position stands, in terms that do not depend on what the fields
// hold: (literal piece, offset in it), or (-1, -1) inside a field.  Takes
// positions in increasing order.
class Places {
public:
    explicit Places(const std::vector<Range>& literals) : literals_(literals) {}
    std::pair<Pos, Pos> operator()(Pos position) {
        while (piece_ < literals_.size() && literals_[piece_].end < position) {
            ++piece_;
        }
        if (piece_ < literals_.size() && literals_[piece_].start <= position) {
            return {static_cast<Pos>(piece_), position - literals_[piece_].start};
        }
        return {-1, -1};
    }

private:
    const std::vector<Range>& literals_;
    std::size_t piece_ = 0;
};

// The kind of each token and where it starts, and where the text ends.
std::vector<std::pair<Kind, std::pair<Pos, Pos>>> layout(const Filled& filled,
                                                         const std::vector<Token>& found) {
    Places place(filled.literals);
    std::vector<std::pair<Kind, std::pair<Pos, Pos>>> bounds;
    bounds.reserve(found.size() + 1);
    for (const Token& token : found) {
        bounds.emplace_back(token.kind, place(token.start));
    }
    bounds.emplace_back(Kind::other, place(static_cast<Pos>(filled.text.size())));
    return bounds;
}

// Whether a token begins strictly inside a url field (`found` and the
// fields are in order).
bool splits_a_field(const Filled& filled, const std::vector<Token>& found) {
    auto token = found.begin();
    for (const Range& field : filled.fields) {
        while (token != found.end() && token->start <= field.start) {
            ++token;
        }
        if (token != found.end() && token->start < field.end) {
            return true;
        }
    }
    return false;
}

std::vector<Token> lex(const Lexer& lexer, Pos size) {
    std::vector<Token> found;
    for (Pos i = 0; i < size; i = found.back().end) {
        found.push_back(lexer.next(i));
    }
    return found;
}

}  // namespace

std::vector<Token> tokens(const Text& text) {
    return lex(Lexer(text), static_cast<Pos>(text.size()));
}

bool is_uri(const Text& text) {
    const std::vector<Token> found = tokens(text);
    return found.size() == 1 && found[0].kind == Kind::uri;
}

bool changes_structure(const Filled& with_url, const Filled& harmless) {
    const std::vector<Token> found = tokens(with_url.text);
    return splits_a_field(with_url, found) ||
           layout(with_url, found) != layout(harmless, tokens(harmless.text));
}

}  // namespace launch
