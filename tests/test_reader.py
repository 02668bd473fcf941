"""StreamReader: frames from HTTP, RTSP, files and launch strings, read,
iterated and closed, through failures of the source.

The sources are real and started here: the local MJPEG server
(tools/stream_server.py), an RTSP camera in a child process
(tools/rtsp_server.py) and an MP4 file written by the test. Camera restarts
are in test_reader_restarts.py.
"""
import itertools
import logging
import os
import pathlib
import re
import threading
import time

import pytest

import models.tunables
from helpers import REAL_GST, mivelo_threads, needs_gst, wait_until
from mivelo.errors import InvalidCustomPipelineError, InvalidRuntimeOptionError
from mivelo.errors import SourceNotFoundError
from mivelo.stream_reader import (
    DEFAULT_OPTIONS, Frame, ReaderSet, ReaderStats, StreamFailedError, StreamReader,
    SUPPORTED_OPTIONS,
)
from mivelo.stream_reader.options import refused
from mivelo.utils import diagnosis

if REAL_GST:
    from rtsp_server import RtspServer
    from stream_server import StreamServer, closed_port, make_media

# Short pauses and timeouts, so that failures play out in a fraction of a
# second; the bounds below leave room for a loaded 2-core machine.
FAST = {"backoff_min": 0.05, "backoff_max": 0.2, "stall_timeout": 1.0}
FIRST_FRAME_SECONDS = 5.0
# How long after the end of a wait read() may return.
SLACK = 0.5
MEDIA_FRAMES = 50
SECRET = "pw-S3cret"  # in URLs whose passwords no text may show


def gray_launch():
    return ('souphttpsrc location="{url}" name=buffer_src ! multipartdemux single-stream=true '
            "! jpegdec ! videoconvert ! video/x-raw,format=GRAY8 ! appsink name=main_sink")


@pytest.fixture(scope="module")
def mp4_file(tmp_path_factory):
    if not REAL_GST:
        pytest.skip("needs real GStreamer to make the file")
    path = tmp_path_factory.mktemp("media") / "clip 1.mp4"  # a space in the name too
    path.write_bytes(make_media("mp4", width=322, height=182, frames=MEDIA_FRAMES, fps=25))
    return path


@pytest.fixture(scope="module")
def camera():
    if not REAL_GST:
        pytest.skip("needs real GStreamer")
    with RtspServer(codec="mjpeg", width=320, height=240) as server:
        yield server


@pytest.fixture
def reader_log(caplog):
    """The package's log records at info level and above, as text."""
    caplog.set_level(logging.INFO, logger="mivelo")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "mivelo"]


def first_frame(reader):
    frame = reader.read(FIRST_FRAME_SECONDS)
    assert isinstance(frame, Frame), reader.stats
    return frame


def elapsed(fn):
    started = time.monotonic()
    result = fn()
    return result, time.monotonic() - started


# ---------------------------------------------------------------------------
# Options and sources: checked before anything is built


