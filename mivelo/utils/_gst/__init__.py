"""GStreamer as ``mivelo.utils.gstreamer`` uses it, one job per module.

Importing this package selects the GStreamer version and initialises it once.

* ``launch``: building a pipeline from launch syntax behind a guard, so that
  no string can crash the process;
* ``bus``: the per-pipeline thread that hands bus messages to the watchers;
* ``watchdog``: the stall watchdog that the bus thread runs;
* ``release``: stopping a pipeline, in the caller's thread, in the
  background when it is dropped, and for every open pipeline at exit.

``Pipeline`` itself, the one public face of all this, lives in
``mivelo.utils.gstreamer``.
"""
import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstBase", "1.0")
from gi.repository import Gst  # noqa: E402

if not Gst.is_initialized():
    Gst.init(None)
