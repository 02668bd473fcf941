"""``StreamReader``: decoded frames from a stream, a file or a launch string.

A reader owns one pipeline at a time, built by the package's factories:

* an ``http://`` or ``https://`` URL: ``HTTPPipelineFactory``;
* an ``rtsp://`` URL (and rtspsrc's other ``rtsp*`` schemes), a local file
  path or a ``file://`` URL: ``CustomPipelineFactory`` with a launch
  template of this module (``RTSP_LAUNCH``, ``FILE_LAUNCH``), so that the
  factory's URL rule guards the URL;
* a launch string of the caller's own with ``{url}``, given with ``url=``:
  ``CustomPipelineFactory`` with that string.

``read()`` pulls the next frame in C++ with the interpreter lock released
(``mivelo.stream_reader.frame``) and returns it as a ``Frame`` that exports
the decoded pixels without a copy. Everything else happens on the thread
that reads, between pulls: no thread of the reader's own, and no Python code
of the reader on GStreamer's threads.

Reconnecting. After an ERROR on the bus, an end of stream from anything but
a file, or no frame for ``stall_timeout`` seconds, the reader closes the
pipeline and, after a pause that doubles with each failed attempt from
``backoff_min`` up to ``backoff_max`` seconds, builds a new one; the first
frame resets the pause. ``max_attempts`` failed attempts in a row (or any
failure with ``reconnect`` off, and any error of a file) end the reader:
``read()`` and iteration raise ``StreamFailedError`` from then on. A file
that ends is not reopened: ``read()`` returns None and iteration stops.
Every change of state is logged through ``mivelo.logger``, at info level
when things go as they should and at warning level when they do not.
"""
import collections
import math
import os
import threading
import time
import urllib.parse
import urllib.request
from typing import NamedTuple, Optional

from mivelo import logger
# Before gi.repository: this import selects the GStreamer version.
from mivelo.utils.gstreamer import Pipeline  # noqa: F401  (initialises GStreamer)

from gi.repository import Gst, GstApp  # noqa: E402,I100

from mivelo.errors import SourceNotFoundError  # noqa: E402
from mivelo.pipeline_factories.base import _FrameRateLimiter  # noqa: E402
from mivelo.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from mivelo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from mivelo.stream_reader.frame import Frame, pull  # noqa: E402
from mivelo.stream_reader.tunables import check_tunables  # noqa: E402

__all__ = [
    "DEFAULT_OPTIONS",
    "FILE_LAUNCH",
    "Frame",
    "PIXEL_FORMATS",
    "RTSP_LAUNCH",
    "ReaderStats",
    "StreamFailedError",
    "StreamReader",
    "SUPPORTED_OPTIONS",
]

_NONE = type(None)

# The runtime options a reader takes, and the types check_tunables holds
# them to.
SUPPORTED_OPTIONS = {
    "max_fps": (int, float, _NONE),
    "pixel_format": str,
    "read_timeout": (int, float, _NONE),
    "stall_timeout": (int, float),
    "reconnect": bool,
    "backoff_min": (int, float),
    "backoff_max": (int, float),
    "max_attempts": (int, _NONE),
}

DEFAULT_OPTIONS = {
    # Frames per second that read() hands out at most; None: every frame.
    "max_fps": None,
    # Layout of the frames' pixels: one of PIXEL_FORMATS.
    "pixel_format": "BGR",
    # Seconds that read() without a timeout, and each step of iteration,
    # wait for a frame; None waits until one comes or the reader ends.
    "read_timeout": None,
    # Seconds without a frame after which a pipeline counts as failed: the
    # wait for the first frame included, so long enough for a camera to
    # answer, short enough that a hung stream is noticed.
    "stall_timeout": 10.0,
    # Whether a failed stream is built anew.
    "reconnect": True,
    # The pause before a new attempt starts at backoff_min seconds and
    # doubles with every attempt that fails, up to backoff_max.
    "backoff_min": 0.5,
    "backoff_max": 10.0,
    # Failed attempts in a row after which the reader gives up; None: never.
    "max_attempts": None,
}

# Pixel formats a reader can convert its frames to, and their channels.
PIXEL_FORMATS = {"BGR": 3, "RGB": 3, "GRAY8": 1}

