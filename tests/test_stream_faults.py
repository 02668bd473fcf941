"""Faulty servers and bad input: an error or an end reaches the watcher in time,
nothing blocks and nothing is left behind.

The tests share the session's stream server (conftest.py), each once the
connections of earlier tests are gone, so that it counts its own.
The stall watchdog runs with a short timeout here (``STALL``); in use it is
``base._STALL_TIMEOUT_SECONDS``.
"""
import collections
import contextlib
import gc
import itertools
import os
import threading
import time
from typing import NamedTuple

import pytest

from helpers import REAL_GST, needs_gst, wait_until
from stream_checks import FACTORIES, ResourceSnapshot, Timer, build, pull_all

pytestmark = needs_gst

if REAL_GST:
    from gi.repository import GLib, GObject, Gst

    import mivelo.pipeline_factories.base as base
    from mivelo.utils.gstreamer import Pipeline
    from stream_server import closed_port

STALL = 1.0
# Bounds, with room for a loaded 2-core machine; the measured times are a
# small fraction of them (see the README).
BUILD_SECONDS = 1.0
PROMPT_SECONDS = 3.0
STALL_SECONDS = STALL + 1.0
PULL_TIMEOUT = 0.3
PULL_SLACK = 0.7
CLOSE_SECONDS = 2.0


@pytest.fixture
def server(idle_stream_server):
    return idle_stream_server


@pytest.fixture(autouse=True)
def short_stall_timeout(monkeypatch):
    if REAL_GST:
        monkeypatch.setattr(base, "_STALL_TIMEOUT_SECONDS", STALL)


class Fault(NamedTuple):
    path: str
    # What the HTTP factory's watcher gets first: "EOS", or an ERROR's
    # (domain, code name, element name prefix).
    http: object
    # The custom factory's pipelines have no stall watchdog: for the faults
    # that only the watchdog reports, its bound is the pull timeout.
    custom_reports: bool = True
    # Reported only after the stall timeout.
    slow: bool = False
    # What the HTTP factory's watcher gets first where souphttpsrc runs on
    # libsoup 3, when that differs (None: the same as ``http``).
    http_libsoup3: object = None


def error(domain, code, source):
    return (domain, code, source)


FAULTS = {
    "not-found": Fault("/missing.mjpg", error("ResourceError", "NOT_FOUND", "buffer_src")),
    # GStreamer 1.22's souphttpsrc names the refused connection only on
    # libsoup 2.4; on libsoup 3 the source just fails its streaming task.
    "refused": Fault("http://127.0.0.1:{closed}/stream.mjpg",
                     error("ResourceError", "OPEN_READ", "buffer_src"),
                     http_libsoup3=error("StreamError", "FAILED", "buffer_src")),
    "cut-mid-frame": Fault("/drop.mjpg?after=5", "EOS"),
    "stall-before-body": Fault("/stall.mjpg", error("ResourceError", "READ", "buffer_src"),
                               custom_reports=False, slow=True),
    "stall-mid-stream": Fault("/stall.mjpg?after=5", error("ResourceError", "READ", "buffer_src"),
                              custom_reports=False, slow=True),
    "no-response": Fault("/silent", error("ResourceError", "READ", "buffer_src"),
                         custom_reports=False, slow=True),
    "garbage-jpeg-parts": Fault("/garbage.mjpg", error("StreamError", "DECODE", "decodebin"),
                                custom_reports=False, slow=True),
    "garbage-bytes": Fault("/garbage.bin", error("StreamError", "TYPE_NOT_FOUND", "typefind")),
    "html-page": Fault("/page.html", error("StreamError", "WRONG_TYPE", "decodebin")),
    "truncated-mp4": Fault("/video.mp4?truncate={half_mp4}", error("ResourceError", None, "buffer_src")),
    "truncated-webm": Fault("/video.webm?truncate={half_webm}",
                            error("ResourceError", None, "buffer_src")),
    "mp4-header-only": Fault("/video.mp4?truncate=300", error("ResourceError", None, "buffer_src")),
}


