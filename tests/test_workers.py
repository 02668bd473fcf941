"""The package's threads: a constant few for any number of pipelines, each
pipeline's work in order, and a call that blocks (a slow watcher, a source
blocked in a state change) holds up its own pipeline only."""
import gc
import os
import threading
import time

import pytest

from helpers import BusRecorder, mivelo_threads, needs_gst, wait_until
from mivelo.utils._gst import workers
from mivelo.utils._gst.workers import Pool
from mivelo.utils.gstreamer import Pipeline

from gi.repository import Gst  # noqa: I100

# How late a blocked lane may make the others: the stuck time, the
# dispatcher's look, and room for a loaded machine.
BOUND = workers.STUCK_SECONDS + 2.5


@pytest.fixture
def pool():
    made = Pool(size=2, name="test-pool")
    made.keep_alive = lambda: True
    yield made
    made.keep_alive = lambda: False
    made.wake_idle()
    assert wait_until(lambda: made.workers == 0, 5)


class TestPool:
    def test_each_lane_in_order_and_lanes_side_by_side(self, pool):
        got = {name: [] for name in "abcd"}
        both = threading.Barrier(2, timeout=5)
        lanes = {name: pool.lane(name) for name in got}
        # a and b each wait for the other: they must run at the same time.
        lanes["a"].submit(both.wait)
        lanes["b"].submit(both.wait)
        for n in range(200):
            for name, lane in lanes.items():
                lane.submit(lambda name=name, n=n: got[name].append(n))
        assert all(lane.wait_idle(5) for lane in lanes.values())
        assert got == {name: list(range(200)) for name in got}
        assert pool.workers <= 2

    def test_a_stuck_call_gets_a_worker_in_its_place(self, pool):
        release = threading.Event()
        ran = []
        for name in ("stuck 1", "stuck 2"):
            pool.lane(name).submit(release.wait)
        waiting = pool.lane("waiting")
        waiting.submit(lambda: ran.append(time.monotonic()))
        assert not waiting.wait_idle(0.2)
        # The bus dispatch calls this while work waits; at once nobody is stuck.
        assert pool.supervise(time.monotonic()) is not None
        time.sleep(workers.STUCK_SECONDS)
        assert pool.supervise(time.monotonic()) is None
        assert waiting.wait_idle(5) and ran
        assert pool.workers == 3
        release.set()
        # The worker beyond the bound ends once the stuck ones are free.
        assert wait_until(lambda: pool.workers <= 2, 5)

    def test_a_failing_call_is_logged_and_its_lane_goes_on(self, pool, caplog):
        lane = pool.lane("failing")
        got = []
        lane.submit(lambda: 1 / 0)
        lane.submit(lambda: got.append("next"))
        assert lane.wait_idle(5) and got == ["next"]
        assert any(r.exc_info and r.exc_info[0] is ZeroDivisionError for r in caplog.records)


@needs_gst
class TestPipelines:
    def test_threads_do_not_grow_with_pipelines(self):
        pipelines = []
        try:
            for _ in range(16):
                p = Pipeline.from_launch_string(
                    "videotestsrc is-live=true ! appsink name=s sync=false max-buffers=1 "
                    "drop=true", None)
                p.appsink = p.get_by_name("s")
                p.add_bus_watch(BusRecorder(), p)
                p._add_stall_watchdog(30, frame_sink=p.appsink)
                p.set_state(Gst.State.PLAYING)
                pipelines.append(p)
            assert all(p.pull_sample(5) is not None for p in pipelines)
            time.sleep(0.3)  # watchdog polls on the workers
            assert 1 <= len(mivelo_threads()) <= 1 + workers.WORKERS, mivelo_threads()
        finally:
            for p in pipelines:
                p.close()
        gc.collect()
        assert wait_until(lambda: not mivelo_threads(), 5), mivelo_threads()

    @pytest.mark.parametrize("blocked", ["watcher", "state change"])
    def test_blocked_pipelines_hold_up_no_other(self, blocked, tmp_path):
        release = threading.Event()
        fifos, stuck = [], []
        try:
            for n in range(workers.WORKERS + 1):
                if blocked == "watcher":
                    p = Pipeline.from_launch_string("videotestsrc num-buffers=3 ! fakesink", None)
                    p.add_bus_watch(lambda bus, message, data: release.wait(30), p)
                else:
                    fifos.append(tmp_path / f"camera{n}.fifo")
                    os.mkfifo(fifos[-1])
                    p = Pipeline.from_launch_string(f'filesrc location="{fifos[-1]}" ! fakesink',
                                                    None)
                p.set_state(Gst.State.PLAYING)
                stuck.append(p)
            time.sleep(0.2)  # every one of them blocked
            recorder = BusRecorder()
            started = time.monotonic()
            with Pipeline.from_launch_string("videotestsrc num-buffers=3 ! fakesink", None) as p:
                p.add_bus_watch(recorder, p)
                p.set_state(Gst.State.PLAYING)
                assert recorder.wait_for(Gst.MessageType.EOS, BOUND) is not None
            assert time.monotonic() - started < BOUND
        finally:
            release.set()
            for fifo in fifos:  # a writer lets the source's open return
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            for p in stuck:
                p.close()
        gc.collect()
        assert wait_until(lambda: not mivelo_threads(), 5), mivelo_threads()