# Launch templates for RTSP cameras and local files ("{format}" is one of
# PIXEL_FORMATS; "{url}" stays for the factory to fill in). The RTSP source
# exposes one pad per stream of the camera; only video is linked, through
# the element that the factories call the buffer source, so that audio can
# stay unlinked without stopping the stream. The jitter buffer waits up to
# 200 ms for late packets, instead of rtspsrc's default of 2 s.
RTSP_LAUNCH = (
    'rtspsrc location="{{url}}" latency=200 ! application/x-rtp,media=video '
    "! queue name=buffer_src ! decodebin ! videoconvert "
    "! video/x-raw,format={format} ! appsink name=main_sink"
)
FILE_LAUNCH = (
    'filesrc location="{{url}}" name=buffer_src ! decodebin ! videoconvert '
    "! video/x-raw,format={format} ! appsink name=main_sink"
)

# The longest stretch that a wait for a frame lasts before the reader looks
# at the bus, the stall timer and close() again.
_POLL_SECONDS = 0.1
# How long a reader whose sink reports the end of the stream waits for the
# bus message that tells an end from a failure.
_END_MESSAGE_SECONDS = 0.5
# How often a reader looks again at a sink that has not started yet.
_START_POLL_SECONDS = 0.01
# Frames over which the frame rate of the stats is measured.
_RATE_WINDOW_SECONDS = 2.0
# A file pipeline whose sink got this many frames before it was told to
# keep them all may have dropped some, and is built anew (see _keep_every_frame).
_FILE_REBUILDS = 3


class StreamFailedError(Exception):
    """The reader gave up on its stream: the attempt limit was reached, a
    stream failed with reconnecting off, or a file could not be read."""


class ReaderStats(NamedTuple):
    """What a reader has done so far (``StreamReader.stats``)."""

    frames: int
    """Frames that read() delivered."""
    dropped: int
    """Frames that the sink dropped because nobody read them in time."""
    reconnects: int
    """Pipelines built to replace a failed one."""
    fps: float
    """Frames per second delivered over the last two seconds."""
    last_error: Optional[str]
    """Why the last pipeline failed, or None."""


def _number(options, name, *, minimum, allow_none=False, allow_equal=False):
    value = options[name]
    if value is None and allow_none:
        return None
    ok = not isinstance(value, bool) and isinstance(value, (int, float)) and not math.isnan(value)
    if ok:
        ok = value >= minimum if allow_equal else value > minimum
    if not ok:
        bound = f"at least {minimum}" if allow_equal else f"more than {minimum}"
        kind = "a number " + bound + (" or None" if allow_none else "")
        raise ValueError(f"option '{name}' must be {kind}, got {value!r}")
    return value


class _Options:
    """The checked settings of one reader."""

    def __init__(self, supplied):
        check_tunables(supplied, SUPPORTED_OPTIONS)
        options = {**DEFAULT_OPTIONS, **supplied}
        self.max_fps = _number(options, "max_fps", minimum=0, allow_none=True)
        if self.max_fps is not None and math.isinf(self.max_fps):
            self.max_fps = None
        self.read_timeout = _number(options, "read_timeout", minimum=0, allow_none=True,
                                    allow_equal=True)
        if self.read_timeout is not None and math.isinf(self.read_timeout):
            self.read_timeout = None
        self.stall_timeout = _number(options, "stall_timeout", minimum=0)
        self.backoff_min = _number(options, "backoff_min", minimum=0)
        self.backoff_max = _number(options, "backoff_max", minimum=0)
        for name in ("stall_timeout", "backoff_min", "backoff_max"):
            if math.isinf(options[name]):
                raise ValueError(f"option '{name}' must be finite, got {options[name]!r}")
        if self.backoff_max < self.backoff_min:
            raise ValueError(f"option 'backoff_max' ({self.backoff_max!r}) must not be less "
                             f"than 'backoff_min' ({self.backoff_min!r})")
        attempts = options["max_attempts"]
        if isinstance(attempts, bool) or (attempts is not None and attempts < 0):
            raise ValueError(f"option 'max_attempts' must be an int of at least 0 or None, "
                             f"got {attempts!r}")
        self.max_attempts = attempts
        self.reconnect = options["reconnect"]
        self.pixel_format = options["pixel_format"]
        if self.pixel_format not in PIXEL_FORMATS:
            raise ValueError(f"option 'pixel_format' must be one of {', '.join(PIXEL_FORMATS)}, "
                             f"got {self.pixel_format!r}")
        self.pixel_format_given = "pixel_format" in supplied

    def backoff(self, failures):
        """The pause before attempt number ``failures`` (1 for the first)."""
        return min(self.backoff_max, self.backoff_min * 2.0 ** min(failures - 1, 64))


