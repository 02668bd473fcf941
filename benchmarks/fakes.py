"""Cheap stand-ins for the GStreamer side, bound into a factory module so
that a timing of build() shows the factory's own work.

Every method does the least it can: the time they take is paid by the
extension module and its Python model alike.  The tests' fakes
(tests/fakes.py) keep state, can record and fail at every step, and make a
build() four to ten times as costly (2.3-5 us against 0.3-0.6 us here),
which would hide the modules' own cost and push every build() ratio
towards 1.0.
"""
import types

FAKE_GST = types.SimpleNamespace(State=types.SimpleNamespace(PLAYING="PLAYING"))


class FakePad:
    __slots__ = ()


PAD = FakePad()


class FakeElement:
    __slots__ = ()

    def get_static_pad(self, name):
        return PAD

    def set_property(self, name, value):
        pass


ELEMENT = FakeElement()


class FakePipeline:
    def __init__(self, url):
        self.url = url
        self.appsink = None

    @classmethod
    def from_launch_string(cls, pipeline_str, url):
        return cls(url)

    def add_bus_watch(self, watcher, pipeline):
        pass

    def new_element(self, factory_name, *, properties, name=None):
        return ELEMENT

    def get_by_name(self, name):
        return ELEMENT

    def set_state(self, state):
        return None


def no_decoder(self, src, pad, pipeline):
    """Stands in for PipelineFactory._set_up_decoder."""


def watcher(bus, message, pipeline):
    """A bus watcher that ignores every message."""
