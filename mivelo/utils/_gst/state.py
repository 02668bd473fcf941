"""State changes on a thread of their own, in the order they were asked for.

Some sources block inside a state change: filesrc opens its file on the way
to READY, which waits for a writer when the file is a FIFO, and a TCP source
connects there. ``Pipeline.set_state``, and so ``build()``, must not wait for
them. Each change runs on a thread of its own ("mivelo-state-<pipeline
name>") once the change asked for before it has run, and the caller waits for
it at most ``STATE_WAIT_SECONDS``; a change that takes longer is answered
with ``Gst.StateChangeReturn.ASYNC``, as GStreamer answers a change that
completes later, and what becomes of it reaches the bus. A change asked for
from a streaming thread, which the change would wait for, is answered the
same way instead of hanging.
"""
import threading

from gi.repository import Gst

# How long set_state() waits for the change it asked for.
STATE_WAIT_SECONDS = 0.1


class StateChange:
    """One ``set_state`` of a pipeline, run after ``previous`` (or None)."""

    def __init__(self, gst_pipeline, state, previous):
        self._gst_pipeline = gst_pipeline
        self._state = state
        self._previous = previous
        self._result = None
        self._error = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True,
                                        name=f"mivelo-state-{gst_pipeline.get_name()}")

    def start(self):
        self._thread.start()

    def finish(self):
        """Waits for the change, however long it takes."""
        if self._thread is not threading.current_thread():
            self._thread.join()

    def result(self, timeout):
        """What set_state() returned, waiting at most ``timeout`` seconds for
        it (ASYNC after that); raises what it raised."""
        if not self._done.wait(timeout):
            return Gst.StateChangeReturn.ASYNC
        self._thread.join()  # its last step is done: it ends at once
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return self._result

    def _run(self):
        try:
            if self._previous is not None:
                self._previous.finish()
            self._result = self._gst_pipeline.set_state(self._state)
        except BaseException as exc:  # noqa: B036  (raised by result())
            self._error = exc
        finally:
            self._gst_pipeline = self._previous = None
            self._done.set()
