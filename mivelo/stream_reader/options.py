"""The options of a stream reader: what it takes, its defaults, and the checks.

``ReaderOptions(supplied)`` checks a mapping of options (``check_tunables``
for names and types, then the rules of ``RULES``) and holds the values a
reader works with. ``seconds()`` is the one rule for a number of seconds
that a caller gives, as an option or as the timeout of ``read()``.
"""
import collections.abc
import math

from mivelo.stream_reader.tunables import check_tunables

__all__ = [
    "DEFAULT_OPTIONS",
    "FOREVER_SECONDS",
    "PIXEL_FORMATS",
    "RULES",
    "ReaderOptions",
    "SUPPORTED_OPTIONS",
    "refused",
    "seconds",
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
    "finite": (bool, _NONE),
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
    # Attempts in a row, the first connection included, that may fail before
    # the reader gives up (0 gives up at the first failure, as 1 does);
    # None: never.
    "max_attempts": None,
    # Whether the source is read as a file (every frame, in order, an end
    # that ends the reader) or as a live stream (the newest frames; an end
    # is a failure, and the stream is opened again). None decides by what
    # the source is: a local file is finite; any other stream is finite
    # when GStreamer, once it has started, reports it not live and knows
    # its duration or can seek in it.
    "finite": None,
}

# Pixel formats a reader can convert its frames to, and their channels; 0
# for the planar YUV that decoders make (read through Frame.planes), which
# the pipeline passes on as it is when the decoder makes that layout.
PIXEL_FORMATS = {"BGR": 3, "RGB": 3, "GRAY8": 1, "I420": 0, "NV12": 0}

# A wait of this many seconds or more has no end, as one of math.inf has:
# Python's clocks (nanoseconds in 64 bits) and GStreamer's end at about 292
# years, and a deadline 31 years ahead is none.
FOREVER_SECONDS = 1e9

# What each value must be: the one statement of each rule. A value that
# breaks one raises ValueError("<what> must be <rule>, got <value>"), made
# by refused().
RULES = {
    "timeout": "a number of seconds of at least 0, or None",
    "max_fps": "a number more than 0, or None",
    "pixel_format": "one of " + ", ".join(PIXEL_FORMATS),
    "read_timeout": "a number of seconds of at least 0, or None",
    "stall_timeout": f"a number of seconds more than 0 and less than {FOREVER_SECONDS:g}",
    "backoff_min": f"a number of seconds more than 0 and less than {FOREVER_SECONDS:g}",
    "backoff_max": (f"a number of seconds of at least 'backoff_min' and less than "
                    f"{FOREVER_SECONDS:g}"),
    "max_attempts": "an int of at least 0, or None",
}


def refused(name, value):
    """The ValueError for ``value`` of ``name`` (an option, or "timeout")."""
    what = name if name == "timeout" else f"option {name!r}"
    return ValueError(f"{what} must be {RULES[name]}, got {value!r}")


def seconds(value, name="timeout", *, positive=False, endless=True):
    """A number of seconds given by a caller, as the reader uses it: a float,
    or None for a wait without end.

    The one rule for every "seconds" argument: an int or a float, not a
    bool; not NaN, not negative, and not 0 where ``positive``. math.inf, and
    any number from ``FOREVER_SECONDS`` up, is a wait without end where
    ``endless`` allows one, and refused where not. ``name`` is "timeout" or
    an option's name, for the errors.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        if name != "timeout":
            # An option's type passed check_tunables: a bool, as an int.
            raise refused(name, value)
        raise TypeError(f"timeout must be a number of seconds or None, "
                        f"not {type(value).__name__}")
    forever = value >= FOREVER_SECONDS
    if math.isnan(value) or value < 0 or (positive and value == 0) or (forever and not endless):
        raise refused(name, value)
    return None if forever else float(value)


class ReaderOptions:
    """The checked settings of one reader."""

    def __init__(self, supplied):
        if not isinstance(supplied, collections.abc.Mapping):
            raise TypeError(f"options must be a mapping of option names to values (a dict), "
                            f"not {type(supplied).__name__}")
        check_tunables(supplied, SUPPORTED_OPTIONS)
        options = {**DEFAULT_OPTIONS, **supplied}
        max_fps = options["max_fps"]
        if max_fps is not None and (isinstance(max_fps, bool) or math.isnan(max_fps)
                                    or max_fps <= 0):
            raise refused("max_fps", max_fps)
        self.max_fps = None if max_fps is None or math.isinf(max_fps) else max_fps
        timeout = options["read_timeout"]
        self.read_timeout = None if timeout is None else seconds(timeout, "read_timeout")
        self.stall_timeout = seconds(options["stall_timeout"], "stall_timeout", positive=True,
                                     endless=False)
        self.backoff_min = seconds(options["backoff_min"], "backoff_min", positive=True,
                                   endless=False)
        self.backoff_max = seconds(options["backoff_max"], "backoff_max", positive=True,
                                   endless=False)
        if self.backoff_max < self.backoff_min:
            raise refused("backoff_max", options["backoff_max"])
        attempts = options["max_attempts"]
        if attempts is not None and (isinstance(attempts, bool) or attempts < 0):
            raise refused("max_attempts", attempts)
        self.max_attempts = attempts
        self.reconnect = options["reconnect"]
        self.finite = options["finite"]
        self.pixel_format = options["pixel_format"]
        if self.pixel_format not in PIXEL_FORMATS:
            raise refused("pixel_format", self.pixel_format)
        self.pixel_format_given = "pixel_format" in supplied

    def backoff(self, failures):
        """The pause before attempt number ``failures`` (1 for the first)."""
        return min(self.backoff_max, self.backoff_min * 2.0 ** min(failures - 1, 64))

    def gives_up(self, failures):
        """Whether ``failures`` attempts that failed in a row end the reader."""
        if not self.reconnect:
            return True
        return self.max_attempts is not None and failures >= max(1, self.max_attempts)
