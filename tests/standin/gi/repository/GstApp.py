"""Stand-in for the GstApp namespace."""
from gi.repository.Gst import Element
from gi.repository._standin import module_getattr


class AppSink(Element):
    pass


__getattr__ = module_getattr(__name__)
