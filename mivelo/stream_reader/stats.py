"""What a stream reader reports of itself: ``ReaderStats`` and the frame rate."""
import collections
from typing import NamedTuple, Optional

__all__ = ["FrameRate", "ReaderStats"]

# The frame rate counts the frames of the last this many seconds...
_RATE_WINDOW_SECONDS = 2.0
# ... and is 0 until the first frame of the pipeline is this long ago: over a
# shorter span, one frame more or less is a large part of the rate.
_RATE_MIN_SPAN_SECONDS = 0.5


class ReaderStats(NamedTuple):
    """What a reader has done so far (``StreamReader.stats``).

    ``frames + dropped`` is every frame that reached the sinks of the
    reader's pipelines: exactly for every pipeline retired (failed, ended
    or closed), counted when it was retired; for the one in use, exactly
    while its sink keeps its frames (a file) and within a frame while it
    drops them (a live stream).
    """

    frames: int
    """Frames that read() delivered."""
    dropped: int
    """Frames that reached a sink but were not delivered: dropped by a live
    stream's sink because nobody read them in time, left out to keep to
    ``max_fps``, or still in the sink when its pipeline was retired."""
    reconnects: int
    """Pipelines built to replace a failed one."""
    fps: float
    """Frames per second delivered over the last two seconds; 0 until the
    current pipeline's first frame is half a second old, and 0 again two
    seconds after frames stop (or at once, when the pipeline is retired)."""
    last_error: Optional[str]
    """Why the last pipeline failed, or None."""


class FrameRate:
    """Frames per second delivered (see ``ReaderStats.fps``)."""

    def __init__(self):
        self._times = collections.deque()
        self._first = None

    def restart(self):
        """A new pipeline, or none: nothing is measured yet."""
        self._times.clear()
        self._first = None

    def add(self, now):
        if self._first is None:
            self._first = now
        self._times.append(now)
        self._trim(now)

    def _trim(self, now):
        times = self._times
        while times and times[0] <= now - _RATE_WINDOW_SECONDS:
            times.popleft()

    def value(self, now):
        if self._first is None:
            return 0.0
        self._trim(now)
        span = now - self._first
        if span < _RATE_MIN_SPAN_SECONDS:
            return 0.0
        if span < _RATE_WINDOW_SECONDS:
            # Every frame since the first: the intervals after it.
            return (len(self._times) - 1) / span
        return len(self._times) / _RATE_WINDOW_SECONDS
