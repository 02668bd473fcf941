"""The stall watchdog: one ERROR when decoded frames stop arriving.

A source that stops sending (a server that hangs, a network that drops
packets) or sends bytes that never decode into a frame leaves a pipeline
waiting without any message of its own. A watchdog turns that silence into
one ERROR message on the bus after a set time. It learns about progress by
reading counters that GStreamer keeps anyway (the sink's statistics, the
source's byte position) on the pipeline's bus lane (``bus``), so it adds no
thread and no Python code to the streaming threads, and it ends with
``close()``.
"""
import math
import numbers

from gi.repository import GLib, Gst, GstBase

from mivelo.utils.credentials import mask_url

# How long the end of the stream may wait at the frame sink before the
# watchdog reports it.
END_GRACE_SECONDS = 0.5
# How often a watchdog polls: a twentieth of its timeout, within these
# bounds. The polls cost a few dozen microseconds of Python each, which
# many pipelines at 10 a second make a sizeable share of a core.
POLL_SECONDS = (0.1, 0.5)


def stall_watchdog(timeout_seconds, url, *, frame_sink, data_pad=None, decoder=None,
                   frame_counter=None, frames_taken=None):
    """A watchdog for the bus dispatch that posts an ERROR when frames stop arriving.

    While the pipeline is meant to play (PLAYING, or on its way there), a
    stretch of ``timeout_seconds`` in which no frame reaches
    ``frame_sink`` posts one ERROR message:

    * ``Gst.ResourceError.READ`` from the element of ``data_pad`` (where
      the undecoded stream flows, normally the source's "src" pad) when
      that pad too has been silent for at least half the timeout: the
      server or the network stalled;
    * ``Gst.StreamError.DECODE`` from ``decoder`` (default:
      ``frame_sink``) otherwise: data arrives but yields no frame (or,
      without a ``data_pad`` that can tell, frames just stopped).

    The time counts from the start of playing, so a stream that never
    delivers a frame is reported too. After the error, an EOS or any other
    ERROR the watchdog stays quiet until the pipeline is started anew.

    No code runs per buffer: the bus dispatch polls how far the stream got
    every ``poll_seconds`` (a twentieth of the timeout, from 0.1 to 0.5 s;
    ``POLL_SECONDS``) and notes when that last changed, so the error comes
    at most about two such periods after the timeout, and an end held in the
    sink is reported ``END_GRACE_SECONDS`` to that plus a period after it
    came. Frames are counted by ``frame_sink``'s "stats"
    (rendered plus dropped buffers; it must be a ``GstBaseSink`` of
    GStreamer 1.18 or later) and, if given, by ``frame_counter()``, a
    quick, thread-safe callable returning a number that changes with
    every decoded frame, for frames that something before the sink takes
    out; a change in either counts as a frame. Data is counted
    by a BYTES position query on ``data_pad``, which sources derived from
    ``GstBaseSrc`` answer with the bytes delivered so far. ``url`` names the
    stream in the error's text, its password masked.

    A sink that drops what it cannot queue (the factories' appsink does)
    counts the frames it drops, so a reader that stops pulling is no
    stall. A sink that keeps its frames instead (``drop`` off) holds up the
    decoding while it is full; given ``frames_taken()``, a quick,
    thread-safe callable returning the frames taken from the sink so far,
    a sink that holds frames not yet taken is waiting for its reader and
    no stall. Without it, a reader that pulls nothing for the timeout gets
    the error too.
    """
    if isinstance(timeout_seconds, bool) or not isinstance(timeout_seconds, numbers.Real):
        raise TypeError("timeout_seconds must be a number, "
                        f"not {type(timeout_seconds).__name__}")
    timeout = float(timeout_seconds)
    if not 0 < timeout < math.inf:
        raise ValueError(f"timeout_seconds must be positive and finite, got {timeout_seconds!r}")
    if (not isinstance(frame_sink, GstBase.BaseSink)
            or frame_sink.find_property("stats") is None):
        raise TypeError("frame_sink must be a GstBaseSink with a 'stats' property "
                        f"(GStreamer 1.18 or later), not {frame_sink!r}")
    for name, counter in (("frame_counter", frame_counter), ("frames_taken", frames_taken)):
        if counter is not None and not callable(counter):
            raise TypeError(f"{name} must be callable or None, not {type(counter).__name__}")
    data_element = data_pad.get_parent_element() if data_pad is not None else None
    if decoder is None:
        decoder = frame_sink
    return StallWatchdog(
        timeout, url, frame_sink.get_name(),
        (data_element.get_name(), data_pad.get_name()) if data_element is not None else None,
        decoder.get_name(), frame_counter, frames_taken)


