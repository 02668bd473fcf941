"""The options of a stream reader: what it takes, its defaults, and the check.

``ReaderOptions(supplied)`` checks a mapping of options (``check_tunables``
for names and types, then the ranges here) and holds the values a reader
works with. ``seconds()`` is the one rule for a number of seconds that a
caller passes (the ``read()`` timeout).
"""
import math

from mivelo.stream_reader.tunables import check_tunables

__all__ = ["DEFAULT_OPTIONS", "PIXEL_FORMATS", "ReaderOptions", "SUPPORTED_OPTIONS", "seconds"]

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


class ReaderOptions:
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


def seconds(timeout):
    """A timeout of read(): None for an infinite one."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, "
                        f"not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout < 0:
        raise ValueError(f"timeout must be at least 0, got {timeout!r}")
    return None if math.isinf(timeout) else timeout
