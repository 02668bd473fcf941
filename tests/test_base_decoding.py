"""Decoding set up by PipelineFactory, against the local endless MJPEG stream."""
import time
import urllib.request

import pytest

from helpers import bound, needs_gst, wait_until
from mivelo.pipeline_factories.base import FRAME_FORMAT, PipelineFactory
from mivelo.utils.frame_rate import FrameRateLimiter
from mivelo.utils.gstreamer import Pipeline
from models import http as model_http
from stream_server import StreamServer

from gi.repository import Gst  # noqa: I100

pytestmark = needs_gst

FIRST_FRAME_TIMEOUT = 5.0


def build_http(url, watcher, max_framerate=None, on_complete=None):
    """The HTTP factory's model, so that these tests need no compiled module."""
    with bound(model_http, _FRAMERATE_LIMIT=max_framerate):
        factory = model_http.HTTPPipelineFactory(url=url, pipeline_watcher=watcher,
                                                 on_complete=on_complete)
    return factory.build()


def count_frames(pipeline, seconds):
    count, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        if pipeline.pull_sample(0.1) is not None:
            count += 1
    return count


class TestEndlessMjpegStream:
    def test_frames_arrive_quickly_as_bgr_of_stream_size(self, stream_server, bus_recorder):
        completed = []
        with build_http(stream_server.url("/stream.mjpg"), bus_recorder,
                        on_complete=lambda p: completed.append(p)) as pipeline:
            started = time.monotonic()
            sample = pipeline.pull_sample(FIRST_FRAME_TIMEOUT)
            assert sample is not None, bus_recorder.messages(Gst.MessageType.ERROR)
            assert time.monotonic() - started < 2
            caps = sample.get_caps().get_structure(0)
            assert caps.get_name() == "video/x-raw"
            assert caps.get_value("format") == FRAME_FORMAT == "BGR"
            assert (caps.get_value("width"), caps.get_value("height")) == (320, 240)
            assert sample.get_buffer().get_size() == 320 * 240 * 3
            # The stream never ends: frames keep coming at the server's rate.
            assert count_frames(pipeline, 1.0) >= 15
            assert completed == [pipeline]
            assert not bus_recorder.messages(Gst.MessageType.ERROR)
            assert not bus_recorder.messages(Gst.MessageType.EOS)

    def test_close_releases_the_connection(self, idle_stream_server, bus_recorder):
        stream_server = idle_stream_server
        before = stream_server.active_connections
        pipeline = build_http(stream_server.url("/stream.mjpg"), bus_recorder)
        assert pipeline.pull_sample(FIRST_FRAME_TIMEOUT) is not None
        assert stream_server.active_connections == before + 1
        pipeline.close()
        assert wait_until(lambda: stream_server.active_connections == before, timeout=3)

    def test_framerate_limit_below_stream_rate_holds(self, stream_server, bus_recorder):
        arrivals = []
        with build_http(stream_server.url("/stream.mjpg"), bus_recorder, max_framerate=5) as pipeline:
            assert pipeline.pull_sample(FIRST_FRAME_TIMEOUT) is not None
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline:
                if pipeline.pull_sample(0.1) is not None:
                    arrivals.append(time.monotonic())
        # 5 fps for 3 s out of a 25 fps stream; one extra for the window edge.
        assert 10 <= len(arrivals) <= 16
        # Nor in any one second: no burst hides in the average. Two more for
        # the frames that the appsink may hold until this loop pulls them.
        assert max(sum(1 for t in arrivals if start <= t < start + 1.0)
                   for start in arrivals) <= 5 + 2


class TestSourceErrors:
    @pytest.mark.parametrize("path, domain, code", [
        ("/missing.mjpg", Gst.ResourceError, Gst.ResourceError.NOT_FOUND),
        ("/garbage.bin", Gst.StreamError, Gst.StreamError.TYPE_NOT_FOUND),
    ])
    def test_error_reaches_watcher_promptly(self, stream_server, bus_recorder, path, domain, code):
        completed = []
        started = time.monotonic()
        with build_http(stream_server.url(path), bus_recorder, on_complete=completed.append):
            message = bus_recorder.wait_for(Gst.MessageType.ERROR, timeout=5)
            assert message is not None
            assert time.monotonic() - started < 5
            assert message.parse_error()[0].matches(domain.quark(), code)
        assert completed == []


