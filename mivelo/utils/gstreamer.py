"""The pipeline object that the pipeline factories build and hand out.

``Pipeline`` wraps one ``Gst.Pipeline`` together with the stream URL it reads,
the ``appsink`` that receives the decoded frames and the dispatch of its bus
messages. GStreamer is initialised once, when this module is imported.

What a Pipeline does is done by the modules of ``mivelo.utils._gst``, one
job each: ``launch`` parses launch strings behind a guard; ``bus`` hands bus
messages to the watchers, with no GLib main loop, from one thread that waits
on every pipeline's bus; ``watchdog`` turns a stream that stops delivering
frames into an ERROR on the bus; ``state`` runs state changes apart from
the caller, so that a source that blocks in one holds up no caller;
``release`` stops a pipeline on ``close()``, in the background when it is
dropped without ``close()``, and at interpreter exit; ``workers`` is the
few threads that run all this for every pipeline, one lane per pipeline and
job, so that the package's threads do not grow with the number of pipelines.

Settings for the pipelines that a factory builds, decided before they play:
``with pipeline_settings(PipelineSettings(...)): factory.build()``. Every
``Pipeline`` made in that block, on that thread (or asyncio task), takes
them; the factories' own steps stay as they are. ``without_waiting()``
makes ``set_state()`` and ``close()`` return at once in its block.
"""
import contextlib
import contextvars
import math
import numbers
import weakref
from typing import Any, Callable, Mapping, NamedTuple, Optional

from mivelo.utils.credentials import mask_text, mask_url
# Before gi.repository: this import selects and initialises GStreamer.
from mivelo.utils._gst import fork
from mivelo.utils._gst.bus import BusDispatcher
from mivelo.utils._gst.fork import ForkedProcessError
from mivelo.utils._gst.launch import parse_launch
from mivelo.utils._gst import release as _release, state as _state
from mivelo.utils._gst.release import Resources
from mivelo.utils._gst.watchdog import stall_watchdog

from gi.repository import GLib, Gst, GstApp  # noqa: E402,I100

__all__ = [
    "ForkedProcessError",
    "MissingElementError",
    "Pipeline",
    "PipelineSettings",
    "make_multipart_single_stream",
    "pipeline_settings",
    "without_waiting",
]

# Debian packages that ship the elements this package creates, to turn a
# missing element into an actionable message.
_PLUGIN_PACKAGES = {
    "libgstreamer1.0-0": ("capsfilter",),
    "gstreamer1.0-plugins-base": ("appsink", "decodebin", "videoconvert"),
    "gstreamer1.0-plugins-good": ("souphttpsrc",),
}
_ELEMENT_PACKAGES = {
    element: package
    for package, elements in _PLUGIN_PACKAGES.items()
    for element in elements
}


class MissingElementError(RuntimeError):
    """A GStreamer element factory is not installed on this system."""


def _package_hint(factory_name):
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


class PipelineSettings(NamedTuple):
    """What a caller decides about the pipelines a factory builds for it.

    Each field's default leaves the pipeline as the factory makes it.
    """

    frame_format: Optional[str] = None
    """Pixel format of the frames where the factory sets up the decoding
    (the HTTP factory); None: ``mivelo.pipeline_factories.base.FRAME_FORMAT``."""
    stall_timeout: Optional[float] = None
    """Seconds without a frame after which the stall watchdog posts an ERROR
    (see ``mivelo.utils._gst.watchdog``); None: as the factory has it (the
    HTTP factory: ``base._STALL_TIMEOUT_SECONDS``; a launch string: none).
    A pipeline whose factory sets up no watchdog gets one when it is asked
    to play, watching its appsink and the "src" pad of ``data_source``."""
    data_source: Optional[str] = None
    """Name of the element whose "src" pad carries the undecoded stream, for
    the watchdog that ``stall_timeout`` adds; None: the watchdog counts
    frames only."""
    sink_properties: Mapping[str, Any] = {}
    """Properties set on the appsink when it becomes ``Pipeline.appsink``,
    after the factory's own and before the pipeline plays, so that no frame
    meets the sink without them."""
    frames_taken: Optional[Callable[[], int]] = None
    """Frames taken from the appsink so far (a quick, thread-safe callable),
    for the stall watchdog: a sink that keeps its frames (``drop`` off) and
    holds some that were not taken is waiting for its reader, not stalled."""
    converted: bool = True
    """False: where the factory sets up the decoding, the frames reach the
    appsink as the decoder made them (raw video in any layout), for a reader
    that converts each frame it reads itself (the stream reader, through
    ``mivelo.stream_reader.frame.pull``); ``frame_format`` is not used then."""


_SETTINGS = contextvars.ContextVar("mivelo_pipeline_settings", default=PipelineSettings())


@contextlib.contextmanager
def pipeline_settings(settings):
    """Every ``Pipeline`` made inside the block, in this context (thread or
    asyncio task), takes ``settings`` (a ``PipelineSettings``)."""
    if not isinstance(settings, PipelineSettings):
        raise TypeError(f"settings must be a PipelineSettings, not {type(settings).__name__}")
    token = _SETTINGS.set(settings)
    try:
        yield settings
    finally:
        _SETTINGS.reset(token)


