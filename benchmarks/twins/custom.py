"""Plain-Python twin of mivelo.pipeline_factories.custom."""
import re

from gi.repository import Gst

from mivelo.errors import InvalidCustomPipelineError
from mivelo.utils.gstreamer import Pipeline
from mivelo.pipeline_factories.base import (  # noqa: I100
    _APPSINK_PROPERTIES,
    _FRAMERATE_LIMIT,
    _ON_COMPLETE_CALLBACK,  # noqa: F401
    _PIPELINE_WATCHER,  # noqa: F401
    BUFFER_SRC_NAME,
    PipelineFactory,
)

# Characters that end a launch-string value wherever the URL stands, and
# white space (which ends one outside double quotes).
_BREAKS_OUT = re.compile(r'["\\\x00-\x1f\x7f]')
_SPACE = re.compile(r"\s")


def _url_field_outside_quotes(launch):
    n = len(launch)
    quoted = False
    i = 0
    while i < n:
        c = launch[i]
        if c in "{}" and launch[i + 1:i + 2] == c:
            i += 1
        elif c == "{":
            end = i + 1
            while end < n and launch[end] not in "}!:.[":
                end += 1
            if not quoted and launch[i + 1:end] == "url":
                return True
            depth = 1
            while depth > 0 and i + 1 < n:
                i += 1
                depth += {"{": 1, "}": -1}.get(launch[i], 0)
        elif c == "\\":
            i += 1
        elif c == '"':
            quoted = not quoted
        i += 1
    return False


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
            raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                            % ("pipeline_str", "str", type(pipeline_str).__name__))
        if url is not None and type(url) is not str:
            raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                            % ("url", "str", type(url).__name__))
        super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
        if pipeline_str is None:
            raise TypeError("'NoneType' object is not iterable")
        if "{url}" not in pipeline_str:
            raise InvalidCustomPipelineError(
                f"Invalid pipeline format: '{pipeline_str}'. Pipelines must contain a '{{url}}' "
                "portion to be filled by the source URL.")
        url = self._url
        url_text = format(url, "")
        if _BREAKS_OUT.search(url_text) or (
                _SPACE.search(url_text) and _url_field_outside_quotes(pipeline_str)):
            raise InvalidCustomPipelineError(
                f"Refused URL {url_text!r}: it would change the structure of the pipeline; "
                "percent-encode white space, quotes, backslashes and control characters")
        self._pipeline_str = pipeline_str.format(url=url)
        self._pipeline_watcher = pipeline_watcher

    def build(self) -> "Pipeline":
        pipeline = Pipeline.from_launch_string(self._pipeline_str, self._url)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
        sink = pipeline.get_by_name("main_sink")
        if sink is None:
            raise InvalidCustomPipelineError(
                "No element with name 'main_sink' element found in custom pipeline "
                f"'{self._pipeline_str}'")
        for name, value in _APPSINK_PROPERTIES.items():
            sink.set_property(name, value)
        pipeline.appsink = sink
        src = pipeline.get_by_name(BUFFER_SRC_NAME)
        if src is None:
            self._logger.warning("Pipeline has no element named 'buffer_src' to attach the buffer "
                                 "probe to. Frames will not be skipped")
        elif src.get_static_pad("src") is None:
            raise InvalidCustomPipelineError(
                "Element named 'buffer_src' does not have a static pad named 'src' to attach a "
                "buffer probe to")
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline
