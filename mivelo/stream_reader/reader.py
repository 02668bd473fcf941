"""``StreamReader``: decoded frames from a stream, a file or a launch string.

The reader is the state machine over one pipeline at a time; the jobs it
leans on have a module each: ``options`` (what a reader takes, and the
checks), ``sources`` (what it reads, and which factory builds its
pipelines), ``connection`` (one pipeline: its settings, pulling, how it
ended, what its sink dropped) and ``stats`` (``ReaderStats``, the frame
rate).

``read()`` pulls the next frame in C++ with the interpreter lock released
(``mivelo.stream_reader.frame``) and returns it as a ``Frame`` that exports
the decoded pixels without a copy. Everything else happens on the thread
that reads, between pulls: no thread of the reader's own, and no Python code
of the reader on GStreamer's threads.

States (``_state``, changed only by ``_set_state``, which logs each change
through ``mivelo.logger``: info when things go as they should, warning when
not):

* connecting: a pipeline is built and no frame has come from it yet;
* streaming: frames come from the current pipeline;
* waiting: the last pipeline failed, the next attempt is due after a pause
  that doubles with each failed attempt from ``backoff_min`` up to
  ``backoff_max`` seconds (the first frame resets it);
* ended: a finite stream (a file) ended: ``read()`` returns None and
  iteration stops; it is not reopened;
* failed: ``max_attempts`` attempts in a row failed, or a stream failed with
  ``reconnect`` off, or a finite one failed: ``read()`` and iteration raise
  ``StreamFailedError``;
* closed: ``close()`` was called; nothing changes any more.

A pipeline fails on an ERROR on its bus (the stall watchdog's, after
``stall_timeout`` seconds without a frame, included) and, unless it is
finite, on the end of its stream.
"""
import logging
import re
import threading
import time

from mivelo import logger
from mivelo.stream_reader.connection import ENDED, POLL_SECONDS, Connection
from mivelo.stream_reader.frame import Frame
from mivelo.stream_reader.options import (
    DEFAULT_OPTIONS, PIXEL_FORMATS, SUPPORTED_OPTIONS, ReaderOptions, seconds)
