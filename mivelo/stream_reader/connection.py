"""The connection of a stream reader to one pipeline.

A ``Connection`` builds one pipeline through the source's factory, with
everything that decides how it behaves set before it plays (``Pipeline``
settings: the stall timeout, the sink's policy, the frames taken); pulls its
frames; tells from its bus whether the stream is finite, failed (and why) or
ended; counts what its sink received and nobody took; and closes it. The
reader (``reader``) makes a new one for every attempt; nothing here decides
whether to try again.

Who decides what, once for each pipeline:

* A stall: the stall watchdog of the pipeline layer, which posts an ERROR
  that says whether no data came or data came that does not decode; the
  connection only reads the bus.
* The end: the bus's EOS, posted by the sink once its last frame is taken,
  or by the watchdog for an end that waits in a sink nobody reads.
* Finite or live: the caller's ``finite`` option; else a local file is
  finite; else the stream's own report, read on the pipeline's bus lane once
  it has prerolled. Until then the sink keeps every frame (decoding
  waits for the reader, nothing is lost); a live stream's sink then drops
  down to its newest frames.
"""
import threading

from mivelo import logger
from mivelo.utils.credentials import mask_text
# Before gi.repository: this import selects the GStreamer version.
from mivelo.utils.gstreamer import PipelineSettings
from mivelo.utils._gst import fork

from gi.repository import Gst, GstApp  # noqa: E402,I100

from mivelo.pipeline_factories.base import BUFFER_SRC_NAME  # noqa: E402
from mivelo.stream_reader.frame import pull  # noqa: E402

__all__ = ["Connection", "ENDED", "POLL_SECONDS"]

# The longest stretch that a wait for a frame, or for the bus, lasts before
# the reader looks again at its state (close() cuts it short anyway).
POLL_SECONDS = 0.1

# What outcome() returns for a stream that ended.
ENDED = "ended"


def reports_finite(gst_pipeline, sink):
    """Whether a prerolled pipeline reports a finite stream: not live
    (asked upstream of ``sink``, whose own answer reflects only its
    clock sync), and with a known duration or seekable in time."""
    latency = Gst.Query.new_latency()
    if sink.get_static_pad("sink").peer_query(latency) and latency.parse_latency()[0]:
        return False
    known, duration = gst_pipeline.query_duration(Gst.Format.TIME)
    if known and duration > 0:
        return True
    seeking = Gst.Query.new_seeking(Gst.Format.TIME)
    return bool(gst_pipeline.query(seeking) and seeking.parse_seeking()[1])


class _Bus:
    """The bus watcher of one pipeline: whether it failed (and why), ended,
    and is finite.

    It runs on the pipeline's bus lane and holds nothing of the reader or
    the connection, so the bus dispatch keeps neither alive; ``notify()``
    (the reader's watch) is called when it failed or ended, for a
    wait on many readers.
    """

    def __init__(self, finite, notify):
        self.finite = finite  # None until the stream has told
        self.error = None
        self.ended = False
        self._closed = False
        self._changed = threading.Condition()
        self._notify = notify

    def watch(self, bus, message, pipeline):
        kind = message.type
        if kind == Gst.MessageType.ERROR:
            error, _debug = message.parse_error()
            source = message.src.get_name() if message.src is not None else "the pipeline"
            # GStreamer's texts may quote the URL, password and all.
            self._record(error=mask_text(f"{source}: {error.message}"))
        elif kind == Gst.MessageType.EOS:
            self._record(ended=True)
        elif self.finite is None and (kind == Gst.MessageType.ASYNC_DONE or (
                kind == Gst.MessageType.STATE_CHANGED and message.src == pipeline.gst_pipeline
                and message.parse_state_changed()[1] == Gst.State.PLAYING)):
            self._judge(pipeline)
        elif kind == Gst.MessageType.WARNING:
            warning, _debug = message.parse_warning()
            logger.debug("GStreamer warning from %s: %s", message.src.get_name()
                         if message.src is not None else "the pipeline", warning.message)

    def _judge(self, pipeline):
        """Once prerolled: finite or live, and a live stream's sink drops."""
        sink, gst_pipeline = pipeline.appsink, pipeline.gst_pipeline
        if sink is None or gst_pipeline is None:
            return  # closed meanwhile
        finite = reports_finite(gst_pipeline, sink)
        if not finite:
            sink.set_property("drop", True)
        logger.debug("%s is %s", pipeline.url, "finite: every frame is kept" if finite
                     else "live: the newest frames are kept")
        with self._changed:
            self.finite = finite

    def _record(self, error=None, ended=False):
        with self._changed:
            if error is not None and self.error is None:
                self.error = error
            self.ended = self.ended or ended
            self._changed.notify_all()
        self._notify()

    def wait(self, seconds):
        """Waits up to ``seconds`` for an error, the end of the stream, or
        the pipeline's close()."""
        with self._changed:
            self._changed.wait_for(
                lambda: self.error is not None or self.ended or self._closed, seconds)

    def close(self):
        with self._changed:
            self._closed = True
            self._changed.notify_all()


