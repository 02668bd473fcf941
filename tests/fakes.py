"""Recording stand-ins for the GStreamer pipeline that the factories drive."""
import types


class Log(list):
    """Every call the fakes see, in order, as (what, args...) tuples."""

    def names(self):
        return [entry[0] for entry in self]


class FakePad:
    def __init__(self, element):
        self.element = element


class FakeElement:
    def __init__(self, log, factory, properties, name, pad=True):
        self.log, self.factory, self.name = log, factory, name
        self.properties = dict(properties) if properties is not None else {}
        self.pad = FakePad(self) if pad else None

    def get_static_pad(self, name):
        self.log.append(("get_static_pad", self.name, name))
        return self.pad

    def set_property(self, name, value):
        self.log.append(("set_property", name, value))
        self.properties[name] = value


class FakePipeline:
    """A pipeline class bound into a factory module in place of Pipeline.

    ``fail`` names a method that raises RuntimeError(that name) when called.
    """

    def __init__(self, log, url, fail=None, elements=None, state_result="ok"):
        self.log, self.url, self.fail = log, url, fail
        self.elements = elements or {}
        self.state_result = state_result
        self.appsink_value = None
        log.append(("Pipeline", url))

    def _call(self, what, *args):
        self.log.append((what,) + args)
        if self.fail == what:
            raise RuntimeError(what)

    def add_bus_watch(self, watcher, pipeline):
        self._call("add_bus_watch", watcher, pipeline)

    def new_element(self, factory_name, *, properties, name=None):
        self._call("new_element", factory_name, properties, name)
        if self.fail == "new_element:" + factory_name:
            raise RuntimeError(factory_name)
        element = FakeElement(self.log, factory_name, properties, name)
        self.elements[name or factory_name] = element
        return element

    def get_by_name(self, name):
        self._call("get_by_name", name)
        return self.elements.get(name)

    def set_state(self, state):
        self._call("set_state", state)
        return self.state_result

    @property
    def appsink(self):
        return self.appsink_value

    @appsink.setter
    def appsink(self, element):
        self._call("appsink", element)
        self.appsink_value = element


def fake_gst():
    """A stand-in for the Gst namespace: only Gst.State.PLAYING is used."""
    return types.SimpleNamespace(State=types.SimpleNamespace(PLAYING="PLAYING"))


class Watcher:
    def __call__(self, *args):  # never called by the factories
        raise AssertionError("the factory called the watcher")


class NeverCalled:
    def __call__(self, *args, **kwargs):
        raise AssertionError("on_complete was called")
