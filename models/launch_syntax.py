"""Model of src/launch_syntax.cpp: GStreamer's launch syntax as its lexer
reads it (gst/parse/parse.l), and the test that the custom factory's URL rule
makes with it.

The lexer is a flex scanner: at each position every rule is tried, the
longest match wins, and of matches of one length the earlier rule. Each rule
here is a function that returns the end of its longest match at i, or -1.
Token kinds are named as the lexer's debug output names them.
"""
SPACE = " \t\n\v\f\r"
OPERATORS = "(){}.!:,;="
# The lexer's URI rule allows one of these before the "/" of a path: a
# character class that reads as though it meant an optional ".name".
URL_PREFIX = '"._{}identfr'


def _alnum(c):
    return c.isascii() and c.isalnum()


def _ident_char(c):
    return _alnum(c) or c in "-_%:"


def _mime_char(c):
    return _alnum(c) or c == "-"


def _protocol_char(c):
    return _alnum(c) or c in "+,-."


def _identifier(s, i):
    """End of the identifier at i, or -1."""
    if i >= len(s) or not (_alnum(s[i]) or s[i] == "_"):
        return -1
    i += 1
    while i < len(s) and _ident_char(s[i]):
        i += 1
    return i


def _spaces(s, i):
    while i < len(s) and s[i] in SPACE:
        i += 1
    return i


def _assign(s, i):
    i = _spaces(s, i)
    if i >= len(s) or s[i] != "=":
        return -1
    return _spaces(s, i + 1)


def _quoted(s, i, quote):
    """End of the longest quoted string at i, or -1."""
    if i >= len(s) or s[i] != quote:
        return -1
    end = -1
    for k in range(i + 1, len(s)):
        if s[k] == quote:
            end = k + 1
            if s[k - 1] != "\\":
                break
    return end


def _chars(s, i):
    """End of the longest run of characters and escaped pairs at i, or -1.

    A backslash may stand alone, so any white space but a newline that
    follows one is escaped, whatever precedes the backslash.
    """
    j = i
    while j < len(s):
        if s[j] not in SPACE or (s[j] != "\n" and j > i and s[j - 1] == "\\"):
            j += 1
        else:
            break
    return j if j > i else -1


def _value(s, i):
    return max(_chars(s, i), _quoted(s, i, '"'), _quoted(s, i, "'"))


def _assignment(s, i):
    i = _identifier(s, i)
    i = _assign(s, i) if i >= 0 else -1
    return _value(s, i) if i >= 0 else -1


def _preset(s, i):
    if not s.startswith("@preset", i):
        return -1
    i = _assign(s, i + 7)
    return _value(s, i) if i >= 0 else -1


def _padref(s, i):
    return _identifier(s, i + 1) if s.startswith(".", i) else -1


def _ref(s, i):
    i = _identifier(s, i)
    if i < 0 or not s.startswith(".", i):
        return -1
    return max(i + 1, _identifier(s, i + 1))


def _binref(s, i):
    i = _identifier(s, i)
    if i < 0:
        return -1
    i = _spaces(s, i)
    if not s.startswith(".", i):
        return -1
    i = _spaces(s, i + 1)
    return i + 1 if s.startswith("(", i) else -1


# States of the link rule's caps part.
_PRE, _MIME, _SUBTYPE, _BODY, _ESCAPE, _COMMA, _SEMICOLON = range(7)


def _link(s, i):
    """End of the longest link at i ("!", ":" or caps between two of them), or -1."""
    if i >= len(s) or s[i] not in "!:":
        return -1
    end = i + 1
    states = {_PRE}
    for k in range(i + 1, len(s)):
        c = s[k]
        if _BODY in states and c in "!:":
            end = k + 1
        following = set()
        for state in states:
            following |= _link_step(state, c)
        states = following
        if not states:
            break
    return end


def _link_step(state, c):
    if state in (_PRE, _SEMICOLON):
        if c in SPACE:
            return {state}
        return {_MIME} if _mime_char(c) else set()
    if state == _MIME:
        if c == "/":
            return {_SUBTYPE}
        return {_MIME} if _mime_char(c) else set()
    if state == _SUBTYPE:
        return {_BODY} if _mime_char(c) else set()
    if state in (_ESCAPE, _COMMA):
        # An escaped character ("\\." stops at a newline); after a comma any
        # character but "!".
        return {_BODY} if c != ("\n" if state == _ESCAPE else "!") else set()
    # _BODY: after a complete media type.
    following = set()
    if c not in ";!":
        following.add(_BODY)
    if c == "\\":
        following.add(_ESCAPE)
    elif c == ",":
        following.add(_COMMA)
    elif c == ";":
        following.add(_SEMICOLON)
    return following


def _url(s, i):
    j = i
    if j < len(s) and s[j].isascii() and s[j].isalpha():
        j += 1
        while j < len(s) and _protocol_char(s[j]):
            j += 1
        if s.startswith("://", j):
            return max(j + 3, _value(s, j + 3))
    j = i + 1 if i < len(s) and s[i] in URL_PREFIX and s.startswith("/", i + 1) else i
    return _value(s, j + 1) if s.startswith("/", j) else -1


def _operator(s, i):
    return i + 1 if i < len(s) and s[i] in OPERATORS else -1


def _space(s, i):
    end = _spaces(s, i)
    return end if end > i else -1


def _other(s, i):
    return i + 1 if i < len(s) else -1


# The lexer's rules in its order, which decides between matches of one length.
RULES = (
    ("ASSIGNMENT", _assignment), ("PRESET", _preset), ("PADREF", _padref), ("REF", _ref),
    ("BINREF", _binref), ("IDENTIFIER", _identifier), ("LINK", _link), ("URL", _url),
    ("OPERATOR", _operator), ("SPACE", _space), ("OTHER", _other),
)


def tokens(s):
    """[(kind, start, end)] of ``s`` as GStreamer's launch lexer reads it."""
    found = []
    i = 0
    while i < len(s):
        kind, end = max(((kind, rule(s, i)) for kind, rule in RULES),
                        key=lambda match: match[1])
        found.append((kind, i, end))
        i = end
    return found


# ---------------------------------------------------------------------------
# The test of the URL rule. A launch string filled from a template is
# (text, literals, fields): its text, where each literal piece of the
# template stands in it, and where each url field does, as (start, end).

def is_uri(text):
    """Whether the lexer reads ``text`` on its own as one URI."""
    return tokens(text) == [("URL", 0, len(text))]


def _place(position, literals):
    """A position as (literal piece, offset), which does not depend on what
    the fields hold; None inside a field."""
    for index, (start, end) in enumerate(literals):
        if start <= position <= end:
            return index, position - start
    return None


def _layout(text, literals, found):
    return [(kind, _place(start, literals)) for kind, start, _ in found] + \
        [_place(len(text), literals)]


def changes_structure(with_url, harmless):
    """Whether the launch string ``with_url`` reads otherwise than the same
    template filled with a value that changes nothing (``harmless``, of the
    same shape as the URL): other tokens (of other kinds, or that begin
    elsewhere outside the url fields), or a token that begins inside a url
    field. The URL then changes no more than the one token that holds it."""
    text, literals, fields = with_url
    found = tokens(text)
    if any(a < start < b for _, start, _ in found for a, b in fields):
        return True
    return _layout(text, literals, found) != _layout(harmless[0], harmless[1],
                                                     tokens(harmless[0]))
