# The factories import Gst before anything else of GStreamer's; select the
# version here so that PyGObject does not warn about an unversioned import.
try:
    import gi
except ImportError:  # pragma: no cover - GStreamer's bindings are missing
    pass
else:
    gi.require_version("Gst", "1.0")
