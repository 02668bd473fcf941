"""``StreamReader``: decoded frames from a stream, a file or a launch string.

The reader is a state machine over one pipeline at a time; the jobs it
leans on have a module each: ``options`` (what a reader takes, and the
check), ``sources`` (what it reads, and which factory builds its pipelines),
``connection`` (one pipeline: pulling, how it ended, what its sink dropped)
and ``stats`` (``ReaderStats`` and the frame rate).

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
import threading
import time

from mivelo import logger
from mivelo.stream_reader.connection import ENDED, POLL_SECONDS, Connection
from mivelo.stream_reader.frame import Frame
from mivelo.stream_reader.options import (
    DEFAULT_OPTIONS, PIXEL_FORMATS, SUPPORTED_OPTIONS, ReaderOptions, seconds)
from mivelo.stream_reader.sources import FILE_LAUNCH, RTSP_LAUNCH, Source
from mivelo.stream_reader.stats import FrameRate, ReaderStats
from mivelo.utils.frame_rate import FrameRateLimiter

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


class StreamFailedError(Exception):
    """The reader gave up on its stream: the attempt limit was reached, a
    stream failed with reconnecting off, or a file could not be read."""


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
        self._options = ReaderOptions({} if options is None else options)
        self._source = Source(source, url, self._options)
        self._limiter = (FrameRateLimiter(self._options.max_fps)
                         if self._options.max_fps is not None else None)
        self._lock = threading.Lock()  # the fields below
        self._reading = threading.Lock()  # one read() at a time
        self._closing = threading.Event()
        self._state = _CONNECTING
        self._connection = None
        self._delivered = 0
        self._dropped = 0  # by the sinks of the pipelines before
        self._reconnects = 0
        self._failures = 0  # failed attempts in a row
        self._next_attempt = 0.0
        self._last_error = None
        self._failure = None
        self._rate = FrameRate()
        logger.info("reading %s", self._source.url)
        self._start(Connection(self._source, self._options))

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
            connection = self._connection
            dropped = self._dropped + (connection.dropped() if connection is not None else 0)
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
            timeout = seconds(timeout)
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
            connection = self._retire()
        logger.info("closing the reader of %s after %d frames", self._source.url,
                    self._delivered)
        if connection is not None:
            connection.close()

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
            if self._connection is None:
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
        connection = self._connection
        wait = POLL_SECONDS
        if deadline is not None:
            wait = min(wait, deadline - time.monotonic())
        frame = connection.pull(max(0.0, wait), self._delivered)
        if frame is None:
            if not self._closing.is_set():
                outcome = connection.check(self._closing)
                if outcome == ENDED:
                    if self._source.finite:
                        self._end()
                    else:
                        self._lost("the stream ended")
                elif outcome is not None:
                    self._lost(outcome)
            return None
        now = time.monotonic()
        admitted = self._limiter is None or self._limiter.admit(
            None if frame.pts is None else round(frame.pts * 1e9))
        if admitted and self._state != _STREAMING:
            self._streaming()
        if admitted:
            with self._lock:
                self._delivered += 1
                self._rate.add(now)
        return frame if admitted else None

    # -- changes of state -------------------------------------------------------

    def _start(self, connection):
        """Makes ``connection`` the one to read from (or closes it, if closed)."""
        with self._lock:
            closed = self._state == _CLOSED
            if not closed:
                self._connection = connection
        if closed:
            connection.close()

    def _retire(self):
        """Takes the current connection out of use; call with the lock held."""
        connection = self._connection
        if connection is not None:
            self._dropped += connection.dropped()
        self._connection = None
        return connection

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
            connection = self._retire()
            if self._state != _CLOSED:
                self._state = _ENDED
        logger.info("%s ended after %d frames", self._source.url, self._delivered)
        if connection is not None:
            connection.close()

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
            connection = self._retire()
            self._last_error = why
            self._failure = message
            if self._state != _CLOSED:
                self._state = _WAITING if message is None else _FAILED
        if message is None:
            logger.warning("%s failed: %s; attempt %d in %.3g s", self._source.url, why,
                           self._failures, delay)
        else:
            logger.warning("%s", message)
        if connection is not None:
            connection.close()

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
            self._start(Connection(self._source, self._options))
        except Exception as error:  # noqa: BLE001  (an attempt that failed)
            self._lost(f"{type(error).__name__}: {error}")
        return True


def _passed(deadline):
    return deadline is not None and time.monotonic() >= deadline