class TestOptions:
    @pytest.mark.parametrize("options", [
        {"fps": 10},
        {"max_fps": "10"},
        {"reconnect": 1},
        {"max_attempts": 2.0},
        {"pixel_format": b"BGR"},
        {"stall_timeout": None},
        {"read_timeout": 1, "backoff_max": "long"},
    ])
    def test_unknown_or_mistyped_options_raise_the_option_checks_error(self, options):
        with pytest.raises(InvalidRuntimeOptionError) as raised:
            StreamReader("http://127.0.0.1:9/never-asked", options)
        with pytest.raises(InvalidRuntimeOptionError) as expected:
            models.tunables.check_tunables(options, SUPPORTED_OPTIONS)
        assert str(raised.value) == str(expected.value)

    @pytest.mark.parametrize("options, name", [
        ({"max_fps": 0}, "max_fps"),
        ({"max_fps": True}, "max_fps"),
        ({"max_fps": float("nan")}, "max_fps"),
        ({"read_timeout": -1}, "read_timeout"),
        ({"read_timeout": False}, "read_timeout"),
        ({"stall_timeout": 0.0}, "stall_timeout"),
        ({"stall_timeout": float("inf")}, "stall_timeout"),
        ({"stall_timeout": 1e10}, "stall_timeout"),
        ({"backoff_min": -1}, "backoff_min"),
        ({"backoff_min": 2, "backoff_max": 1}, "backoff_max"),
        ({"max_attempts": -1}, "max_attempts"),
        ({"max_attempts": False}, "max_attempts"),
        ({"pixel_format": "YV12"}, "pixel_format"),
    ])
    def test_values_out_of_range(self, options, name):
        # The rules are stated once, in the options module's table.
        with pytest.raises(ValueError) as raised:
            StreamReader("http://127.0.0.1:9/never-asked", options)
        assert str(raised.value) == str(refused(name, options[name]))

    def test_the_defaults_pass_their_own_check(self):
        models.tunables.check_tunables(DEFAULT_OPTIONS, SUPPORTED_OPTIONS)
        assert set(DEFAULT_OPTIONS) == set(SUPPORTED_OPTIONS)

    @pytest.mark.parametrize("source, kwargs, error, match", [
        (b"http://x/", {}, TypeError, "source must be a str or an os.PathLike, not bytes"),
        ("", {}, ValueError, "source is empty"),
        ("http://x/", {"options": [("max_fps", 1)]}, TypeError,
         "options must be a mapping .* not list"),
        (f"ftp://u:{SECRET}@x/v", {}, ValueError, r"cannot read 'ftp://u:\*\*\*@x/v'"),
        ("http://x/", {"url": 1}, TypeError, "url must be a str or None, not int"),
        ("http://x/{url}", {}, ValueError, "needs the URL to fill in"),
        ("http://x/", {"url": "http://y/"}, ValueError, "url= is for a launch string"),
        ("ftp://x/video", {}, ValueError, "cannot read 'ftp://x/video'"),
        ("file://camera/video.mp4", {}, ValueError, "names a file on another host"),
        ("videotestsrc ! appsink name=main_sink {url}", {"url": "x", "options": {
            "pixel_format": "RGB"}}, ValueError, "'pixel_format' does not apply"),
    ])
    def test_sources_it_cannot_read(self, source, kwargs, error, match):
        options = kwargs.pop("options", None)
        with pytest.raises(error, match=match):
            StreamReader(source, options, **kwargs)

    @pytest.mark.parametrize("name, match", [("none.mp4", "no such file: .*none.mp4$"),
                                             ("", "is a directory")])
    def test_a_file_that_is_not_there(self, tmp_path, name, match):
        for source in (str(tmp_path / name), tmp_path / name, (tmp_path / name).as_uri()):
            with pytest.raises(SourceNotFoundError, match=match):
                StreamReader(source)

    def test_importing_the_option_check_loads_neither_reader_nor_gstreamer(self):
        import subprocess
        import sys

        code = ("import sys, mivelo.stream_reader.tunables as t; "
                "print(sorted(m for m in ('gi', 'mivelo.stream_reader.reader', "
                "'mivelo.stream_reader.frame') if m in sys.modules))")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert done.stdout.strip() == "[]", done.stderr


    @needs_gst
    @pytest.mark.parametrize("module", ["frame_rate", "credentials", "diagnosis"])
    def test_a_module_of_utils_imports_alone_without_warnings(self, module):
        import subprocess
        import sys

        code = ("import gi, warnings; warnings.simplefilter('error', gi.PyGIWarning); "
                f"import mivelo.utils.{module}")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr

@needs_gst
class TestSetupErrors:
    def test_a_url_that_could_leave_the_rtsp_template_is_refused(self):
        with pytest.raises(InvalidCustomPipelineError):
            StreamReader('rtsp://127.0.0.1:9/cam" location="/etc/passwd')

    def test_a_launch_string_gstreamer_cannot_build(self, stream_server):
        with pytest.raises(InvalidCustomPipelineError, match="no element \"nosuchelement\""):
            StreamReader('souphttpsrc location="{url}" ! nosuchelement ! appsink name=main_sink',
                         url=stream_server.url())

    def test_a_launch_string_whose_sink_is_not_an_appsink(self, stream_server):
        launch = 'souphttpsrc location="{url}" name=buffer_src ! fakesink name=main_sink sync=0'
        with pytest.raises(TypeError):  # from the factory, which sets appsink properties
            StreamReader(launch, url=stream_server.url())


# ---------------------------------------------------------------------------
# Every kind of source