def fault_url(server, path):
    path = path.format(closed=closed_port(), half_mp4=len(server.media("mp4")) // 2,
                       half_webm=len(server.media("webm")) // 2)
    return path if path.startswith("http:") else server.url(path)


def souphttpsrc_on_libsoup3():
    """Whether the souphttpsrc of this process runs on libsoup 3.

    GStreamer loads one libsoup per process when the first souphttpsrc is
    made: libsoup 3 where it is installed, else 2.4.
    """
    with open("/proc/self/maps") as maps:
        return "libsoup-3.0" in maps.read()


def first_report(recorder, timeout):
    """The first ERROR or EOS message within ``timeout`` s, or None."""
    deadline = time.monotonic() + timeout
    while True:
        reports = [m for m in recorder.messages()
                   if m.type in (Gst.MessageType.ERROR, Gst.MessageType.EOS)]
        if reports or time.monotonic() >= deadline:
            return reports[0] if reports else None
        time.sleep(0.01)


def check_report(message, expected):
    if expected == "EOS":
        assert message.type == Gst.MessageType.EOS, message.parse_error()
        return
    domain, code, source = expected
    assert message.type == Gst.MessageType.ERROR
    gerror, debug = message.parse_error()
    domain = getattr(Gst, domain)
    assert gerror.domain == GLib.quark_to_string(domain.quark()), (gerror.message, debug)
    if code is not None:
        assert gerror.code == int(getattr(domain, code)), (gerror.message, debug)
    assert message.src.get_name().startswith(source), message.src.get_name()


class TestFaultyServers:
    @pytest.mark.parametrize("name", list(FAULTS))
    @pytest.mark.parametrize("factory", FACTORIES)
    def test_reported_in_time_without_blocking_or_leaks(self, server, bus_recorder,
                                                       factory, name, monkeypatch):
        fault = FAULTS[name]
        if REAL_GST and not fault.slow:
            # A prompt fault must be reported by its own error, not by the
            # watchdog overtaking it on a loaded machine.
            monkeypatch.setattr(base, "_STALL_TIMEOUT_SECONDS", PROMPT_SECONDS + 1.0)
        url = fault_url(server, fault.path)
        resources = ResourceSnapshot(server)
        timer = Timer()
        pipeline = build(factory, url, bus_recorder)
        try:
            assert timer.elapsed < BUILD_SECONDS
            # Frames that came before the fault are fine; then the appsink
            # must give up within the pull timeout.
            pull_all(pipeline, PULL_TIMEOUT)
            if factory == "http" or fault.custom_reports:
                bound = STALL_SECONDS if fault.slow else PROMPT_SECONDS
                message = first_report(bus_recorder, bound - timer.elapsed)
                assert message is not None, f"nothing reported within {bound} s"
                if factory == "http":
                    libsoup3 = fault.http_libsoup3 is not None and souphttpsrc_on_libsoup3()
                    check_report(message, fault.http_libsoup3 if libsoup3 else fault.http)
                if fault.slow:
                    assert timer.elapsed >= STALL
            pulled = Timer()
            assert pipeline.pull_sample(PULL_TIMEOUT) is None
            assert pulled.elapsed < PULL_TIMEOUT + PULL_SLACK
        finally:
            closing = Timer()
            pipeline.close()
            assert closing.elapsed < CLOSE_SECONDS
        resources.assert_released()


class TestBadInput:
    @pytest.mark.parametrize("url", [
        None, "", "not a url", "http://[::1", "http://127.0.0.1:0/stream.mjpg",
    ])
    def test_unusable_url_is_an_error_from_the_source(self, bus_recorder, url):
        resources = ResourceSnapshot()
        timer = Timer()
        with build("http", url, bus_recorder) as pipeline:
            assert timer.elapsed < BUILD_SECONDS
            message = first_report(bus_recorder, PROMPT_SECONDS)
            assert message is not None and message.type == Gst.MessageType.ERROR
            assert message.src.get_name() == "buffer_src"
            assert pipeline.pull_sample(PULL_TIMEOUT) is None
        resources.assert_released()

    @pytest.mark.parametrize("path", ["/stream.mjpg?type=text/plain",
                                      "/video.mp4?type=text/html"])
    def test_mislabelled_stream_is_decoded_by_its_content(self, server, bus_recorder, path):
        # Servers get Content-Type wrong; the data decides.
        with build("http", server.url(path), bus_recorder) as pipeline:
            assert pipeline.pull_sample(PROMPT_SECONDS) is not None
            assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_launch_string_that_never_prerolls_gives_up_at_the_pull_timeout(
            self, server, bus_recorder):
        # Parses and plays, but the valve lets nothing through to the sink.
        launch = ("souphttpsrc location={url} name=buffer_src ! valve drop=true "
                  "! appsink name=main_sink")
        resources = ResourceSnapshot(server)
        timer = Timer()
        with build("custom", server.url("/stream.mjpg"), bus_recorder, launch=launch) as pipeline:
            assert timer.elapsed < BUILD_SECONDS
            pulled = Timer()
            assert pipeline.pull_sample(PULL_TIMEOUT) is None
            assert pulled.elapsed < PULL_TIMEOUT + PULL_SLACK
            assert pipeline.gst_pipeline.get_state(0)[1] != Gst.State.PLAYING
            assert server.active_connections == resources.connections + 1
        resources.assert_released()


    def test_source_that_blocks_in_a_state_change_does_not_hold_up_build(self, tmp_path,
                                                                         bus_recorder):
        # filesrc opens its file on the way to READY, and opening a FIFO
        # waits for a writer.
        fifo = tmp_path / "camera.fifo"
        os.mkfifo(fifo)
        launch = 'filesrc location="{url}" name=buffer_src ! appsink name=main_sink'
        built = []
        builder = threading.Thread(
            target=lambda: built.append(build("custom", str(fifo), bus_recorder, launch=launch)))
        timer = Timer()
        builder.start()
        builder.join(BUILD_SECONDS)
        try:
            assert built, "build() waits for the FIFO"
            assert timer.elapsed < BUILD_SECONDS
            pulled = Timer()
            assert built[0].pull_sample(PULL_TIMEOUT) is None
            assert pulled.elapsed < PULL_TIMEOUT + PULL_SLACK
        finally:
            # A writer lets the source's open return; its data ends at once.
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            builder.join(PROMPT_SECONDS)
        pipeline = built[0]
        assert bus_recorder.wait_for(Gst.MessageType.EOS, PROMPT_SECONDS) is not None
        closing = Timer()
        pipeline.close()
        assert closing.elapsed < CLOSE_SECONDS


class TestStallWatchdog:
    """What the watchdog must not report, and what it must not hold."""

    def run(self, recorder, url, seconds):
        frames = 0
        with build("http", url, recorder) as pipeline:
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                frames += pipeline.pull_sample(0.05) is not None
        return frames

    def test_slow_camera_is_no_stall(self, server, bus_recorder):
        # Three frames a second: gaps of a third of the stall timeout.
        frames = self.run(bus_recorder, server.url("/stream.mjpg?fps=3"), 2 * STALL)
        assert frames >= 3
        assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_frame_rate_limit_below_one_per_timeout_is_no_stall(self, server, bus_recorder,
                                                                monkeypatch):
        # The watchdog counts decoded frames, not the ones the limit passes.
        import mivelo.pipeline_factories.http as http

        monkeypatch.setattr(http, "_FRAMERATE_LIMIT", 1 / (2 * STALL))
        frames = self.run(bus_recorder, server.url("/stream.mjpg"), 2 * STALL)
        assert 1 <= frames <= 2
        assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_paused_and_ended_pipelines_are_no_stall(self, server, bus_recorder):
        with build("http", server.url("/stream.mjpg?frames=40"), bus_recorder) as pipeline:
            assert pipeline.pull_sample(PROMPT_SECONDS) is not None
            pipeline.set_state(Gst.State.PAUSED)
            time.sleep(1.5 * STALL)
            pipeline.set_state(Gst.State.PLAYING)
            assert pipeline.pull_sample(PROMPT_SECONDS) is not None
            pull_all(pipeline, PROMPT_SECONDS)
            assert bus_recorder.wait_for(Gst.MessageType.EOS, PROMPT_SECONDS) is not None
            time.sleep(1.2 * STALL)
        assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_stream_that_ends_while_nobody_pulls_is_an_end(self, server, bus_recorder):
        # The appsink holds the stream's end until its last frames are pulled,
        # so the pipeline itself posts no EOS.
        with build("http", server.url("/stream.mjpg?frames=10"), bus_recorder) as pipeline:
            timer = Timer()
            assert bus_recorder.wait_for(Gst.MessageType.EOS, PROMPT_SECONDS) is not None
            assert timer.elapsed < PROMPT_SECONDS
            time.sleep(1.5 * STALL)
            assert not bus_recorder.messages(Gst.MessageType.ERROR)
            # The frames it held are still there, and their end is no second EOS.
            assert pull_all(pipeline, PROMPT_SECONDS)
            time.sleep(0.5)
        assert len(bus_recorder.messages(Gst.MessageType.EOS)) == 1

    def test_reader_that_stops_pulling_is_no_stall(self, server, bus_recorder):
        # The appsink drops the frames nobody pulls, and they count as frames.
        with build("http", server.url("/stream.mjpg"), bus_recorder) as pipeline:
            assert pipeline.pull_sample(PROMPT_SECONDS) is not None
            time.sleep(2 * STALL)
            assert pipeline.pull_sample(PROMPT_SECONDS) is not None
        assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_closed_pipeline_is_freed(self, server):
        # The watchdog holds no element; were it to hold one, the pipeline
        # would outlive close().
        pipeline = build("http", server.url("/stream.mjpg"), lambda bus, message, data: None)
        assert pipeline.pull_sample(PROMPT_SECONDS) is not None
        freed = threading.Event()
        watch = pipeline.get_by_name("buffer_src").weak_ref(freed.set)  # noqa: F841
        pipeline.close()
        del pipeline
        gc.collect()
        assert wait_until(freed.is_set, 3.0)

    @pytest.mark.parametrize("timeout, error_type", [
        (0, ValueError), (-1, ValueError), (float("inf"), ValueError), (float("nan"), ValueError),
        ("1", TypeError), (True, TypeError),
    ])
    def test_invalid_timeout_is_refused(self, timeout, error_type):
        with Pipeline(None) as pipeline:
            sink = pipeline.new_element("fakesink", properties={})
            with pytest.raises(error_type):
                pipeline._add_stall_watchdog(timeout, frame_sink=sink)

    def test_frame_sink_must_count_frames_and_counter_be_callable(self):
        with Pipeline(None) as pipeline:
            # identity has "stats" too, but not a sink's frame counts.
            identity = pipeline.new_element("identity", properties={})
            sink = pipeline.new_element("fakesink", properties={})
            for bad in (identity, identity.get_static_pad("sink"), None):
                with pytest.raises(TypeError, match="frame_sink"):
                    pipeline._add_stall_watchdog(1.0, frame_sink=bad)
            with pytest.raises(TypeError, match="frame_counter"):
                pipeline._add_stall_watchdog(1.0, frame_sink=sink, frame_counter=5)


# Sources for a pipeline "SOURCE ! valve drop=true ! fakesink": nothing
# reaches the sink, and the "src" pad of the element called "source" tells
# whether data comes.
DATA_ARRIVES = "souphttpsrc name=source location={stream}"
NO_DATA = "appsrc name=source is-live=true"
# Answers no BYTES position: whether data comes is unknown.
DATA_UNKNOWN = "appsrc name=source is-live=true format=time"


class TestStallWatchdogReports:
    """The stall watchdog on pipelines of its own, with a source that can be controlled."""

    URL = "test://camera"

    @pytest.fixture(autouse=True)
    def stream(self, server):
        self.server = server

    def start(self, recorder, source, drop=True, before_playing=None, **watchdog):
        source = source.format(stream=self.server.url("/stream.mjpg"))
        pipeline = Pipeline.from_launch_string(
            f"{source} ! valve name=valve drop={str(drop).lower()} "
            "! fakesink name=sink", self.URL)
        pipeline.add_bus_watch(recorder, pipeline)
        pipeline._add_stall_watchdog(
            STALL, frame_sink=pipeline.get_by_name("sink"),
            data_pad=pipeline.get_by_name("source").get_static_pad("src"),
            decoder=pipeline.get_by_name("valve"), **watchdog)
        if before_playing is not None:
            before_playing(pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline

    @pytest.mark.parametrize("source, domain, code, reporter, text", [
        (DATA_ARRIVES, "StreamError", "DECODE", "valve",
         f"no frame decoded from {URL} for {{}} s although data arrives"),
        (NO_DATA, "ResourceError", "READ", "source", f"no data from {URL} for {{}} s"),
        (DATA_UNKNOWN, "StreamError", "DECODE", "valve", f"no frame decoded from {URL} for {{}} s"),
    ], ids=["data-arrives", "no-data", "data-unknown"])
    def test_one_error_tells_stopped_data_from_undecoded_data(self, bus_recorder, source,
                                                              domain, code, reporter, text):
        timer = Timer()
        with self.start(bus_recorder, source):
            message = first_report(bus_recorder, STALL_SECONDS)
            assert message is not None, f"nothing reported within {STALL_SECONDS} s"
            assert timer.elapsed >= STALL
            check_report(message, (domain, code, reporter))
            gerror, _ = message.parse_error()
            seconds = gerror.message.split(" for ", 1)[1].split(" s", 1)[0]
            assert float(seconds) >= STALL
            assert gerror.message == text.format(seconds)
            # One error, however long the silence goes on.
            time.sleep(1.5 * STALL)
        assert len(bus_recorder.messages(Gst.MessageType.ERROR)) == 1

    def test_source_without_caps_is_not_asked_to_convert(self, bus_recorder):
        # A raw video source answers a BYTES position by converting from time
        # through its caps; asked before it has any, it fails a GLib assertion,
        # which G_DEBUG=fatal-criticals turns into an abort. Its caps query is
        # held here, so it stays without caps while the watchdog polls.
        criticals, held = [], []

        def hold_caps_query(pipeline):
            pad = pipeline.get_by_name("source").get_static_pad("src")
            held.append((pad, pad.add_probe(
                Gst.PadProbeType.BLOCK | Gst.PadProbeType.QUERY_DOWNSTREAM,
                lambda *args: Gst.PadProbeReturn.OK)))

        handler = GLib.log_set_handler("GStreamer-Video", GLib.LogLevelFlags.LEVEL_CRITICAL,
                                       lambda domain, level, text, data: criticals.append(text),
                                       None)
        try:
            with self.start(bus_recorder, "videotestsrc name=source is-live=true",
                            before_playing=hold_caps_query):
                time.sleep(0.5)
                pad, probe = held[0]
                assert not pad.has_current_caps()
                pad.remove_probe(probe)
        finally:
            GLib.log_remove_handler("GStreamer-Video", handler)
        assert criticals == []

    def test_quiet_after_another_error(self, bus_recorder):
        with self.start(bus_recorder, NO_DATA) as pipeline:
            source = pipeline.get_by_name("source")
            error = GLib.Error.new_literal(Gst.CoreError.quark(), "earlier failure",
                                           int(Gst.CoreError.FAILED))
            source.post_message(Gst.Message.new_error(source, error, "from the test"))
            time.sleep(STALL_SECONDS)
        errors = bus_recorder.messages(Gst.MessageType.ERROR)
        assert [e.parse_error()[0].message for e in errors] == ["earlier failure"]

    def test_frames_at_the_sink_are_no_stall(self, bus_recorder):
        with self.start(bus_recorder, DATA_ARRIVES, drop=False) as pipeline:
            time.sleep(2 * STALL)
            stats = pipeline.get_by_name("sink").get_property("stats")
            assert stats.get_uint64("rendered")[1] > 0
        assert not bus_recorder.messages(Gst.MessageType.ERROR)

    def test_frames_counted_before_the_sink_are_no_stall(self, bus_recorder):
        # Stands for frames that something before the sink takes out.
        counter = itertools.count()
        with self.start(bus_recorder, DATA_ARRIVES, frame_counter=counter.__next__):
            time.sleep(2 * STALL)
        assert next(counter) > 5
        assert not bus_recorder.messages(Gst.MessageType.ERROR)


@contextlib.contextmanager
def counting_callbacks(counts):
    """Counts, in ``counts``, the calls of every pad probe and signal handler
    registered from Python meanwhile."""

    def counting(name, function):
        def wrapper(*args, **kwargs):
            counts[name] += 1
            return function(*args, **kwargs)
        return wrapper

    add_probe, connect = Gst.Pad.add_probe, GObject.Object.connect
    Gst.Pad.add_probe = lambda pad, mask, callback, *args: add_probe(
        pad, mask, counting(f"probe {callback!r}", callback), *args)
    GObject.Object.connect = lambda obj, signal, callback, *args: connect(
        obj, signal, counting(f"{signal} {callback!r}", callback), *args)
    try:
        yield counting
    finally:
        Gst.Pad.add_probe, GObject.Object.connect = add_probe, connect


class TestPythonPerFrame:
    """The package runs no Python code per frame unless a frame-rate limit is set."""

    FRAMES = 40

    def calls_per_frame(self, url):
        """{callback: calls per decoded frame} of the pad probes, signal handlers
        and the bus watcher, over frames after the setup."""
        counts = collections.Counter()
        with counting_callbacks(counts) as counting:
            pipeline = build("http", url, counting("watcher", lambda bus, message, data: None))
        with pipeline:
            assert len(pull_all(pipeline, PROMPT_SECONDS, limit=5)) == 5
            sink = pipeline.appsink
            before = dict(counts)
            rendered = sink.get_property("stats").get_uint64("rendered")[1]
            pull_all(pipeline, PROMPT_SECONDS, limit=self.FRAMES)
            frames = sink.get_property("stats").get_uint64("rendered")[1] - rendered
        # The appsink may have held a frame or two before the count began.
        assert frames >= self.FRAMES - 2
        return {name: (counts[name] - before.get(name, 0)) / frames for name in counts
                if counts[name] != before.get(name, 0)}

    def test_none_by_default(self, server):
        calls = self.calls_per_frame(server.url("/stream.mjpg"))
        # Bus messages are not per frame; a stray one may fall into the count.
        assert calls.pop("watcher", 0) < 0.1
        assert calls == {}

    def test_only_the_frame_rate_limiter_with_a_limit(self, server, monkeypatch):
        import mivelo.pipeline_factories.http as http

        monkeypatch.setattr(http, "_FRAMERATE_LIMIT", 1000.0)
        calls = self.calls_per_frame(server.url("/stream.mjpg"))
        assert calls.pop("watcher", 0) < 0.1
        ((name, rate),) = calls.items()
        assert "FrameRateLimiter" in name
        assert 0.95 < rate < 1.05
