"""Launch syntax parsed behind a guard, so that no string crashes the process.

GStreamer's launch parser dereferences a NULL pipeline, and so kills the
process, when a string makes no element at all but links two references
("a. ! b.", or "x. ! y." where every element name is unknown): it resolves
the references against the element it built, and there is none. Every
string is therefore parsed behind a guard chain that always makes an
element, and that nothing in the string can attach to:

  ( name=G bin name=H ) : H.x <string>

The guard chain ends in a link to a reference, after which a link, a pad
reference or a property is a syntax error, as it is at the start of a
string on its own; "H.x" carries a pad name so that a "(" that follows
cannot make it a bin reference. Its link links all pads of an element that
has none, which GStreamer counts as done. Only a "," could still reach the
guard (it would name a further pad of "H.x"); a string that starts with
one is refused as GStreamer refuses it. Errors come from the string: the
guard itself never fails.
"""
import os

from gi.repository import GLib, Gst

_GUARD_NAME = "mivelo-launch-guard-" + os.urandom(8).hex()
_GUARD = f"( name={_GUARD_NAME} bin name={_GUARD_NAME}-inner ) : {_GUARD_NAME}-inner.x "
_LAUNCH_SPACE = " \t\n\v\f\r"  # what the launch lexer skips


def parse_launch(pipeline_str):
    """The Gst.Pipeline that ``pipeline_str`` describes; GLib.Error if none."""
    flags = Gst.ParseFlags.FATAL_ERRORS
    if pipeline_str.lstrip(_LAUNCH_SPACE).startswith(","):
        # The first token is an error, whatever follows; GStreamer's own
        # words for it, from a string that cannot reach the fault.
        Gst.parse_launch_full(",", None, flags)
        raise GLib.Error.new_literal(Gst.parse_error_quark(), "syntax error",
                                     int(Gst.ParseError.SYNTAX))
    built = Gst.parse_launch_full(_GUARD + pipeline_str, None, flags)
    if built.get_name() == _GUARD_NAME:
        # The string made no element and no link: GStreamer can say why on
        # its own ("empty pipeline not allowed").
        Gst.parse_launch_full(pipeline_str, None, flags)
        raise GLib.Error.new_literal(Gst.parse_error_quark(), "empty pipeline not allowed",
                                     int(Gst.ParseError.EMPTY))
    built.remove(built.get_by_name(_GUARD_NAME))
    children = built.children
    if len(children) == 1 and isinstance(children[0], Gst.Pipeline):
        # A string that is one pipeline ("pipeline. ( ... )") is that pipeline.
        built.remove(children[0])
        return children[0]
    return built