class _Source:
    """What a reader reads and which factory builds its pipelines."""

    def __init__(self, source, url, options):
        if not isinstance(source, str):
            raise TypeError(f"source must be a str, not {type(source).__name__}")
        if url is not None and not isinstance(url, str):
            raise TypeError(f"url must be a str or None, not {type(url).__name__}")
        self.pixel_format = options.pixel_format
        if "{url}" in source:
            self._launch_string(source, url, options)
        elif url is not None:
            raise ValueError("url= is for a launch string with {url}; "
                             f"{source!r} holds no {{url}}")
        else:
            self._url(source)

    def _launch_string(self, source, url, options):
        if url is None:
            raise ValueError("a launch string needs the URL to fill in: pass url=...")
        if options.pixel_format_given:
            raise ValueError("option 'pixel_format' does not apply to a launch string of your "
                             "own: convert the frames in it (videoconvert ! "
                             "video/x-raw,format=BGR ! appsink name=main_sink)")
        self.kind, self.url, self.launch = "launch", url, source
        # The URL tells a file, which ends, from a stream, which is reopened.
        self.finite = _file_path(url) is not None

    def _url(self, source):
        scheme = urllib.parse.urlsplit(source).scheme.lower()
        self.launch = None
        self.finite = False
        if scheme in ("http", "https"):
            self.kind, self.url = "http", source
            return
        if scheme.startswith("rtsp"):
            self.kind, self.url = "rtsp", source
            self.launch = RTSP_LAUNCH.format(format=self.pixel_format)
            return
        path = _file_path(source)
        if path is None:
            raise ValueError(f"cannot read {source!r}: give an http(s):// or rtsp:// URL, a "
                             "file path or file:// URL, or a launch string with {url}")
        if not os.path.isfile(path):
            raise SourceNotFoundError(f"no such file: {path}")
        self.kind, self.url, self.finite = "file", path, True
        self.launch = FILE_LAUNCH.format(format=self.pixel_format)

    def build(self, watcher, stall_timeout):
        """A new, started pipeline; its bus messages go to ``watcher``."""
        if self.kind == "http":
            factory = HTTPPipelineFactory(url=self.url, pipeline_watcher=watcher,
                                          on_complete=None)
            factory._frame_format = self.pixel_format
            factory._stall_timeout = stall_timeout
        else:
            factory = CustomPipelineFactory(self.launch, url=self.url, pipeline_watcher=watcher,
                                            on_complete=None)
        return factory.build()


def _file_path(text):
    """The local path that ``text`` names as a path or file:// URL, or None."""
    parts = urllib.parse.urlsplit(text)
    scheme = parts.scheme.lower()
    if scheme == "file":
        if parts.netloc not in ("", "localhost"):
            raise ValueError(f"{text!r} names a file on another host")
        return urllib.request.url2pathname(parts.path)
    if scheme == "" or os.path.exists(text):
        return text
    return None


class _Events:
    """The bus watcher of one pipeline: what went wrong, and whether it ended.

    It holds nothing of the reader, so the pipeline's bus thread, which holds
    it, keeps no reader alive.
    """

    def __init__(self):
        self.error = None
        self.ended = False
        self._changed = threading.Condition()

    def watch(self, bus, message, pipeline):
        kind = message.type
        if kind == Gst.MessageType.ERROR:
            error, _debug = message.parse_error()
            source = message.src.get_name() if message.src is not None else "the pipeline"
            self._record(error=f"{source}: {error.message}")
        elif kind == Gst.MessageType.EOS:
            self._record(ended=True)
        elif kind == Gst.MessageType.WARNING:
            warning, _debug = message.parse_warning()
            logger.debug("GStreamer warning from %s: %s", message.src.get_name()
                         if message.src is not None else "the pipeline", warning.message)

    def _record(self, error=None, ended=False):
        with self._changed:
            if error is not None and self.error is None:
                self.error = error
            self.ended = self.ended or ended
            self._changed.notify_all()

    def wait(self, seconds):
        """Waits up to ``seconds`` for an error or the end of the stream."""
        with self._changed:
            self._changed.wait_for(lambda: self.error is not None or self.ended, seconds)


