"""What a stream reader reports of itself: ``ReaderStats`` and the frame rate."""
import collections
from typing import NamedTuple, Optional

__all__ = ["FrameRate", "ReaderStats"]

# Frames over which the frame rate of the stats is measured.
_RATE_WINDOW_SECONDS = 2.0


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


class FrameRate:
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
