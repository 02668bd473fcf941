"""Base class of the pipeline factories, and the settings they share.

Frames reach the application as ``Gst.Sample`` objects pulled from the
pipeline's ``appsink``. For pipelines whose decoding is set up here (the HTTP
factory), every frame is raw video in the pixel format of the pipeline's
settings (``PipelineSettings.frame_format`` of ``mivelo.utils.gstreamer``),
by default ``FRAME_FORMAT``, BGR: three bytes per pixel in blue, green, red
order, which is the layout video-analytics code (OpenCV and friends)
expects. As always with GStreamer's packed RGB formats, rows are padded to
a multiple of four bytes, so read the row stride from
``GstVideo.VideoInfo`` rather than assuming ``width * 3`` for odd widths.

Such pipelines also report a stream that stops delivering frames: when no
frame has been decoded for the settings' ``stall_timeout`` (by default
``_STALL_TIMEOUT_SECONDS``) while the pipeline is meant to play, the bus
watcher receives an ERROR, a ``Gst.ResourceError.READ`` from the source when
no data arrives either (a stalled server or network), a
``Gst.StreamError.DECODE`` from decodebin when data arrives that does not
decode (see ``mivelo.utils._gst.watchdog``). A launch string's pipeline gets
the same watchdog when its settings give a ``stall_timeout``.
"""
import math
import numbers
import threading
import weakref
from typing import Callable

from mivelo import logger
from mivelo.utils.credentials import mask_url
# Before gi.repository: this import selects the GStreamer version.
from mivelo.utils.gstreamer import Pipeline, make_multipart_single_stream

from gi.repository import GLib, Gst  # noqa: E402,I100

from mivelo.utils.frame_rate import FrameRateLimiter  # noqa: E402

__all__ = [
    "BUFFER_SRC_NAME",
    "FRAME_FORMAT",
    "PipelineFactory",
]

# Name that the factories give the element whose "src" pad carries the
# undecoded stream.
BUFFER_SRC_NAME = "buffer_src"

# Pixel format fixed at the appsink by _set_up_decoder, unless the pipeline's
# settings name another.
FRAME_FORMAT = "BGR"

# Settings for the appsink of a live-stream reader (the pipeline's settings
# may change them before it plays; the stream reader keeps a file's frames):
# - sync=False hands each frame over as soon as it is decoded instead of
#   pacing it against the pipeline clock; a camera already delivers in real
#   time, and timestamps of HTTP streams are not reliable enough to pace on.
# - max-buffers=2 with drop=True keeps at most two decoded frames. A reader
#   slower than the camera gets recent frames instead of an ever older
#   backlog, memory stays bounded, and the decoder never stalls the network
#   read (which would make the camera drop the connection).
_APPSINK_PROPERTIES = {
    "sync": False,
    "max-buffers": 2,
    "drop": True,
}

# Highest frame rate (frames per second) that the factories let through to
# the appsink; None lets every frame of the stream through. The appsink
# already discards frames that the reader does not collect in time, so the
# default imposes no limit; a number saves the colour conversion of frames
# that would be thrown away, at the price of a Python buffer probe on every
# decoded frame (``mivelo.utils.frame_rate``). Without a limit no Python
# code of this package runs per frame.
_FRAMERATE_LIMIT = None

# Seconds without a decoded frame, while the pipeline is meant to play, after
# which pipelines set up by _set_up_decoder post an ERROR on the bus, unless
# the pipeline's settings give their own stall_timeout; None turns the
# watchdog off. It counts from the start of playing, so it also
# bounds the wait for the first frame. Long enough for a camera that sends a
# frame every few seconds and for a slow connection to open; short enough
# that a hung stream is noticed while someone still cares. The HTTP source's
# own I/O timeout (15 s, three retries) would take a minute to give up on a
# server that stalls, and bytes that never decode give no error at all.
_STALL_TIMEOUT_SECONDS = 10.0

# watcher(bus, message, pipeline), called for every message on the bus.
_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], None]
# on_complete(pipeline), called once the decoded stream reaches the appsink.
_ON_COMPLETE_CALLBACK = Callable[[Pipeline], None]


