"""Fakes of what the extension modules call: the GStreamer side that the
factories drive, a logger and a clock.

A ``Stage`` is the fake GStreamer side of one test: ``stage.Pipeline`` to bind
as a factory module's ``Pipeline`` (``stage.bindings`` adds ``Gst``), the
elements that its launch-string pipelines find by name, a logger to put on a
factory as ``_logger`` and a decoder to put on an HTTP factory as
``_set_up_decoder``.  What it does is set per test:

- ``log``: a list that receives every step, in order, as
  ``("call", label, step, args)``; None (the default) keeps no history, so
  that a leak check sees only the extension modules' own references.
- ``trace=True``: the log also receives every read of a fake's methods and
  ``appsink`` as ``("get", label, name)``, and, on a factory class made by
  ``stage.traced(cls)``, every read of its single-underscore attributes as
  ``("get", "factory", name)``: what the order tests compare between a
  module and its model (``stage.events()`` names the fakes by their labels,
  so that the logs of two stages compare).
- Failing steps: each name given to ``Stage(...)`` raises a new
  ``Boom(step)`` at that step; ``stage.fail[step] = error`` raises that error.
  ``stage.hooks[step] = fn`` calls ``fn(*args)`` first.
- ``sink``, ``source``, ``pad``: whether a launch-string pipeline holds
  "main_sink" and the buffer source, and whether elements have a "src" pad.

The steps: "Pipeline" (the constructor), "from_launch_string",
"add_bus_watch", "new_element:<factory name>", "appsink" (the assignment),
"get_by_name", "set_state", "get_static_pad", "set_property", "warning" and
"_set_up_decoder".  Labels: "Pipeline" for the class, "pipeline", an
element's name (or its factory name), "<element>.src" for a pad, "logger"
and "factory".

Nothing here keeps more than the last pipeline made (``stage.pipeline``),
and every method is safe to call from several threads at once.
"""
import threading
import types

from mivelo.pipeline_factories.base import BUFFER_SRC_NAME


class Boom(Exception):
    """What a fake raises at a step it was told to fail."""


class _Traced:
    """Records reads of the names in SURFACE (classes of a tracing stage)."""

    def __getattribute__(self, name):
        cls = type(self)
        if name in cls.SURFACE:
            cls.stage.note("get", object.__getattribute__(self, "label"), name)
        return object.__getattribute__(self, name)


class _TracedClass(type):
    def __getattribute__(cls, name):
        if name == "from_launch_string":
            type.__getattribute__(cls, "stage").note("get", "Pipeline", name)
        return type.__getattribute__(cls, name)


class FakePad:
    def __init__(self, element):
        self.element = element
        self.label = element.label + ".src"


class FakeElement:
    SURFACE = ("get_static_pad", "set_property")
    stage = None  # set on the subclass that each stage makes

    def __init__(self, factory, name=None, properties=None, pad=None):
        self.factory, self.name, self.label = factory, name, name or factory
        self.properties = dict(properties) if properties is not None else {}
        self.pad = FakePad(self) if (self.stage.pad if pad is None else pad) else None

    def get_static_pad(self, name):
        self.stage.step(self.label, "get_static_pad", (name,))
        return self.pad if name == "src" else None

    def set_property(self, name, value):
        self.stage.step(self.label, "set_property", (name, value))
        self.properties[name] = value


class FakePipeline:
    SURFACE = ("add_bus_watch", "new_element", "get_by_name", "set_state", "appsink")
    stage = None  # set on the subclass that each stage makes
    label = "pipeline"

    def __init__(self, url):
        self.stage.step("Pipeline", "Pipeline", (url,))
        self._setup(url, None, {})

    @classmethod
    def from_launch_string(cls, launch, url):
        cls.stage.step("Pipeline", "from_launch_string", (launch, url))
        pipeline = cls.__new__(cls)
        pipeline._setup(url, launch, cls.stage.elements)
        return pipeline

    def _setup(self, url, launch, elements):
        self.url, self.launch, self.elements = url, launch, elements
        self.watcher = self.state = self._appsink = None
        self.stage.pipeline = self

    def add_bus_watch(self, watcher, pipeline):
        self.stage.step(self.label, "add_bus_watch", (watcher, pipeline))
        if pipeline is not self:
            raise AssertionError("add_bus_watch got another pipeline")
        self.watcher = watcher

    def new_element(self, factory_name, *, properties, name=None):
        self.stage.step(self.label, "new_element:" + factory_name, (properties, name))
        element = self.stage.Element(factory_name, name, properties)
        self.elements[element.label] = element
        return element

    def get_by_name(self, name):
        self.stage.step(self.label, "get_by_name", (name,))
        return self.elements.get(name)

    def set_state(self, state):
        self.stage.step(self.label, "set_state", (state,))
        self.state = state
        return self.stage.state_result

    @property
    def appsink(self):
        return self._appsink

    @appsink.setter
    def appsink(self, element):
        self.stage.step(self.label, "appsink", (element,))
        self._appsink = element