@contextlib.contextmanager
def without_waiting():
    """In this block (of this thread, or of this asyncio task), ``set_state()``
    asks for its change and returns ``ASYNC`` unless it is done at once, and
    ``close()`` starts the release and returns (logging what it raises): for
    an event loop, or a thread that serves many streams, that builds and
    retires pipelines and must not wait for GStreamer meanwhile.
    """
    waits, closes = _state.WAIT.set(0.0), _release.CLOSE_WAITS.set(False)
    try:
        yield
    finally:
        _release.CLOSE_WAITS.reset(closes)
        _state.WAIT.reset(waits)


def _invalid_pipeline(pipeline_str, why):
    """The error for a launch string that GStreamer cannot build; both texts
    are shown with their URLs masked (the string holds the URL filled in)."""
    # Imported on use: the error module is compiled separately, and the rest
    # of this module (the stream tools use it) works without it.
    from mivelo.errors import InvalidCustomPipelineError

    return InvalidCustomPipelineError(
        f"GStreamer could not build the pipeline {mask_text(pipeline_str)}: {mask_text(why)}")


def _masked_error(error):
    """``error`` (a GLib.Error), or a copy whose text has its URLs masked."""
    text = mask_text(error.message)
    if text == error.message:
        return error
    return GLib.Error.new_literal(GLib.quark_from_string(error.domain), text, error.code)


