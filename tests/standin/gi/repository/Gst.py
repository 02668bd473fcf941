"""Stand-in for the Gst namespace."""
import enum

import gi
from gi.repository._standin import StandinObject, module_getattr

SECOND = 1_000_000_000
CLOCK_TIME_NONE = 2**64 - 1

_initialized = False


class State(enum.IntEnum):
    VOID_PENDING = 0
    NULL = 1
    READY = 2
    PAUSED = 3
    PLAYING = 4


class StateChangeReturn(enum.IntEnum):
    FAILURE = 0
    SUCCESS = 1
    ASYNC = 2
    NO_PREROLL = 3


class StreamError(enum.IntEnum):
    """The error codes of GStreamer's stream error domain."""

    FAILED = 1
    TOO_LAZY = 2
    NOT_IMPLEMENTED = 3
    TYPE_NOT_FOUND = 4
    WRONG_TYPE = 5
    CODEC_NOT_FOUND = 6
    DECODE = 7
    ENCODE = 8
    DEMUX = 9
    MUX = 10
    FORMAT = 11
    DECRYPT = 12
    DECRYPT_NOKEY = 13

    @classmethod
    def quark(cls):
        return gi.missing("gi.repository.Gst.StreamError.quark")


class Object(StandinObject):
    pass


class Bus(Object):
    pass


class Message(StandinObject):
    pass


class Element(Object):
    pass


class Bin(Element):
    pass


class Pipeline(Bin):
    pass


class Pad(Object):
    pass


class Sample(StandinObject):
    pass


def is_initialized():
    return _initialized


def init(argv):
    global _initialized
    _initialized = True
    return argv


__getattr__ = module_getattr(__name__)
