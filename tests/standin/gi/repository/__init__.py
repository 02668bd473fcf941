"""The namespaces of the stand-in.  Gst, GLib and GstApp are modules here; any
other namespace can be imported, and fails with NeedsRealGStreamer when used."""
import importlib
import importlib.util
import types

import gi


class _Absent(types.ModuleType):
    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return gi.missing(f"{self.__name__}.{name}")


def __getattr__(name):
    if name.startswith("_") or not name[:1].isupper():
        raise AttributeError(f"module 'gi.repository' has no attribute '{name}'")
    if importlib.util.find_spec(f"{__name__}.{name}") is not None:
        return importlib.import_module(f"{__name__}.{name}")
    module = _Absent(f"{__name__}.{name}")
    globals()[name] = module
    return module
