"""The pipeline object that the pipeline factories build and hand out.

``Pipeline`` wraps one ``Gst.Pipeline`` together with the stream URL it reads,
the ``appsink`` that receives the decoded frames and the dispatch of its bus
messages. GStreamer is initialised once, when this module is imported.

Bus dispatch
------------
``add_bus_watch`` needs no GLib main loop in the application. The first call
on a pipeline starts one daemon thread for that pipeline
("mivelo-bus-<pipeline name>"), which pops the pipeline's bus with
``Gst.Bus.timed_pop`` and calls every registered watcher as
``watcher(bus, message, data)`` for every message (errors, warnings, EOS,
state changes, ...), in the order GStreamer posted them. One thread per
pipeline was chosen over a shared GLib main-loop thread because

* the thread belongs to the pipeline, so ``close()`` stops and joins it and no
  thread of ours outlives the pipeline it served;
* a watcher that is slow, or blocks, delays only its own pipeline;
* it needs no GLib source/callback plumbing across threads, just a blocking
  pop that wakes at least every ``_BUS_POLL_SECONDS`` to notice ``close()``.

An exception raised by a watcher is logged through ``mivelo.logger`` and
dispatch goes on with the next watcher and message. A watcher may call
``close()`` on its own pipeline. After ``close()`` no further message is
delivered; messages still queued at that moment are discarded.

Lifetime
--------
Call ``close()`` (or use the pipeline as a context manager) when done: it
sets the pipeline to NULL (bounded by a timeout, so it cannot hang), ends the
bus thread and drops every reference to GStreamer objects, which closes the
stream's sockets. As a safety net a ``Pipeline`` that is garbage-collected
without ``close()`` is torn down on a background thread, and pipelines still
open when the interpreter exits are closed by an ``atexit`` hook, so GStreamer
threads never call into a finalising interpreter.
"""
import atexit
import math
import threading
import weakref

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import GLib, Gst, GstApp  # noqa: E402

from mivelo import logger  # noqa: E402

if not Gst.is_initialized():
    Gst.init(None)

__all__ = ["MissingElementError", "Pipeline", "make_multipart_single_stream"]

# The bus thread wakes at least this often to notice close().
_BUS_POLL_SECONDS = 0.1
# How long close() waits for the state change to NULL and for the bus thread.
_CLOSE_TIMEOUT_SECONDS = 5.0
# Name of the application message that close() posts to wake the bus thread.
_WAKE_MESSAGE_NAME = "mivelo-bus-dispatch-stop"

# Debian packages that ship the elements this package and its users commonly
# need; used to turn a missing element into an actionable message.
_PLUGIN_PACKAGES = {
    "libgstreamer1.0-0": (
        "capsfilter", "fakesink", "fakesrc", "filesink", "filesrc", "identity",
        "multiqueue", "queue", "queue2", "tee", "typefind", "valve",
    ),
    "gstreamer1.0-plugins-base": (
        "appsink", "appsrc", "audioconvert", "audioresample", "decodebin",
        "decodebin3", "playbin", "tcpclientsrc", "uridecodebin", "videoconvert",
        "videorate", "videoscale", "videotestsrc",
    ),
    "gstreamer1.0-plugins-good": (
        "avidemux", "flvdemux", "jpegdec", "jpegenc", "matroskademux",
        "multipartdemux", "multipartmux", "pngdec", "pngenc", "qtdemux",
        "rtph264depay", "rtph265depay", "rtpjpegdepay", "rtspsrc",
        "souphttpsrc", "udpsrc", "v4l2src",
    ),
    "gstreamer1.0-plugins-bad": ("h264parse", "h265parse", "jpegparse"),
}
_ELEMENT_PACKAGES = {
    element: package
    for package, elements in _PLUGIN_PACKAGES.items()
    for element in elements
}


class MissingElementError(RuntimeError):
    """A GStreamer element factory is not installed on this system."""


def _package_hint(factory_name):
    if factory_name.startswith(("avdec_", "avenc_", "avdemux_", "avmux_")):
        package = "gstreamer1.0-libav"
    else:
        package = _ELEMENT_PACKAGES.get(factory_name)
    if package is None:
        return (
            "no installed GStreamer plugin provides it; check the name with "
            "'gst-inspect-1.0' and install the plugin package that ships it"
        )
    return f"it is provided by the Debian package {package} (apt-get install {package})"


