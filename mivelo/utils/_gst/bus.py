"""Bus dispatch without a GLib main loop, and without a thread per pipeline.

One thread of the package ("mivelo-bus") waits, with ``select.epoll``, on
the poll file descriptor of every watched pipeline's bus (GStreamer makes it
readable while messages wait) and on a descriptor of its own that wakes it
for changes. It pops every waiting message of a ready bus and queues them, in
the order GStreamer posted them, on that pipeline's bus lane (``workers``),
where a worker calls every registered watcher as ``watcher(bus, message,
data)`` for each message (errors, warnings, EOS, state changes, ...). So each
watcher sees every message of its pipeline in order, and no code of a
watcher runs on the dispatch thread.

A watcher that is slow delays the later messages of its own pipeline. Those
of other pipelines wait only for a free worker: there are ``WORKERS`` of
them, and once a watcher has run ``STUCK_SECONDS`` (0.5 s) another worker
takes its place while messages wait (see ``workers``), so a watcher that
blocks delays other pipelines' messages by about 0.6 s at most.

An exception raised by a watcher is logged through ``mivelo.logger`` and
dispatch goes on with the next watcher and message. A watcher may call
``close()`` on its own pipeline. After ``close()`` no further message is
delivered; messages still queued at that moment are discarded.

The dispatch thread also runs the stall watchdogs (``watchdog``) on the
same lane as the watchers: they see every message first, and it queues a
poll of their counters every ``poll_seconds`` of theirs. It looks after the
workers too (``Pool.supervise``). It runs while some pipeline is open and
ends with the last one.
"""
import os
import select
import threading
import time

from gi.repository import Gst

from mivelo import logger
from mivelo.utils._gst.workers import POOL, STUCK_SECONDS, WORKERS

__all__ = ["BUS_POLL_SECONDS", "BusDispatcher", "STUCK_SECONDS", "WORKERS"]

# How often the dispatch looks whether watchdogs are due to poll their
# counters (each at its own ``poll_seconds``).
BUS_POLL_SECONDS = 0.1


class BusDispatcher:
    """The dispatch of one pipeline's bus messages to its watchers."""

    # Stands for "the Pipeline that owns this dispatcher" in the watch list,
    # so that nothing of the dispatch holds the Pipeline strongly.
    OWNER = object()

    def __init__(self, bus, owner_ref, resources_ref, name):
        self._bus = bus
        self._owner_ref = owner_ref
        # Weak: the resources own this dispatcher.
        self._resources_ref = resources_ref
        self._watches = []
        self._watchdogs = []
        self._stopped = False
        self._left_running = False
        self._check_queued = False
        self._next_check = 0.0
        self._fd = None
        self.name = name
        self._lane = POOL.lane(f"the bus of {name}")

    def add(self, watcher, data):
        # Replace the list instead of appending so that the lane can iterate
        # its snapshot without a lock.
        self._watches = self._watches + [(watcher, data)]
        self._start()

    def add_watchdog(self, watchdog):
        self._watchdogs = self._watchdogs + [watchdog]
        self._start()

    def _start(self):
        if self._fd is None and not self._stopped:
            self._fd = self._bus.get_pollfd().fd
            _DISPATCH.register(self)

    def silence(self):
        """No message is delivered after this returns (a watcher call in
        progress runs on)."""
        self._stopped = True
        self._watches = []
        self._watchdogs = []

    def stop(self):
        """Ends dispatch: silences it and stops watching the bus."""
        self.silence()
        if self._fd is not None:
            _DISPATCH.unregister(self)
        self._bus = None

    def join(self, deadline):
        """Waits, until the ``time.monotonic()`` deadline, for the watcher
        call in progress to return.

        Gives up at once when it runs on this very lane (a watcher that
        closes its own pipeline: ``leave_running``).
        """
        if self._left_running or self._lane.is_current():
            return
        if not self._lane.wait_idle(max(0.0, deadline - time.monotonic())):
            logger.warning("bus watcher of %s still running after close()", self.name)

    def is_current_thread(self):
        return self._lane.is_current()

    def leave_running(self):
        """Called from a watcher that waits for its own pipeline's release."""
        self._left_running = True

    # -- on the dispatch thread ---------------------------------------------

    def _drain(self):
        """Queues every message that waits on the bus for the watchers."""
        bus = self._bus
        if bus is None:
            return
        messages = []
        while True:
            message = bus.pop()
            if message is None:
                break
            messages.append(message)
        if messages:
            self._lane.submit(lambda: self._deliver(bus, messages))

    def _tick(self, now):
        """Queues a poll of the watchdogs when one is due, unless one is
        queued already."""
        watchdogs = self._watchdogs
        if watchdogs and now >= self._next_check and not self._check_queued \
                and not self._stopped:
            self._next_check = now + min(w.poll_seconds for w in watchdogs)
            self._check_queued = True
            self._lane.submit(self._check)

    # -- on the lane ------------------------------------------------------

    def _deliver(self, bus, messages):
        for message in messages:
            if self._stopped:
                return
            watchdogs = self._watchdogs
            if watchdogs and not all([watchdog.observe(message) for watchdog in watchdogs]):
                continue
            for watcher, data in self._watches:
                if self._stopped:
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

    def _check(self):
        self._check_queued = False
        resources = self._resources_ref()
        gst_pipeline = resources.gst_pipeline if resources is not None else None
        if gst_pipeline is None or self._stopped:
            return
        now = time.monotonic()
        for watchdog in self._watchdogs:
            try:
                watchdog.check(gst_pipeline, now)
            except Exception:  # noqa: BLE001  (a watchdog must never end dispatch)
                logger.exception("stall watchdog of %s failed", gst_pipeline.get_name())


