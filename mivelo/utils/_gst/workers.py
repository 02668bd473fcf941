"""The few threads that run the package's work for every pipeline.

Work for one pipeline is queued on a ``Lane`` of that pipeline (one for its
bus messages, one for its state changes and its release). A lane runs its
calls one at a time, in the order they were queued; the lanes of all
pipelines share the workers of one ``Pool`` ("mivelo-worker-<n>"), at most
``WORKERS`` of them in the normal course. A worker runs up to ``BATCH`` calls
of a lane and then lets the other lanes that wait have their turn.

A call may block: a bus watcher that sleeps, a source that blocks in a state
change (a FIFO without a writer). Once a call has run for ``STUCK_SECONDS``
its worker no longer counts against the ``WORKERS``: while other lanes wait,
``supervise()`` (called by the bus dispatcher, ``bus``) starts a worker in its
place, and a worker beyond the bound ends when it finds itself surplus after
its call. So a blocked lane holds up its own pipeline only, the others wait at
most about ``STUCK_SECONDS`` plus the dispatcher's tick for it, and threads
beyond ``WORKERS`` exist only while calls are blocked, one per blocked lane.

Workers start when work comes and end once no work is left and no pipeline
is open (``keep_alive``), so no thread of the package outlives the pipelines
it served.
"""
import collections
import os
import threading
import time

from mivelo import logger

# Workers that run calls side by side in the normal course.
WORKERS = 4
# A call running this long no longer counts against WORKERS.
STUCK_SECONDS = 0.5
# Calls of one lane that a worker runs before the lanes waiting behind it.
BATCH = 16
# How often an idle worker looks whether it is still wanted, besides being told.
_IDLE_CHECK_SECONDS = 5.0


class Lane:
    """Calls for one pipeline, run one at a time in the order they were queued."""

    __slots__ = ("_pool", "_calls", "_scheduled", "_running", "name")

    def __init__(self, pool, name):
        self._pool = pool
        self._calls = collections.deque()
        self._scheduled = False  # queued in the pool, or running
        self._running = None  # the worker's thread while it runs a call
        self.name = name

    def submit(self, call):
        """Queues ``call()``; what it raises is logged."""
        self._pool._submit(self, call)

    def is_current(self):
        """Whether this thread is running a call of this lane."""
        return self._running is threading.current_thread()

    def wait_idle(self, timeout):
        """Waits until the lane has nothing queued or running; False after
        ``timeout`` seconds."""
        return self._pool._wait_idle(self, timeout)


class Pool:
    """Workers shared by every lane (see the module's docstring)."""

    def __init__(self, size=WORKERS, name="mivelo-worker"):
        self._size = size
        self._name = name
        # Whether some pipeline is still open; workers stay while it is.
        self.keep_alive = lambda: False
        # Called (outside the lock) when work waits and every worker is busy.
        self.on_saturated = lambda: None
        self._reset()

    def _reset(self):
        self._lock = threading.Lock()
        self._work = threading.Condition(self._lock)
        self._finished = threading.Condition(self._lock)
        self._ready = collections.deque()  # lanes with calls, not running
        self._busy = {}  # thread -> (lane, when its call started)
        self._workers = 0
        self._idle = 0
        self._numbers = iter(range(1, 1 << 62))

    def lane(self, name):
        return Lane(self, name)

    @property
    def workers(self):
        return self._workers

    # -- queueing ---------------------------------------------------------

    def _submit(self, lane, call):
        saturated = False
        with self._lock:
            lane._calls.append(call)
            if lane._scheduled:
                return
            lane._scheduled = True
            self._ready.append(lane)
            if self._idle:
                self._work.notify()
            saturated = self._start_needed(time.monotonic())
        if saturated:
            self.on_saturated()

    def _start_needed(self, now):
        """Starts the workers that the ready lanes need, within the bound;
        True when lanes still wait for one.  Call with the lock held."""
        # Workers not running a call take a ready lane next.
        needed = len(self._ready) - (self._workers - len(self._busy))
        room = self._size - (self._workers - self._stuck(now))
        for _ in range(max(0, min(needed, room))):
            self._start_worker()
        return needed > max(room, 0)

    def _start_worker(self):
        """Starts a worker; call with the lock held."""
        thread = threading.Thread(target=self._run, daemon=True,
                                  name=f"{self._name}-{next(self._numbers)}")
        self._workers += 1
        try:
            thread.start()
        except BaseException:
            self._workers -= 1
            raise

    def _stuck(self, now):
        """Workers whose call has run for STUCK_SECONDS; call with the lock held."""
        return sum(1 for _, started in self._busy.values() if now - started >= STUCK_SECONDS)

    def supervise(self, now):
        """Starts workers in place of stuck ones while lanes wait; returns
        when to look again (a ``time.monotonic()`` value), or None."""
        with self._lock:
            if not self._start_needed(now):
                return None
            # Look again when the next busy worker would count as stuck.
            coming = [started + STUCK_SECONDS for _, started in self._busy.values()
                      if now - started < STUCK_SECONDS]
            return min(coming) if coming else now + STUCK_SECONDS

    def wake_idle(self):
        """Lets idle workers see that no pipeline is left (they end then)."""
        with self._lock:
            self._work.notify_all()

    def _wait_idle(self, lane, timeout):
        deadline = time.monotonic() + timeout
        with self._lock:
            while lane._scheduled:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self._finished.wait(remaining)
            return True

    # -- the workers --------------------------------------------------------

    def _next_lane(self):
        """The next lane to run, or None when this worker should end; call
        with the lock held."""
        while not self._ready:
            surplus = self._workers - self._stuck(time.monotonic()) > self._size
            if surplus or not self.keep_alive():
                return None
            self._idle += 1
            try:
                # Woken for work, and by wake_idle() when the last pipeline goes.
                self._work.wait(_IDLE_CHECK_SECONDS)
            finally:
                self._idle -= 1
        return self._ready.popleft()

    def _run(self):
        me = threading.current_thread()
        with self._lock:
            lane = self._next_lane()
        try:
            while lane is not None:
                self._run_lane(lane, me)
                with self._lock:
                    if self._workers - self._stuck(time.monotonic()) > self._size:
                        break
                    lane = self._next_lane()
        finally:
            with self._lock:
                self._workers -= 1
                # Work that came in while it was ending.
                self._start_needed(time.monotonic())

    def _run_lane(self, lane, me):
        for _ in range(BATCH):
            with self._lock:
                if not lane._calls:
                    lane._scheduled = False
                    self._finished.notify_all()
                    return
                call = lane._calls.popleft()
                self._busy[me] = (lane, time.monotonic())
                lane._running = me
            try:
                call()
            except BaseException:  # noqa: B036  (a call must never end a worker)
                logger.exception("%s failed in %s", call, lane.name)
            finally:
                call = None
                with self._lock:
                    lane._running = None
                    del self._busy[me]
        with self._lock:
            if lane._calls:
                self._ready.append(lane)
            else:
                lane._scheduled = False
                self._finished.notify_all()


# The one pool of the process.
POOL = Pool()

if hasattr(os, "register_at_fork"):
    # A forked child has none of the parent's threads.
    os.register_at_fork(after_in_child=POOL._reset)
