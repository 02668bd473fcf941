"""GStreamer as ``mivelo.utils.gstreamer`` uses it, one job per module.

Importing this package selects the GStreamer version, initialises it once and
makes the Python classes of the GStreamer namespaces that the package uses.

* ``launch``: building a pipeline from launch syntax behind a guard, so that
  no string can crash the process;
* ``workers``: the few threads that run the jobs below for every pipeline,
  in one ordered lane per pipeline and job;
* ``bus``: the one thread that waits on every pipeline's bus and hands the
  messages to the watchers, on the pipeline's lane;
* ``watchdog``: the stall watchdog that the bus dispatch runs;
* ``state``: state changes on the pipeline's state lane, so that a source
  that blocks in one holds up no caller;
* ``release``: stopping a pipeline, on ``close()``, in the background when
  it is dropped, and for every open pipeline at exit;
* ``fork``: refusing GStreamer in a process forked after it streamed.

``Pipeline`` itself, the one public face of all this, lives in
``mivelo.utils.gstreamer``.
"""
import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstBase", "1.0")
from gi.repository import Gst, GstApp, GstBase  # noqa: E402

if not Gst.is_initialized():
    Gst.init(None)


def _make_classes():
    """Makes every class, enum and function of Gst, GstApp and GstBase.

    PyGObject makes the Python class of a GStreamer type on its first use,
    and threads that first use one at the same moment each make their own;
    an object of one class is then refused where the other is expected
    ("Expected Gst.Structure, but got gi.repository.Gst.Structure", "Must be
    Gst.Bin, not Pipeline"). A pipeline that this makes fail in close() was
    disposed of while playing, which crashes the process. Made here, while
    the package is imported, they exist once, before any thread uses them.
    """
    for namespace in (Gst, GstApp, GstBase):
        for name in dir(namespace):
            if not name.startswith("_"):
                try:
                    getattr(namespace, name)
                except Exception:  # noqa: BLE001  (a name that cannot be made cannot race)
                    pass


_make_classes()
