"""Many cameras, one thread: N readers read by a thread each, by one
ReaderSet, and in one asyncio loop, side by side in one run.

    many.py serve FPS                 a stamped MJPEG server (prints its URL and clock)
    many.py read WAY URL EPOCH N S    N readers of URL read the WAY way for S seconds
    many.py all [N] [S] [ROUNDS]      the server, then every way in a child of its own,
                                      ROUNDS times (default 64 readers, 8 s, 5 rounds)

The server sends the same 320x240 MJPEG stream on every connection, a frame
every 1/FPS seconds of one schedule shared by all connections; each frame
carries its slot of the schedule (modulo 256) as eight black or white blocks
across its top, which survive JPEG. A reader of a frame reads its slot from
the pixels, so the frame's age at delivery (scheduled send to the reader's
hands: network, decoding, waiting in the sink, and the reading itself) is
known without any Python on GStreamer's threads. The server runs in a
process of its own, one thread sending every frame to every client, so that
its CPU and interpreter lock are not the readers'.

The ways (each in a child process of its own, so that CPU time and threads
are its own):

* ``threads``: a thread per reader, each looping on ``read(0.5)``;
* ``set``: one thread iterating a ``ReaderSet`` of them all;
* ``asyncio``: one event loop, a task per reader, ``async for frame in reader``;
* ``asyncio-set``: one event loop iterating the ``ReaderSet`` with ``async for``.

Each prints one JSON object: frames per second delivered (and what the
streams offer), process CPU seconds (user + system) per delivered frame,
frame age p50/p99, Python and native threads while reading, and the rate of a
pure-Python counting thread while the readers read, as a share of its rate
alone, and as a share of its rate while the pipelines stream and nobody
reads them (in turn, a second each, so that what the decoding on the other
CPU costs the counter through the machine is taken out: only the interpreter
lock is left); pinned as in ``reader.py gil``: the counter on one CPU,
everything else of the process on the other, the rate taken over the time
it was not waiting for its CPU.
"""
import asyncio
import json
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import threading
import time

import numpy

WIDTH, HEIGHT = 320, 240
SLOTS = 256
BLOCK = WIDTH // 8  # one block per bit of the slot
BOUNDARY = "stamped"
WAYS = ("threads", "set", "asyncio", "asyncio-set")
# The readers built and streaming, and nobody reading: what the pipelines
# alone cost (decoding, the bus dispatch), the floor of every way.
FLOOR = "none"


# -- the server ----------------------------------------------------------------

def stamped_frames():
    """SLOTS JPEGs of about 20 KB (a detailed picture, as a camera's), frame n
    with n in its blocks."""
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    from gi.repository import Gst, GstApp  # noqa: F401  (GstApp: the pull methods)

    Gst.init(None)
    raw = Gst.parse_launch(
        f"videotestsrc pattern=pinwheel num-buffers={SLOTS} ! video/x-raw,format=I420,"
        f"width={WIDTH},height={HEIGHT},framerate=10/1 ! appsink name=sink sync=false")
    encode = Gst.parse_launch(
        f"appsrc name=src format=time caps=video/x-raw,format=I420,width={WIDTH},"
        f"height={HEIGHT},framerate=10/1 ! jpegenc quality=85 ! appsink name=sink sync=false")
    frames = []
    for pipeline in (raw, encode):
        pipeline.set_state(Gst.State.PLAYING)
    for slot in range(SLOTS):
        sample = raw.get_by_name("sink").try_pull_sample(10 * Gst.SECOND)
        buffer = sample.get_buffer()
        planes = bytearray(buffer.extract_dup(0, buffer.get_size()))
        for bit in range(8):
            value = 235 if slot >> bit & 1 else 16
            for row in range(BLOCK):
                start = row * WIDTH + bit * BLOCK
                planes[start:start + BLOCK] = bytes([value]) * BLOCK
        encode.get_by_name("src").emit("push-buffer", Gst.Buffer.new_wrapped(bytes(planes)))
        jpeg = encode.get_by_name("sink").try_pull_sample(10 * Gst.SECOND).get_buffer()
        frames.append(jpeg.extract_dup(0, jpeg.get_size()))
    for pipeline in (raw, encode):
        pipeline.set_state(Gst.State.NULL)
    return [(f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(f)}\r\n\r\n"
             ).encode() + f + b"\r\n" for f in frames]


def serve(fps):
    parts = stamped_frames()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(256)
    listener.setblocking(False)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    epoch = time.monotonic()
    print(f"serving http://127.0.0.1:{listener.getsockname()[1]}/cam {epoch!r}", flush=True)
    clients, requests = [], {}
    slot = 0
    head = (f"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary={BOUNDARY}"
            "\r\n\r\n").encode()
    while True:
        due = epoch + slot / fps
        for key, _ in selector.select(max(0.0, due - time.monotonic())):
            if key.fileobj is listener:
                client, _ = listener.accept()
                requests[client] = b""
                selector.register(client, selectors.EVENT_READ)
                continue
            client = key.fileobj
            data = client.recv(4096)
            if not data:  # gone before it asked
                selector.unregister(client)
                requests.pop(client, None)
                client.close()
                continue
            requests[client] += data
            if b"\r\n\r\n" in requests[client]:
                del requests[client]
                selector.unregister(client)
                client.sendall(head)
                clients.append(client)
        if time.monotonic() < due:
            continue
        part = parts[slot % SLOTS]
        for client in list(clients):
            try:
                client.sendall(part)
            except OSError:
                clients.remove(client)
                client.close()
        slot += 1


