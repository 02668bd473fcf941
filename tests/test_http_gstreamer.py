"""HTTPPipelineFactory end to end on real GStreamer and the local stream."""
import time

from helpers import needs_gst
from mivelo.pipeline_factories.http import HTTPPipelineFactory

from gi.repository import Gst  # noqa: I100

pytestmark = needs_gst


def test_frames_from_the_local_stream_reach_the_appsink(stream_server, bus_recorder):
    completed = []
    factory = HTTPPipelineFactory(url=stream_server.url("/stream.mjpg"),
                                  pipeline_watcher=bus_recorder, on_complete=completed.append)
    with factory.build() as pipeline:
        source = pipeline.get_by_name("buffer_src")
        assert source.get_factory().get_name() == "souphttpsrc"
        assert source.get_property("location") == stream_server.url("/stream.mjpg")
        samples = [pipeline.pull_sample(5.0) for _ in range(10)]
        assert all(s is not None for s in samples), bus_recorder.messages(Gst.MessageType.ERROR)
        caps = samples[-1].get_caps().get_structure(0)
        assert (caps.get_value("width"), caps.get_value("height")) == (320, 240)
        assert completed == [pipeline]
        # The watcher sees the pipeline's own messages, with the pipeline.
        assert any(call[2] is pipeline for call in bus_recorder.calls)


def test_missing_stream_reaches_the_watcher_without_a_hang(stream_server, bus_recorder):
    factory = HTTPPipelineFactory(url=stream_server.url("/missing.mjpg"),
                                  pipeline_watcher=bus_recorder, on_complete=None)
    started = time.monotonic()
    with factory.build() as pipeline:
        assert time.monotonic() - started < 1.0
        error = bus_recorder.wait_for(Gst.MessageType.ERROR, timeout=5.0)
        assert error is not None
        assert error.parse_error()[0].matches(Gst.ResourceError.quark(),
                                              Gst.ResourceError.NOT_FOUND)
        assert pipeline.pull_sample(0.2) is None


def test_two_builds_are_independent_pipelines(stream_server, bus_recorder):
    factory = HTTPPipelineFactory(url=stream_server.url("/stream.mjpg"),
                                  pipeline_watcher=bus_recorder, on_complete=None)
    with factory.build() as first, factory.build() as second:
        assert first.gst_pipeline is not second.gst_pipeline
        assert first.pull_sample(5.0) is not None and second.pull_sample(5.0) is not None
