"""Bus dispatch without a GLib main loop.

The first watcher (or watchdog) added to a pipeline starts one daemon thread
for that pipeline ("mivelo-bus-<pipeline name>"), which pops the pipeline's
bus with ``Gst.Bus.timed_pop`` and calls every registered watcher as
``watcher(bus, message, data)`` for every message (errors, warnings, EOS,
state changes, ...), in the order GStreamer posted them. One thread per
pipeline was chosen over a shared GLib main-loop thread because

* the thread belongs to the pipeline, so ``close()`` stops and joins it and no
  thread of ours outlives the pipeline it served;
* a watcher that is slow, or blocks, delays only its own pipeline;
* it needs no GLib source/callback plumbing across threads, just a blocking
  pop that wakes at least every ``BUS_POLL_SECONDS`` to notice ``close()``.

An exception raised by a watcher is logged through ``mivelo.logger`` and
dispatch goes on with the next watcher and message. A watcher may call
``close()`` on its own pipeline. After ``close()`` no further message is
delivered; messages still queued at that moment are discarded.

The same thread runs the stall watchdogs (``watchdog``): it shows them every
message and lets them poll their counters at least every
``BUS_POLL_SECONDS``.
"""
import threading
import time

from gi.repository import Gst

from mivelo import logger

# The bus thread wakes at least this often to notice close().
BUS_POLL_SECONDS = 0.1
# Name of the application message that close() posts to wake the bus thread.
_WAKE_MESSAGE_NAME = "mivelo-bus-dispatch-stop"


class BusDispatcher:
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
        self._left_running = threading.Event()
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

    def stop(self):
        """Ends dispatch: no message is delivered after this returns."""
        self._stop.set()
        self._watches = []
        self._watchdogs = []
        bus, self._bus = self._bus, None
        if bus is not None and self._thread.ident is not None:
            # Wakes the pop at once; if the bus is flushing the post is
            # dropped and the poll timeout wakes the thread instead.
            bus.post(Gst.Message.new_application(
                None, Gst.Structure.new_empty(_WAKE_MESSAGE_NAME)))

    def join(self, deadline):
        """Waits, until the ``time.monotonic()`` deadline, for the thread to end.

        Gives up early when the thread itself waits for the one that joins
        it (``leave_running``).
        """
        while self._thread.is_alive() and not self._left_running.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                logger.warning("bus watcher of %s still running after close()",
                               self._thread.name)
                return
            self._thread.join(min(remaining, BUS_POLL_SECONDS))

    def is_current_thread(self):
        return self._thread is threading.current_thread()

    def leave_running(self):
        """Called on the bus thread when it waits for its own pipeline's release."""
        self._left_running.set()

    def _run(self):
        bus = self._bus
        if bus is None:
            return
        poll_ns = int(BUS_POLL_SECONDS * Gst.SECOND)
        next_check = 0.0
        while not self._stop.is_set():
            message = bus.timed_pop(poll_ns)
            if self._stop.is_set():
                continue
            watchdogs = self._watchdogs
            if watchdogs:
                if message is not None and not all(
                        [watchdog.observe(message) for watchdog in watchdogs]):
                    message = None
                now = time.monotonic()
                if now >= next_check:
                    next_check = now + BUS_POLL_SECONDS
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


def _message_type_name(message):
    try:
        return Gst.MessageType.get_name(message.type)
    except Exception:  # noqa: BLE001  (only used for log text)
        return str(message.type)