def make_multipart_single_stream(_bin, _sub_bin, element):
    """``deep-element-added`` handler: single-stream for plugged multipartdemux.

    multipartdemux announces its pads only when it knows that no other part
    type will follow, i.e. at the end of the stream. An MJPEG camera stream
    never ends, so a decodebin holding such a demuxer would never expose a
    pad. Cameras send one stream of JPEGs, which ``single-stream`` declares.
    """
    factory = element.get_factory()
    if factory is not None and factory.get_name() == "multipartdemux":
        element.set_property("single-stream", True)


def _invalid_pipeline(message):
    # Imported on use: the error module is compiled separately, and the rest
    # of this module (the stream tools use it) works without it.
    from mivelo.errors import InvalidCustomPipelineError

    return InvalidCustomPipelineError(message)


class _BusDispatcher:
    """The per-pipeline thread that hands bus messages to the watchers."""

    # Stands for "the Pipeline that owns this dispatcher" in the watch list,
    # so that the running thread holds the Pipeline only weakly.
    OWNER = object()

    def __init__(self, bus, owner_ref, name):
        self._bus = bus
        self._owner_ref = owner_ref
        self._watches = []
        self._stop = threading.Event()
        self._thread = threading.Thread(
            target=self._run, name=f"mivelo-bus-{name}", daemon=True
        )

    def add(self, watcher, data):
        # Replace the list instead of appending so that the thread can iterate
        # its snapshot without a lock.
        self._watches = self._watches + [(watcher, data)]
        if self._thread.ident is None:
            self._thread.start()

    def stop(self, timeout):
        self._stop.set()
        bus = self._bus
        if bus is not None:
            # Wakes the pop at once; if the bus is flushing the post is
            # dropped and the poll timeout wakes the thread instead.
            bus.post(Gst.Message.new_application(
                None, Gst.Structure.new_empty(_WAKE_MESSAGE_NAME)))
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(timeout)
            if self._thread.is_alive():
                logger.warning("bus watcher of %s still running after %.1f s",
                               self._thread.name, timeout)
        self._bus = None
        self._watches = []

    def _run(self):
        bus = self._bus
        poll_ns = int(_BUS_POLL_SECONDS * Gst.SECOND)
        while not self._stop.is_set():
            message = bus.timed_pop(poll_ns)
            if message is None or self._stop.is_set():
                continue
            if message.type == Gst.MessageType.APPLICATION:
                structure = message.get_structure()
                if structure is not None and structure.get_name() == _WAKE_MESSAGE_NAME:
                    continue
            for watcher, data in self._watches:
                if self._stop.is_set():
                    break
                if data is self.OWNER:
                    data = self._owner_ref()
                    if data is None:
                        return
                try:
                    watcher(bus, message, data)
                except BaseException:  # noqa: B036  (a watcher must never end dispatch)
                    logger.exception("bus watcher %r failed on a %s message",
                                     watcher, _message_type_name(message))
                data = None


def _message_type_name(message):
    try:
        return Gst.MessageType.get_name(message.type)
    except Exception:  # noqa: BLE001  (only used for log text)
        return str(message.type)


class _Resources:
    """The GStreamer side of a Pipeline; owns no reference to the Pipeline.

    Kept apart from ``Pipeline`` so that the garbage-collection safety net and
    the exit hook can release it after the ``Pipeline`` object is gone.
    """

    def __init__(self, gst_pipeline):
        self.gst_pipeline = gst_pipeline
        self.dispatcher = None
        self.closed = False
        self.lock = threading.Lock()

    def release(self, timeout=_CLOSE_TIMEOUT_SECONDS):
        """Stop everything and drop the GStreamer references; idempotent."""
        with self.lock:
            if self.closed:
                return
            self.closed = True
            gst_pipeline, self.gst_pipeline = self.gst_pipeline, None
            dispatcher, self.dispatcher = self.dispatcher, None
        _live_resources.discard(self)
        if dispatcher is not None:
            dispatcher.stop(timeout)
        _stop_pipeline(gst_pipeline, timeout)

    def release_in_background(self):
        """Release without blocking the caller (used from the finaliser).

        The finaliser can run on any thread, GStreamer streaming threads
        included, and changing the state from a streaming thread deadlocks.
        """
        with self.lock:
            if self.closed:
                return
        thread = threading.Thread(target=self._release_and_forget,
                                  name="mivelo-pipeline-teardown", daemon=True)
        with _teardown_lock:
            _teardown_threads.add(thread)
        thread.start()

    def _release_and_forget(self):
        try:
            self.release()
        finally:
            with _teardown_lock:
                _teardown_threads.discard(threading.current_thread())


