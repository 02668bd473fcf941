"""Many cameras, one thread: N readers read by a thread each, by one
ReaderSet, and in one asyncio loop, side by side in one run.

    many.py serve FPS                 a stamped MJPEG server (prints its URL and clock)
    many.py read WAY URL EPOCH N S    N readers of URL read the WAY way for S seconds
    many.py all [N] [S] [ROUNDS]      the server, then every way in a child of its own

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
alone (pinned as in ``reader.py gil``: the counter on one CPU, everything
else of the process on the other, the rate taken over the time it was not
waiting for its CPU).
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


def read_threads(readers, record, stop):
    def read(reader):
        while not stop.is_set():
            frame = reader.read(0.5)
            if frame is not None:
                record(frame)

    threads = [threading.Thread(target=read, args=(r,)) for r in readers]
    for thread in threads:
        thread.start()
    return lambda: [thread.join() for thread in threads]


def read_set(readers, record, stop):
    from mivelo.stream_reader import ReaderSet

    def read():
        with ReaderSet(readers) as many:
            while not stop.is_set():
                got = many.read(0.5)
                if got is not None:
                    record(got[1])

    thread = threading.Thread(target=read)
    thread.start()
    return thread.join


def read_asyncio(readers, record, stop, one_set):
    from mivelo.stream_reader import ReaderSet

    async def each(reader):
        while not stop.is_set():
            frame = await reader.read_async(0.5)
            if frame is not None:
                record(frame)

    async def together():
        many = ReaderSet(readers)
        while not stop.is_set():
            got = await many.read_async(0.5)
            if got is not None:
                record(got[1])
        many.close()

    async def main():
        if one_set:
            await together()
        else:
            await asyncio.gather(*[each(r) for r in readers])

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
    record, stop = Record(epoch, fps), threading.Event()
    if way == FLOOR:
        join = lambda: None  # noqa: E731
    elif way == "threads":
        join = read_threads(readers, record, stop)
    elif way == "set":
        join = read_set(readers, record, stop)
    else:
        join = read_asyncio(readers, record, stop, way == "asyncio-set")
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
    # the other CPU (threads made later inherit it).
    os.sched_setaffinity(0, rest)
    busy = [reader_bench.count_for(1.0, counter_cpu)[1] for _ in range(5)]
    stop.set()
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
    """Medians over the rounds, and the ratios against a thread per reader."""
    def median(way, *keys):
        values = []
        for result in results[way]:
            for key in keys:
                result = result[key]
            values.append(result)
        return statistics.median(values)

    floor = median(FLOOR, "cpu_ms_per_offered_frame")
    rows = {}
    for way in WAYS:
        cpu = median(way, "cpu_ms_per_frame")
        rows[way] = {
            "fps": median(way, "fps"), "offered_fps": results[way][0]["offered_fps"],
            "cpu_ms_per_frame": cpu, "above_floor_ms": cpu - floor,
            "age_p50_ms": median(way, "age_ms", "p50"),
            "age_p99_ms": median(way, "age_ms", "p99"),
            "python_threads": median(way, "python_threads"),
            "native_threads": median(way, "native_threads"),
            "counter_share": median(way, "counter_share"),
        }
    base = rows["threads"]
    for row in rows.values():
        row["cpu_ratio"] = row["cpu_ms_per_frame"] / base["cpu_ms_per_frame"]
        row["above_floor_ratio"] = row["above_floor_ms"] / base["above_floor_ms"]
    return {"floor_ms_per_frame": floor, "ways": rows,
            "floor_threads": {"python": median(FLOOR, "python_threads"),
                              "native": median(FLOOR, "native_threads")}}


def main(argv):
    kind = argv[1]
    if kind == "serve":
        serve(float(argv[2]))
    elif kind == "read":
        print(json.dumps(read(argv[2], argv[3], float(argv[4]), int(argv[5]), float(argv[6]))))
    elif kind == "all":
        count = int(argv[2]) if len(argv) > 2 else 64
        seconds = float(argv[3]) if len(argv) > 3 else 8.0
        rounds = int(argv[4]) if len(argv) > 4 else 3
        results = run_all(count, seconds, rounds)
        print(json.dumps({"count": count, "summary": summary(results), "rounds": results}))
    else:
        raise SystemExit(f"unknown command {kind!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