def decode_test_source(max_framerate=None, num_buffers=50, fps=25, pattern="ball"):
    """Samples of a timestamped JPEG test source decoded by _set_up_decoder."""
    with Pipeline(None) as pipeline:
        # A sink that keeps every frame: the source runs faster than real time.
        pipeline.appsink = pipeline.new_element("appsink", properties={"sync": False})
        src = pipeline.new_element("videotestsrc", properties={"num-buffers": num_buffers,
                                                               "pattern": pattern})
        caps = pipeline.new_element("capsfilter", properties={"caps": Gst.Caps.from_string(
            f"video/x-raw,width=64,height=48,framerate={fps}/1")})
        encoder = pipeline.new_element("jpegenc", properties={})
        assert src.link(caps) and caps.link(encoder)
        PipelineFactory(url=None, max_framerate=max_framerate, on_complete=None)._set_up_decoder(
            encoder, encoder.get_static_pad("src"), pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        samples = []
        sample = pipeline.pull_sample(5)
        while sample is not None:
            samples.append(sample)
            sample = pipeline.pull_sample(5)
        return samples


class TestDecodedFrames:
    @pytest.mark.parametrize("pattern, bgr", [("red", (0, 0, 255)), ("blue", (255, 0, 0))])
    def test_pixels_are_blue_green_red(self, pattern, bgr):
        (sample,) = decode_test_source(num_buffers=1, pattern=pattern)
        pixel = sample.get_buffer().extract_dup(0, 3)
        assert all(abs(got - want) < 40 for got, want in zip(pixel, bgr)), list(pixel)

    def test_launch_string_decodebin_reads_endless_mjpeg(self, stream_server):
        launch = (f"souphttpsrc location={stream_server.url('/stream.mjpg')} name=buffer_src "
                  "! decodebin ! videoconvert ! appsink name=main_sink")
        with Pipeline.from_launch_string(launch, None) as pipeline:
            pipeline.appsink = pipeline.get_by_name("main_sink")
            pipeline.set_state(Gst.State.PLAYING)
            assert pipeline.pull_sample(FIRST_FRAME_TIMEOUT) is not None


class TestFrameRateLimiter:
    def thinned(self, max_framerate):
        return [s.get_buffer().pts for s in decode_test_source(max_framerate)]

    def test_timestamped_stream_keeps_every_nth_frame(self):
        assert self.thinned(5) == [i * Gst.SECOND // 5 for i in range(10)]

    @pytest.mark.parametrize("limit", [None, 25, 1000, float("inf")])
    def test_limit_at_or_above_stream_rate_keeps_all(self, limit):
        assert len(self.thinned(limit)) == 50

    def test_arrival_time_schedule_never_exceeds_limit(self):
        arrivals = iter(range(0, 10 * Gst.SECOND, Gst.SECOND // 25))  # 25 fps for 10 s
        limiter = FrameRateLimiter(10, clock_ns=lambda: next(arrivals))
        untimed = type("Info", (), {"get_buffer": lambda self: None})()
        passed = sum(limiter(None, untimed) == Gst.PadProbeReturn.OK for _ in range(250))
        assert 99 <= passed <= 101
        # The stall watchdog's count: every frame, the dropped ones included.
        assert limiter.frames_seen() == 250

    @pytest.mark.parametrize("value, error", [
        (0, ValueError), (-1, ValueError), (float("nan"), ValueError), ("5", TypeError), (True, TypeError),
    ])
    def test_invalid_limits_are_refused(self, value, error):
        with pytest.raises(error):
            PipelineFactory(url="http://x", max_framerate=value, on_complete=None)


class TestStreamServer:
    def test_close_is_prompt_with_clients_connected(self):
        server = StreamServer(fps=25).start()
        responses = [urllib.request.urlopen(server.url(path), timeout=5)
                     for path in ("/stream.mjpg", "/stall.mjpg")]
        assert wait_until(lambda: server.active_connections == 2, timeout=2)
        started = time.monotonic()
        server.close()
        assert time.monotonic() - started < 2
        assert server.active_connections == 0
        assert not server._thread.is_alive()
        for response in responses:
            response.close()