@needs_gst
class TestSources:
    @pytest.mark.parametrize("pixel_format, shapes", [
        ("BGR", [(240, 320, 3)]), ("RGB", [(240, 320, 3)]), ("GRAY8", [(240, 320, 1)]),
        ("I420", [(240, 320, 1), (120, 160, 1), (120, 160, 1)]),
        ("NV12", [(240, 320, 1), (120, 160, 2)]),
    ])
    def test_http(self, stream_server, pixel_format, shapes):
        with StreamReader(stream_server.url(), {"pixel_format": pixel_format}) as reader:
            frames = [first_frame(reader)] + [reader.read(5.0) for _ in range(4)]
        assert [f.index for f in frames] == [0, 1, 2, 3, 4]
        for frame in frames:
            assert (frame.format, frame.width, frame.height) == (pixel_format, 320, 240)
            assert [memoryview(plane).shape for plane in frame.planes] == shapes

    def test_rtsp(self, camera):
        with StreamReader(camera.url, {"pixel_format": "RGB"}) as reader:
            frames = [first_frame(reader) for _ in range(5)]
        assert all((f.format, f.width, f.height) == ("RGB", 320, 240) for f in frames)
        pts = [f.pts for f in frames]
        assert None not in pts and pts == sorted(pts)

    @pytest.mark.parametrize("pixel_format", ["BGR", "RGB"])
    def test_frames_converted_as_read_are_videoconverts(self, mp4_file, pixel_format):
        # The reader's own pipelines hand over the decoder's frames and
        # pull() converts them; a launch string converts with videoconvert.
        plain = ('filesrc location="{url}" name=buffer_src ! decodebin ! videoconvert '
                 f"! video/x-raw,format={pixel_format} ! appsink name=main_sink")
        with StreamReader(str(mp4_file), {"pixel_format": pixel_format}) as reader:
            frames = list(reader)
        with StreamReader(plain, url=str(mp4_file)) as reader:
            expected = list(reader)
        assert len(frames) == len(expected) == MEDIA_FRAMES
        assert [(f.format, f.stride, f.pts) for f in frames] == [
            (f.format, f.stride, f.pts) for f in expected]
        assert all(bytes(a) == bytes(b) for a, b in zip(frames, expected))

    @pytest.mark.parametrize("as_uri", [False, True], ids=["path", "file-url"])
    def test_a_file_is_read_whole_and_then_ends(self, mp4_file, as_uri, reader_log):
        source = mp4_file.as_uri() if as_uri else str(mp4_file)
        with StreamReader(source, FAST) as reader:
            frames = list(reader)
            assert reader.read(0.5) is None
            stats = reader.stats
        assert [f.index for f in frames] == list(range(MEDIA_FRAMES))
        assert [round(f.pts * 25) for f in frames] == list(range(MEDIA_FRAMES))
        assert (frames[0].width, frames[0].height, frames[0].stride) == (322, 182, 968)
        assert bytes(frames[0]) != bytes(frames[-1])
        assert stats.reconnects == 0 and stats.dropped == 0 and stats.frames == MEDIA_FRAMES
        assert f"{mp4_file} ended after {MEDIA_FRAMES} frames" in reader_log()

    def test_a_file_read_slowly_loses_no_frame_and_is_no_stall(self, mp4_file):
        with StreamReader(str(mp4_file), {"stall_timeout": 0.5}) as reader:
            first = first_frame(reader)
            # The whole file would decode meanwhile, were nothing waiting; and
            # a sink that waits for its reader is not stalled.
            time.sleep(1.0)
            rest = list(reader)
            stats = reader.stats
        assert [f.index for f in [first] + rest] == list(range(MEDIA_FRAMES))
        assert stats.last_error is None

    @pytest.mark.parametrize("hold", ["held after build", "four busy threads"])
    def test_a_file_keeps_every_frame_from_its_first(self, mp4_file, monkeypatch, hold):
        # The sink must keep a file's frames before the first one reaches
        # it, whatever holds up the thread that builds the pipeline.
        from mivelo.stream_reader import sources

        stop = threading.Event()
        if hold == "held after build":
            build = sources.Source.build
            monkeypatch.setattr(sources.Source, "build", lambda *args: (
                build(*args), time.sleep(0.05))[0])
        else:
            for _ in range(4):
                threading.Thread(target=lambda: [0 for _ in iter(stop.is_set, True)],
                                 daemon=True).start()
        try:
            for _ in range(3 if hold == "held after build" else 1):
                with StreamReader(str(mp4_file)) as reader:
                    frames = [round(f.pts * 25) for f in reader]
                    stats = reader.stats
                assert frames == list(range(MEDIA_FRAMES)), stats
        finally:
            stop.set()

    def test_a_launch_string_of_your_own(self, stream_server):
        with StreamReader(gray_launch(), url=stream_server.url()) as reader:
            frame = first_frame(reader)
        assert (frame.format, memoryview(frame).shape) == ("GRAY8", (240, 320, 1))

    def test_a_launch_string_reading_a_file_ends_with_it(self, mp4_file):
        launch = ('filesrc location="{url}" name=buffer_src ! decodebin ! videoconvert '
                  "! video/x-raw,format=BGRx ! appsink name=main_sink")
        with StreamReader(launch, FAST, url=str(mp4_file)) as reader:
            frames = list(reader)
        assert len(frames) == MEDIA_FRAMES and frames[0].format == "BGRx"
        assert reader.stats.reconnects == 0

    def test_a_pipeline_that_starts_late_is_no_end(self, mp4_file, monkeypatch):
        # The factories ask for PLAYING and return; until the sink has
        # started it reports the end of the stream at once. A reader that
        # took that for the end read an empty file.
        from mivelo.utils.gstreamer import Pipeline

        set_state = Pipeline.set_state

        def late(pipeline, state):
            def change():
                if not pipeline.closed:
                    set_state(pipeline, state)
            threading.Timer(0.6, change).start()

        monkeypatch.setattr(Pipeline, "set_state", late)
        with StreamReader(str(mp4_file), FAST) as reader:
            frames = list(reader)
            stats = reader.stats
        assert len(frames) == MEDIA_FRAMES and stats.reconnects == 0

    @pytest.mark.parametrize("name", [
        "a{url}b.mp4", 'quote".mp4', "back\\slash.mp4", "two  spaces.mp4", "ünï ✓.mp4",
        "50%25 #1?.mp4", os.fsdecode(b"latin-1 \xe9t\xe9.mp4"),  # not UTF-8
    ])
    @pytest.mark.parametrize("way", [str, pathlib.Path, pathlib.Path.as_uri],
                             ids=["path", "PathLike", "file-url"])
    def test_every_file_that_open_opens(self, tmp_path, name, way):
        path = tmp_path / name
        path.write_bytes(make_media("mp4", frames=3))
        with StreamReader(way(path)) as reader:
            assert len(list(reader)) == 3 and reader.url == str(path)

    def test_max_fps_keeps_every_nth_frame_of_a_file(self, mp4_file):
        with StreamReader(str(mp4_file), {"max_fps": 5}) as reader:
            frames = list(reader)
        assert [round(f.pts * 25) for f in frames] == list(range(0, MEDIA_FRAMES, 5))
        assert [f.index for f in frames] == list(range(len(frames)))


