"""The connection of a stream reader to one pipeline.

A ``Connection`` builds one pipeline through the source's factory, pulls its
frames, tells from the bus and the sink whether it failed or ended, counts
what its sink dropped, and closes it. The reader (``reader``) makes a new
one for every attempt; nothing here decides whether to try again.
"""
import threading
import time

from mivelo import logger
# Before gi.repository: this import selects the GStreamer version.
from mivelo.utils.gstreamer import PipelineSettings

from gi.repository import Gst, GstApp  # noqa: E402,I100

from mivelo.stream_reader.frame import pull  # noqa: E402

__all__ = ["Connection", "ENDED"]

# The longest stretch that a wait for a frame lasts before the reader looks
# at the bus, the stall timer and close() again.
POLL_SECONDS = 0.1
# How long a reader whose sink reports the end of the stream waits for the
# bus message that tells an end from a failure.
_END_MESSAGE_SECONDS = 0.5
# How often a reader looks again at a sink that has not started yet.
_START_POLL_SECONDS = 0.01

# What check() returns for a stream that ended.
ENDED = "ended"


class _Events:
    """The bus watcher of one pipeline: what went wrong, and whether it ended.

    It holds nothing of the reader or the connection, so the pipeline's bus
    thread, which holds it, keeps neither alive.
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


class Connection:
    """One started pipeline of ``source`` and what became of it."""

    def __init__(self, source, options):
        self._source = source
        self._stall_timeout = options.stall_timeout
        self._events = _Events()
        # A file's sink keeps every frame until it is read, from the first
        # one: set before the pipeline plays. A stream's sink keeps the
        # newest frames, as the factories make it.
        settings = PipelineSettings(stall_timeout=self._stall_timeout
                                    if source.kind == "http" else None,
                                    sink_properties={"drop": False} if source.finite else {})
        pipeline = source.build(self._events.watch, settings)
        appsink = pipeline.appsink
        if not isinstance(appsink, GstApp.AppSink):
            pipeline.close()
            raise TypeError(f"the pipeline's sink is a {type(appsink).__name__}, not an appsink")
        self._pipeline, self._appsink = pipeline, appsink
        self.pulled = 0  # frames taken from the sink
        self._progress = time.monotonic()  # when it started or last gave a frame

    @property
    def appsink(self):
        return self._appsink

    def pull(self, wait, index):
        """The next frame (numbered ``index``), or None after ``wait`` seconds
        or at the stall deadline, whichever comes first."""
        now = time.monotonic()
        stall_wait = self._progress + self._stall_timeout - now
        frame = pull(self._appsink, max(0.0, min(wait, stall_wait)), index,
                     self._source.convert_to)
        if frame is not None:
            self._progress = time.monotonic()
            self.pulled += 1
        return frame

    def check(self, closing):
        """After a wait without a frame: None while all is well, ``ENDED``
        when the stream ended, or why it failed. ``closing`` is the reader's
        event that cuts short the waits here."""
        events, appsink = self._events, self._appsink
        if events.error is None and not events.ended and appsink.is_eos():
            if appsink.get_state(0)[1] < Gst.State.PAUSED:
                # Not the end: the sink has not started yet (the pipeline
                # changes its state on a thread of its own), and answers at
                # once until it has. The stall timer still runs.
                closing.wait(_START_POLL_SECONDS)
            else:
                # The end of the stream, or a failure that stopped it: the
                # bus message that tells which is on its way.
                events.wait(_END_MESSAGE_SECONDS)
                if events.error is None:
                    events.ended = True
        if events.error is not None:
            return events.error
        if events.ended:
            return ENDED
        if time.monotonic() - self._progress >= self._stall_timeout:
            return f"no frame for {self._stall_timeout:g} s"
        return None

    def dropped(self):
        """Frames the sink dropped so far.

        The sink counts what it received; less what was read and what it
        may still hold, the rest was dropped. Exact while the sink is full,
        which is when it drops; just after a read it may lag by a frame or two.
        """
        appsink = self._appsink
        if appsink is None or not appsink.get_property("drop"):
            return 0
        rendered = appsink.get_property("stats").get_uint64("rendered")[1]
        return max(0, rendered - self.pulled - appsink.get_property("max-buffers"))

    def close(self):
        """Stops and releases the pipeline (bounded as ``Pipeline.close()``)."""
        pipeline, self._pipeline = self._pipeline, None
        if pipeline is not None:
            pipeline.close()