class Pipeline:
    """One GStreamer pipeline reading one stream.

    Attributes:
        url: the stream URL the pipeline was made for (may be None), as
            given; its ``repr`` and the package's texts show it masked
            (``mivelo.utils.credentials``).
        appsink: the element that receives the frames; the factories set it,
            and setting it applies ``settings.sink_properties`` to it.
        gst_pipeline: the wrapped ``Gst.Pipeline`` (None once closed).
        settings: the ``PipelineSettings`` in force when it was made.

    In a process forked after GStreamer started streaming in its parent
    (see ``mivelo.utils._gst.fork``), making a pipeline (the constructor,
    ``from_launch_string``), ``set_state`` and ``pull_sample`` raise
    ``ForkedProcessError`` at once, and the pipelines inherited from the
    parent count as closed: they are the parent's.
    """

    def __init__(self, url):
        fork.check()
        self._init(url, Gst.Pipeline.new(None))

    def _init(self, url, gst_pipeline):
        self.url = url
        self._settings = _SETTINGS.get()
        self._appsink = None
        self._stall_watched = False
        self._resources = Resources(gst_pipeline)
        self._finalizer = weakref.finalize(self, Resources.release_in_background, self._resources)
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
        fork.check()
        if not isinstance(pipeline_str, str):
            raise TypeError(
                f"pipeline_str must be a str, not {type(pipeline_str).__name__}")
        if "\x00" in pipeline_str:
            raise _invalid_pipeline(repr(pipeline_str),
                                    "the launch string contains a NUL character")
        if not pipeline_str.isascii():
            try:
                pipeline_str.encode()
            except UnicodeEncodeError:
                raise _invalid_pipeline(repr(pipeline_str),
                                        "the launch string holds a lone surrogate") from None
        try:
            element = parse_launch(pipeline_str)
        except GLib.Error as exc:
            failure = _masked_error(exc)
        else:
            failure = None
        if failure is not None:
            # GStreamer's text may quote a value, the URL included. Raised
            # here, so that the unmasked error is not the new one's context.
            raise _invalid_pipeline(f"'{pipeline_str}'", failure.message) from failure
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
    def settings(self):
        return self._settings

    @property
    def appsink(self):
        return self._appsink

    @appsink.setter
    def appsink(self, sink):
        if sink is not None:
            for name, value in self._settings.sink_properties.items():
                sink.set_property(name, value)
        self._appsink = sink

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
        """Request ``state``; returns GStreamer's ``Gst.StateChangeReturn``.

        The change runs on a worker of the package, after the ones requested
        before it, and this waits for it at most 0.1 s (none inside
        ``without_waiting()``): a source that blocks in a state change (a
        FIFO without a writer) cannot hold up the caller, who then gets
        ``ASYNC`` and the outcome on the bus (see ``mivelo.utils._gst.state``).
        """
        fork.check()
        self._require_open()
        if state != Gst.State.NULL:
            fork.note_streaming()
        if state == Gst.State.PLAYING and not self._stall_watched:
            self._watch_stalls_as_set()
        return self._resources.change_state(state)

    def _watch_stalls_as_set(self):
        """The stall watchdog that ``settings.stall_timeout`` asks for, where
        the factory set up none (a launch string's pipeline)."""
        settings = self._settings
        sink = self._appsink
        if settings.stall_timeout is None or not isinstance(sink, GstApp.AppSink):
            return
        source = self.get_by_name(settings.data_source) if settings.data_source else None
        pad = source.get_static_pad("src") if source is not None else None
        self._add_stall_watchdog(settings.stall_timeout, frame_sink=sink, data_pad=pad)

    # -- building ---------------------------------------------------------

    def new_element(self, factory_name, *, properties, name=None):
        """Create an element, set ``properties`` on it, add it and return it.

        ``properties`` is any mapping of property names to values. Raises
        ``MissingElementError`` naming the package to install when the
        element factory is not available, and ``ValueError`` when ``name`` is
        already taken in this pipeline, or when it or a text value holds a
        NUL character (GStreamer would cut the text there: a URL
        ".../a\\x00b" would request ".../a").
        """
        gst_pipeline = self._require_open()
        items = list(properties.items())
        for key, value in [("name", name)] + items:
            if isinstance(value, str) and "\x00" in value:
                raise ValueError(f"the {key} of a '{factory_name}' element holds a NUL "
                                 f"character: {mask_text(repr(value))}")
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
        for key, value in items:
            element.set_property(key, value)
        if not gst_pipeline.add(element):
            raise ValueError(
                f"could not add element '{element.get_name()}' to the pipeline")
        return element

    def add_bus_watch(self, watcher, pipeline):
        """Call ``watcher(bus, message, pipeline)`` for every bus message.

        Messages are delivered in order, on a worker of the package (see
        ``mivelo.utils._gst.bus``), until ``close()``. May be called more than
        once; watchers are then called in the order they were added.
        """
        if not callable(watcher):
            raise TypeError(f"the bus watcher must be callable, not {type(watcher).__name__}")
        data = BusDispatcher.OWNER if pipeline is self else pipeline
        with self._resources.lock:
            self._dispatcher().add(watcher, data)

    def _add_stall_watchdog(self, timeout_seconds, *, frame_sink, data_pad=None, decoder=None,
                            frame_counter=None):
        """Post an ERROR on the bus when frames stop arriving.

        What is watched, and the checks of the arguments, are described by
        ``mivelo.utils._gst.watchdog.stall_watchdog``. From then on the
        package takes the bus messages (handing them to the watchers added
        later), as the first watcher does. The frames taken from the sink are
        counted by ``settings.frames_taken``, where set.
        """
        watchdog = stall_watchdog(timeout_seconds, self.url, frame_sink=frame_sink,
                                  data_pad=data_pad, decoder=decoder,
                                  frame_counter=frame_counter,
                                  frames_taken=self._settings.frames_taken)
        with self._resources.lock:
            self._dispatcher().add_watchdog(watchdog)
        self._stall_watched = True

    def _dispatcher(self):
        """The bus dispatcher, made on first use; call with the lock held."""
        resources = self._resources
        if resources.closing:
            raise RuntimeError("the pipeline is closed")
        if resources.dispatcher is None:
            resources.dispatcher = BusDispatcher(
                resources.gst_pipeline.get_bus(), weakref.ref(self), weakref.ref(resources),
                resources.gst_pipeline.get_name())
        return resources.dispatcher

    # -- frames -----------------------------------------------------------

    def pull_sample(self, timeout_seconds):
        """Return the next ``Gst.Sample`` from ``appsink``, or None.

        None means no sample arrived within ``timeout_seconds``, the stream
        ended, or the pipeline is closed; it never waits longer than the
        timeout. The timeout is a real number of seconds (an int, a float, a
        Fraction, not a bool or a str); a negative one does not wait.
        """
        fork.check()
        if isinstance(timeout_seconds, bool) or not isinstance(timeout_seconds, numbers.Real):
            raise TypeError("timeout_seconds must be a real number, "
                            f"not {type(timeout_seconds).__name__}")
        timeout = float(timeout_seconds)
        if math.isnan(timeout) or math.isinf(timeout):
            raise ValueError(f"timeout_seconds must be finite, got {timeout_seconds!r}")
        sink = self.appsink
        if sink is None:
            if self._resources.closing:
                return None
            raise RuntimeError("the pipeline has no appsink")
        if not isinstance(sink, GstApp.AppSink):
            raise TypeError(f"pipeline.appsink is a {type(sink).__name__}, not an appsink")
        # Bounded before it is made an int: -1e300 s is no wait, not an overflow.
        seconds = min(max(timeout, 0.0), (Gst.CLOCK_TIME_NONE - 1) / Gst.SECOND)
        return sink.try_pull_sample(min(int(seconds * Gst.SECOND), Gst.CLOCK_TIME_NONE - 1))

    # -- teardown ---------------------------------------------------------

    def close(self):
        """Stop the pipeline, end its bus dispatch and drop its GStreamer objects.

        Idempotent, and waits at most 5 s (``CLOSE_TIMEOUT_SECONDS`` of
        ``mivelo.utils._gst.release``), so this never hangs; inside
        ``without_waiting()`` it does not wait. The stopping runs on a worker
        of the package, which nothing raised here interrupts: the pipeline
        reaches NULL even when the wait is interrupted (say by Ctrl-C), and an
        error raised while stopping is raised here once the pipeline has been
        stopped. Once this returns no watcher is called any more.
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
        return f"<{type(self).__name__} {name} url={mask_url(self.url)!r}>"