# ---------------------------------------------------------------------------
# Finite or live: told by the stream, with the caller's last word


@needs_gst
class TestFiniteOrLive:
    @pytest.mark.parametrize("pause", [0.0, 0.01], ids=["fast", "slow"])
    @pytest.mark.parametrize("kind", ["mp4", "webm", "mkv"])
    def test_a_video_file_over_http_is_read_whole_and_ends(self, stream_server, kind, pause):
        with StreamReader(stream_server.url(f"/video.{kind}"), FAST) as reader:
            frames = []
            for frame in itertools.islice(reader, 2 * stream_server.media_frames):
                frames.append(round(frame.pts * stream_server.media_fps))
                time.sleep(pause)
            stats = reader.stats
        assert frames == list(range(stream_server.media_frames)), stats
        assert (stats.reconnects, stats.dropped, stats.last_error) == (0, 0, None)

    @pytest.mark.parametrize("path, finite", [
        ("/video.mp4", False), ("/stream.mjpg?frames=8", True)])
    def test_the_caller_has_the_last_word(self, stream_server, path, finite):
        with StreamReader(stream_server.url(path), {**FAST, "finite": finite}) as reader:
            frames = [frame.index for frame in itertools.islice(reader, 60)]
            stats = reader.stats
        if finite:  # every frame of the camera, which then ends the reader
            assert frames == list(range(8)) and stats.reconnects == 0
        else:  # the video's newest frames, over and over
            assert len(frames) == 60 and stats.reconnects >= 1


# ---------------------------------------------------------------------------
# Reading