def _check_max_framerate(max_framerate):
    if max_framerate is None:
        return None
    if isinstance(max_framerate, bool) or not isinstance(max_framerate, numbers.Real):
        raise TypeError(
            f"max_framerate must be a number or None, not {type(max_framerate).__name__}")
    if math.isnan(max_framerate) or max_framerate <= 0:
        raise ValueError(f"max_framerate must be positive, got {max_framerate!r}")
    max_framerate = float(max_framerate)
    return None if math.isinf(max_framerate) else max_framerate


class _DecoderLink:
    """Links the first video pad that decodebin exposes, then reports it."""

    def __init__(self, converter, pipeline, on_complete, url):
        self._converter = converter
        # Weak, so that the signal handlers kept by GStreamer do not keep the
        # Pipeline alive (it is torn down when collected).
        self._pipeline_ref = weakref.ref(pipeline)
        self._on_complete = on_complete
        self._url = url
        self._lock = threading.Lock()
        self._linked = False

    def on_pad_added(self, decodebin, pad):
        caps = pad.get_current_caps() or pad.query_caps(None)
        kind = caps.get_structure(0).get_name() if caps and caps.get_size() else ""
        if not kind.startswith("video/"):
            logger.debug("not using the %s stream of %s", kind or "unknown", self._url)
            return
        with self._lock:
            if self._linked:
                logger.debug("using only the first video stream of %s", self._url)
                return
            result = pad.link(self._converter.get_static_pad("sink"))
            self._linked = result == Gst.PadLinkReturn.OK
        if not self._linked:
            _post_stream_error(decodebin, f"could not link the decoded video of {self._url} "
                                          f"to the frame converter ({result.value_nick})")
            return
        pipeline = self._pipeline_ref()
        if pipeline is None or self._on_complete is None:
            return
        try:
            self._on_complete(pipeline)
        except BaseException:  # noqa: B036  (runs on a GStreamer thread)
            logger.exception("on_complete callback %r failed", self._on_complete)

    def on_no_more_pads(self, decodebin):
        with self._lock:
            linked = self._linked
        if not linked:
            _post_stream_error(decodebin, f"the stream {self._url} contains no video")

    def on_unknown_type(self, decodebin, pad, caps):
        # decodebin's own error for this is "Your GStreamer installation is
        # missing a plug-in", which sends people looking for a plug-in when
        # the URL serves a web page (a camera's login page, an error page)
        # instead of video. This error is posted first, so it is the one a
        # watcher sees first.
        kind = caps.get_structure(0).get_name() if caps is not None and caps.get_size() else ""
        if kind.startswith("text/") or kind in _DOCUMENT_TYPES:
            _post_stream_error(
                decodebin,
                f"{self._url} serves a {kind} document, not a video stream "
                "(a login or error page?)",
                Gst.StreamError.WRONG_TYPE)


# Types that typefinding gives to documents, besides text/*.
_DOCUMENT_TYPES = ("application/xml", "application/json", "application/x-html")


def _post_stream_error(element, text, code=Gst.StreamError.FAILED):
    error = GLib.Error.new_literal(Gst.StreamError.quark(), text, int(code))
    element.post_message(Gst.Message.new_error(element, error, text))