def _stop_pipeline(gst_pipeline, timeout):
    """Set ``gst_pipeline`` to NULL, waiting at most ``timeout`` seconds.

    The change runs on a helper thread: should close() be called from a
    streaming thread, the change would wait for that very thread, so the
    caller gives up after the timeout and the helper finishes once the
    streaming thread is free again.
    """
    if gst_pipeline is None:
        return
    done = threading.Event()

    def to_null():
        try:
            gst_pipeline.set_state(Gst.State.NULL)
        finally:
            done.set()

    helper = threading.Thread(target=to_null, name="mivelo-pipeline-stop", daemon=True)
    helper.start()
    if not done.wait(timeout):
        logger.warning("pipeline %s did not reach the NULL state within %.1f s",
                       gst_pipeline.get_name(), timeout)


# Resources not yet released, for the exit hook. They hold no Pipeline, so
# keeping them here keeps no Pipeline alive.
_live_resources = set()
_teardown_threads = set()
_teardown_lock = threading.Lock()


@atexit.register
def _close_all_at_exit():
    for resources in list(_live_resources):
        resources.release(timeout=2.0)
    with _teardown_lock:
        threads = list(_teardown_threads)
    for thread in threads:
        thread.join(2.0)


class Pipeline:
    """One GStreamer pipeline reading one stream.

    Attributes:
        url: the stream URL the pipeline was made for (may be None).
        appsink: the element that receives the frames; the factories set it.
        gst_pipeline: the wrapped ``Gst.Pipeline`` (None once closed).
    """

    def __init__(self, url):
        self._init(url, Gst.Pipeline.new(None))

    def _init(self, url, gst_pipeline):
        self.url = url
        self.appsink = None
        self._resources = _Resources(gst_pipeline)
        _live_resources.add(self._resources)
        self._finalizer = weakref.finalize(
            self, _Resources.release_in_background, self._resources)
        # The exit hook covers open pipelines; this one is for garbage only.
        self._finalizer.atexit = False

    @classmethod
    def from_launch_string(cls, pipeline_str, url):
        """Build a pipeline from GStreamer launch syntax.

        A string that GStreamer cannot parse, or in which an element, a
        property or a link is missing, raises ``InvalidCustomPipelineError``
        carrying GStreamer's own message; nothing is left half built. A
        string that describes a single element or bin is wrapped in a
        pipeline. A ``multipartdemux`` that decodebin plugs in later is set
        to ``single-stream`` (see ``make_multipart_single_stream``), so that
        decodebin works on endless MJPEG streams; launch syntax has no way to
        configure such an element.
        """
        if not isinstance(pipeline_str, str):
            raise TypeError(
                f"pipeline_str must be a str, not {type(pipeline_str).__name__}")
        if "\x00" in pipeline_str:
            raise _invalid_pipeline(
                f"GStreamer could not build the pipeline {pipeline_str!r}: "
                "the launch string contains a NUL character")
        try:
            element = Gst.parse_launch_full(pipeline_str, None, Gst.ParseFlags.FATAL_ERRORS)
        except GLib.Error as exc:
            raise _invalid_pipeline(
                f"GStreamer could not build the pipeline '{pipeline_str}': {exc.message}"
            ) from exc
        if not isinstance(element, Gst.Pipeline):
            wrapper = Gst.Pipeline.new(None)
            wrapper.add(element)
            element = wrapper
        # Only demuxers plugged later (by decodebin & co.) are affected: those
        # written in the string exist already, and keep their properties.
        element.connect("deep-element-added", make_multipart_single_stream)
        pipeline = cls.__new__(cls)
        pipeline._init(url, element)
        return pipeline

    # -- access -----------------------------------------------------------

    @property
    def gst_pipeline(self):
        return self._resources.gst_pipeline

    @property
    def closed(self):
        return self._resources.closed

    def _require_open(self):
        gst_pipeline = self._resources.gst_pipeline
        if gst_pipeline is None:
            raise RuntimeError("the pipeline is closed")
        return gst_pipeline

    def get_by_name(self, name):
        """Return the element called ``name`` (searched recursively) or None."""
        return self._require_open().get_by_name(name)

    def set_state(self, state):
        """Request ``state``; returns GStreamer's ``Gst.StateChangeReturn``."""
        return self._require_open().set_state(state)

    # -- building ---------------------------------------------------------

    def new_element(self, factory_name, *, properties, name=None):
        """Create an element, set ``properties`` on it, add it and return it.

        ``properties`` is any mapping of property names to values. Raises
        ``MissingElementError`` naming the package to install when the
        element factory is not available, and ``ValueError`` when ``name`` is
        already taken in this pipeline.
        """
        gst_pipeline = self._require_open()
        if Gst.ElementFactory.find(factory_name) is None:
            raise MissingElementError(
                f"GStreamer element '{factory_name}' is not installed: "
                f"{_package_hint(factory_name)}")
        if name is not None and gst_pipeline.get_by_name(name) is not None:
            raise ValueError(f"the pipeline already has an element named '{name}'")
        element = Gst.ElementFactory.make(factory_name, name)
        if element is None:
            raise MissingElementError(
                f"GStreamer element '{factory_name}' is installed but could not be created")
        for key, value in properties.items():
            element.set_property(key, value)
        if not gst_pipeline.add(element):
            raise ValueError(
                f"could not add element '{element.get_name()}' to the pipeline")
        return element

    def add_bus_watch(self, watcher, pipeline):
        """Call ``watcher(bus, message, pipeline)`` for every bus message.

        Messages are delivered on this pipeline's bus thread (see the module
        docstring) until ``close()``. May be called more than once; watchers
        are then called in the order they were added.
        """
        if not callable(watcher):
            raise TypeError(f"the bus watcher must be callable, not {type(watcher).__name__}")
        resources = self._resources
        with resources.lock:
            if resources.closed:
                raise RuntimeError("the pipeline is closed")
            if resources.dispatcher is None:
                resources.dispatcher = _BusDispatcher(
                    resources.gst_pipeline.get_bus(), weakref.ref(self),
                    resources.gst_pipeline.get_name())
            data = _BusDispatcher.OWNER if pipeline is self else pipeline
            resources.dispatcher.add(watcher, data)

    # -- frames -----------------------------------------------------------

    def pull_sample(self, timeout_seconds):
        """Return the next ``Gst.Sample`` from ``appsink``, or None.

        None means no sample arrived within ``timeout_seconds``, the stream
        ended, or the pipeline is closed; it never waits longer than the
        timeout.
        """
        timeout = float(timeout_seconds)
        if math.isnan(timeout) or math.isinf(timeout):
            raise ValueError(f"timeout_seconds must be finite, got {timeout_seconds!r}")
        sink = self.appsink
        if sink is None:
            if self.closed:
                return None
            raise RuntimeError("the pipeline has no appsink")
        if not isinstance(sink, GstApp.AppSink):
            raise TypeError(f"pipeline.appsink is a {type(sink).__name__}, not an appsink")
        timeout_ns = min(max(0, int(timeout * Gst.SECOND)), Gst.CLOCK_TIME_NONE - 1)
        return sink.try_pull_sample(timeout_ns)

    # -- teardown ---------------------------------------------------------

    def close(self):
        """Stop the pipeline, end its bus thread and drop its GStreamer objects.

        Idempotent; each wait is bounded, so this never hangs.
        """
        self.appsink = None
        self._finalizer.detach()
        self._resources.release()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def __repr__(self):
        gst_pipeline = self._resources.gst_pipeline
        name = gst_pipeline.get_name() if gst_pipeline is not None else "closed"
        return f"<{type(self).__name__} {name} url={self.url!r}>"