@needs_gst
class TestReading:
    def test_read_waits_no_longer_than_its_timeout(self, stream_server):
        options = {**FAST, "stall_timeout": 30.0}
        with StreamReader(stream_server.url("/stall.mjpg"), options) as reader:
            for timeout in (0, 0.3, 0.6):
                frame, took = elapsed(lambda: reader.read(timeout))
                assert frame is None
                assert timeout <= took < timeout + SLACK

    def test_read_timeout_option_bounds_read_and_iteration(self, stream_server):
        options = {**FAST, "stall_timeout": 30.0, "read_timeout": 0.3}
        with StreamReader(stream_server.url("/stall.mjpg"), options) as reader:
            frame, took = elapsed(reader.read)
            assert frame is None and 0.3 <= took < 0.3 + SLACK
            with pytest.raises(TimeoutError, match="no frame from .* within 0.3 s"):
                next(reader)

    @pytest.mark.parametrize("timeout, error", [
        ("1", TypeError), (True, TypeError), (-1, ValueError), (float("nan"), ValueError),
    ])
    def test_bad_timeouts(self, stream_server, timeout, error):
        with StreamReader(stream_server.url()) as reader:
            with pytest.raises(error):
                reader.read(timeout)

    @pytest.mark.parametrize("how", ["read(9.2e9)", "read_timeout=1e10", "read(inf)"])
    def test_a_timeout_beyond_every_clock_waits_without_end(self, stream_server, how):
        options = {**FAST, "stall_timeout": 30.0}
        if how == "read_timeout=1e10":
            options["read_timeout"] = 1e10
        timeout = {"read(9.2e9)": 9.2e9, "read(inf)": float("inf")}.get(how)
        outcome = []
        with StreamReader(stream_server.url("/stall.mjpg"), options) as reader:
            waiter = threading.Thread(target=lambda: outcome.append(
                reader.read(timeout) if timeout else list(reader)))
            waiter.start()
            waiter.join(0.5)
            assert waiter.is_alive()  # still waiting, with no error
        waiter.join(5.0)
        assert outcome in ([None], [[]])

    def test_close_from_another_thread_ends_a_waiting_read(self, stream_server):
        reader = StreamReader(stream_server.url("/stall.mjpg"), {"stall_timeout": 30.0})
        closer = threading.Timer(0.3, reader.close)
        closer.start()
        frame, took = elapsed(lambda: reader.read(20.0))
        closer.join()
        assert frame is None and took < 0.3 + SLACK + 1.0
        assert list(reader) == [] and reader.read() is None
        reader.close()  # again: nothing happens

    def test_frames_outlive_their_reader(self, stream_server):
        with StreamReader(stream_server.url()) as reader:
            frames = [first_frame(reader) for _ in range(3)]
            copies = [bytes(f) for f in frames]
            views = [memoryview(f) for f in frames]
        assert [v.tobytes() for v in views] == [bytes(f) for f in frames] == copies

    def test_eight_threads_read_one_reader(self, stream_server):
        got = [[] for _ in range(8)]
        with StreamReader(stream_server.url()) as reader:
            first_frame(reader)

            def work(n):
                for _ in range(6):
                    frame = reader.read(5.0)
                    if frame is not None:
                        got[n].append(frame.index)
                    del frame  # dropped at once, on this thread

            threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            delivered = reader.stats.frames
        indices = sorted(i for indices in got for i in indices)
        assert indices == list(range(1, delivered))
        assert all(indices == sorted(indices) for indices in got)

    def test_the_frame_rate_is_measured_over_a_meaningful_span(self, stream_server):
        with StreamReader(stream_server.url()) as reader:
            assert reader.stats == ReaderStats(0, 0, 0, 0.0, None)
            first_frame(reader), first_frame(reader)
            assert reader.stats.fps == 0.0  # two frames tell no rate
            started = time.monotonic()
            while time.monotonic() - started < 1.0:
                first_frame(reader)
            stats = reader.stats
            assert 15 < stats.fps < 40 and stats.reconnects == 0 and stats.last_error is None
            time.sleep(2.1)  # nothing delivered: the sink drops the frames
            stats = reader.stats
            assert stats.fps == 0.0 and stats.dropped > 30, stats
        assert repr(reader).startswith(f"<StreamReader '{stream_server.url()}' closed, "
                                       f"{stats.frames} frames")

    @pytest.mark.parametrize("options, pause", [({}, 0.05), ({"max_fps": 5}, 0.0)],
                             ids=["slow", "max_fps"])
    def test_frames_and_dropped_add_up_to_what_the_sink_received(self, stream_server,
                                                                 options, pause):
        # Forty frames, and the end of the stream, which ends the reader.
        url = stream_server.url("/stream.mjpg?frames=40")
        with StreamReader(url, {**options, "reconnect": False}) as reader:
            with pytest.raises(StreamFailedError, match="the stream ended"):
                while reader.read(FIRST_FRAME_SECONDS) is not None:
                    time.sleep(pause)
            stats = reader.stats
        assert 0 < stats.frames < 40 and stats.frames + stats.dropped == 40, stats