from mivelo.stream_reader.sources import FILE_LAUNCH, RTSP_LAUNCH, Source
from mivelo.stream_reader.stats import FrameRate, ReaderStats
from mivelo.stream_reader.waker import Watch
from mivelo.utils import diagnosis
from mivelo.utils.credentials import mask_text
from mivelo.utils.diagnosis import DIAGNOSIS_SECONDS
from mivelo.utils.frame_rate import FrameRateLimiter
from mivelo.utils.gstreamer import ForkedProcessError

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
    stream failed with reconnecting off, or a file could not be read.

    ``reader`` is the reader that gave up when a ``ReaderSet`` (or
    ``read_async()``) raises it, else None."""

    reader = None


_CONNECTING, _STREAMING, _WAITING, _ENDED, _FAILED, _CLOSED = (
    "connecting", "streaming", "waiting", "ended", "failed", "closed")

# What _step() gives as the time to look again at a reader that has ended or
# is closed.
_DONE = "done"


class StreamReader:
    """Frames from one stream, through failures and restarts of its source.

    ``StreamReader(source, options=None, *, url=None)``: ``source`` is an
    http(s) or rtsp URL, a file path (a str or an ``os.PathLike``) or
    file:// URL, or a GStreamer launch string holding ``{url}`` (then
    ``url`` is what fills it in; the string ends in ``appsink
    name=main_sink`` after a conversion to a pixel format that ``Frame``
    takes, e.g. ``videoconvert ! video/x-raw,format=BGR``). ``options`` (a
    mapping, else TypeError) maps option names of ``SUPPORTED_OPTIONS`` to
    values (see ``DEFAULT_OPTIONS``); ``check_tunables`` refuses an unknown
    or mistyped one with ``InvalidRuntimeOptionError`` before anything is
    built, and a value out of range raises ValueError. The first pipeline is
    built and started at once; a launch string that GStreamer cannot build
    raises ``InvalidCustomPipelineError`` here, a missing file (or a
    directory) ``SourceNotFoundError``. ``url`` is the URL as given;
    ``repr()``, the log, the errors and ``stats`` show its password masked.

    ``read()`` returns the next ``Frame``; iterating yields frames until a
    finite stream ends or the reader is closed. ``close()``, or leaving a
    ``with`` block, ends the reader within the bound of ``Pipeline.close()``.
    One reader may be read from several threads (one read runs at a time)
    and closed from any thread; a read waiting on another thread then
    returns.

    ``await read_async()`` and ``async for`` read it in an asyncio event
    loop, woken by the stream itself, and ``ReaderSet`` reads many readers
    in one thread or one loop (``mivelo.stream_reader.reader_set``); these
    and ``read()`` may be mixed on one reader, one read at a time.
    """

    def __init__(self, source, options=None, *, url=None):
        self._options = ReaderOptions({} if options is None else options)
        self._source = Source(source, url, self._options)
        self._limiter = (FrameRateLimiter(self._options.max_fps)
                         if self._options.max_fps is not None else None)
        self._reading = threading.Lock()  # one read() at a time
        # Guards the fields below, which other threads read (stats, close);
        # the reading thread alone writes them, and close() the state.
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)  # wakes waits at close()
        self._state = None
        self._connection = None  # the current pipeline's, or the last one's
        self._delivered = 0
        self._skipped = 0  # taken from a sink, but over max_fps
        self._dropped_before = 0  # by the sinks of the pipelines before the last
        self._reconnects = 0
        self._last_error = None
        self._rate = FrameRate()
        # The reading thread's own (read() holds _reading).
        self._failure = None  # what StreamFailedError says
        self._failures = 0  # attempts in a row that failed
        self._next_attempt = 0.0
        self._probe = None  # (why, diagnosis.Probe) of the last failure probed
        # Told of every frame and change of the stream, for a ReaderSet or
        # an event loop that waits on this reader (its hub; None otherwise).
        self._watch = Watch()
        self._hub = None
        self._set_state(_CONNECTING, logging.INFO, "reading %s", self._source.shown)
        self._connection = Connection(self._source, self._options, self._watch)

    # -- public -------------------------------------------------------------

    @property
    def url(self):
        """The URL, or path, that the reader reads, as given (a password
        included); ``repr()``, the log and the errors show it masked."""
        return self._source.url

    @property
    def stats(self):
        """A ``ReaderStats`` snapshot."""
        now = time.monotonic()
        with self._lock:
            connection = self._connection
            dropped = self._dropped_before + self._skipped + (
                connection.dropped() if connection is not None else 0)
            return ReaderStats(self._delivered, dropped, self._reconnects,
                               self._rate.value(now), self._last_error)

    def read(self, timeout=None):
        """The next frame, or None when ``timeout`` seconds pass without one.

        ``timeout`` None takes the ``read_timeout`` option (whose default
        waits until a frame comes); ``math.inf``, or any number from
        ``FOREVER_SECONDS`` (``options``) up, waits as long as it takes.
        None is also returned once a finite stream has ended or the reader
        is closed. Raises ``StreamFailedError`` once the reader has given up
        on its stream.
        """
        timeout = self._options.read_timeout if timeout is None else seconds(timeout)
        if timeout is None:
            deadline = None
            self._reading.acquire()
        else:
            deadline = time.monotonic() + timeout
            if not self._reading.acquire(timeout=timeout):
                return None
        try:
            return self._read(deadline)
        finally:
            self._reading.release()
            if self._hub is not None:
                self._watch.notify()  # a hub passed over it while this read ran

    async def read_async(self, timeout=None):
        """``read()`` for asyncio: the next frame, waited for in the running
        event loop without blocking it (no thread is started). Cancelling
        the wait loses no frame. RuntimeError while the reader is in a
        ``ReaderSet``: read it there."""
        from mivelo.stream_reader import reader_set

        return await reader_set.read_one(self, timeout)

    def __aiter__(self):
        return self

    async def __anext__(self):
        frame = await self.read_async()
        if frame is not None:
            return frame
        if self._state in (_CLOSED, _ENDED):
            raise StopAsyncIteration
        raise self._timed_out()

    def __iter__(self):
        return self

    def __next__(self):
        frame = self.read()
        if frame is not None:
            return frame
        if self._state in (_CLOSED, _ENDED):
            raise StopIteration
        raise self._timed_out()

    def _timed_out(self):
        return TimeoutError(f"no frame from {self._source.shown} within "
                            f"{self._options.read_timeout:g} s")

    def close(self):
        """Stops the stream and releases it; frames already read stay valid."""
        if self._set_state(_CLOSED, logging.INFO, "closing the reader of %s after %d frames",
                           self._source.shown, self._delivered):
            self._watch.notify()
            self._rate_restart()
            self._connection.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def __repr__(self):
        return (f"<{type(self).__name__} {self._source.shown!r} {self._state}, "
                f"{self._delivered} frames>")

    # -- the state ------------------------------------------------------------

    def _set_state(self, state, level, message, *args):
        """The one way the state changes, and its log line. Nothing leaves
        closed: False (and nothing logged) once the reader is closed."""
        with self._lock:
            if self._state == _CLOSED:
                return False
            self._state = state
            self._changed.notify_all()
        logger.log(level, message, *args)
        return True

    def _rate_restart(self):
        with self._lock:
            self._rate.restart()

    # -- reading --------------------------------------------------------------

    def _read(self, deadline):
        while True:
            state = self._state
            if state in (_ENDED, _CLOSED):
                return None
            if state == _FAILED:
                raise StreamFailedError(self._failure)
            if state == _WAITING:
                if not self._reconnect_when_due(deadline):
                    return None
                continue
            frame = self._pull(deadline)
            if frame is not None:
                return frame
            if _passed(deadline):
                return None

    def _step(self):
        """One look at the stream that never waits, for a hub that serves many
        readers (``reader_set``): ``(frame, None)``; ``(None, when)`` where
        ``when`` is the ``time.monotonic()`` at which to look again if the
        watch has not marked the reader before (None: only then); or
        ``(None, _DONE)`` once it has ended or is closed. Raises
        ``StreamFailedError`` once it has given up. Call it holding the read
        lock, inside ``without_waiting()``."""
        while True:
            state = self._state
            if state in (_ENDED, _CLOSED):
                return None, _DONE
            if state == _FAILED:
                raise StreamFailedError(self._failure)
            if state == _WAITING:
                if time.monotonic() < self._next_attempt:
                    return None, self._next_attempt
                self._reconnect()
                continue
            skipped = self._skipped
            frame = self._pull(0.0)  # a deadline long past: no wait at all
            if frame is not None:
                return frame, None
            if self._state == state and self._skipped == skipped:
                return None, None

    def _wait(self, deadline):
        """How long the next wait may last."""
        if deadline is None:
            return POLL_SECONDS
        return max(0.0, min(POLL_SECONDS, deadline - time.monotonic()))

    def _pull(self, deadline):
        """A frame for the caller, or None after one wait without."""
        connection = self._connection
        frame = connection.pull(self._wait(deadline), self._delivered)
        if frame is None:
            outcome = connection.outcome(self._wait(deadline))
            if outcome == ENDED and connection.finite:
                self._end()
            elif outcome is not None:
                self._lost("the stream ended" if outcome == ENDED else outcome,
                           connection.finite, deadline,
                           probe=outcome != ENDED and not connection.started)
            return None
        now = time.monotonic()
        admitted = self._limiter is None or self._limiter.admit(
            None if frame.pts is None else round(frame.pts * 1e9))
        with self._lock:
            if admitted:
                self._delivered += 1
                self._rate.add(now)
            else:
                self._skipped += 1
        if not admitted:
            return None
        if self._state == _CONNECTING:
            self._streaming()
        return frame

    # -- changes of state -------------------------------------------------------

    def _streaming(self):
        if self._failures:
            self._set_state(_STREAMING, logging.INFO, "%s: frames again after %d failed "
                            "attempt%s", self._source.shown, self._failures,
                            "" if self._failures == 1 else "s")
        else:
            self._set_state(_STREAMING, logging.INFO, "%s: receiving frames", self._source.shown)
        self._failures = 0

    def _end(self):
        if self._set_state(_ENDED, logging.INFO, "%s ended after %d frames", self._source.shown,
                           self._delivered):
            self._rate_restart()
            self._connection.close()

    def _lost(self, why, finite, deadline=0.0, probe=False):
        """The current attempt failed: try again after a pause, or give up.

        A finite stream is not tried again: it would start over. ``probe``:
        it failed on an error before its first frame, which a probe of the
        server may explain (``_explained``), within the pause that follows
        anyway and the time left before ``deadline`` (None: no limit; the
        paths that never wait give one long past).
        """
        self._failures += 1
        options, url = self._options, self._source.shown
        delay = None if finite or options.gives_up(self._failures) else \
            options.backoff(self._failures)
        if delay is not None:
            self._next_attempt = time.monotonic() + delay
        if probe and self._state != _CLOSED:
            why = self._explained(why, _probe_wait(delay, deadline))
        with self._lock:
            if self._state == _CLOSED:
                return  # close() took care of the pipeline
            self._last_error = why
            self._rate.restart()
        if finite or not options.reconnect:
            self._failure = f"{url} failed: {why}"
        elif delay is None:
            self._failure = (f"gave up on {url} after {self._failures} failed "
                             f"attempt{'' if self._failures == 1 else 's'}: {why}")
        else:
            if self._set_state(_WAITING, logging.WARNING, "%s failed: %s; attempt %d in %.3g s",
                               url, why, self._failures, delay):
                self._connection.close()
            return
        if self._set_state(_FAILED, logging.WARNING, "%s", self._failure):
            self._connection.close()

    def _explained(self, why, wait):
        """``why``, with the cause that a probe of the server finds within
        ``wait`` seconds (``mivelo.utils.diagnosis``: an unknown host, a
        refused port, ...), or that the probe after the attempt before found
        when that failed alike (the same text from an element of the same
        role: "rtspsrc3: ..." and "rtspsrc4: ..."); the probe goes on
        meanwhile, for the next failure. A server that accepts connections
        explains nothing."""
        earlier, self._probe = self._probe, None
        started = diagnosis.probe(self._source.url)
        if started is None:
            return why  # not a server that a probe can reach
        alike = re.sub(r"^(\S*?)\d*:", r"\1:", why)
        self._probe = alike, started
        found = started.finished(wait)
        if found is None and earlier is not None and earlier[0] == alike:
            found = earlier[1].finished()
        if found is None or found.cause == diagnosis.REACHABLE:
            return why
        return f"{why} ({found})"

    def _reconnect_when_due(self, deadline):
        """Waits for the next attempt and makes it; False when ``deadline``
        comes first or the reader is closed meanwhile."""
        due = self._next_attempt
        until = due if deadline is None else min(due, deadline)
        with self._lock:
            while self._state != _CLOSED and time.monotonic() < until:
                self._changed.wait(until - time.monotonic())
        if time.monotonic() < due:
            return False
        return self._reconnect()

    def _reconnect(self):
        """Makes the next attempt now; False if the reader was closed."""
        with self._lock:
            if self._state == _CLOSED:
                return False
            self._reconnects += 1
        if not self._set_state(_CONNECTING, logging.INFO, "%s: attempt %d to reconnect",
                               self._source.shown, self._failures):
            return False
        try:
            connection = Connection(self._source, self._options, self._watch)
        except ForkedProcessError:
            raise  # no attempt here can work
        except Exception as error:  # noqa: BLE001  (an attempt that failed)
            self._lost(mask_text(f"{type(error).__name__}: {error}"), self._source.finite)
            return True
        with self._lock:
            closed = self._state == _CLOSED
            if not closed:
                self._dropped_before += self._connection.dropped()
                self._connection = connection
        if closed:
            connection.close()
        return True


def _passed(deadline):
    return deadline is not None and time.monotonic() >= deadline


def _probe_wait(delay, deadline):
    """How long a failure may wait for the probe of its server: at most
    ``DIAGNOSIS_SECONDS``, the pause before the next attempt (``delay``;
    None: there is none) and what is left before ``deadline``."""
    bounds = [DIAGNOSIS_SECONDS] + ([] if delay is None else [delay]) + (
        [] if deadline is None else [deadline - time.monotonic()])
    return max(0.0, min(bounds))

