"""Many readers, one thread: ``ReaderSet``, and reading in an asyncio loop.

A ``ReaderSet`` holds readers whose frames one thread (or one event loop)
takes as they come, each with its reader::

    with ReaderSet(StreamReader(url) for url in urls) as readers:
        for reader, frame in readers:           # or: async for ... in readers
            ...

Underneath is a hub: one ``Waker`` (an eventfd, see
``mivelo.stream_reader.waker``) that every reader's ``Watch`` marks from
GStreamer's threads when a frame reaches its sink, the stream ends, or a bus
message or ``close()`` changes it. The waiting thread sleeps in C++ with the
interpreter lock released, or the event loop watches the eventfd with
``add_reader``; no thread is started per reader or per wait. Then the hub
takes the marked readers and looks at each (``StreamReader._step``): a pull
that does not wait, the verdict on a pull without a frame, and a reconnect
once its pause is over, built without waiting for GStreamer (``without_
waiting``); a reader that needs a look at a later time (the end of its
pause before a reconnect) gets a timer. A stall needs none: the stall
watchdog's ERROR on the reader's bus marks it.

Fairness: the readers with something to look at are served in turn, one
frame each, and one that gave a frame goes to the back of the line, so a
camera at 30 fps cannot starve one at 1 fps. Reconnects, stalls and ends
behave as with ``read()``; a reader that ends or is closed leaves the set,
and one that gives up leaves it and its ``StreamFailedError`` is raised,
with the reader as its ``reader`` attribute: catch it and go on reading the
others. A reader belongs to one set at a time; ``read()`` on it meanwhile
is allowed (the set passes over it while it runs, and looks again when it
returns).

``StreamReader.read_async()`` (and ``async for frame in reader``) use a hub
of the reader's own in the same way.
"""
import collections
import heapq
import itertools
import threading
import time
import weakref

from mivelo.stream_reader.options import seconds
from mivelo.stream_reader.reader import _DONE, StreamFailedError, StreamReader
from mivelo.stream_reader.waker import Waker
from mivelo.utils.gstreamer import without_waiting

__all__ = ["ReaderSet"]

# Keys of readers in hubs, never used twice in a process: a mark made for a
# reader that has left cannot be taken for another.
_keys = itertools.count(1)