# ---------------------------------------------------------------------------
# Failures and reconnecting


@needs_gst
class TestReconnecting:
    def test_an_ended_stream_is_opened_again(self, stream_server, reader_log):
        url = stream_server.url("/stream.mjpg?frames=5")
        with StreamReader(url, FAST) as reader:
            frames = [first_frame(reader) for _ in range(12)]
            stats = reader.stats
        assert [f.index for f in frames] == list(range(12))
        assert stats.reconnects >= 2 and stats.last_error == "the stream ended"
        log = reader_log()
        assert f"{url} failed: the stream ended; attempt 1 in 0.05 s" in log
        assert f"{url}: frames again after 1 failed attempt" in log

    def test_pauses_double_up_to_the_bound_and_the_limit_ends_reading(self, reader_log):
        url = f"http://127.0.0.1:{closed_port()}/stream.mjpg"
        options = {**FAST, "max_attempts": 5}
        with StreamReader(url, options) as reader:
            with pytest.raises(StreamFailedError, match=re.escape(
                    f"gave up on {url} after 5 failed attempts: buffer_src: ")):
                reader.read(10.0)
            with pytest.raises(StreamFailedError):
                list(reader)  # it stays given up
            assert reader.stats.reconnects == 4
        pauses = [float(m.group(1)) for m in map(re.compile(r"attempt \d in ([\d.]+) s").search,
                                                reader_log()) if m]
        assert pauses == [0.05, 0.1, 0.2, 0.2]

    def test_without_reconnecting_the_first_failure_ends_reading(self, stream_server):
        with StreamReader(stream_server.url("/missing.mjpg"), {"reconnect": False}) as reader:
            with pytest.raises(StreamFailedError, match="missing.mjpg failed: buffer_src: "):
                reader.read(10.0)
            assert reader.stats.reconnects == 0

    def test_a_file_that_fails_says_why_at_once_every_time(self, tmp_path):
        # The demuxer's own error, though it comes as decodebin plugs it in;
        # lost there, the reader would wait for its stall timeout. Never
        # tried again.
        path = tmp_path / "broken.mp4"
        path.write_bytes(b"\x00\x00\x00\x20ftypisom" + bytes(200))
        for _ in range(8):
            started = time.monotonic()
            with StreamReader(str(path), {**FAST, "stall_timeout": 30.0}) as reader:
                with pytest.raises(StreamFailedError, match=r"broken.mp4 failed: qtdemux\d+: "):
                    reader.read(10.0)
                assert reader.stats.reconnects == 0
            assert time.monotonic() - started < 3.0

    @pytest.mark.parametrize("kind", ["http", "launch"])
    def test_a_stalled_stream_is_opened_again(self, stream_server, kind):
        url = stream_server.url("/stall.mjpg?after=3")
        options = {**FAST, "stall_timeout": 0.5}
        source, kwargs = (url, {}) if kind == "http" else (gray_launch(), {"url": url})
        with StreamReader(source, options, **kwargs) as reader:
            frames = [first_frame(reader) for _ in range(6)]
            stats = reader.stats
        assert len(frames) == 6 and stats.reconnects >= 1
        assert stats.last_error.startswith(f"buffer_src: no data from {url} for ")

    @pytest.mark.parametrize("kind", ["http", "launch"])
    @pytest.mark.parametrize("path, cause", [
        ("/silent", "buffer_src: no data from {url} for "),
        ("/garbage.mjpg", "{sink}: no frame decoded from {url} for "),
    ], ids=["no-data", "no-decode"])
    def test_one_attempt_gives_up_after_one_stall_and_names_its_cause(
            self, stream_server, kind, path, cause):
        url = stream_server.url(path)
        source, kwargs = (url, {}) if kind == "http" else (gray_launch(), {"url": url})
        started = time.monotonic()
        with StreamReader(source, {"stall_timeout": 0.5, "max_attempts": 1}, **kwargs) as reader:
            with pytest.raises(StreamFailedError) as raised:
                reader.read(10.0)
            took, stats = time.monotonic() - started, reader.stats
        sink = r"decodebin\d+" if kind == "http" else "main_sink"
        expected = re.escape(f"gave up on {url} after 1 failed attempt: ") + cause.format(
            url=re.escape(url), sink=sink)
        assert re.match(expected, str(raised.value)) and took < 0.5 + SLACK + 1.0
        assert stats.reconnects == 0 and str(raised.value).endswith(stats.last_error)

    @pytest.mark.parametrize("scheme", ["http", "rtsp"])
    @pytest.mark.parametrize("host", ["refused", "unknown"])
    @pytest.mark.parametrize("way", ["read", "ReaderSet"])
    def test_a_failure_to_connect_names_its_cause(self, monkeypatch, scheme, host, way):
        # read() waits for the probe within its pause and deadline; a ReaderSet
        # never does, and takes what the probe after the attempt before found.
        waits, finished = [], diagnosis.Probe.finished
        monkeypatch.setattr(diagnosis.Probe, "finished", lambda probe, wait=0.0: (
            waits.append(wait), finished(probe, wait))[1])
        where = f"127.0.0.1:{closed_port()}" if host == "refused" else "camera.invalid"
        url = f"{scheme}://{where}/s"
        with StreamReader(url, {**FAST, "max_attempts": 3}) as reader:
            with pytest.raises(StreamFailedError) as raised:
                (reader if way == "read" else ReaderSet([reader])).read(10.0)
        assert str(raised.value).endswith(f" ({diagnosis.diagnose(url)})")
        assert 0 < max(waits) <= diagnosis.DIAGNOSIS_SECONDS if way == "read" else not any(waits)

    def test_close_during_a_pause_ends_it(self):
        url = f"http://127.0.0.1:{closed_port()}/stream.mjpg"
        reader = StreamReader(url, {"backoff_min": 30.0, "backoff_max": 30.0})
        threading.Timer(0.5, reader.close).start()
        frame, took = elapsed(lambda: reader.read(20.0))
        assert frame is None and took < 0.5 + SLACK + 1.0

    def test_state_changes_are_logged(self, stream_server, reader_log):
        url = stream_server.url("/stream.mjpg?frames=3")
        with StreamReader(url, {**FAST, "max_attempts": 0}) as reader:
            for _ in range(3):
                first_frame(reader)
            with pytest.raises(StreamFailedError):
                reader.read(5.0)
        assert reader_log() == [
            f"reading {url}",
            f"{url}: receiving frames",
            f"gave up on {url} after 1 failed attempt: the stream ended",
            f"closing the reader of {url} after 3 frames",
        ]

    @pytest.mark.parametrize("case", [
        "http", "http-stall", "launch", "rtsp", "http-refused", "rtsp-refused"])
    def test_no_text_shows_the_password(self, request, stream_server, caplog, case):
        kind, _, how = case.partition("-")
        url = (request.getfixturevalue("camera").url if case == "rtsp" else
               f"{kind}://127.0.0.1:{closed_port()}/s" if how == "refused" else
               stream_server.url("/stall.mjpg" if how else "/stream.mjpg?frames=3"))
        url = url.replace("://", f"://cam-user:{SECRET}@", 1)
        source, fill = (gray_launch(), url) if kind == "launch" else (url, None)
        caplog.set_level(logging.DEBUG, logger="mivelo")
        with StreamReader(source, {**FAST, "max_attempts": 2, "read_timeout": 0.5 if how ==
                                   "stall" else None}, url=fill) as reader:
            try:
                texts = [str(len(list(itertools.islice(reader, 5))))]
            except (StreamFailedError, TimeoutError) as error:
                texts = [str(error)]
            texts += [repr(reader), str(reader.stats), caplog.text]
        assert reader.url == url and "cam-user:***@" in caplog.text
        assert SECRET not in "\n".join(texts), texts

    def test_nothing_is_left_behind(self, stream_server):
        threads = set(mivelo_threads())
        url = stream_server.url("/stream.mjpg?frames=3")
        with StreamReader(url, FAST) as reader:
            for _ in range(8):
                first_frame(reader)
        assert wait_until(lambda: set(mivelo_threads()) <= threads, 5.0), mivelo_threads()
        assert wait_until(lambda: stream_server.active_connections == 0, 5.0)
