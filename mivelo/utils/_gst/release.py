"""Stopping a pipeline: on ``close()``, in the background, and at exit.

A release ends the dispatch of the pipeline's bus messages, sets the
pipeline to NULL and drops every reference to GStreamer objects, which
closes the stream's sockets. It runs once per pipeline, on the pipeline's
state lane (``workers``), after the state changes asked for before it:

* ``close()`` starts it and waits for it, at most ``CLOSE_TIMEOUT_SECONDS``,
  and then (within the same bound) for a watcher call that is still running
  to return. A source that blocks in a state change asked for before (a FIFO
  without a writer) holds the release up until that change returns, and
  ``close()`` gives up waiting before. Whatever interrupts the wait (a
  ``KeyboardInterrupt``, a timeout because ``close()`` was called from a
  streaming thread that the state change waits for) cannot interrupt the
  release itself: the pipeline still reaches NULL and is marked closed only
  then. A later ``close()`` waits for the same release. An error raised while
  releasing is raised by ``close()`` once the pipeline has been stopped.
* A ``Pipeline`` that is garbage-collected without ``close()`` starts it
  and does not wait: the finaliser may run on any thread, streaming threads
  included, and a state change there would wait for that very thread.
* Pipelines still open when the interpreter exits are released all at once
  by an ``atexit`` hook, which waits at most ``EXIT_TIMEOUT_SECONDS`` in all,
  so that GStreamer threads never call into a finalising interpreter.
* A process forked after GStreamer streamed (see ``fork``) inherits copies
  of its parent's pipelines but none of their threads (nor the package's
  workers), for which a release would wait in vain: it counts them as
  released at once, leaves them out of its exit hook and keeps their
  GStreamer objects, never disposing of them there.

Once no pipeline is left open, the package's threads end (``workers``,
``bus``). Where ``CLOSE_WAITS`` is False, ``close()`` starts the release and
returns at once, for callers that must not block at all.
"""
import atexit
import contextvars
import threading
import time

from gi.repository import Gst

from mivelo import logger
from mivelo.utils._gst import bus, fork
from mivelo.utils._gst.state import StateChange
from mivelo.utils._gst.workers import POOL

# How long close() waits for the state change to NULL and for the watchers.
CLOSE_TIMEOUT_SECONDS = 5.0
# How long the exit hook waits for all open pipelines together.
EXIT_TIMEOUT_SECONDS = 2.0

# Whether close() waits for the release in this context (thread or asyncio
# task); False inside ``mivelo.utils.gstreamer.without_waiting()``.
CLOSE_WAITS = contextvars.ContextVar("mivelo_close_waits", default=True)


class Resources:
    """The GStreamer side of a Pipeline; owns no reference to the Pipeline.

    Kept apart from ``Pipeline`` so that the garbage-collection safety net and
    the exit hook can release it after the ``Pipeline`` object is gone.
    """

    def __init__(self, gst_pipeline):
        self.gst_pipeline = gst_pipeline
        self.dispatcher = None
        self.lock = threading.Lock()
        self._release = None
        self.lane = POOL.lane(f"the state of {gst_pipeline.get_name()}")
        _live_resources.add(self)

    @property
    def closing(self):
        """A release has started (it may not have finished)."""
        return self._release is not None

    @property
    def closed(self):
        """The pipeline has been stopped and let go of."""
        release = self._release
        return release is not None and release.finished.is_set()

    def change_state(self, state):
        """Asks for ``state`` (see ``state``); RuntimeError once closing."""
        with self.lock:
            if self._release is not None:
                raise RuntimeError("the pipeline is closed")
            change = StateChange(self.gst_pipeline, state)
            self.lane.submit(change.run)
        return change.result()

    def release(self, timeout=CLOSE_TIMEOUT_SECONDS):
        """Stop everything and drop the GStreamer references; idempotent.

        Waits at most ``timeout`` seconds (not at all where ``CLOSE_WAITS``
        is False); raises what releasing raised.
        """
        if not CLOSE_WAITS.get():
            self.start_release(background=True)
            return
        self.start_release().wait(timeout)

    def start_release(self, background=False):
        """The release of these resources, started on first call.

        ``background``: nobody waits for it, so it logs what it raises.
        """
        with self.lock:
            if self._release is None:
                if self.dispatcher is not None:
                    # At once, whether or not the caller waits for the rest.
                    self.dispatcher.silence()
                release = _Release(self, background)
                release.start()
                # Assigned once started: interrupted before, the next call
                # starts it (one more release, which finds nothing to do).
                self._release = release
            return self._release

    def release_in_background(self):
        """Starts the release and returns (the garbage-collection safety net)."""
        self.start_release(background=True)

    def finish_release(self):
        """Called by the release once it is done: nothing is left to stop."""
        with self.lock:
            self.gst_pipeline = None
            self.dispatcher = None
        _live_resources.discard(self)
        if not _live_resources:
            bus.wake_when_idle()


