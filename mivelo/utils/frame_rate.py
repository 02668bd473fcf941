"""``FrameRateLimiter``: which frames pass a highest frame rate.

A rule of time alone: it knows nothing of pipelines or readers. The pipeline
factories run it as a buffer probe before the colour conversion
(``mivelo.pipeline_factories.base``); the stream reader asks it about each
frame it pulls (its ``max_fps`` option).
"""
import time

# Before gi.repository: this import selects the GStreamer version.
import mivelo.utils._gst  # noqa: F401

from gi.repository import Gst  # noqa: E402,I100

__all__ = ["FrameRateLimiter"]

# Fraction of the frame interval by which a frame timed by its arrival may
# come early and still pass the frame-rate limit; absorbs network jitter when
# a stream runs at about the limit. Timestamped frames get only enough slack
# for rounding, so their thinning is exact (every Nth frame).
_ARRIVAL_TOLERANCE = 0.25
_TIMESTAMP_TOLERANCE_NS = 1_000_000


class FrameRateLimiter:
    """Drops frames arriving faster than a set rate.

    Time is the frame's presentation timestamp when it has one, else the
    arrival time on the monotonic clock: MJPEG over HTTP carries no
    timestamps, and a file or test source decoded faster than real time is
    thinned by stream time, not by how fast this machine decodes it. Integer
    nanoseconds throughout, so the schedule does not drift.

    Called as a buffer probe (``limiter(pad, info)``), it is the one place
    where Python runs per frame on a streaming thread, and only when a limit
    is set: GStreamer's own rate element, videorate, works from timestamps
    and drops every frame of an untimestamped MJPEG stream, and stamping the
    buffers at the HTTP source (do-timestamp with is-live) was seen to abort
    the process. Since it sees every decoded frame anyway, it also counts
    them (``frames_seen``) for the stall watchdog, which counts frames at the
    sink and so never sees the ones dropped here.
    """

    def __init__(self, max_framerate, clock_ns=time.monotonic_ns):
        self._clock_ns = clock_ns
        self._interval = max(1, round(Gst.SECOND / max_framerate))
        self._tolerances = {
            "pts": min(self._interval // 4, _TIMESTAMP_TOLERANCE_NS),
            "arrival": int(self._interval * _ARRIVAL_TOLERANCE),
        }
        self._next = None
        self._last = None
        self._clock = None
        self._seen = 0

    def frames_seen(self):
        """Frames that reached the probe so far, the dropped ones included."""
        return self._seen

    def __call__(self, pad, info):
        self._seen += 1
        buffer = info.get_buffer()
        pts = buffer.pts if buffer is not None and buffer.pts != Gst.CLOCK_TIME_NONE else None
        return Gst.PadProbeReturn.OK if self.admit(pts) else Gst.PadProbeReturn.DROP

    def admit(self, pts_ns):
        """Whether a frame with this timestamp (None: untimed) passes the limit."""
        if pts_ns is not None:
            now, clock = pts_ns, "pts"
        else:
            now, clock = self._clock_ns(), "arrival"
        if clock != self._clock or now < self._last:
            # First frame, a change of time base, or time going backwards
            # (a new segment): the schedule starts here.
            self._clock, self._next = clock, now
        self._last = now
        if now < self._next - self._tolerances[clock]:
            return False
        if now >= self._next + self._interval:
            # After a gap, start afresh instead of letting a burst through.
            self._next = now + self._interval
        else:
            self._next += self._interval
        return True
