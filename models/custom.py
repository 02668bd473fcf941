"""Model of mivelo.pipeline_factories.custom: the factory for a caller's own
launch string, with the rule that refuses a URL which could change the
structure of the pipeline."""
from gi.repository import Gst

from mivelo.errors import InvalidCustomPipelineError
from mivelo.utils.gstreamer import Pipeline
from mivelo.pipeline_factories.base import (  # noqa: F401,I100  (two are named in annotations only)
    _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK, _PIPELINE_WATCHER,
    BUFFER_SRC_NAME, PipelineFactory)
from models import incorrect_type as _incorrect_type


class CustomPipelineFactory(PipelineFactory):
    """Creates a pipeline from a pipeline string."""

    def __init__(self, pipeline_str: "str", *, url: "str", pipeline_watcher: "_PIPELINE_WATCHER",
                 on_complete: "_ON_COMPLETE_CALLBACK"):
        """
        :param pipeline_str: The custom pipeline string
        :param url: The URL to connect to
        :param pipeline_watcher: Function to connect to the pipeline's bus
        :param on_complete: Called when the pipeline has been built successfully
        """
        if pipeline_str is not None and type(pipeline_str) is not str:
            raise TypeError(_incorrect_type("pipeline_str", pipeline_str))
        if url is not None and type(url) is not str:
            raise TypeError(_incorrect_type("url", url))
        super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
        if pipeline_str is None:
            raise TypeError("'NoneType' object is not iterable")
        if "{url}" not in pipeline_str:
            raise _invalid(f"Invalid pipeline format: '{pipeline_str}'. Pipelines must contain a "
                           "'{url}' portion to be filled by the source URL.")
        url = self._url
        _check_url(pipeline_str, format(url, ""))
        self._pipeline_str = pipeline_str.format(url=url)
        self._pipeline_watcher = pipeline_watcher

    def build(self) -> "Pipeline":
        pipeline = Pipeline.from_launch_string(self._pipeline_str, self._url)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
        sink = pipeline.get_by_name("main_sink")
        if sink is None:
            raise _invalid("No element with name 'main_sink' element found in custom pipeline "
                           f"'{self._pipeline_str}'")
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

def _check_url(launch, url_text):
    """Refuses `url_text` where it could change the structure of the pipeline
    that `launch` describes: anywhere, with a double quote, a backslash or a
    control character; where a field may stand outside a double-quoted value,
    also with white space or a leading single quote."""
    has_space = refused = False
    for c in url_text:
        refused = c in '"\\' or c < " " or c == "\x7f"
        if refused:
            break
        has_space = has_space or c.isspace()
    leading_quote = url_text[:1] == "'"
    if refused or ((has_space or leading_quote) and _url_field_outside_quotes(launch)):
        raise _invalid(f"Refused URL {url_text!r}: it would change the structure of the pipeline; "
                       "percent-encode white space, quotes, backslashes and control characters")


_LAUNCH_SPACE = " \t\n\v\f\r"


def _url_field_outside_quotes(launch):
    """Whether white space in the URL could split the value that a field
    named `url` fills in, i.e. whether such a field may stand outside a
    double-quoted value of the launch string.

    The template is read as str.format reads it (doubled braces are one
    literal brace, a field runs to its closing brace) and its literal text as
    the launch-syntax tokenizer reads the result:
    - outside quotes a backslash escapes the next character;
    - a double or single quote opens a quoted value only where a token starts
      (at the start, or after unescaped white space or '='); anywhere else,
      right after a closing quote included, it is part of an unquoted value;
    - a quoted value ends at the next quote of its kind that no backslash
      precedes; one that the template never closes quotes nothing.
    Only a double-quoted value protects a field: the URL may itself hold
    single quotes, and the !r and !a conversions add quotes of their own.
    """
    n = len(launch)

    def at(i):
        return launch[i] if i < n else ""

    state = "token_start"  # or "in_token", "escaped", "double_quoted", "single_quoted"
    after_backslash = False  # within a quoted value
    url_in_value = False  # a url field in the open double-quoted value
    i = 0
    while i < n:
        c = launch[i]
        if c == "{" and at(i + 1) != "{":
            end = i + 1
            while end < n and launch[end] not in "}!:.[":
                end += 1
            is_url = launch[i + 1:end] == "url"
            converted = False  # a conversion other than !s, before any format spec
            in_spec = False
            depth = 1
            while depth > 0 and i + 1 < n:
                i += 1
                d = launch[i]
                converted = converted or (not in_spec and d == "!" and at(i + 1) != "s")
                in_spec = in_spec or (depth == 1 and d == ":")
                depth += 1 if d == "{" else -1 if d == "}" else 0
            if is_url and (state != "double_quoted" or converted):
                return True
            url_in_value = url_in_value or is_url
            # The filled-in text acts as ordinary characters of the value.
            after_backslash = False
            if state not in ("double_quoted", "single_quoted"):
                state = "in_token"
            i += 1
            continue
        if c in "{}" and at(i + 1) == c:
            i += 1
        if state in ("double_quoted", "single_quoted"):
            if c == ('"' if state == "double_quoted" else "'") and not after_backslash:
                state = "in_token"
                url_in_value = False
            else:
                after_backslash = c == "\\"
        elif state == "escaped":
            state = "in_token"
        elif c == "\\":
            state = "escaped"
        elif c in "\"'" and state == "token_start":
            state = "double_quoted" if c == '"' else "single_quoted"
            after_backslash = False
        else:
            state = "token_start" if c in _LAUNCH_SPACE or c == "=" else "in_token"
        i += 1
    return url_in_value