# -- reading ----------------------------------------------------------------------

class Record:
    """Frames delivered while measuring, and their ages."""

    def __init__(self, epoch, fps):
        self.epoch, self.fps = epoch, fps
        self.measuring = False
        self.ages = []

    def __call__(self, frame):
        if not self.measuring:
            return
        now = time.monotonic()
        centres = numpy.asarray(frame)[BLOCK // 2, BLOCK // 2::BLOCK, 1][:8] > 128
        stamp = int(numpy.packbits(centres, bitorder="little")[0])
        # The latest slot with this stamp that was due by now.
        slot = int((now - self.epoch) * self.fps)
        slot -= (slot - stamp) % SLOTS
        self.ages.append(now - (self.epoch + slot / self.fps))


class Gate:
    """Whether the readers read: the counting thread's rounds pause them now
    and then, the pipelines streaming on (``stop`` ends the reading)."""

    def __init__(self):
        self.open = threading.Event()
        self.open.set()
        self.stop = False
        self._loops = []

    def in_loop(self):
        """The gate as an asyncio.Event of the running loop."""
        event = asyncio.Event()
        if self.open.is_set():
            event.set()
        self._loops.append((asyncio.get_running_loop(), event))
        return event

    def pause(self):
        self.open.clear()
        for loop, event in self._loops:
            loop.call_soon_threadsafe(event.clear)

    def resume(self):
        self.open.set()
        for loop, event in self._loops:
            loop.call_soon_threadsafe(event.set)

    def finish(self):
        self.stop = True
        self.resume()


def read_threads(readers, record, gate):
    def read(reader):
        while not gate.stop:
            gate.open.wait()
            frame = reader.read(0.5)
            if frame is not None:
                record(frame)

    threads = [threading.Thread(target=read, args=(r,)) for r in readers]
    for thread in threads:
        thread.start()
    return lambda: [thread.join() for thread in threads]


def read_set(readers, record, gate):
    from mivelo.stream_reader import ReaderSet

    def read():
        with ReaderSet(readers) as many:
            while not gate.stop:
                gate.open.wait()
                got = many.read(0.5)
                if got is not None:
                    record(got[1])

    thread = threading.Thread(target=read)
    thread.start()
    return thread.join


def read_asyncio(readers, record, gate, one_set):
    from mivelo.stream_reader import ReaderSet

    async def each(reader, open_):
        while not gate.stop:
            await open_.wait()
            frame = await reader.read_async(0.5)
            if frame is not None:
                record(frame)

    async def together(open_):
        many = ReaderSet(readers)
        while not gate.stop:
            await open_.wait()
            got = await many.read_async(0.5)
            if got is not None:
                record(got[1])
        many.close()

    async def main():
        open_ = gate.in_loop()
        if one_set:
            await together(open_)
        else:
            await asyncio.gather(*[each(r, open_) for r in readers])

    thread = threading.Thread(target=lambda: asyncio.run(main()))
    thread.start()
    return thread.join


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def read(way, url, epoch, count, seconds, fps=10.0):
    import reader as reader_bench  # the counting thread of the `gil` row

    from mivelo.stream_reader import StreamReader

    cpus = sorted(os.sched_getaffinity(0))
    counter_cpu, rest = cpus[-1], set(cpus[:-1]) or {cpus[-1]}
    solo = [reader_bench.count_for(1.0, counter_cpu)[1] for _ in range(2)]
    readers = [StreamReader(url) for _ in range(count)]
    record, gate = Record(epoch, fps), Gate()
    if way == FLOOR:
        join = lambda: None  # noqa: E731
    elif way == "threads":
        join = read_threads(readers, record, gate)
    elif way == "set":
        join = read_set(readers, record, gate)
    else:
        join = read_asyncio(readers, record, gate, way == "asyncio-set")
    time.sleep(3.0)  # every reader streaming
    record.measuring = True
    cpu, started = cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    python_threads = threading.active_count()
    native_threads = len(os.listdir("/proc/self/task"))
    record.measuring = False
    took, cpu = time.monotonic() - started, cpu_seconds() - cpu
    ages = sorted(record.ages)
    frames = len(ages)
    # The counter against the readers, everything else of the process on
    # the other CPU (threads made later inherit it); in turn with the
    # reading paused, the pipelines streaming on, which tells the reading's
    # share from what the decoding on the other CPU costs the counter.
    os.sched_setaffinity(0, rest)
    busy, unread = [], []
    for _ in range(4):
        busy.append(reader_bench.count_for(1.0, counter_cpu)[1])
        gate.pause()
        time.sleep(0.6)  # reads in progress end
        unread.append(reader_bench.count_for(1.0, counter_cpu)[1])
        gate.resume()
        time.sleep(0.3)
    gate.finish()
    join()
    reconnects = sum(r.stats.reconnects for r in readers)
    for reader in readers:
        reader.close()
    os.sched_setaffinity(0, set(cpus))
    solo.extend(reader_bench.count_for(1.0, counter_cpu)[1] for _ in range(2))
    return {
        "way": way, "readers": count, "seconds": took, "offered_fps": count * fps,
        "fps": frames / took, "cpu_ms_per_frame": 1e3 * cpu / max(frames, 1),
        "cpu_ms_per_offered_frame": 1e3 * cpu / (took * count * fps),
        "cpu_share": cpu / took,
        "age_ms": {"p50": 1e3 * ages[len(ages) // 2] if ages else None,
                   "p99": 1e3 * ages[min(len(ages) - 1, int(len(ages) * 0.99))]
                   if ages else None},
        "python_threads": python_threads, "native_threads": native_threads,
        "counter_share": statistics.median(busy) / statistics.median(solo),
        "counter_share_unread": statistics.median(b / u for b, u in zip(busy, unread)),
        "reconnects": reconnects,
    }


# -- all of it ------------------------------------------------------------------------

def run_all(count, seconds, rounds):
    """Every way (and the floor) in turn, ``rounds`` times, the order
    reversed every other round; {way: [result of each round]}."""
    server = subprocess.Popen([sys.executable, __file__, "serve", "10"], stdout=subprocess.PIPE,
                              text=True)
    try:
        _, url, epoch = server.stdout.readline().split()
        results = {way: [] for way in (FLOOR,) + WAYS}
        for r in range(rounds):
            for way in list(results)[::1 if r % 2 == 0 else -1]:
                print(f"  round {r + 1}: {count} readers, {way} ...", file=sys.stderr, flush=True)
                done = subprocess.run(
                    [sys.executable, __file__, "read", way, url, epoch, str(count),
                     str(seconds)], capture_output=True, text=True, timeout=600)
                if done.returncode != 0:
                    raise RuntimeError(f"{way} failed:\n{done.stderr[-3000:]}")
                results[way].append(json.loads(done.stdout.splitlines()[-1]))
        return results
    finally:
        server.kill()
        server.wait()


def summary(results):
    """Medians over the rounds; a ratio against a thread per reader is the
    median of the ratios within each round (the ways of one round ran
    minutes apart at most, so a change of the machine's load between rounds
    moves both sides of a round's ratio alike)."""
    def values(way, *keys):
        found = []
        for result in results[way]:
            for key in keys:
                result = result[key]
            found.append(result)
        return found

    def median(way, *keys):
        return statistics.median(values(way, *keys))

    floors = values(FLOOR, "cpu_ms_per_offered_frame")
    threads_cpu = values("threads", "cpu_ms_per_frame")
    rows = {}
    for way in WAYS:
        cpu = values(way, "cpu_ms_per_frame")
        above = [c - f for c, f in zip(cpu, floors)]
        rows[way] = {
            "fps": median(way, "fps"), "offered_fps": results[way][0]["offered_fps"],
            "cpu_ms_per_frame": statistics.median(cpu),
            "above_floor_ms": statistics.median(above),
            "cpu_ratio": statistics.median(c / t for c, t in zip(cpu, threads_cpu)),
            "cpu_ratios": [c / t for c, t in zip(cpu, threads_cpu)],
            "above_floor_ratio": statistics.median(
                a / (t - f) for a, t, f in zip(above, threads_cpu, floors)),
            "age_p50_ms": median(way, "age_ms", "p50"),
            "age_p99_ms": median(way, "age_ms", "p99"),
            "python_threads": median(way, "python_threads"),
            "native_threads": median(way, "native_threads"),
            "counter_share": median(way, "counter_share"),
            "counter_shares": values(way, "counter_share"),
            "counter_share_unread": median(way, "counter_share_unread"),
        }
    return {"floor_ms_per_frame": statistics.median(floors), "ways": rows,
            "floor_threads": {"python": median(FLOOR, "python_threads"),
                              "native": median(FLOOR, "native_threads")},
            "floor_counter_share": median(FLOOR, "counter_share"),
            "floor_counter_share_unread": median(FLOOR, "counter_share_unread")}


def main(argv):
    kind = argv[1]
    if kind == "serve":
        serve(float(argv[2]))
    elif kind == "read":
        print(json.dumps(read(argv[2], argv[3], float(argv[4]), int(argv[5]), float(argv[6]))))
    elif kind == "all":
        count = int(argv[2]) if len(argv) > 2 else 64
        seconds = float(argv[3]) if len(argv) > 3 else 8.0
        rounds = int(argv[4]) if len(argv) > 4 else 5
        results = run_all(count, seconds, rounds)
        print(json.dumps({"count": count, "summary": summary(results), "rounds": results}))
    else:
        raise SystemExit(f"unknown command {kind!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
