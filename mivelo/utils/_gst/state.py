"""State changes on the shared workers, in the order they were asked for.

Some sources block inside a state change: filesrc opens its file on the way
to READY, which waits for a writer when the file is a FIFO, and a TCP source
connects there. ``Pipeline.set_state``, and so ``build()``, must not wait for
them. Each change is queued on the pipeline's state lane (``workers``),
which runs it once the changes asked for before it have run, and the caller
waits for it at most ``STATE_WAIT_SECONDS``; a change that takes longer is
answered with ``Gst.StateChangeReturn.ASYNC``, as GStreamer answers a change
that completes later, and what becomes of it reaches the bus. A change asked
for from a streaming thread, which the change would wait for, is answered the
same way instead of hanging. A change that blocks holds up its own pipeline
only: the workers carry on without the one it holds (see ``workers``).

``WAIT`` holds how long the changes asked for in a context (this thread, or
this asyncio task) wait: 0 for callers that must not block at all, such as
an event loop that builds a pipeline anew.
"""
import contextvars
import threading

from gi.repository import Gst

# How long set_state() waits for the change it asked for.
STATE_WAIT_SECONDS = 0.1

# How long the changes asked for in this context (thread or asyncio task)
# wait; 0 inside ``mivelo.utils.gstreamer.without_waiting()``.
WAIT = contextvars.ContextVar("mivelo_state_wait", default=STATE_WAIT_SECONDS)


class StateChange:
    """One ``set_state`` of a pipeline, run on its state lane."""

    def __init__(self, gst_pipeline, state):
        self._gst_pipeline = gst_pipeline
        self._state = state
        self._result = None
        self._error = None
        self._done = threading.Event()

    def run(self):
        try:
            self._result = self._gst_pipeline.set_state(self._state)
        except BaseException as exc:  # noqa: B036  (raised by result())
            self._error = exc
        finally:
            self._gst_pipeline = None
            self._done.set()

    def result(self):
        """What set_state() returned, waiting for it at most as long as
        ``WAIT`` says (ASYNC after that); raises what it raised."""
        if not self._done.wait(WAIT.get()):
            return Gst.StateChangeReturn.ASYNC
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return self._result
