"""The waker module: appsinks' samples and ends mark their watch ready in its
Waker, from GStreamer's threads without Python; one thread waits for many."""
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import needs_gst

pytestmark = needs_gst

from mivelo.stream_reader.frame import pull  # noqa: E402  (after the mark: needs gi)
from mivelo.stream_reader.waker import Waker, Watch  # noqa: E402
from mivelo.utils.gstreamer import Pipeline  # noqa: E402

from gi.repository import Gst  # noqa: E402,I100

PUSHED = ("appsrc name=src format=time caps=video/x-raw,format=GRAY8,width=4,height=2,"
          "framerate=0/1 ! appsink name=sink sync=false max-buffers=100")


class Sink:
    """An appsink that gets a frame (or the end) when the test pushes one."""

    def __init__(self):
        self.pipeline = Pipeline.from_launch_string(PUSHED, None)
        self.sink = self.pipeline.get_by_name("sink")
        self.src = self.pipeline.get_by_name("src")
        self.pipeline.set_state(Gst.State.PLAYING)
        self.pulled = 0

    def push(self):
        self.src.emit("push-buffer", Gst.Buffer.new_wrapped(bytes(8)))

    def pull_all(self):
        while pull(self.sink, 0, self.pulled) is not None:
            self.pulled += 1
        return self.pulled


@pytest.fixture
def sinks():
    made = []
    yield lambda: made.append(Sink()) or made[-1]
    for sink in made:
        sink.pipeline.close()


def watched(waker, sink, key):
    watch = Watch()
    watch.target(waker, key)
    watch.attach(sink.sink)
    waker.take()  # the marks of target() and attach()
    return watch


class TestMarks:
    def test_ready_at_once_when_targeted_or_attached(self, sinks):
        waker, watch = Waker(), Watch()
        assert not waker.wait(0) and waker.take() == []
        watch.target(waker, 3)
        assert waker.wait(0) and waker.take() == [(3, None)] and not waker.wait(0)
        watch.attach(sinks().sink)
        assert waker.take() == [(3, None)]  # how many frames wait there is not known

    def test_each_frame_after_a_take_marks_again_once(self, sinks):
        waker, sink = Waker(), sinks()
        watch = watched(waker, sink, 1)
        for pushed in range(1, 4):
            sink.push()
            assert waker.wait(5.0) and waker.take() == [(1, 1)]
            assert not waker.wait(0.05)  # nothing new: no mark
            assert sink.pull_all() == pushed
        for _ in range(3):  # listed once, each counted
            sink.push()
        time.sleep(0.1)
        assert waker.take() == [(1, 3)] and sink.pull_all() == 6
        watch.notify()
        assert waker.take() == [(1, None)]

    def test_the_end_of_the_stream_marks(self, sinks):
        waker, sink = Waker(), sinks()
        watch = watched(waker, sink, 9)
        sink.src.emit("end-of-stream")
        assert waker.wait(5.0) and waker.take() == [(9, None)]

    def test_a_dropped_watch_marks_nothing(self, sinks):
        waker, sink = Waker(), sinks()
        watched(waker, sink, 1)  # dropped at once; the sink keeps its callbacks
        sink.push()
        assert not waker.wait(0.2) and sink.pull_all() == 1

    def test_a_watch_marks_only_the_waker_it_targets_now(self, sinks):
        first, second, sink = Waker(), Waker(), sinks()
        watch = watched(first, sink, 1)
        sink.push()
        assert first.wait(5.0)  # listed in the first, not yet taken
        watch.target(second, 2)
        assert first.take() == [] and second.take() == [(2, None)]
        watch.target(None, 0)
        sink.push()
        time.sleep(0.1)
        assert first.take() == [] and second.take() == []


