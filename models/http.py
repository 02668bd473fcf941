"""Model of mivelo.pipeline_factories.http: the factory for a stream read
over HTTP."""
from gi.repository import Gst

from mivelo.utils.gstreamer import Pipeline
from mivelo.pipeline_factories.base import (  # noqa: F401,I100  (two are named in annotations only)
    _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK, _PIPELINE_WATCHER,
    BUFFER_SRC_NAME, PipelineFactory)
from models import docstring as _docstring, incorrect_type as _incorrect_type


class HTTPPipelineFactory(PipelineFactory):
    """Creates a pipeline for an HTTP URL."""

    @_docstring("\n"
                "        :param url: The URL to connect to\n"
                "        :param pipeline_watcher: Function to connect to the pipeline's bus\n"
                "        :param on_complete: Called when the pipeline has been built successfully\n"
                "        ")
    def __init__(self, *, url: "str", pipeline_watcher: "_PIPELINE_WATCHER",
                 on_complete: "_ON_COMPLETE_CALLBACK"):
        if url is not None and type(url) is not str:
            raise TypeError(_incorrect_type("url", url))
        super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)
        self._pipeline_watcher = pipeline_watcher

    def build(self) -> "Pipeline":
        pipeline = Pipeline(self._url)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
        pipeline.appsink = pipeline.new_element("appsink", properties=_APPSINK_PROPERTIES)
        src = pipeline.new_element("souphttpsrc", properties={"location": self._url},
                                   name=BUFFER_SRC_NAME)
        self._set_up_decoder(src, src.get_static_pad("src"), pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline
