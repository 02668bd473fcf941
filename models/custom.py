"""Model of mivelo.pipeline_factories.custom: the factory for a caller's own
launch string, with the rule that refuses a URL which could change the
structure of the pipeline."""
from _string import formatter_parser as _formatter_parser

from gi.repository import Gst

from mivelo.errors import InvalidCustomPipelineError
from mivelo.utils.credentials import mask_text, mask_url
from mivelo.utils.gstreamer import Pipeline
from mivelo.pipeline_factories.base import (  # noqa: F401,I100  (two are named in annotations only)
    _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK, _PIPELINE_WATCHER,
    BUFFER_SRC_NAME, PipelineFactory)
from models import docstring as _docstring, incorrect_type as _incorrect_type
from models.launch_syntax import changes_structure as _launch_changes, is_uri as _is_uri


class CustomPipelineFactory(PipelineFactory):
    """Creates a pipeline from a pipeline string."""

    @_docstring("\n"
                "        :param pipeline_str: The custom pipeline string\n"
                "        :param url: The URL to connect to\n"
                "        :param pipeline_watcher: Function to connect to the pipeline's bus\n"
                "        :param on_complete: Called when the pipeline has been built successfully\n"
                "        ")
    def __init__(self, pipeline_str: "str", *, url: "str", pipeline_watcher: "_PIPELINE_WATCHER",
                 on_complete: "_ON_COMPLETE_CALLBACK"):
        if pipeline_str is not None and type(pipeline_str) is not str:
            raise TypeError(_incorrect_type("pipeline_str", pipeline_str))
        if url is not None and type(url) is not str:
            raise TypeError(_incorrect_type("url", url))
        super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
        if pipeline_str is None:
            raise TypeError("'NoneType' object is not iterable")
        if "{url}" not in pipeline_str:
            raise _invalid(f"Invalid pipeline format: '{mask_text(pipeline_str)}'. Pipelines must "
                           "contain a '{url}' portion to be filled by the source URL.")
        url = self._url
        _check_url(pipeline_str, url, format(url, ""))
        self._pipeline_str = pipeline_str.format(url=url)
        self._pipeline_watcher = pipeline_watcher

    def build(self) -> "Pipeline":
        pipeline = Pipeline.from_launch_string(self._pipeline_str, self._url)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
        sink = pipeline.get_by_name("main_sink")
        if sink is None:
            raise _invalid("No element with name 'main_sink' element found in custom pipeline "
                           f"'{mask_text(f'{self._pipeline_str}')}'")
        for name, value in _APPSINK_PROPERTIES.items():
            sink.set_property(name, value)
        pipeline.appsink = sink
        src = pipeline.get_by_name(BUFFER_SRC_NAME)
        if src is None:
            self._logger.warning("Pipeline has no element named 'buffer_src' to attach the buffer "
                                 "probe to. Frames will not be skipped")
        elif src.get_static_pad("src") is None:
            raise _invalid("Element named 'buffer_src' does not have a static pad named 'src' to "
                           "attach a buffer probe to")
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline


def _invalid(message):
    # The module makes the message first and then looks the class up, as it
    # stands at that moment.
    return InvalidCustomPipelineError(message)


# ---------------------------------------------------------------------------
# The URL rule

# What a url field is compared with: values that change nothing, one for a
# URL that the launch lexer reads as a URI on its own, one for any other.
_HARMLESS_URI = "a://a"
_HARMLESS = "a"


def _check_url(launch, url, url_text):
    """Refuses the URL (`url`, whose text is `url_text`) where it could change
    the structure of the pipeline that `launch` describes: with a double
    quote, a backslash, a control character or a lone surrogate anywhere, or
    where GStreamer's launch lexer would read the launch string otherwise
    than with a harmless value of the same shape."""
    refused = surrogate = False
    for c in url_text:
        refused = c in '"\\' or c < " " or c == "\x7f"
        surrogate = "\ud800" <= c <= "\udfff"
        if refused or surrogate:
            break
    if surrogate:
        raise _invalid(f"Refused URL {mask_url(url_text)!r}: it holds a lone surrogate, which no "
                       "launch string can carry")
    if refused or _changes_structure(launch, url, url_text):
        raise _invalid(f"Refused URL {mask_url(url_text)!r}: it would change the structure of the "
                       "pipeline; percent-encode white space, quotes, backslashes and control "
                       "characters")


def _changes_structure(launch, url, url_text):
    try:
        pieces = list(_formatter_parser(launch))
    except ValueError:
        return False  # format refuses the template, and raises when it fills it
    harmless = _HARMLESS_URI if _is_uri(url_text) else _HARMLESS
    with_url = _fill(pieces, url, None)
    if with_url is None:
        return False  # format fails on a url field, and raises when it fills it
    return _launch_changes(with_url, _fill(pieces, harmless, harmless))


def _fill(pieces, value, failed):
    """The launch string that `pieces` (what _string.formatter_parser yields
    for the template) make with `value` as url, and where its pieces stand;
    a field that format fails on stands as `failed`, or without it makes
    the result None."""
    text, literals, fields = [], [], []
    position = 0
    for literal, name, spec, conversion in pieces:
        literals.append((position, position + len(literal)))
        text.append(literal)
        position += len(literal)
        if name is not None:
            field = _field_text(name, spec, conversion, value, failed)
            if field is None:
                return None
            fields.append((position, position + len(field)))
            text.append(field)
            position += len(field)
    return "".join(text), literals, fields


def _field_text(name, spec, conversion, value, failed):
    """What str.format makes of one field, with `value` as url; "" for a field
    that reads no url, and `failed` for one that format fails on (a harmless
    value may not suit a format spec meant for the URL's own type)."""
    if name[:3] != "url" or name[3:4] not in ("", ".", "["):
        return ""
    field = "{" + name + ("!" + conversion if conversion is not None else "") + \
        (":" + spec if spec else "") + "}"
    try:
        return field.format(url=value)
    except Exception:  # noqa: BLE001  (see above)
        return failed