class StallWatchdog:
    """Posts one ERROR when decoded frames stop while the pipeline should play.

    Everything runs on the bus lane: ``observe`` sees every message,
    ``check`` polls the progress counters (see ``stall_watchdog``)
    and notes when they last changed. Nothing of it runs per buffer. It holds
    no GStreamer object, only element names that ``check`` looks up in the
    pipeline it is handed, so it keeps nothing alive that the pipeline does
    not.
    """

    def __init__(self, timeout, url, frame_sink, data_source, decoder, frame_counter,
                 frames_taken=None):
        self._timeout = timeout
        self.poll_seconds = min(max(timeout / 20, POLL_SECONDS[0]), POLL_SECONDS[1])
        self._url = url
        self._frame_sink = frame_sink
        # (element name, pad name) of the undecoded stream, or None.
        self._data_source = data_source
        self._decoder = decoder
        self._frame_counter = frame_counter
        self._frames_taken = frames_taken
        self._since = None
        self._frames = None
        self._last_frame = None
        self._data = None
        self._last_data = None
        self._data_known = False
        self._halted = False
        self._ended_since = None
        self._posted_end = None

    def observe(self, message):
        """Notes a bus message; False for one that must not reach the watchers."""
        if message.type == Gst.MessageType.EOS and self._posted_end is not None \
                and message.get_seqnum() == self._posted_end[0]:
            seqnum, delivered = self._posted_end
            self._posted_end = (seqnum, True)
            # The first is the end that this watchdog reported; a second
            # comes from the sink once its last frames have been pulled.
            return not delivered
        # The stream ended, or something already reported the failure (this
        # watchdog's own error included): nothing more to say.
        if message.type in (Gst.MessageType.ERROR, Gst.MessageType.EOS):
            self._halted = True
        return True

    @staticmethod
    def _held_end(sink):
        """The EOS event that has reached the frame sink, or None.

        A sink that holds the end of the stream until its frames are taken
        (an appsink does) posts no EOS while nobody pulls. The event stays
        on the pad that pushed it to the sink.
        """
        pad = sink.get_static_pad("sink") if sink is not None else None
        peer = pad.get_peer() if pad is not None else None
        for holder in (pad, peer):
            event = holder.get_sticky_event(Gst.EventType.EOS, 0) if holder else None
            if event is not None:
                return sink, event
        return None

    def _check_end(self, sink, now):
        """Whether the stream has ended; reports the end once it has been
        held for ``END_GRACE_SECONDS`` (a reader that pulls gets the sink's
        own EOS before)."""
        held = self._held_end(sink)
        if held is None:
            self._ended_since = None
            return False
        if self._ended_since is None:
            self._ended_since = now
        elif now - self._ended_since >= END_GRACE_SECONDS:
            sink, event = held
            message = Gst.Message.new_eos(sink)
            message.set_seqnum(event.get_seqnum())
            self._posted_end = (event.get_seqnum(), False)
            self._halted = True
            sink.post_message(message)
        return True

    def _frame_progress(self, stats):
        """A value that changes whenever a frame has been decoded."""
        rendered = None
        if stats is not None:
            # Frames that the sink dropped as late were decoded too.
            rendered = stats.get_uint64("rendered")[1] + stats.get_uint64("dropped")[1]
        counted = self._frame_counter() if self._frame_counter is not None else None
        return rendered, counted

    def _waiting_for_reader(self, sink, stats):
        """Whether the frame sink keeps its frames and holds some that were
        not taken yet (see ``stall_watchdog``)."""
        if self._frames_taken is None or stats is None:
            return False
        if sink.find_property("drop") is None or sink.get_property("drop"):
            return False
        return stats.get_uint64("rendered")[1] > self._frames_taken()

    @staticmethod
    def _can_count_bytes(pad):
        """Whether a BYTES position query on ``pad`` is safe to ask.

        A byte source (any caps: souphttpsrc, filesrc, appsrc) counts bytes
        itself. A source of media (a raw video test source, an encoder)
        converts its position from time through its caps, and before it has
        any it fails a GLib assertion (a CRITICAL, fatal under
        G_DEBUG=fatal-criticals) instead of answering; it has delivered
        nothing then anyway.
        """
        return pad.has_current_caps() or pad.get_pad_template_caps().is_any()

    def _data_progress(self, gst_pipeline):
        """Bytes the source has delivered, or None when it cannot tell."""
        if self._data_source is None:
            return None
        element_name, pad_name = self._data_source
        element = gst_pipeline.get_by_name(element_name)
        pad = element.get_static_pad(pad_name) if element is not None else None
        if pad is None or not self._can_count_bytes(pad):
            return None
        answered, position = pad.query_position(Gst.Format.BYTES)
        # -1 is GStreamer's "unknown".
        return position if answered and position >= 0 else None

    def check(self, gst_pipeline, now):
        _, state, pending = gst_pipeline.get_state(0)
        if Gst.State.PLAYING not in (state, pending):
            # Not meant to play (not started, paused on purpose, stopped or a
            # failed start): no frame is overdue. Playing again starts afresh.
            self._since = None
            self._halted = False
            self._ended_since = None
            return
        if self._halted:
            return
        # Looked up once a poll: a lookup searches every bin of the pipeline.
        sink = gst_pipeline.get_by_name(self._frame_sink)
        if self._check_end(sink, now):
            return
        stats = sink.get_property("stats") if sink is not None else None
        frames = self._frame_progress(stats)
        data = self._data_progress(gst_pipeline)
        # What the source says now decides: one that stopped answering (or
        # answered only before it started) cannot tell whether data comes.
        self._data_known = data is not None
        if self._since is None:
            # Counters are compared for change, not growth: the sink resets
            # its statistics on some state changes.
            self._since = self._last_frame = self._last_data = now
            self._frames, self._data = frames, data
            return
        if frames != self._frames or self._waiting_for_reader(sink, stats):
            self._frames, self._last_frame = frames, now
        if data is not None and data != self._data:
            self._data, self._last_data = data, now
        frame_age = now - self._last_frame
        if frame_age < self._timeout:
            return
        self._halted = True
        stream = mask_url(self._url) or "the stream"
        data_age = now - self._last_data
        if self._data_known and data_age >= self._timeout / 2:
            element_name = self._data_source[0]
            domain, code = Gst.ResourceError, Gst.ResourceError.READ
            text = f"no data from {stream} for {data_age:.1f} s"
            debug = (f"the source sent nothing for {data_age:.1f} s while the pipeline "
                     f"was playing (stall timeout {self._timeout:g} s)")
        elif self._data_known:
            element_name = self._decoder
            domain, code = Gst.StreamError, Gst.StreamError.DECODE
            text = f"no frame decoded from {stream} for {frame_age:.1f} s although data arrives"
            debug = (f"data kept arriving but no frame came out of the decoder for "
                     f"{frame_age:.1f} s (stall timeout {self._timeout:g} s); "
                     "the stream is corrupt or not what its type claims")
        else:
            element_name = self._decoder
            domain, code = Gst.StreamError, Gst.StreamError.DECODE
            text = f"no frame decoded from {stream} for {frame_age:.1f} s"
            debug = (f"no frame came out of the decoder for {frame_age:.1f} s (stall timeout "
                     f"{self._timeout:g} s); whether data still arrives is not known")
        element = gst_pipeline.get_by_name(element_name) if element_name else None
        if element is None:
            element = gst_pipeline
        error = GLib.Error.new_literal(domain.quark(), text, int(code))
        element.post_message(Gst.Message.new_error(element, error, debug))