class FakeLogger:
    """Counts warnings and keeps the last one (no list that grows)."""

    SURFACE = ("warning",)
    stage = None
    label = "logger"

    def __init__(self):
        self.count, self.last = 0, None
        self._lock = threading.Lock()

    def warning(self, message):
        self.stage.step(self.label, "warning", (message,))
        with self._lock:
            self.count += 1
            self.last = message


class FakeDecoder:
    """Stands in for ``_set_up_decoder`` on an HTTP factory instance: checks
    that it gets the source's own "src" pad after the sink was set."""

    SURFACE = ()
    stage = None

    def __call__(self, source, pad, pipeline):
        self.stage.step("factory", "_set_up_decoder", (source, pad, pipeline))
        if pad is not source.pad or pipeline._appsink is None:
            raise AssertionError("decoder set up with the wrong pad or before the sink")


class Stage:
    """The fake GStreamer side of one test (see the module's docstring)."""

    def __init__(self, *fail, log=None, trace=False, sink=True, source=True, pad=True):
        self.log, self.trace, self.pad = log, trace, pad
        self.fail = dict.fromkeys(fail)
        self.hooks = {}
        self.state_result = "ok"
        self.pipeline = None

        def made(base, metaclass=type):
            """A subclass of `base` that belongs to this stage."""
            bases = (_Traced, base) if trace else (base,)
            return metaclass(base.__name__, bases, {"stage": self})

        self.Pipeline = made(FakePipeline, _TracedClass if trace else type)
        self.Element = made(FakeElement)
        self.logger = made(FakeLogger)()
        self.decoder = made(FakeDecoder)()
        self.Gst = types.SimpleNamespace(State=types.SimpleNamespace(PLAYING="PLAYING"))
        self.bindings = {"Pipeline": self.Pipeline, "Gst": self.Gst}
        self.sink = self.Element("appsink", "main_sink")
        self.source = self.Element("fakesrc", BUFFER_SRC_NAME)
        self.elements = {}
        if sink:
            self.elements["main_sink"] = self.sink
        if source:
            self.elements[BUFFER_SRC_NAME] = self.source

    def note(self, *event):
        if self.log is not None:
            self.log.append(event)

    def step(self, label, step, args):
        self.note("call", label, step, args)
        hook = self.hooks.get(step)
        if hook is not None:
            hook(*args)
        if step in self.fail:
            error = self.fail[step]
            raise Boom(step) if error is None else error

    def calls(self):
        """The steps logged so far, as (label, step, args)."""
        return [event[1:] for event in self.log if event[0] == "call"]

    def traced(self, factory_class):
        """A subclass of `factory_class` whose instances log the reads of
        their single-underscore attributes while the stage traces."""
        stage = self

        def __getattribute__(self, name):
            if stage.trace and name[:1] == "_" and name[:2] != "__":
                stage.note("get", "factory", name)
            return object.__getattribute__(self, name)

        return type(factory_class.__name__, (factory_class,),
                    {"__getattribute__": __getattribute__})

    def events(self):
        """The log with every fake named by its label: comparable between two
        stages, such as a module's and its model's."""
        def name(value):
            fake = isinstance(value, (FakePipeline, FakeElement, FakePad, FakeLogger))
            return f"<{value.label}>" if fake else value

        return [event[:3] + (tuple(name(arg) for arg in event[3]),) if event[0] == "call"
                else event for event in self.log]


class FakeClock:
    """A clock to bind as the timing module's ``time``: returns ``now``, then
    moves it on by ``step``; appends "clock" to ``log`` at each reading;
    raises ``Boom("time")`` with ``fail``."""

    def __init__(self, now=1000.0, step=0.0, log=None, fail=False):
        self.now, self.step, self.log, self.fail = now, step, log, fail

    def __call__(self):
        if self.log is not None:
            self.log.append("clock")
        if self.fail:
            raise Boom("time")
        reading = self.now
        if self.step:
            self.now += self.step
        return reading


def watcher(bus, message, pipeline):
    """A bus watcher; the factories never call it themselves."""
