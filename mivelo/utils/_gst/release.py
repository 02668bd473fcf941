"""Stopping a pipeline: on ``close()``, in the background, and at exit.

A release sets the pipeline to NULL, ends its bus thread and drops every
reference to GStreamer objects, which closes the stream's sockets. It runs
on a thread of its own ("mivelo-release-<pipeline name>"), and only once
per pipeline:

* ``close()`` starts it and waits for it, at most ``CLOSE_TIMEOUT_SECONDS``.
  It sets NULL once the state changes asked for before it have run (see
  ``state``); a source that blocks in one (a FIFO without a writer) holds it
  up until that change returns, and ``close()`` gives up waiting before.
  Whatever interrupts the wait (a ``KeyboardInterrupt``, a timeout because
  ``close()`` was called from a streaming thread that the state change waits
  for) cannot interrupt the release itself: the pipeline still reaches NULL
  and is marked closed only then. A later ``close()`` waits for the same
  release. An error raised while releasing is raised by ``close()`` once the
  pipeline has been stopped.
* A ``Pipeline`` that is garbage-collected without ``close()`` starts it
  and does not wait: the finaliser may run on any thread, streaming threads
  included, and a state change there would wait for that very thread.
* Pipelines still open when the interpreter exits are released all at once
  by an ``atexit`` hook, which waits at most ``EXIT_TIMEOUT_SECONDS`` in all,
  so that GStreamer threads never call into a finalising interpreter.
"""
import atexit
import threading
import time

from gi.repository import Gst

from mivelo import logger
from mivelo.utils._gst.state import STATE_WAIT_SECONDS, StateChange

# How long close() waits for the state change to NULL and for the bus thread.
CLOSE_TIMEOUT_SECONDS = 5.0
# How long the exit hook waits for all open pipelines together.
EXIT_TIMEOUT_SECONDS = 2.0


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
        self.last_change = None
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
            change = StateChange(self.gst_pipeline, state, self.last_change)
            change.start()
            self.last_change = change
        return change.result(STATE_WAIT_SECONDS)

    def release(self, timeout=CLOSE_TIMEOUT_SECONDS):
        """Stop everything and drop the GStreamer references; idempotent.

        Waits at most ``timeout`` seconds; raises what releasing raised.
        """
        self.start_release().wait(timeout)

    def start_release(self, background=False):
        """The release of these resources, started on first call.

        ``background``: nobody waits for it, so it logs what it raises.
        """
        with self.lock:
            if self._release is None:
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
            self.last_change = None
        _live_resources.discard(self)


class _Release:
    """One run of stopping a pipeline, on its own thread."""

    def __init__(self, resources, background):
        self._resources = resources
        self._background = background
        self._gst_pipeline = resources.gst_pipeline
        self._dispatcher = resources.dispatcher
        # Changes asked for before the release run before its NULL.
        self._last_change = resources.last_change
        self._deadline = None
        self.error = None
        self.finished = threading.Event()
        self._name = self._gst_pipeline.get_name() if self._gst_pipeline is not None else "?"
        self._thread = threading.Thread(target=self._run, name=f"mivelo-release-{self._name}",
                                        daemon=True)

    def start(self):
        self._thread.start()

    def wait(self, timeout):
        """Waits for the release (called by close()); raises what it raised."""
        if self._thread is threading.current_thread():
            return  # a callback of the state change closes the pipeline again
        if self._dispatcher is not None and self._dispatcher.is_current_thread():
            # A watcher closes its own pipeline: the bus thread ends when the
            # watcher returns, so the release must not wait for it.
            self._dispatcher.leave_running()
        deadline = time.monotonic() + timeout
        if not self.finished.wait(timeout):
            logger.warning("pipeline %s was not released within %.1f s; it is released "
                           "in the background", self._name, timeout)
            return
        # Its last step is done: the thread ends at once.
        self._thread.join(max(0.0, deadline - time.monotonic()))
        if self.error is not None:
            error, self.error = self.error, None
            raise error

    def _run(self):
        steps = (self._stop_dispatch, self._to_null, self._join_dispatch)
        try:
            for step in steps:
                # Every step runs whatever the ones before raised: the
                # pipeline must reach NULL before it is let go of.
                try:
                    step()
                except BaseException as exc:  # noqa: B036  (re-raised by close())
                    if self.error is None:
                        self.error = exc
        finally:
            if self.error is not None and self._background:
                logger.warning("stopping pipeline %s failed", self._name,
                               exc_info=self.error)
            self._gst_pipeline = self._last_change = None
            self._dispatcher = None
            self._resources.finish_release()
            self._resources = None
            self.finished.set()

    def _stop_dispatch(self):
        self._deadline = time.monotonic() + CLOSE_TIMEOUT_SECONDS
        if self._dispatcher is not None:
            self._dispatcher.stop()

    def _to_null(self):
        if self._last_change is not None:
            self._last_change.finish()
        if self._gst_pipeline is not None:
            self._gst_pipeline.set_state(Gst.State.NULL)

    def _join_dispatch(self):
        if self._dispatcher is not None:
            self._dispatcher.join(self._deadline)


# Resources not yet released, for the exit hook. They hold no Pipeline, so
# keeping them here keeps no Pipeline alive.
_live_resources = set()


@atexit.register
def _close_all_at_exit():
    releases = [resources.start_release(background=True) for resources in list(_live_resources)]
    deadline = time.monotonic() + EXIT_TIMEOUT_SECONDS
    for release in releases:
        release.finished.wait(max(0.0, deadline - time.monotonic()))
