"""Many readers in one thread or one event loop: ReaderSet, read_async() and
async iteration, through camera restarts, failures, cancellation and
readers that come and go."""
import asyncio
import threading
import time

import pytest

from helpers import REAL_GST, HttpCamera, RtspCamera, mivelo_threads, needs_gst
from mivelo.stream_reader import ReaderSet, StreamFailedError, StreamReader
from mivelo.stream_reader.reader import _DONE
from mivelo.stream_reader.waker import Watch
from mivelo.utils._gst import state

if REAL_GST:
    from stream_server import closed_port, make_media

pytestmark = needs_gst

FAST = {"backoff_min": 0.1, "backoff_max": 0.3, "stall_timeout": 1.5}
MEDIA_FRAMES = 30
# Generous bounds for a loaded 2-core machine.
FRAME_SECONDS = 5.0


@pytest.fixture(scope="module")
def mp4_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("media") / "clip.mp4"
    path.write_bytes(make_media("mp4", width=64, height=48, frames=MEDIA_FRAMES, fps=25))
    return path


def failing_url():
    return f"http://127.0.0.1:{closed_port()}/stream.mjpg"


def run(coroutine):
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(coroutine)
    finally:
        loop.close()


def read_until(readers, enough, seconds=10.0):
    """{reader: frame indices} from reading the set until ``enough(got)``."""
    got = {reader: [] for reader in readers.readers}
    deadline = time.monotonic() + seconds
    while not enough(got) and time.monotonic() < deadline:
        pair = readers.read(0.2)
        if pair is not None:
            got.setdefault(pair[0], []).append(pair[1].index)
    assert enough(got), {r.url: (len(i), r.stats) for r, i in got.items()}
    return got


class Ready(StreamReader):
    """A reader with ``frames`` frames ready at every look, then its end."""

    def __init__(self, frames):  # noqa: super().__init__ builds a pipeline
        self._reading, self._lock = threading.Lock(), threading.Lock()
        self._watch, self._hub, self.frames = Watch(), None, frames

    def _step(self):
        if not self.frames:
            return None, _DONE
        self.frames -= 1
        return object(), None

    def close(self):
        self.frames = 0


class TestReaderSet:
    @pytest.mark.parametrize("make_camera", [HttpCamera, RtspCamera], ids=["http", "rtsp"])
    def test_a_camera_restarted_mid_wait(self, stream_server, make_camera):
        camera = make_camera()
        try:
            with ReaderSet([StreamReader(stream_server.url(), FAST) for _ in range(2)]) as readers:
                restarted = StreamReader(camera.url, FAST)
                readers.add(restarted)
                read_until(readers, lambda got: all(len(i) >= 3 for i in got.values()))
                threading.Thread(target=camera.restart, args=(1.0,)).start()
                # The others go on while the camera is down and reconnected.
                got = read_until(readers, lambda got: restarted.stats.reconnects >= 1
                                 and len(got[restarted]) >= 3)
                assert all(len(got[r]) >= 10 for r in readers.readers if r is not restarted)
                assert all(i == sorted(set(i)) for i in got.values())
        finally:
            camera.close()

    def test_fair_to_a_slow_camera(self, stream_server):
        fast = StreamReader(stream_server.url("/stream.mjpg?fps=50"))
        slow = StreamReader(stream_server.url("/stream.mjpg?fps=2"))
        with ReaderSet([fast, slow]) as readers:
            got = read_until(readers, lambda got: len(got.get(slow, ())) >= 3)
        assert len(got[fast]) >= 10 and slow.stats.dropped == 0

    def test_files_in_turn_to_their_ends(self, mp4_file):
        files = [StreamReader(str(mp4_file)) for _ in range(3)]
        first = [reader.read(FRAME_SECONDS).index for reader in files]  # all started
        with ReaderSet(files) as readers:
            order = [(reader, frame.index) for reader, frame in readers]
            assert not readers  # each left when it ended
        assert first == [0, 0, 0]
        for reader in files:
            assert [i for r, i in order if r is reader] == list(range(1, MEDIA_FRAMES))

    def test_readers_with_frames_take_turns(self):
        readers = [Ready(frames) for frames in (6, 2, 4)]
        with ReaderSet(readers) as ready:
            order = [readers.index(reader) for reader, _ in ready]
        assert order == [0, 1, 2, 0, 1, 2, 0, 2, 0, 2, 0, 0]

    def test_readers_come_and_go_while_a_thread_waits(self, stream_server):
        stalled = StreamReader(stream_server.url("/stall.mjpg"), {"stall_timeout": 30.0})
        with ReaderSet([stalled]) as readers:
            added = StreamReader(stream_server.url())
            threading.Timer(0.3, readers.add, (added,)).start()
            reader, frame = readers.read(FRAME_SECONDS)
            assert reader is added and frame.index == 0
            threading.Timer(0.3, readers.remove, (added,)).start()
            while readers.read(0.2) is not None:
                pass
            assert added not in readers and readers.read(0.1) is None
            assert added.read(FRAME_SECONDS) is not None  # left open
            threading.Timer(0.3, readers.close).start()
            assert readers.read(FRAME_SECONDS) is None and len(readers) == 0
        assert added.read(0) is not None and stalled.read(0) is None
        added.close()

    def test_a_read_returns_once_another_thread_empties_the_set(self, stream_server):
        with StreamReader(stream_server.url("/stall.mjpg"), {"stall_timeout": 30.0}) as reader:
            readers = ReaderSet([reader])
            threading.Timer(0.3, readers.remove, (reader,)).start()
            started = time.monotonic()
            assert readers.read(30.0) is None
            assert time.monotonic() - started < FRAME_SECONDS

    def test_read_on_a_member_shares_its_frames(self, stream_server):
        reader = StreamReader(stream_server.url())
        taken = []
        with ReaderSet([reader]) as readers:
            def read():
                taken.extend(reader.read(FRAME_SECONDS).index for _ in range(5))

            thread = threading.Thread(target=read)
            thread.start()
            while thread.is_alive():
                pair = readers.read(0.1)
                if pair is not None:
                    taken.append(pair[1].index)
            thread.join()
            assert sorted(taken) == sorted(set(taken)) and len(taken) >= 5

    def test_one_that_gives_up_is_reported_and_the_others_go_on(self, stream_server):
        failing = StreamReader(failing_url(), {**FAST, "max_attempts": 1})
        with ReaderSet([failing, StreamReader(stream_server.url())]) as readers:
            with pytest.raises(StreamFailedError, match="gave up on") as raised:
                while True:
                    readers.read(FRAME_SECONDS)
            assert raised.value.reader is failing and failing not in readers
            assert readers.read(FRAME_SECONDS) is not None

    def test_threads_do_not_grow_with_readers(self, stream_server):
        def others():  # besides the package's, less the test server's one per connection
            return (threading.active_count() - len(mivelo_threads())
                    - stream_server.active_connections)

        before = others()
        with ReaderSet(StreamReader(stream_server.url()) for _ in range(12)) as readers:
            read_until(readers, lambda got: all(got.values()))
            assert others() <= before, threading.enumerate()
            assert len(mivelo_threads()) <= 5  # the bus thread and four workers

    @pytest.mark.parametrize("misuse, error, match", [
        (lambda s, r: s.add(object()), TypeError, "holds StreamReaders, not object"),
        (lambda s, r: ReaderSet([r]), ValueError, "in another ReaderSet"),
        (lambda s, r: run(r.read_async()), RuntimeError, "read its frames from the set"),
        (lambda s, r: s.remove(StreamReader(failing_url())), KeyError, ""),
        (lambda s, r: s.read("1"), TypeError, "number of seconds"),
        (lambda s, r: (s.close(), s.add(r)), RuntimeError, "closed"),
        # Refused whole: the readers given before the bad one are free again.
        (lambda s, r: (s.remove(r), ReaderSet([r, None])), TypeError, "not NoneType"),
    ])
    def test_misuse_is_refused(self, misuse, error, match):
        reader = StreamReader(failing_url(), FAST)
        with ReaderSet([reader]) as readers:
            with pytest.raises(error, match=match):
                misuse(readers, reader)
            if reader in readers:
                readers.remove(reader)
            ReaderSet([reader]).close()  # whatever was refused, it may join a set

    def test_a_set_given_up_lets_its_readers_join_another(self):
        reader = StreamReader(failing_url(), FAST)
        ReaderSet([reader])  # dropped without close()
        with ReaderSet([reader]) as readers:
            assert reader in readers


class TestAsyncio:
    def test_frames_of_one_reader_and_of_many(self, stream_server, mp4_file):
        with StreamReader(str(mp4_file)) as reader:
            assert [f.index for f in run(_collect(reader))] == list(range(MEDIA_FRAMES))
        with ReaderSet(StreamReader(stream_server.url()) for _ in range(4)) as readers:
            got = run(_pairs(readers, 20))
            assert {r for r, _ in got} == set(readers.readers)

    def test_cancelled_waits_lose_no_frame(self, mp4_file):
        async def main(reader):
            got, cancelled = [], 0
            while True:
                try:  # cancelled before it starts, while it waits, or not at all
                    timeout = (0, 0.001, 0.003, 5.0)[(len(got) + cancelled) % 4]
                    frame = await asyncio.wait_for(reader.read_async(), timeout)
                except asyncio.TimeoutError:
                    cancelled += 1
                    continue
                if frame is None:
                    return got, cancelled
                got.append(round(frame.pts * 25))

        with StreamReader(str(mp4_file)) as reader:
            got, cancelled = run(main(reader))
        assert got == list(range(MEDIA_FRAMES)) and cancelled > 0

    def test_a_reader_taken_into_a_set_between_looks_is_refused(self, monkeypatch):
        # Another thread adds the reader to a set while its read_async()
        # looks rather than waits (the wait itself makes add() refuse).
        from mivelo.stream_reader import reader_set

        class Idle(Ready):
            def _step(self):
                return None, None  # no frame yet, no end

            def __repr__(self):
                return "<Idle>"

        reader, other = Idle(0), ReaderSet()
        look = reader_set._Hub.next_frame

        def look_once_taken(hub):
            if hub.owner is None and reader not in other:
                other.add(reader)
            return look(hub)

        monkeypatch.setattr(reader_set._Hub, "next_frame", look_once_taken)
        with pytest.raises(RuntimeError, match="is in a ReaderSet"):
            run(reader.read_async(5.0))

    def test_a_failing_reader_among_working_ones(self, stream_server):
        failing = StreamReader(failing_url(), {**FAST, "max_attempts": 2})
        working = [StreamReader(stream_server.url()) for _ in range(3)]
        waits = []
        change = state.StateChange.result

        def result(self):
            waits.append(state.WAIT.get())
            return change(self)

        async def main(readers):
            frames = 0
            while True:
                try:
                    async for _ in readers:
                        frames += 1
                except StreamFailedError as error:
                    assert error.reader is failing
                    break
            # The backoff and the reconnects did not hold up the others.
            after = [pair async for pair in _take(readers, 10)]
            return frames, after

        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(state.StateChange, "result", result)
            with ReaderSet([failing] + working) as readers:
                frames, after = run(main(readers))
        assert frames >= 3 and len(after) == 10 and failing not in {r for r, _ in after}
        assert waits and set(waits) == {0.0}  # the reconnects' state changes

    def test_a_read_waits_no_longer_than_its_timeout(self, stream_server):
        with StreamReader(stream_server.url("/stall.mjpg"), {"stall_timeout": 30.0}) as reader:
            started = time.monotonic()
            assert run(reader.read_async(0.3)) is None
            assert 0.3 <= time.monotonic() - started < 0.3 + 1.0
            reader.close()
            assert run(reader.read_async()) is None

    @pytest.mark.parametrize("how", ["own hub to its end", "set to its end", "set emptied"])
    def test_the_loop_lets_go_of_a_hub_left_without_readers(self, stream_server, mp4_file, how):
        async def still_watched(hub):
            await asyncio.sleep(0.2)  # for a mark to reach the loop
            return asyncio.get_running_loop().remove_reader(hub.waker.fileno())

        async def main(reader):
            if how == "own hub to its end":
                await reader.read_async()
                hub = reader._hub
                await _collect(reader)
                return await still_watched(hub)
            with ReaderSet([reader]) as readers:
                if how == "set emptied":  # while a read waits
                    asyncio.get_running_loop().call_later(0.2, readers.remove, reader)
                    assert await readers.read_async(30.0) is None
                else:
                    assert len([pair async for pair in readers]) == MEDIA_FRAMES
                return await still_watched(readers._hub)

        source = stream_server.url("/stall.mjpg") if how == "set emptied" else str(mp4_file)
        with StreamReader(source, {"stall_timeout": 30.0}) as reader:
            assert run(main(reader)) is False


async def _collect(reader):
    return [frame async for frame in reader]


async def _take(readers, count):
    async for pair in readers:
        yield pair
        count -= 1
        if not count:
            return


async def _pairs(readers, count):
    return [pair async for pair in _take(readers, count)]