class _Dispatch:
    """The one thread that waits on every watched bus (see the module)."""

    def __init__(self):
        self.keep_alive = lambda: False
        self._reset()

    def _reset(self):
        self._lock = threading.Lock()
        self._dispatchers = {}  # bus poll fd -> BusDispatcher
        self._thread = None
        self._epoll = None
        self._wake_r = self._wake_w = None
        self._supervise_at = None

    def register(self, dispatcher):
        with self._lock:
            self._ensure_running()
            self._dispatchers[dispatcher._fd] = dispatcher
            self._epoll.register(dispatcher._fd, select.EPOLLIN)

    def unregister(self, dispatcher):
        with self._lock:
            if self._dispatchers.get(dispatcher._fd) is dispatcher:
                del self._dispatchers[dispatcher._fd]
                try:
                    self._epoll.unregister(dispatcher._fd)
                except (OSError, ValueError):  # not registered, or closed at fork
                    pass
        self.wake()

    def saturated(self):
        """The workers are all busy while work waits: supervise them."""
        with self._lock:
            self._ensure_running()
            self._supervise_at = time.monotonic()
        self.wake()

    def wake(self):
        """Lets the thread look at its registrations and timers again."""
        fd = self._wake_w
        if fd is not None:
            try:
                os.write(fd, b"x")
            except (BlockingIOError, OSError):  # full (a wake is pending) or closed
                pass

    def _ensure_running(self):
        """Starts the thread if it does not run; call with the lock held."""
        if self._epoll is None:
            self._epoll = select.epoll()
            self._wake_r, self._wake_w = os.pipe()
            os.set_blocking(self._wake_r, False)
            os.set_blocking(self._wake_w, False)
            self._epoll.register(self._wake_r, select.EPOLLIN)
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="mivelo-bus", daemon=True)
            self._thread.start()

    def _timeout(self, now, next_tick):
        with self._lock:
            deadlines = [t for t in (next_tick, self._supervise_at) if t is not None]
        return max(0.0, min(deadlines) - now) if deadlines else -1

    def _run(self):
        next_tick = None
        while True:
            with self._lock:
                if not self._dispatchers and self._supervise_at is None \
                        and not self.keep_alive():
                    self._thread = None
                    return
                epoll = self._epoll
                ticking = any(d._watchdogs for d in self._dispatchers.values())
            now = time.monotonic()
            if not ticking:
                next_tick = None
            elif next_tick is None:
                next_tick = now + BUS_POLL_SECONDS
            try:
                events = epoll.poll(self._timeout(now, next_tick))
            except InterruptedError:
                continue
            for fd, _ in events:
                if fd == self._wake_r:
                    self._drain_wakes()
                    continue
                with self._lock:
                    dispatcher = self._dispatchers.get(fd)
                if dispatcher is not None:
                    self._safely(dispatcher._drain)
            now = time.monotonic()
            if next_tick is not None and now >= next_tick:
                next_tick = now + BUS_POLL_SECONDS
                with self._lock:
                    dispatchers = list(self._dispatchers.values())
                for dispatcher in dispatchers:
                    self._safely(lambda: dispatcher._tick(now))
            self._supervise(now)

    def _supervise(self, now):
        with self._lock:
            due = self._supervise_at is not None and now >= self._supervise_at
            if due:
                self._supervise_at = None
        if not due:
            return
        again = POOL.supervise(now)
        if again is not None:
            with self._lock:
                if self._supervise_at is None or again < self._supervise_at:
                    self._supervise_at = again

    def _drain_wakes(self):
        try:
            while os.read(self._wake_r, 4096):
                pass
        except (BlockingIOError, OSError):
            pass

    @staticmethod
    def _safely(step):
        try:
            step()
        except Exception:  # noqa: BLE001  (dispatch must go on for the other pipelines)
            logger.exception("bus dispatch failed")


_DISPATCH = _Dispatch()
POOL.on_saturated = _DISPATCH.saturated


def watched_buses():
    """The poll file descriptors of the buses that the dispatch watches."""
    with _DISPATCH._lock:
        return set(_DISPATCH._dispatchers)


def wake_when_idle():
    """Called when the last pipeline has gone: the threads end if idle."""
    _DISPATCH.wake()
    POOL.wake_idle()


def set_keep_alive(predicate):
    """Whether a pipeline is still open, asked by the threads before they end."""
    _DISPATCH.keep_alive = predicate
    POOL.keep_alive = predicate


def _message_type_name(message):
    try:
        return Gst.MessageType.get_name(message.type)
    except Exception:  # noqa: BLE001  (only used for log text)
        return str(message.type)


if hasattr(os, "register_at_fork"):
    # A forked child has none of the parent's threads, and shares its epoll.
    os.register_at_fork(after_in_child=_DISPATCH._reset)
