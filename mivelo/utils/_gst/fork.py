"""GStreamer in a process made by fork().

fork() copies only the thread that calls it. The streaming threads of
GStreamer, and the idle threads that GLib's thread pools keep for the next
task, are not in the child, but the child's copy of GLib still counts on
them: a pipeline built there hands its streaming task to a thread that is
gone and never delivers a frame (or waits for a lock that a vanished thread
held). Nothing can repair that from inside the child, so a process forked
after GStreamer started streaming refuses to build or start a pipeline, at
once, with ``ForkedProcessError``; ``check()`` is that test.

"Started streaming" means, at the moment of the fork: a pipeline of this
process (or of one it was forked from) had been asked to leave NULL through
``Pipeline.set_state`` (once is enough: whether the threads it left behind
have ended is a matter of timing, and the answer must not be), or GLib's
thread pools, which run GStreamer's streaming threads, had threads (idle
ones, or ones still named as GLib names them), which is what a pipeline
built without this package leaves behind. A process forked before either (a
worker pool made at start-up) uses GStreamer as any other; so does one
started with multiprocessing's ``spawn`` or ``forkserver`` method.
"""
import os

from gi.repository import GLib

__all__ = ["ForkedProcessError", "after_fork_in_child", "check", "note_streaming"]


class ForkedProcessError(RuntimeError):
    """GStreamer cannot run in this process: it was forked after GStreamer
    had started streaming in its parent."""


# This process (or one it was forked from) started a pipeline.
_streamed = False
# Whether the parent had streamed when it forked, as the parent saw it.
_streamed_at_fork = False
# The parent's process id, in a process forked after streaming.
_forked_from = None
# What runs in a process forked after streaming, right after the fork.
_child_hooks = []


def note_streaming():
    """Called before a pipeline is asked to leave NULL."""
    global _streamed
    _streamed = True


def after_fork_in_child(hook):
    """Calls ``hook()`` in every process forked after streaming, first thing."""
    _child_hooks.append(hook)


def check():
    """Raises ``ForkedProcessError`` in a process forked after streaming."""
    if _forked_from is not None:
        raise ForkedProcessError(
            f"GStreamer cannot be used in this process: it was forked from process "
            f"{_forked_from} after GStreamer had started streaming there, and GStreamer's "
            "threads do not survive fork(), so a pipeline built here would never deliver. "
            "Start worker processes with multiprocessing's 'spawn' or 'forkserver' start "
            "method (multiprocessing.get_context('spawn')), or fork them before the parent "
            "streams")


def _glib_pool_threads():
    """Whether GLib's thread pools have threads in this process."""
    try:
        if GLib.ThreadPool.get_num_unused_threads() > 0:
            return True
    except Exception:  # noqa: BLE001  (a gi without it: the names still tell)
        pass
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:  # not Linux: the idle count has to do
        return False
    for task in tasks:
        try:
            with open(f"/proc/self/task/{task}/comm", "rb") as comm:
                # "pool-<program>", or "pool-spawner"
                if comm.read().startswith(b"pool"):
                    return True
        except OSError:  # the thread ended meanwhile
            pass
    return False


def _before_fork():
    # In the parent, while every thread still runs: the child must not call
    # into GLib before it knows.
    global _streamed_at_fork
    _streamed_at_fork = _streamed or _glib_pool_threads()


def _after_fork_in_child():
    global _forked_from, _streamed
    if not _streamed_at_fork:
        return
    if _forked_from is None:
        _forked_from = os.getppid()
    _streamed = True
    for hook in _child_hooks:
        hook()


os.register_at_fork(before=_before_fork, after_in_child=_after_fork_in_child)
