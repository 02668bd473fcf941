"""Pieces shared by the stand-in namespaces."""
import gi


class StandinType(type):
    """Metaclass of the stand-in classes: class attributes they lack are
    reported as needing real GStreamer, e.g. ``Gst.Pipeline.new``."""

    def __getattr__(cls, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return gi.missing(f"{cls.__module__}.{cls.__qualname__}.{name}")


class StandinObject(metaclass=StandinType):
    def __init__(self, *args, **kwargs):
        gi.missing(f"{type(self).__module__}.{type(self).__qualname__}()")

    def __getattr__(self, name):
        return gi.missing(f"{type(self).__module__}.{type(self).__qualname__}.{name}")


def module_getattr(module_name):
    """A module ``__getattr__`` (PEP 562) that reports names the module lacks."""

    def __getattr__(name):
        if name.startswith("__"):
            raise AttributeError(f"module '{module_name}' has no attribute '{name}'")
        return gi.missing(f"{module_name}.{name}")

    return __getattr__