class TestWaiting:
    @pytest.mark.parametrize("timeout", [0, 0.2])
    def test_a_wait_without_marks_lasts_its_timeout(self, timeout):
        waker = Waker()
        started = time.monotonic()
        assert waker.wait(timeout) is False
        assert timeout <= time.monotonic() - started < timeout + 1.0

    def test_wake_ends_a_wait(self):
        waker = Waker()
        waker.wake()
        assert waker.wait(None) is True and waker.take() == []
        assert waker.wait(0) is False

    def test_one_thread_gets_every_frame_of_many_sinks(self, sinks):
        waker = Waker()
        made = [sinks() for _ in range(8)]
        watches = [watched(waker, sink, key) for key, sink in enumerate(made)]
        for _ in range(20):
            for sink in made:
                sink.push()
        deadline = time.monotonic() + 10
        while sum(sink.pulled for sink in made) < 160 and time.monotonic() < deadline:
            if waker.wait(1.0):
                for key, _ in waker.take():
                    made[key].pull_all()
        assert [sink.pulled for sink in made] == [20] * 8
        del watches

    def test_ctrl_c_ends_a_wait(self):
        script = textwrap.dedent("""
            import os, signal, threading, time
            signal.signal(signal.SIGINT, signal.default_int_handler)
            from mivelo.stream_reader.waker import Waker
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            started = time.monotonic()
            try:
                Waker().wait(30)
            except KeyboardInterrupt:
                print(round(time.monotonic() - started, 1))
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        assert 0 < float(done.stdout) < 5

    def test_a_take_that_runs_out_of_memory_loses_no_mark(self):
        # In a process of its own: every allocation fails while take() runs.
        script = textwrap.dedent("""
            import _testcapi
            from mivelo.stream_reader.waker import Waker, Watch
            waker, watches = Waker(), [Watch() for _ in range(3)]
            for key, watch in enumerate(watches):
                watch.target(waker, 1000 + key)
            _testcapi.set_nomemory(0, 0)
            try:
                waker.take()
            except MemoryError:
                failed = True
            finally:
                _testcapi.remove_mem_hooks()
            print(failed, waker.wait(0), waker.take())
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        # Each is ready again, how many frames wait there not known.
        assert done.stdout.split(" ", 2) == [
            "True", "True", "[(1000, None), (1001, None), (1002, None)]\n"]

    @pytest.mark.parametrize("call, error, match", [
        (lambda w, s: w.wait("1"), TypeError, "number of seconds or None, not str"),
        (lambda w, s: w.wait(True), TypeError, "not bool"),
        (lambda w, s: w.wait(-1), ValueError, "at least 0"),
        (lambda w, s: w.wait(float("nan")), ValueError, "at least 0"),
        (lambda w, s: Watch().target(w, -1), ValueError, "key must be from 0 to 2\\*\\*64-1"),
        (lambda w, s: Watch().target(w, 2 ** 64), ValueError, "key must be from 0"),
        (lambda w, s: Watch().target(w, 1.0), TypeError, "key must be an int, not float"),
        (lambda w, s: Watch().target(object(), 1), TypeError, "needs a Waker or None"),
        (lambda w, s: Watch().attach(s.pipeline.gst_pipeline), TypeError, "needs an appsink"),
        (lambda w, s: Watch().attach(None), TypeError, "needs an appsink"),
        (lambda w, s: Waker(1), TypeError, "takes no arguments"),
        (lambda w, s: Watch(key=1), TypeError, "takes no arguments"),
    ])
    def test_misuse_is_refused(self, sinks, call, error, match):
        with pytest.raises(error, match=match):
            call(Waker(), sinks())


class TestLifetimes:
    def test_watch_and_waker_dropped_while_frames_come(self):
        # The appsink holds what its callbacks need: nothing it calls is freed.
        p = Pipeline.from_launch_string(
            "videotestsrc is-live=true ! video/x-raw,format=BGR,framerate=100/1 ! appsink name=s "
            "sync=false max-buffers=1 drop=true", None)
        with p:
            p.set_state(Gst.State.PLAYING)
            for _ in range(20):
                waker, watch = Waker(), Watch()
                watch.target(waker, 1)
                watch.attach(p.get_by_name("s"))
                del waker
                time.sleep(0.005)
                del watch
            assert pull(p.get_by_name("s"), 5.0, 0) is not None


# ---------------------------------------------------------------------------
# Every path, checked for leaks (tests/leaks.py); the module has no model

import leaks  # noqa: E402,I100
from mivelo.stream_reader import waker as waker_module  # noqa: E402

PATHS = leaks.Cases(waker_module, model=False)
WAKER, WATCH = "Waker", "Watch"


def waker_round(target, launch):
    sink = launch(PUSHED)[1]
    waker = target.Waker()

    def run():
        watch = target.Watch()
        watch.target(waker, 7)
        watch.attach(sink)
        watch.notify()
        waker.wake()
        waker.wait(0)
        waker.take()
        waker.wait(0.0)
        waker.fileno()
        watch.target(None, 0)
    return run, [sink, waker]


def waker_wrong(call):
    def make(target):
        waker, watch = target.Waker(), target.Watch()
        return (lambda: call(target, waker, watch)), [waker, watch]
    return make


PATHS.add("watch a sink, mark, wait and take", [WAKER, WATCH], waker_round, n=1000,
          fixtures=("launch",))
for _id, _covers, _call, _error, _match in [
    ("a wait with a str timeout", WAKER, lambda m, w, s: w.wait("1"), TypeError,
     "number of seconds"),
    ("a wait with a negative timeout", WAKER, lambda m, w, s: w.wait(-1.0), ValueError,
     "at least 0"),
    ("arguments to the types", [WAKER, WATCH], lambda m, w, s: m.Waker(1), TypeError,
     "takes no arguments"),
    ("a watch of no appsink", WATCH, lambda m, w, s: s.attach(1), TypeError, "needs an appsink"),
    ("a watch of no waker", WATCH, lambda m, w, s: s.target(1, 1), TypeError, "needs a Waker"),
    ("a key out of range", WATCH, lambda m, w, s: s.target(w, -1), ValueError,
     "key must be from"),
    ("a key of another type", WATCH, lambda m, w, s: s.target(w, "1"), TypeError,
     "key must be an int"),
    ("target with one argument", WATCH, lambda m, w, s: s.target(w), TypeError, "target"),
]:
    PATHS.add(_id, _covers, waker_wrong(_call), raises=_error, match=_match)

test_every_path_leaks_nothing = PATHS.test()