class _Rate:
    """Frames per second over the last ``_RATE_WINDOW_SECONDS``."""

    def __init__(self):
        self._times = collections.deque()

    def add(self, now):
        self._times.append(now)
        self._trim(now)

    def _trim(self, now):
        times = self._times
        while times and times[0] < now - _RATE_WINDOW_SECONDS:
            times.popleft()

    def value(self, now):
        self._trim(now)
        times = self._times
        if len(times) < 2:
            return 0.0
        return (len(times) - 1) / max(times[-1] - times[0], 1e-9)


_CONNECTING, _STREAMING, _WAITING, _ENDED, _FAILED, _CLOSED = (
    "connecting", "streaming", "waiting", "ended", "failed", "closed")


class StreamReader:
    """Frames from one stream, through failures and restarts of its source.

    ``StreamReader(source, options=None, *, url=None)``: ``source`` is an
    http(s) or rtsp URL, a file path or file:// URL, or a GStreamer launch
    string holding ``{url}`` (then ``url`` is what fills it in; the string
    ends in ``appsink name=main_sink`` after a conversion to a pixel format
    that ``Frame`` takes, e.g. ``videoconvert ! video/x-raw,format=BGR``).
    ``options`` maps option names of ``SUPPORTED_OPTIONS`` to values (see
    ``DEFAULT_OPTIONS``); ``check_tunables`` refuses an unknown or mistyped
    one with ``InvalidRuntimeOptionError`` before anything is built, and a
    value out of range raises ValueError. The first pipeline is built and
    started at once; a launch string that GStreamer cannot build raises
    ``InvalidCustomPipelineError`` here, a missing file
    ``SourceNotFoundError``.

    ``read()`` returns the next ``Frame``; iterating yields frames until a
    file ends or the reader is closed. ``close()``, or leaving a ``with``
    block, ends the reader within the bound of ``Pipeline.close()``. One
    reader may be read from several threads (one read runs at a time) and
    closed from any thread; a read waiting on another thread then returns.
    """

    def __init__(self, source, options=None, *, url=None):
        self._options = _Options({} if options is None else options)
        self._source = _Source(source, url, self._options)
        self._limiter = (_FrameRateLimiter(self._options.max_fps)
                         if self._options.max_fps is not None else None)
        self._stall_timeout = self._options.stall_timeout
        self._lock = threading.Lock()  # the fields below
        self._reading = threading.Lock()  # one read() at a time
        self._closing = threading.Event()
        self._state = _CONNECTING
        self._pipeline = None
        self._appsink = None
        self._events = None
        self._pulled = 0  # frames taken from the current pipeline's sink
        self._progress = 0.0  # when that pipeline started or last gave a frame
        self._delivered = 0
        self._dropped = 0  # by the sinks of the pipelines before
        self._reconnects = 0
        self._failures = 0  # failed attempts in a row
        self._next_attempt = 0.0
        self._last_error = None
        self._failure = None
        self._rate = _Rate()
        logger.info("reading %s", self._source.url)
        self._start(self._source.build(self._new_events(), self._options.stall_timeout))

    # -- public -------------------------------------------------------------

    @property
    def url(self):
        """The URL, or path, that the reader reads."""
        return self._source.url

    @property
    def stats(self):
        """A ``ReaderStats`` snapshot."""
        now = time.monotonic()
        with self._lock:
            dropped = self._dropped + self._dropped_by_sink()
            return ReaderStats(self._delivered, dropped, self._reconnects,
                               self._rate.value(now), self._last_error)

    def read(self, timeout=None):
        """The next frame, or None when ``timeout`` seconds pass without one.

        ``timeout`` None takes the ``read_timeout`` option (whose default
        waits until a frame comes). None is also returned once a file has
        ended or the reader is closed. Raises ``StreamFailedError`` once the
        reader has given up on its stream.
        """
        if timeout is None:
            timeout = self._options.read_timeout
        else:
            timeout = _seconds(timeout)
        if timeout is None:
            deadline = None
            if not self._reading.acquire():
                return None
        else:
            deadline = time.monotonic() + timeout
            if not self._reading.acquire(timeout=timeout):
                return None
        try:
            return self._read(deadline)
        finally:
            self._reading.release()

    def __iter__(self):
        return self

    def __next__(self):
        frame = self.read()
        if frame is not None:
            return frame
        if self._closing.is_set() or self._state == _ENDED:
            raise StopIteration
        raise TimeoutError(f"no frame from {self._source.url} within "
                           f"{self._options.read_timeout:g} s")

    def close(self):
        """Stops the stream and releases it; frames already read stay valid."""
        self._closing.set()
        with self._lock:
            if self._state == _CLOSED:
                return
            self._state = _CLOSED
            pipeline = self._retire()
        logger.info("closing the reader of %s after %d frames", self._source.url,
                    self._delivered)
        if pipeline is not None:
            pipeline.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def __repr__(self):
        return (f"<{type(self).__name__} {self._source.url!r} {self._state}, "
                f"{self._delivered} frames>")

    # -- reading --------------------------------------------------------------

    def _read(self, deadline):
        while True:
            if self._closing.is_set() or self._state == _ENDED:
                return None
            if self._state == _FAILED:
                raise StreamFailedError(self._failure)
            if self._appsink is None:
                if not self._reconnect_when_due(deadline):
                    return None
                continue
            frame = self._pull(deadline)
            if frame is not None:
                return frame
            if _passed(deadline):
                return None

    def _pull(self, deadline):
        """A frame for the caller, or None after one wait without."""
        appsink, events = self._appsink, self._events
        now = time.monotonic()
        wait = self._progress + self._stall_timeout - now
        if deadline is not None and deadline - now < wait:
            wait = deadline - now
        frame = pull(appsink, _POLL_SECONDS if wait > _POLL_SECONDS else max(0.0, wait),
                     self._delivered)
        now = time.monotonic()
        if frame is None:
            if not self._closing.is_set():
                self._check(appsink, events, now)
            return None
        self._progress = now
        admitted = self._limiter is None or self._limiter.admit(
            None if frame.pts is None else round(frame.pts * 1e9))
        if admitted and self._state != _STREAMING:
            self._streaming()
        with self._lock:
            self._pulled += 1
            if admitted:
                self._delivered += 1
                self._rate.add(now)
        return frame if admitted else None

    def _check(self, appsink, events, now):
        """After a wait without a frame: whether the pipeline failed or ended."""
        if events.error is None and not events.ended and appsink.is_eos():
            if appsink.get_state(0)[1] < Gst.State.PAUSED:
                # Not the end: the sink has not started yet (the pipeline
                # changes its state on a thread of its own), and answers at
                # once until it has. The stall timer still runs.
                self._closing.wait(_START_POLL_SECONDS)
            else:
                # The end of the stream, or a failure that stopped it: the
                # bus message that tells which is on its way.
                events.wait(_END_MESSAGE_SECONDS)
                if events.error is None:
                    events.ended = True
        if events.error is not None:
            self._lost(events.error)
        elif events.ended:
            if self._source.finite:
                self._end()
            else:
                self._lost("the stream ended")
        elif now - self._progress >= self._options.stall_timeout:
            self._lost(f"no frame for {self._options.stall_timeout:g} s")

    # -- changes of state -------------------------------------------------------

    def _new_events(self):
        self._events = _Events()
        return self._events.watch

    def _start(self, pipeline):
        """Makes ``pipeline`` the one to read from (or closes it, if closed)."""
        appsink = pipeline.appsink
        if not isinstance(appsink, GstApp.AppSink):
            pipeline.close()
            raise TypeError(f"the pipeline's sink is a {type(appsink).__name__}, not an appsink")
        if self._source.finite:
            pipeline, appsink = self._keep_every_frame(pipeline, appsink)
        with self._lock:
            closed = self._state == _CLOSED
            if not closed:
                self._pipeline, self._appsink = pipeline, appsink
                self._pulled = 0
                self._progress = time.monotonic()
        if closed:
            pipeline.close()

    def _keep_every_frame(self, pipeline, appsink):
        """A file's frames wait for the reader instead of being dropped.

        The factories' sink drops the oldest of its two frames when a third
        comes, which suits a camera; a file is read whole. The sink is told
        to wait once the factory has started the pipeline. Should more than
        two frames have reached it by then (decoding runs on its own
        threads), one may be lost, and the file is opened anew.
        """
        for _ in range(_FILE_REBUILDS):
            appsink.set_property("drop", False)
            rendered = appsink.get_property("stats").get_uint64("rendered")[1]
            if rendered <= appsink.get_property("max-buffers"):
                break
            logger.debug("%s: %d frames decoded before the sink was told to keep them; "
                         "opening it again", self._source.url, rendered)
            pipeline.close()
            pipeline = self._source.build(self._new_events(), self._options.stall_timeout)
            appsink = pipeline.appsink
        return pipeline, appsink

    def _retire(self):
        """Takes the current pipeline out of use; call with the lock held."""
        pipeline = self._pipeline
        self._dropped += self._dropped_by_sink()
        self._pipeline = self._appsink = None
        return pipeline

    def _dropped_by_sink(self):
        """Frames the current sink dropped; call with the lock held.

        The sink counts what it received; less what was read and what it
        may still hold, the rest was dropped. Exact while the sink is full,
        which is when it drops; just after a read it may lag by a frame or two.
        """
        appsink = self._appsink
        if appsink is None or not appsink.get_property("drop"):
            return 0
        rendered = appsink.get_property("stats").get_uint64("rendered")[1]
        return max(0, rendered - self._pulled - appsink.get_property("max-buffers"))

    def _streaming(self):
        if self._failures:
            logger.info("%s: frames again after %d failed attempt%s", self._source.url,
                        self._failures, "" if self._failures == 1 else "s")
        else:
            logger.info("%s: receiving frames", self._source.url)
        self._failures = 0
        with self._lock:
            if self._state != _CLOSED:
                self._state = _STREAMING

    def _end(self):
        with self._lock:
            pipeline = self._retire()
            if self._state != _CLOSED:
                self._state = _ENDED
        logger.info("%s ended after %d frames", self._source.url, self._delivered)
        if pipeline is not None:
            pipeline.close()

    def _lost(self, why):
        """The current pipeline failed: retry after a pause, or give up."""
        if self._closing.is_set():
            return  # close() takes care of the pipeline
        self._failures += 1
        options = self._options
        if self._source.finite or not options.reconnect:
            message = f"{self._source.url} failed: {why}"
        elif options.max_attempts is not None and self._failures > options.max_attempts:
            message = (f"gave up on {self._source.url} after {options.max_attempts} "
                       f"attempt{'' if options.max_attempts == 1 else 's'} to reconnect: {why}")
        else:
            message = None
            delay = options.backoff(self._failures)
            self._next_attempt = time.monotonic() + delay
        with self._lock:
            pipeline = self._retire()
            self._last_error = why
            self._failure = message
            if self._state != _CLOSED:
                self._state = _WAITING if message is None else _FAILED
        if message is None:
            logger.warning("%s failed: %s; attempt %d in %.3g s", self._source.url, why,
                           self._failures, delay)
        else:
            logger.warning("%s", message)
        if pipeline is not None:
            pipeline.close()

    def _reconnect_when_due(self, deadline):
        """Waits for the next attempt and makes it; False when ``deadline``
        comes first or the reader is closed meanwhile."""
        wait = self._next_attempt - time.monotonic()
        if deadline is not None:
            if deadline - time.monotonic() < wait:
                self._closing.wait(max(0.0, deadline - time.monotonic()))
                return False
        if wait > 0 and self._closing.wait(wait):
            return False
        with self._lock:
            if self._state == _CLOSED:
                return False
            self._state = _CONNECTING
            self._reconnects += 1
        logger.info("%s: attempt %d to reconnect", self._source.url, self._failures)
        try:
            pipeline = self._source.build(self._new_events(), self._options.stall_timeout)
            self._start(pipeline)
        except Exception as error:  # noqa: BLE001  (an attempt that failed)
            self._lost(f"{type(error).__name__}: {error}")
        return True


def _seconds(timeout):
    """A timeout of read(): None for an infinite one."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, "
                        f"not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout < 0:
        raise ValueError(f"timeout must be at least 0, got {timeout!r}")
    return None if math.isinf(timeout) else timeout


def _passed(deadline):
    return deadline is not None and time.monotonic() >= deadline