class _Hub:
    """Readers whose marks one Waker collects, looked at in turn."""

    def __init__(self, owner):
        # The ReaderSet (weakly: one dropped without close() lets its readers
        # join another), or None for a reader's own hub.
        self._owner = weakref.ref(owner) if owner is not None else None
        self.waker = Waker()
        self._lock = threading.Lock()
        self._members = {}  # key -> reader
        self._keys = {}  # id(reader) -> key
        self._turns = collections.OrderedDict()  # keys to look at, in turn
        # Frames known to wait in a reader's sink (the samples that arrived
        # since it was last found empty); None: not known, look until empty.
        self._waiting = {}
        self._timers = []  # heap of (when, key)
        self._due = {}  # key -> when its timer is due
        self._sleepers = 0  # threads in wait()
        self._missed = set()  # keys passed over while their reader was busy
        self.loops = weakref.WeakKeyDictionary()  # event loop -> futures waiting in it

    def __len__(self):
        return len(self._members)

    @property
    def owner(self):
        return self._owner() if self._owner is not None else None

    def readers(self):
        with self._lock:
            return list(self._members.values())

    def contains(self, reader):
        return id(reader) in self._keys

    def add(self, reader):
        """Makes ``reader`` a member (its watch marks this hub's Waker)."""
        if not isinstance(reader, StreamReader):
            raise TypeError(f"a ReaderSet holds StreamReaders, not {type(reader).__name__}")
        with reader._lock:
            hub = reader._hub
            if hub is self:
                return
            if hub is not None and hub.owner is not None:
                raise ValueError(f"{reader!r} is in another ReaderSet already")
            if hub is not None and hub.waits_in_a_loop():
                raise RuntimeError(f"{reader!r} is being read with read_async()")
            if hub is not None:
                hub.drop(reader)
            key = next(_keys)
            with self._lock:
                self._members[key] = reader
                self._keys[id(reader)] = key
            reader._hub = self
            # Marks it at once: it is looked at first thing.
            reader._watch.target(self.waker, key)

    def remove(self, reader):
        """Lets go of ``reader`` (its watch marks nothing any more)."""
        with reader._lock:
            if reader._hub is self:
                reader._hub = None
                reader._watch.target(None, 0)
        self.drop(reader)

    def drop(self, reader):
        with self._lock:
            key = self._keys.pop(id(reader), None)
            if key is not None:
                del self._members[key]
                self._turns.pop(key, None)
                self._due.pop(key, None)
                self._missed.discard(key)
                self._waiting.pop(key, None)
            emptied = key is not None and not self._members
        if emptied:
            # Marked even when nobody waits yet: a read about to sleep on the
            # hub then returns None, and a loop that watches it lets go
            # (_readable).
            self.waker.wake()

    # -- looking at the readers ---------------------------------------------------

    def _collect(self, now):
        """Puts the marked readers, and those whose timer is due, in line."""
        taken = self.waker.take()
        with self._lock:
            for key, samples in taken:
                if key not in self._members:
                    continue
                known = self._waiting.get(key, 0)
                self._waiting[key] = None if samples is None or known is None else known + samples
                if key not in self._turns:
                    self._turns[key] = None
            timers = self._timers
            while timers and timers[0][0] <= now:
                when, key = heapq.heappop(timers)
                if self._due.get(key) == when:
                    del self._due[key]
                    if key in self._members and key not in self._turns:
                        self._turns[key] = None

    def next_frame(self):
        """The next ``(reader, frame)`` of a reader in line, or None when no
        reader has one now. Raises the ``StreamFailedError`` of a reader that
        gave up (it has left the hub)."""
        self._collect(time.monotonic())
        with without_waiting():
            while True:
                with self._lock:
                    if not self._turns:
                        return None
                    key, _ = self._turns.popitem(last=False)
                    reader = self._members[key]
                got = self._look_at(key, reader)
                if got is not None:
                    return got

    def _look_at(self, key, reader):
        reading = reader._reading
        if not reading.acquire(blocking=False):
            # Busy: read() marks the reader again when it returns; this hub
            # on another thread looks for the note when it lets go. Tried
            # again after the note, which may have come too late for it.
            with self._lock:
                self._missed.add(key)
            if not reading.acquire(blocking=False):
                return None
            with self._lock:
                self._missed.discard(key)
        try:
            frame, again = reader._step()
        except StreamFailedError as error:
            self.remove(reader)
            error.reader = reader
            raise
        finally:
            reading.release()
            if self._missed:
                with self._lock:
                    missed = key in self._missed
                    self._missed.discard(key)
                if missed:
                    reader._watch.notify()
        if frame is not None:
            with self._lock:
                waiting = self._waiting.get(key)
                if waiting is not None:
                    waiting = self._waiting[key] = max(0, waiting - 1)
                if waiting != 0 and key in self._members:
                    self._turns[key] = None  # more may wait: its next turn
                if self._sleepers and self._turns:
                    self.waker.wake()  # for a thread that sleeps while some wait in line
            return reader, frame
        if again is _DONE:
            self.remove(reader)
            return None
        with self._lock:
            if key in self._waiting:
                self._waiting[key] = 0  # found empty
            if again is not None and key in self._members \
                    and self._due.get(key, again + 1) > again:
                self._due[key] = again
                heapq.heappush(self._timers, (again, key))
        return None

    def next_look(self):
        """The ``time.monotonic()`` of the next timer, or None."""
        with self._lock:
            while self._timers and self._due.get(self._timers[0][1]) != self._timers[0][0]:
                heapq.heappop(self._timers)
            return self._timers[0][0] if self._timers else None

    def sleep(self, until):
        """Waits (the interpreter lock released) for a mark, ``until`` a
        ``time.monotonic()`` value or None."""
        with self._lock:
            self._sleepers += 1
        try:
            self.waker.wait(None if until is None else max(0.0, until - time.monotonic()))
        finally:
            with self._lock:
                self._sleepers -= 1

    async def sleep_async(self, until):
        """The same in the running event loop: until a mark (the Waker's
        eventfd, watched with ``add_reader``), or ``until``."""
        import asyncio

        loop = asyncio.get_running_loop()
        future = loop.create_future()
        waiting = self.loops.get(loop)
        if waiting is None:
            # Watched from now on, between waits too, until a mark finds
            # nobody waiting in this loop (see _readable).
            waiting = self.loops[loop] = set()
            loop.add_reader(self.waker.fileno(), self._readable, loop)
        waiting.add(future)
        timer = None
        if until is not None:
            timer = loop.call_at(loop.time() + max(0.0, until - time.monotonic()),
                                 _wake, future)
        try:
            await future
        finally:
            if timer is not None:
                timer.cancel()
            waiting.discard(future)

    def waits_in_a_loop(self):
        return any(self.loops.values())

    def _readable(self, loop):
        """A mark, in ``loop``: its waits look, and the marks are taken (so
        that the eventfd is not readable for nothing); when nobody waits in
        the loop any more, or no reader is left (the last one leaving marks
        it), it stops watching (a set or reader given up without ``close()``,
        or read to its end, is not kept by the loop for long)."""
        waiting = self.loops.get(loop)
        if not waiting or not self._members:
            self.loops.pop(loop, None)
            loop.remove_reader(self.waker.fileno())
        self._collect(time.monotonic())
        with self._lock:
            if self._sleepers and self._turns:
                self.waker.wake()  # a thread sleeps on the same set
        for future in list(waiting or ()):
            _wake(future)