class _Release:
    """One run of stopping a pipeline, on its state lane."""

    def __init__(self, resources, background):
        self._resources = resources
        self._background = background
        self._gst_pipeline = resources.gst_pipeline
        self._dispatcher = resources.dispatcher
        self._lane = resources.lane
        self.error = None
        self.finished = threading.Event()
        self._name = self._gst_pipeline.get_name() if self._gst_pipeline is not None else "?"

    def start(self):
        self._lane.submit(self._run)

    def wait(self, timeout):
        """Waits for the release (called by close()); raises what it raised."""
        if self._lane.is_current():
            return  # a callback of a state change closes the pipeline again
        dispatcher = self._dispatcher
        if dispatcher is not None and dispatcher.is_current_thread():
            # A watcher closes its own pipeline: its call cannot end while
            # close() waits, so the release must not wait for it.
            dispatcher.leave_running()
        deadline = time.monotonic() + timeout
        if not self.finished.wait(timeout):
            logger.warning("pipeline %s was not released within %.1f s; it is released "
                           "in the background", self._name, timeout)
            return
        if dispatcher is not None:
            dispatcher.join(deadline)
        if self.error is not None:
            error, self.error = self.error, None
            raise error

    def _run(self):
        try:
            # Every step runs whatever the one before raised: the pipeline
            # must reach NULL before it is let go of.
            for step in (self._stop_dispatch, self._to_null):
                try:
                    step()
                except BaseException as exc:  # noqa: B036  (re-raised by close())
                    if self.error is None:
                        self.error = exc
        finally:
            if self.error is not None and self._background:
                logger.warning("stopping pipeline %s failed", self._name,
                               exc_info=self.error)
            self._gst_pipeline = None
            self._resources.finish_release()
            self._resources = None
            self.finished.set()

    def _stop_dispatch(self):
        if self._dispatcher is not None:
            self._dispatcher.stop()

    def _to_null(self):
        if self._gst_pipeline is not None:
            self._gst_pipeline.set_state(Gst.State.NULL)


# Resources not yet released, for the exit hook and the threads, which end
# when none is left. They hold no Pipeline, so keeping them here keeps no
# Pipeline alive.
_live_resources = set()
bus.set_keep_alive(lambda: bool(_live_resources))


class _Inherited:
    """The release of a pipeline that a forked child inherited: done."""

    error = None

    def __init__(self):
        self.finished = threading.Event()
        self.finished.set()

    def wait(self, timeout):
        pass


# The GStreamer objects of the pipelines a forked child inherited.
_inherited = []


def _let_inherited_go():
    for resources in list(_live_resources):
        _inherited.append((resources.gst_pipeline, resources.dispatcher, resources.lane))
        # A thread of the parent may have held the lock at the fork.
        resources.lock = threading.Lock()
        resources.gst_pipeline = resources.dispatcher = None
        resources._release = _Inherited()
    _live_resources.clear()


fork.after_fork_in_child(_let_inherited_go)


@atexit.register
def _close_all_at_exit():
    releases = [resources.start_release(background=True) for resources in list(_live_resources)]
    deadline = time.monotonic() + EXIT_TIMEOUT_SECONDS
    for release in releases:
        release.finished.wait(max(0.0, deadline - time.monotonic()))
