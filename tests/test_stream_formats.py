"""Both factories decode the formats that cameras and web servers send over HTTP.

The local server encodes its media with GStreamer once per test session:
MJPEG as an endless multipart stream, H.264 in fragmented MP4 and VP8 in
WebM as files. The frame size is odd on purpose (322 x 182): BGR rows of
966 bytes are padded to 968, so a frame is not simply width * height * 3.
"""
import time

import pytest

from helpers import REAL_GST, needs_gst
from stream_checks import FACTORIES, ResourceSnapshot, Timer, build, pull_all

pytestmark = needs_gst

if REAL_GST:
    from gi.repository import Gst

    from stream_server import StreamServer

WIDTH, HEIGHT = 322, 182
STRIDE = (WIDTH * 3 + 3) // 4 * 4
# Bounds on a local stream; a loaded 2-core machine still meets them.
BUILD_SECONDS = 1.0
FIRST_FRAME_SECONDS = 3.0
EOS_SECONDS = 5.0


@pytest.fixture(scope="module")
def server():
    with StreamServer(fps=25, width=WIDTH, height=HEIGHT, media_frames=50) as srv:
        yield srv


def check_frame(sample):
    structure = sample.get_caps().get_structure(0)
    assert structure.get_name() == "video/x-raw"
    assert structure.get_value("format") == "BGR"
    assert (structure.get_value("width"), structure.get_value("height")) == (WIDTH, HEIGHT)
    buffer = sample.get_buffer()
    assert buffer.get_size() == STRIDE * HEIGHT
    pixels = buffer.extract_dup(0, buffer.get_size())
    # videotestsrc's white ball on black: a frame that decoded into noise,
    # a flat colour or the wrong colour order does not hold both.
    assert min(pixels) < 40 and max(pixels) > 200
    return pixels


@pytest.fixture
def every_frame(monkeypatch):
    """The factories' appsink waits for the reader instead of dropping frames.

    A file decodes faster than real time, and the default two-frame sink
    that drops the oldest frame then keeps only what a reader happens to
    pull in time: on a loaded machine, a handful of the file's frames.
    Waiting makes the count exact, so a decoder that loses frames shows.
    """
    import mivelo.pipeline_factories.custom as custom
    import mivelo.pipeline_factories.http as http

    for module in (http, custom):
        monkeypatch.setattr(module, "_APPSINK_PROPERTIES",
                            {**module._APPSINK_PROPERTIES, "drop": False})


class TestFormats:
    @pytest.mark.parametrize("path, frames", [
        ("/stream.mjpg", None),
        ("/video.mp4", 50),
        ("/video.webm", 50),
    ], ids=["mjpeg-multipart", "h264-fmp4", "vp8-webm"])
    @pytest.mark.parametrize("factory", FACTORIES)
    def test_frames_arrive_as_bgr_of_the_stream_size(self, server, bus_recorder, every_frame,
                                                     factory, path, frames):
        server.media("mp4"), server.media("webm")  # encoded before the clock starts
        completed = []
        timer = Timer()
        with build(factory, server.url(path), bus_recorder, completed.append) as pipeline:
            assert timer.elapsed < BUILD_SECONDS
            first = pipeline.pull_sample(FIRST_FRAME_SECONDS)
            assert first is not None, bus_recorder.messages(Gst.MessageType.ERROR)
            assert timer.elapsed < FIRST_FRAME_SECONDS
            # A file to its end (one more than it holds would show), the
            # endless stream for 20 frames.
            samples = [first] + pull_all(pipeline, EOS_SECONDS, limit=frames or 19)
            assert len(samples) == (frames or 20)
            first_pixels = check_frame(samples[0])
            assert check_frame(samples[-1]) != first_pixels  # the ball moves
            if frames:
                assert bus_recorder.wait_for(Gst.MessageType.EOS, EOS_SECONDS) is not None
            assert not bus_recorder.messages(Gst.MessageType.ERROR)
        # Only the base class's decoding reports completion.
        assert completed == ([pipeline] if factory == "http" else [])


class TestManyStreams:
    COUNT = 16
    FRAMES_EACH = 5

    def test_sixteen_pipelines_deliver_frames_at_once(self, idle_stream_server, bus_recorder):
        stream_server = idle_stream_server
        # 10 fps keeps 16 decoders light on two shared cores.
        url = stream_server.url("/stream.mjpg?fps=10")
        resources = ResourceSnapshot(stream_server)
        timer = Timer()
        pipelines = [build(FACTORIES[i % 2], url, bus_recorder) for i in range(self.COUNT)]
        try:
            assert timer.elapsed < 2.0
            counts = [0] * self.COUNT
            deadline = time.monotonic() + 15.0
            # Round robin without blocking: each appsink keeps only two
            # frames, so a pipeline waited on alone would lose the others'.
            while min(counts) < self.FRAMES_EACH and time.monotonic() < deadline:
                for i, pipeline in enumerate(pipelines):
                    if pipeline.pull_sample(0) is not None:
                        counts[i] += 1
                time.sleep(0.005)
            assert min(counts) >= self.FRAMES_EACH, (
                counts, bus_recorder.messages(Gst.MessageType.ERROR))
            assert stream_server.active_connections == resources.connections + self.COUNT
            assert not bus_recorder.messages(Gst.MessageType.ERROR)
        finally:
            for pipeline in pipelines:
                pipeline.close()
        resources.assert_released()