class PipelineFactory:
    """Common ground of the pipeline factories.

    ``on_complete(pipeline)`` is called exactly once per pipeline built
    through ``_set_up_decoder`` (the HTTP factory): when decoding has found
    the video stream and linked it to ``pipeline.appsink``, i.e. when frames
    are about to arrive. It runs on a GStreamer streaming thread, possibly
    before ``build()`` has returned, so it must be quick and must not stop
    the pipeline itself. Exceptions from it are logged through the package
    logger, and so is an ``on_complete`` that is not callable; None means no
    callback. Pipelines from launch strings (the custom factory) do not use
    ``_set_up_decoder`` and never call ``on_complete``.

    What a caller decides about the pipelines it gets (the frames' pixel
    format, the stall timeout, the appsink's properties) reaches them as
    ``PipelineSettings`` (``mivelo.utils.gstreamer``): ``with
    pipeline_settings(...): factory.build()``. The pipeline takes them when
    it is made and applies them before it plays; ``build()`` itself takes
    no part. Where they leave a value open, the module's ``FRAME_FORMAT``
    and ``_STALL_TIMEOUT_SECONDS`` apply, as they stand at each build.
    """

    def __init__(self, *, url, max_framerate, on_complete):
        self._url = url
        self._max_framerate = _check_max_framerate(max_framerate)
        self._on_complete = on_complete
        self._logger = logger

    def _set_up_decoder(self, src, pad, pipeline):
        """Join ``pad`` of ``src`` to ``pipeline.appsink`` through decoding.

        Builds ``pad ! decodebin ! videoconvert ! video/x-raw,format=F !
        appsink``, where F is ``pipeline.settings.frame_format`` or else
        ``FRAME_FORMAT`` (``pad ! decodebin ! video/x-raw ! appsink`` when
        the settings say the frames are not ``converted``). decodebin picks
        the demuxer and decoder the stream needs and announces its video pad
        once it knows the stream; that pad is linked to the converter then
        (other streams are left unused).
        With a frame-rate limit, frames above it are dropped before the
        colour conversion. A stall watchdog watches the data leaving ``pad``
        and the decoded frames, after ``pipeline.settings.stall_timeout`` or
        else ``_STALL_TIMEOUT_SECONDS`` seconds (None: no watchdog). Must
        be called before the pipeline starts.

        Without a frame-rate limit no Python code of this package runs per
        frame: the watchdog polls counters on the pipeline's bus lane instead
        of probing buffers.
        """
        sink = pipeline.appsink
        if sink is None:
            raise ValueError("pipeline.appsink must be set before the decoder is set up")
        decoder = pipeline.new_element("decodebin", properties={})
        settings = pipeline.settings
        if settings.converted:
            converter = pipeline.new_element("videoconvert", properties={})
            frame_format = settings.frame_format or FRAME_FORMAT
            caps = Gst.Caps.from_string(f"video/x-raw,format={frame_format}")
            capsfilter = pipeline.new_element("capsfilter", properties={"caps": caps})
            linked = converter.link(capsfilter) and capsfilter.link(sink)
        else:
            # Raw video in system memory, in whatever layout the decoder has.
            caps = Gst.Caps.from_string("video/x-raw")
            converter = pipeline.new_element("capsfilter", properties={"caps": caps})
            linked = converter.link(sink)
        if not linked:
            raise RuntimeError("could not link the frame converter to the appsink")
        result = pad.link(decoder.get_static_pad("sink"))
        if result != Gst.PadLinkReturn.OK:
            raise RuntimeError(
                f"could not link {src.get_name()}:{pad.get_name()} to the decoder "
                f"({result.value_nick})")
        # The link names the URL in the errors it posts: masked.
        link = _DecoderLink(converter, pipeline, self._on_complete, mask_url(self._url))
        decoder.connect("deep-element-added", make_multipart_single_stream)
        decoder.connect("pad-added", link.on_pad_added)
        decoder.connect("no-more-pads", link.on_no_more_pads)
        decoder.connect("unknown-type", link.on_unknown_type)
        limiter = None
        if self._max_framerate is not None:
            limiter = FrameRateLimiter(self._max_framerate)
            converter.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, limiter)
        stall_timeout = settings.stall_timeout
        if stall_timeout is None:
            stall_timeout = _STALL_TIMEOUT_SECONDS
        if stall_timeout is None:
            return
        if sink.find_property("stats") is None:
            # GStreamer before 1.18: its sinks keep no count of frames.
            logger.warning("no stall watchdog for %s: this GStreamer's appsink has no "
                           "'stats' property (1.18 or later has)", self._url)
            return
        # The sink counts the frames it gets; with a frame-rate limit, the
        # limiter counts those it drops before them, so that a limit of less
        # than a frame per timeout is no stall.
        pipeline._add_stall_watchdog(
            stall_timeout, frame_sink=sink, data_pad=pad, decoder=decoder,
            frame_counter=limiter.frames_seen if limiter is not None else None)