def _wake(future):
    if not future.done():
        future.set_result(None)


def _deadline(timeout):
    if timeout is None:
        return None
    timeout = seconds(timeout)
    return None if timeout is None else time.monotonic() + timeout


def _until(hub, deadline):
    look = hub.next_look()
    if deadline is None:
        return look
    return deadline if look is None else min(look, deadline)


_WAIT = object()


def _read_now(hub, deadline, closed=False):
    """What a read of ``hub`` gets now: ``(reader, frame)``; None when it
    ends without one (the hub closed or emptied, or ``deadline`` passed);
    or ``_WAIT``: sleep until ``_until(hub, deadline)`` and look again."""
    got = hub.next_frame()
    if got is not None:
        return got
    if closed or not len(hub):
        return None
    if deadline is not None and time.monotonic() >= deadline:
        return None
    return _WAIT


class ReaderSet:
    """Readers whose frames one thread, or one event loop, takes as they come.

    ``ReaderSet(readers=())`` takes the ``StreamReader``s of an iterable;
    ``add()`` and ``remove()`` change it from any thread, while a wait runs
    too. ``read(timeout=None)`` returns the next ``(reader, frame)`` of any of
    them, or None when ``timeout`` seconds pass, or once the set is empty or
    closed; iterating yields pairs until it is empty or closed, and ``async
    for`` and ``await read_async()`` do the same in an asyncio loop. A reader
    that gives up leaves the set and raises its ``StreamFailedError`` (with
    ``.reader``) from the read; a reader that ends or is closed leaves it
    quietly. ``close()``, or leaving a ``with`` block, closes every reader in
    it. See the module's docstring for how it waits and why it is fair.
    """

    def __init__(self, readers=()):
        self._hub = _Hub(self)
        self._closed = False
        try:
            for reader in readers:
                self.add(reader)
        except BaseException:
            for reader in self._hub.readers():  # free to join another set
                self._hub.remove(reader)
            raise

    def add(self, reader):
        """Adds a reader (ValueError if it is in another set already)."""
        if self._closed:
            raise RuntimeError("the ReaderSet is closed")
        self._hub.add(reader)

    def remove(self, reader):
        """Takes a reader out (KeyError if it is not in the set); it stays open."""
        if not self._hub.contains(reader):
            raise KeyError(reader)
        self._hub.remove(reader)

    def __contains__(self, reader):
        return self._hub.contains(reader)

    def __len__(self):
        return len(self._hub)

    def __bool__(self):
        return len(self._hub) > 0

    @property
    def readers(self):
        """The readers in the set, as a list."""
        return self._hub.readers()

    def read(self, timeout=None):
        """The next ``(reader, frame)``; None after ``timeout`` seconds (None:
        no limit), or at once when the set is (or becomes) empty or closed."""
        deadline = _deadline(timeout)
        hub = self._hub
        while True:
            got = _read_now(hub, deadline, self._closed)
            if got is not _WAIT:
                return got
            hub.sleep(_until(hub, deadline))

    async def read_async(self, timeout=None):
        """``read()`` in the running asyncio loop, without blocking it.
        Cancelling it loses no frame."""
        deadline = _deadline(timeout)
        hub = self._hub
        while True:
            got = _read_now(hub, deadline, self._closed)
            if got is not _WAIT:
                return got
            await hub.sleep_async(_until(hub, deadline))

    def __iter__(self):
        return self

    def __next__(self):
        got = self.read()
        if got is None:
            raise StopIteration
        return got

    def __aiter__(self):
        return self

    async def __anext__(self):
        got = await self.read_async()
        if got is None:
            raise StopAsyncIteration
        return got

    def close(self):
        """Closes every reader in the set and empties it; a read waiting
        then returns None."""
        self._closed = True
        for reader in self._hub.readers():
            self._hub.remove(reader)
            reader.close()
        self._hub.waker.wake()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def __repr__(self):
        state = "closed" if self._closed else f"{len(self)} readers"
        return f"<{type(self).__name__} {state}>"


def _refuse_in_a_set(reader):
    hub = reader._hub
    if hub is not None and hub.owner is not None:
        raise RuntimeError(f"{reader!r} is in a ReaderSet: read its frames from the set")


async def read_one(reader, timeout):
    """``StreamReader.read_async``: one reader through a hub of its own."""
    _refuse_in_a_set(reader)
    hub = reader._hub
    if hub is None:
        hub = _Hub(None)
        hub.add(reader)
    if timeout is None:
        timeout = reader._options.read_timeout
    deadline = _deadline(timeout)
    while True:
        got = _read_now(hub, deadline)
        if got is not _WAIT:
            if got is None:
                # Another thread may have moved it into a set meanwhile,
                # which empties its own hub: no end of the reader.
                _refuse_in_a_set(reader)
                return None
            return got[1]
        await hub.sleep_async(_until(hub, deadline))
