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

Stalled streams
---------------
A source that stops sending (a server that hangs, a network that drops
packets) or sends bytes that never decode into a frame leaves a pipeline
waiting without any message of its own. ``add_stall_watchdog`` turns that
silence into one ERROR message on the bus after a set time. It learns about
progress by reading counters that GStreamer keeps anyway (the sink's
statistics, the source's byte position) from the bus thread, so it adds no
thread and no Python code to the streaming threads, and it ends with
``close()``.
"""
import atexit
import math
import numbers
import os
import threading
import time
import weakref

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstBase", "1.0")
from gi.repository import GLib, Gst, GstApp, GstBase  # noqa: E402

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


# GStreamer's launch parser dereferences a NULL pipeline, and so kills the
# process, when a string makes no element at all but links two references
# ("a. ! b.", or "x. ! y." where every element name is unknown): it resolves
# the references against the element it built, and there is none. Every
# string is therefore parsed behind a guard chain that always makes an
# element, and that nothing in the string can attach to:
#
#   ( name=G bin name=H ) : H.x <string>
#
# The guard chain ends in a link to a reference, after which a link, a pad
# reference or a property is a syntax error, as it is at the start of a
# string on its own; "H.x" carries a pad name so that a "(" that follows
# cannot make it a bin reference. Its link links all pads of an element that
# has none, which GStreamer counts as done. Only a "," could still reach the
# guard (it would name a further pad of "H.x"); a string that starts with
# one is refused as GStreamer refuses it. Errors come from the string: the
# guard itself never fails.
_GUARD_NAME = "mivelo-launch-guard-" + os.urandom(8).hex()
_GUARD = f"( name={_GUARD_NAME} bin name={_GUARD_NAME}-inner ) : {_GUARD_NAME}-inner.x "
_LAUNCH_SPACE = " \t\n\v\f\r"  # what the launch lexer skips


def _parse_launch(pipeline_str):
    """The Gst.Pipeline that ``pipeline_str`` describes; GLib.Error if none."""
    flags = Gst.ParseFlags.FATAL_ERRORS
    if pipeline_str.lstrip(_LAUNCH_SPACE).startswith(","):
        # The first token is an error, whatever follows; GStreamer's own
        # words for it, from a string that cannot reach the fault.
        Gst.parse_launch_full(",", None, flags)
        raise GLib.Error.new_literal(Gst.parse_error_quark(), "syntax error",
                                     int(Gst.ParseError.SYNTAX))
    built = Gst.parse_launch_full(_GUARD + pipeline_str, None, flags)
    if built.get_name() == _GUARD_NAME:
        # The string made no element and no link: GStreamer can say why on
        # its own ("empty pipeline not allowed").
        Gst.parse_launch_full(pipeline_str, None, flags)
        raise GLib.Error.new_literal(Gst.parse_error_quark(), "empty pipeline not allowed",
                                     int(Gst.ParseError.EMPTY))
    built.remove(built.get_by_name(_GUARD_NAME))
    children = built.children
    if len(children) == 1 and isinstance(children[0], Gst.Pipeline):
        # A string that is one pipeline ("pipeline. ( ... )") is that pipeline.
        built.remove(children[0])
        return children[0]
    return built


class _BusDispatcher:
    """The per-pipeline thread that hands bus messages to the watchers."""

    # Stands for "the Pipeline that owns this dispatcher" in the watch list,
    # so that the running thread holds the Pipeline only weakly.
    OWNER = object()

    def __init__(self, bus, owner_ref, resources_ref, name):
        self._bus = bus
        self._owner_ref = owner_ref
        # Weak: the resources own this dispatcher.
        self._resources_ref = resources_ref
        self._watches = []
        self._watchdogs = []
        self._stop = threading.Event()
        self._thread = threading.Thread(
            target=self._run, name=f"mivelo-bus-{name}", daemon=True
        )

    def add(self, watcher, data):
        # Replace the list instead of appending so that the thread can iterate
        # its snapshot without a lock.
        self._watches = self._watches + [(watcher, data)]
        self._start()

    def add_watchdog(self, watchdog):
        self._watchdogs = self._watchdogs + [watchdog]
        self._start()

    def _start(self):
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
        self._watchdogs = []

    def _run(self):
        bus = self._bus
        poll_ns = int(_BUS_POLL_SECONDS * Gst.SECOND)
        next_check = 0.0
        while not self._stop.is_set():
            message = bus.timed_pop(poll_ns)
            if self._stop.is_set():
                continue
            watchdogs = self._watchdogs
            if watchdogs:
                if message is not None:
                    for watchdog in watchdogs:
                        watchdog.observe(message)
                now = time.monotonic()
                if now >= next_check:
                    next_check = now + _BUS_POLL_SECONDS
                    self._check(watchdogs, now)
            if message is None:
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

    def _check(self, watchdogs, now):
        resources = self._resources_ref()
        gst_pipeline = resources.gst_pipeline if resources is not None else None
        if gst_pipeline is None:
            return
        for watchdog in watchdogs:
            try:
                watchdog.check(gst_pipeline, now)
            except Exception:  # noqa: BLE001  (a watchdog must never end dispatch)
                logger.exception("stall watchdog of %s failed", gst_pipeline.get_name())


class _StallWatchdog:
    """Posts one ERROR when decoded frames stop while the pipeline should play.

    Everything runs on the bus thread: ``observe`` sees every message,
    ``check`` polls the progress counters (see ``Pipeline.add_stall_watchdog``)
    and notes when they last changed. Nothing of it runs per buffer. It holds
    no GStreamer object, only element names that ``check`` looks up in the
    pipeline it is handed, so it keeps nothing alive that the pipeline does
    not.
    """

    def __init__(self, timeout, url, frame_sink, data_source, decoder, frame_counter):
        self._timeout = timeout
        self._url = url
        self._frame_sink = frame_sink
        # (element name, pad name) of the undecoded stream, or None.
        self._data_source = data_source
        self._decoder = decoder
        self._frame_counter = frame_counter
        self._since = None
        self._frames = None
        self._last_frame = None
        self._data = None
        self._last_data = None
        self._data_known = False
        self._halted = False

    def observe(self, message):
        # The stream ended, or something already reported the failure (this
        # watchdog's own error included): nothing more to say.
        if message.type in (Gst.MessageType.ERROR, Gst.MessageType.EOS):
            self._halted = True

    def _frame_progress(self, gst_pipeline):
        """A value that changes whenever a frame has been decoded."""
        rendered = None
        sink = gst_pipeline.get_by_name(self._frame_sink)
        if sink is not None:
            stats = sink.get_property("stats")
            if stats is not None:
                # Frames that the sink dropped as late were decoded too.
                rendered = stats.get_uint64("rendered")[1] + stats.get_uint64("dropped")[1]
        counted = self._frame_counter() if self._frame_counter is not None else None
        return rendered, counted

    def _data_progress(self, gst_pipeline):
        """Bytes the source has delivered, or None when it cannot tell."""
        if self._data_source is None:
            return None
        element_name, pad_name = self._data_source
        element = gst_pipeline.get_by_name(element_name)
        pad = element.get_static_pad(pad_name) if element is not None else None
        if pad is None:
            return None
        answered, position = pad.query_position(Gst.Format.BYTES)
        # -1 is GStreamer's "unknown".
        return position if answered and position >= 0 else None

    def check(self, gst_pipeline, now):
        _, state, pending = gst_pipeline.get_state(0)
        if Gst.State.PLAYING not in (state, pending):
            # Not meant to play (not started, paused on purpose, stopped or a
            # failed start): no frame is overdue. Playing again starts afresh.
            self._since = None
            self._halted = False
            return
        if self._halted:
            return
        frames = self._frame_progress(gst_pipeline)
        data = self._data_progress(gst_pipeline)
        # What the source says now decides: one that stopped answering (or
        # answered only before it started) cannot tell whether data comes.
        self._data_known = data is not None
        if self._since is None:
            # Counters are compared for change, not growth: the sink resets
            # its statistics on some state changes.
            self._since = self._last_frame = self._last_data = now
            self._frames, self._data = frames, data
            return
        if frames != self._frames:
            self._frames, self._last_frame = frames, now
        if data is not None and data != self._data:
            self._data, self._last_data = data, now
        frame_age = now - self._last_frame
        if frame_age < self._timeout:
            return
        self._halted = True
        stream = self._url or "the stream"
        data_age = now - self._last_data
        if self._data_known and data_age >= self._timeout / 2:
            element_name = self._data_source[0]
            domain, code = Gst.ResourceError, Gst.ResourceError.READ
            text = f"no data from {stream} for {data_age:.1f} s"
            debug = (f"the source sent nothing for {data_age:.1f} s while the pipeline "
                     f"was playing (stall timeout {self._timeout:g} s)")
        elif self._data_known:
            element_name = self._decoder
            domain, code = Gst.StreamError, Gst.StreamError.DECODE
            text = f"no frame decoded from {stream} for {frame_age:.1f} s although data arrives"
            debug = (f"data kept arriving but no frame came out of the decoder for "
                     f"{frame_age:.1f} s (stall timeout {self._timeout:g} s); "
                     "the stream is corrupt or not what its type claims")
        else:
            element_name = self._decoder
            domain, code = Gst.StreamError, Gst.StreamError.DECODE
            text = f"no frame decoded from {stream} for {frame_age:.1f} s"
            debug = (f"no frame came out of the decoder for {frame_age:.1f} s (stall timeout "
                     f"{self._timeout:g} s); whether data still arrives is not known")
        element = gst_pipeline.get_by_name(element_name) if element_name else None
        if element is None:
            element = gst_pipeline
        error = GLib.Error.new_literal(domain.quark(), text, int(code))
        element.post_message(Gst.Message.new_error(element, error, debug))


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
        carrying GStreamer's own message; nothing is left half built. So
        does a string on which GStreamer's parser would crash the process
        (references linked to each other while no element is made). A
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
            element = _parse_launch(pipeline_str)
        except GLib.Error as exc:
            raise _invalid_pipeline(
                f"GStreamer could not build the pipeline '{pipeline_str}': {exc.message}"
            ) from exc
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
        data = _BusDispatcher.OWNER if pipeline is self else pipeline
        with self._resources.lock:
            self._dispatcher().add(watcher, data)

    def add_stall_watchdog(self, timeout_seconds, *, frame_sink, data_pad=None, decoder=None,
                           frame_counter=None):
        """Post an ERROR on the bus when frames stop arriving.

        While the pipeline is meant to play (PLAYING, or on its way there), a
        stretch of ``timeout_seconds`` in which no frame reaches
        ``frame_sink`` posts one ERROR message:

        * ``Gst.ResourceError.READ`` from the element of ``data_pad`` (where
          the undecoded stream flows, normally the source's "src" pad) when
          that pad too has been silent for at least half the timeout: the
          server or the network stalled;
        * ``Gst.StreamError.DECODE`` from ``decoder`` (default:
          ``frame_sink``) otherwise: data arrives but yields no frame (or,
          without a ``data_pad`` that can tell, frames just stopped).

        The time counts from the start of playing, so a stream that never
        delivers a frame is reported too. After the error, an EOS or any other
        ERROR the watchdog stays quiet until the pipeline is started anew.

        No code runs per buffer: the bus thread, which wakes at least every
        ``_BUS_POLL_SECONDS``, polls how far the stream got and notes when
        that last changed, so the error comes at most about two such periods
        after the timeout. Frames are counted by ``frame_sink``'s "stats"
        (rendered plus dropped buffers; it must be a ``GstBaseSink`` of
        GStreamer 1.18 or later) and, if given, by ``frame_counter()``, a
        quick, thread-safe callable returning a number that changes with
        every decoded frame, for frames that something before the sink takes
        out; a change in either counts as a frame. Data is counted
        by a BYTES position query on ``data_pad``, which sources derived from
        ``GstBaseSrc`` answer with the bytes delivered so far. If no watcher
        has started the bus thread yet, this starts it, and from then on it
        takes the bus messages (handing them to the watchers added later).

        A sink that drops what it cannot queue (the factories' appsink does)
        counts the frames it drops, so a reader that stops pulling is no
        stall; a sink that blocks instead holds up the decoding, and then a
        reader that pulls nothing for the timeout gets the error too.
        """
        if isinstance(timeout_seconds, bool) or not isinstance(timeout_seconds, numbers.Real):
            raise TypeError("timeout_seconds must be a number, "
                            f"not {type(timeout_seconds).__name__}")
        timeout = float(timeout_seconds)
        if not 0 < timeout < math.inf:
            raise ValueError(f"timeout_seconds must be positive and finite, got {timeout_seconds!r}")
        if (not isinstance(frame_sink, GstBase.BaseSink)
                or frame_sink.find_property("stats") is None):
            raise TypeError("frame_sink must be a GstBaseSink with a 'stats' property "
                            f"(GStreamer 1.18 or later), not {frame_sink!r}")
        if frame_counter is not None and not callable(frame_counter):
            raise TypeError(
                f"frame_counter must be callable or None, not {type(frame_counter).__name__}")
        data_element = data_pad.get_parent_element() if data_pad is not None else None
        if decoder is None:
            decoder = frame_sink
        watchdog = _StallWatchdog(
            timeout, self.url, frame_sink.get_name(),
            (data_element.get_name(), data_pad.get_name()) if data_element is not None else None,
            decoder.get_name(), frame_counter)
        with self._resources.lock:
            self._dispatcher().add_watchdog(watchdog)

    def _dispatcher(self):
        """The bus dispatcher, made on first use; call with the lock held."""
        resources = self._resources
        if resources.closed:
            raise RuntimeError("the pipeline is closed")
        if resources.dispatcher is None:
            resources.dispatcher = _BusDispatcher(
                resources.gst_pipeline.get_bus(), weakref.ref(self), weakref.ref(resources),
                resources.gst_pipeline.get_name())
        return resources.dispatcher

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
