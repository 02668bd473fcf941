"""Stopping a pipeline: on ``close()``, in the background, and at exit.

``close()`` sets the pipeline to NULL (bounded by a timeout, so it cannot
hang), ends the bus thread and drops every reference to GStreamer objects,
which closes the stream's sockets. As a safety net a ``Pipeline`` that is
garbage-collected without ``close()`` is torn down on a background thread,
and pipelines still open when the interpreter exits are closed by an
``atexit`` hook, so GStreamer threads never call into a finalising
interpreter.
"""
import atexit
import threading

from gi.repository import Gst

from mivelo import logger

# How long close() waits for the state change to NULL and for the bus thread.
CLOSE_TIMEOUT_SECONDS = 5.0


class Resources:
    """The GStreamer side of a Pipeline; owns no reference to the Pipeline.

    Kept apart from ``Pipeline`` so that the garbage-collection safety net and
    the exit hook can release it after the ``Pipeline`` object is gone.
    """

    def __init__(self, gst_pipeline):
        self.gst_pipeline = gst_pipeline
        self.dispatcher = None
        self.closed = False
        self.lock = threading.Lock()
        _live_resources.add(self)

    def release(self, timeout=CLOSE_TIMEOUT_SECONDS):
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
