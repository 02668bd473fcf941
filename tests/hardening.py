"""Stand-ins and helpers shared by the leak, thread and hostile-input tests.

The stand-ins are cheap, keep no history that grows with the number of calls
(so that a leak check sees only the extension modules' own references) and can
be told to raise at any step that the factories take, so that every error path
can be driven through them.
"""
import contextlib
import importlib
import importlib.machinery
import importlib.util
import pathlib
import threading

import mivelo
from mivelo.pipeline_factories import base

BUFFER_SRC_NAME = base.BUFFER_SRC_NAME


class Boom(Exception):
    """What a stand-in raises at the step it was told to fail."""


# ---------------------------------------------------------------------------
# Pipeline stand-ins


class FakePad:
    pass


class FakeElement:
    def __init__(self, factory, name, fail=frozenset(), pad=True):
        self.factory = factory
        self.name = name
        self.fail = fail
        self.pad = FakePad() if pad else None
        self.properties = {}

    def get_static_pad(self, name):
        if "get_static_pad" in self.fail:
            raise Boom("get_static_pad")
        return self.pad if name == "src" else None

    def set_property(self, name, value):
        if "set_property" in self.fail:
            raise Boom("set_property")
        self.properties[name] = value


def pipeline_class(*fail, sink=True, source=True, pad=True):
    """A class to bind as a factory module's ``Pipeline``.

    Each name in ``fail`` is a step that raises ``Boom``: "Pipeline",
    "from_launch_string", "add_bus_watch", "new_element:<factory>",
    "appsink" (the assignment), "get_by_name", "set_state", and the element
    steps "get_static_pad" and "set_property".  ``sink`` and ``source`` say
    whether ``get_by_name`` finds "main_sink" and the buffer source, ``pad``
    whether the elements have a "src" pad.
    """
    fail = frozenset(fail)

    def check(step):
        if step in fail:
            raise Boom(step)

    class FakePipeline:
        def __init__(self, url):
            check("Pipeline")
            self._setup(url, None)

        def _setup(self, url, launch):
            self.url = url
            self.launch = launch
            self.watcher = None
            self.state = None
            self._appsink = None

        @classmethod
        def from_launch_string(cls, launch, url):
            check("from_launch_string")
            pipeline = cls.__new__(cls)
            pipeline._setup(url, launch)
            return pipeline

        def add_bus_watch(self, watcher, pipeline):
            check("add_bus_watch")
            if pipeline is not self:
                raise AssertionError("add_bus_watch got another pipeline")
            self.watcher = watcher

        def new_element(self, factory_name, *, properties, name=None):
            check("new_element:" + factory_name)
            element = FakeElement(factory_name, name, fail, pad)
            element.properties.update(properties)
            return element

        def get_by_name(self, name):
            check("get_by_name")
            if name == "main_sink":
                return FakeElement("appsink", name, fail, pad) if sink else None
            if name == BUFFER_SRC_NAME:
                return FakeElement("fakesrc", name, fail, pad) if source else None
            return None

        def set_state(self, state):
            check("set_state")
            self.state = state
            return True

        @property
        def appsink(self):
            return self._appsink

        @appsink.setter
        def appsink(self, element):
            check("appsink")
            self._appsink = element

    return FakePipeline


class FakeDecoder:
    """Stands in for ``_set_up_decoder`` on an HTTP factory instance."""

    def __init__(self, fail=False):
        self.fail = fail
        self.calls = 0

    def __call__(self, source, pad, pipeline):
        if self.fail:
            raise Boom("_set_up_decoder")
        if pad is not source.pad or pipeline.appsink is None:
            raise AssertionError("decoder set up with the wrong pad or before the sink")
        self.calls += 1


class FakeLogger:
    """Counts warnings and keeps the last one (no list that grows)."""

    def __init__(self, fail=False):
        self.fail = fail
        self.count = 0
        self.last = None
        self._lock = threading.Lock()

    def warning(self, message):
        if self.fail:
            raise Boom("warning")
        with self._lock:
            self.count += 1
            self.last = message


class FakeClock:
    """A clock to bind as the timing module's ``time``."""

    def __init__(self, now=1000.0, fail=False):
        self.now = now
        self.fail = fail

    def __call__(self):
        if self.fail:
            raise Boom("time")
        return self.now


def watcher(bus, message, pipeline):
    """A bus watcher that is never called by the stand-ins."""


# ---------------------------------------------------------------------------
# Module globals

DELETE = object()


@contextlib.contextmanager
def bound(module, **names):
    """Binds (or, with DELETE, removes) module globals, then puts the whole
    namespace back as it was, in its order too."""
    namespace = vars(module)
    saved = dict(namespace)
    try:
        for name, value in names.items():
            if value is DELETE:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        yield module
    finally:
        if list(namespace.items()) != list(saved.items()):
            namespace.clear()
            namespace.update(saved)


# ---------------------------------------------------------------------------
# The package's extension modules


def extension_modules():
    """{dotted name: file} of every extension module in the installed package,
    found by walking it, so that a new module is picked up by itself."""
    root = pathlib.Path(mivelo.__file__).resolve().parent
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    found = {}
    for path in sorted(root.rglob("*")):
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix and path.is_file():
            parts = path.relative_to(root.parent).parts
            found[".".join(parts[:-1] + (path.name[: -len(suffix)],))] = path
    return found


def fresh_module(name):
    """A new instance of an extension module, executed afresh (its classes
    and functions made again), without touching the one in sys.modules."""
    spec = importlib.util.spec_from_file_location(name, importlib.import_module(name).__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