class _Taken:
    """Frames taken from a sink: counted by the reading thread, read by the
    stall watchdog on the pipeline's bus lane (it holds this, not the connection)."""

    def __init__(self):
        self.count = 0

    def __call__(self):
        return self.count


class Connection:
    """One started pipeline of ``source`` and what became of it.

    ``watch`` (the reader's ``mivelo.stream_reader.waker.Watch``) is told of
    every frame that reaches the sink, of the sink's end and of a failure or
    end on the bus, for a wait on many readers.
    """

    def __init__(self, source, options, watch):
        finite = source.finite
        self._bus = _Bus(finite, watch.notify)
        self._taken = _Taken()
        self._dropped_floor = 0  # what a dropping sink has dropped at least
        self._received = None  # what the sink received, once retired
        self._lock = threading.Lock()  # the counts, and close()
        settings = PipelineSettings(
            stall_timeout=options.stall_timeout, data_source=BUFFER_SRC_NAME,
            # Only a stream known to be live drops frames from the start.
            sink_properties={"drop": finite is False}, frames_taken=self._taken)
        pipeline = source.build(self._bus.watch, settings)
        appsink = pipeline.appsink
        if not isinstance(appsink, GstApp.AppSink):
            pipeline.close()
            raise TypeError(f"the pipeline's sink is a {type(appsink).__name__}, not an appsink")
        self._pipeline, self._appsink = pipeline, appsink
        self._max_buffers = appsink.get_property("max-buffers")
        self._convert_to = source.convert_to
        watch.attach(appsink)

    @property
    def appsink(self):
        return self._appsink

    @property
    def started(self):
        """Whether a frame was taken from the sink."""
        return self._taken.count > 0

    @property
    def finite(self):
        """True, False, or None while the stream has not told."""
        return self._bus.finite

    def pull(self, wait, index):
        """The next frame (numbered ``index``), or None after ``wait`` seconds.

        Raises ``ForkedProcessError`` in a process forked after streaming,
        where the sink would wait for a stream whose threads stayed behind.
        """
        fork.check()
        if self._bus.finite is False:
            self._note_drops()
        frame = pull(self._appsink, wait, index, self._convert_to)
        if frame is not None:
            self._taken.count += 1
        return frame

    def outcome(self, wait):
        """After a pull without a frame: None while the stream goes on,
        ``ENDED`` when it ended, or why it failed. A sink that has nothing
        more to give (it ended, failed or has not started) waits up to
        ``wait`` seconds for the bus, which tells which."""
        bus = self._bus
        if bus.error is None and not bus.ended and self._appsink.is_eos():
            bus.wait(wait)
        if bus.error is not None:
            return bus.error
        return ENDED if bus.ended else None

    def _rendered(self):
        return self._appsink.get_property("stats").get_uint64("rendered")[1]

    def _note_drops(self):
        """A dropping sink drops only while full, when what it received less
        what was taken and what it holds (``max-buffers``) is exactly what
        it dropped; at any other time that is less. So the most it ever was,
        looked at before each pull (when the sink is fullest), is what it
        dropped, or at most a frame short."""
        seen = self._rendered() - self._taken.count - self._max_buffers
        with self._lock:  # stats() looks from other threads too
            self._dropped_floor = max(self._dropped_floor, seen)

    def dropped(self):
        """Frames the sink received that were not taken: exactly, once the
        connection is closed (see ``ReaderStats``)."""
        if self._received is not None:
            return max(0, self._received - self._taken.count)
        if self._pipeline is not None and self._bus.finite is False:
            self._note_drops()
        return self._dropped_floor

    def close(self):
        """Stops and releases the pipeline (bounded as ``Pipeline.close()``).

        What the sink received is counted first: stopping the sink resets
        its count.
        """
        with self._lock:
            pipeline, self._pipeline = self._pipeline, None
            if pipeline is not None:
                self._received = self._rendered()
        if pipeline is None:
            return
        try:
            pipeline.close()
        finally:
            self._bus.close()
