"""The stream reader against the readers that video-analytics code uses today.

    VENV/bin/python benchmarks/peers.py [--rounds N] [--json FILE] [--only ROW,...]

Peers: OpenCV's ``cv2.VideoCapture`` with its FFmpeg backend and with its
GStreamer backend (a hand-written launch string), and PyAV
(``frame.to_ndarray(format="bgr24")``), from Debian's ``python3-opencv`` and
``python3-av``, which ``scripts/bench.sh`` installs; they are benchmark tools,
never dependencies of the package. Every reader hands out each frame as a
height x width x 3 BGR numpy array.

Every measurement runs in a fresh child process (``peers.py child ...``),
which prints one JSON object; CPU time is the child's own (every thread of
it, ``time.process_time()``), so the servers' work is not counted. The rows
are interleaved: each round runs every row's peers one after the other, the
order reversed every other round, so that load from elsewhere falls on every
peer alike; each figure is the median over the rounds.

Sources, all local and started here: the MJPEG-over-HTTP server
(tools/stream_server.py, JPEGs in 4:2:0 as cameras send them, 25 fps), an
RTSP camera (tools/rtsp_server.py, H.264, 25 fps) and two files written once
into ``$MIVELO_PEERS_MEDIA`` (default /tmp/mivelo-peers-media): a 1080p H.264
MP4 and a 1280x720 MJPEG AVI.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOLS = os.path.join(ROOT, "tools")

PEERS = ("reader", "opencv-ffmpeg", "pyav", "opencv-gst")
LABELS = {"reader": "reader", "opencv-ffmpeg": "OpenCV-FFmpeg", "pyav": "PyAV",
          "opencv-gst": "OpenCV-GStreamer", "before": "reader before"}
# --before PYTHON: an interpreter whose environment holds another build of the
# package (e.g. main's), measured in the same rounds as the peer "before".
INTERPRETERS = {}
# Seconds a live measurement reads before it counts, and then counts.
WARMUP, WINDOW = 1.5, 4.0
# Readers of the many-streams row, each on a thread of its own.
MANY = 16
# Streams held open for the memory row.
MEMORY_STREAMS = 8
FILE_FRAMES = 250


# -- the peers ----------------------------------------------------------------

def _gst_launch(source):
    """OpenCV-GStreamer's hand-written pipeline for a source."""
    convert = "videoconvert ! video/x-raw,format=BGR"
    live = "appsink sync=false max-buffers=2 drop=true"
    kind, url = source["kind"], source["url"]
    if kind == "http":
        return (f"souphttpsrc location={url} ! multipartdemux single-stream=true ! jpegdec "
                f"! {convert} ! {live}")
    if kind == "rtsp":
        return (f"rtspsrc location={url} latency=200 ! rtph264depay ! h264parse ! avdec_h264 "
                f"! {convert} ! {live}")
    return f"filesrc location={url} ! decodebin ! {convert} ! appsink sync=false"


def import_peer(peer):
    """Imports what the peer needs to hand out numpy arrays (PyAV imports
    numpy only in its first to_ndarray(), so it is imported here for it, as
    for the reader; cv2 imports it itself); returns the seconds it took."""
    started = time.perf_counter()
    if peer == "reader":
        import numpy  # noqa: F401
        from mivelo.stream_reader import StreamReader  # noqa: F401
    elif peer == "pyav":
        import av  # noqa: F401
        import numpy  # noqa: F401,F811
    else:
        import cv2  # noqa: F401
    return time.perf_counter() - started


class Peer:
    """One open stream of one peer: read() gives a BGR array or None at the end."""

    def __init__(self, peer, source):
        self.peer = peer
        kind, url = source["kind"], source["url"]
        if peer == "reader":
            import numpy
            from mivelo.stream_reader import StreamReader

            self._asarray = numpy.asarray
            self._handle = StreamReader(url, {"reconnect": kind != "file"})
        elif peer == "pyav":
            import av

            self._handle = av.open(url, timeout=10.0)
            self._frames = self._handle.decode(video=0)
        else:
            import cv2

            if peer == "opencv-ffmpeg":
                self._handle = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
            else:
                self._handle = cv2.VideoCapture(_gst_launch(source), cv2.CAP_GSTREAMER)
            if not self._handle.isOpened():
                raise RuntimeError(f"{peer} could not open {url}")

    def read(self):
        if self.peer == "reader":
            frame = self._handle.read(10.0)
            return None if frame is None else self._asarray(frame)
        if self.peer == "pyav":
            frame = next(self._frames, None)
            return None if frame is None else frame.to_ndarray(format="bgr24")
        ok, frame = self._handle.read()
        return frame if ok else None

    def close(self):
        if self.peer == "opencv-ffmpeg" or self.peer == "opencv-gst":
            self._handle.release()
        else:
            self._handle.close()


# -- what a child measures ----------------------------------------------------

def _read_until(peers, stop, counts, measuring):
    def run(n):
        while not stop.is_set():
            frame = peers[n].read()
            if frame is None:
                return
            if measuring.is_set():
                counts[n] += 1
    threads = [threading.Thread(target=run, args=(n,), daemon=True) for n in range(len(peers))]
    for thread in threads:
        thread.start()
    return threads


def live(peer, source, streams=1):
    """CPU per delivered frame while `streams` readers keep up with a live stream."""
    peers = [Peer(peer, source) for _ in range(streams)]
    stop, measuring = threading.Event(), threading.Event()
    counts = [0] * streams
    threads = _read_until(peers, stop, counts, measuring)
    time.sleep(WARMUP)
    profiler = _profile_window()
    measuring.set()
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(WINDOW)
    measuring.clear()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    if profiler is not None:
        profiler.wait(30)
    stop.set()
    for thread in threads:
        thread.join(15.0)
    for one in peers:
        one.close()
    frames = sum(counts)
    if frames == 0:
        raise RuntimeError(f"{peer} delivered no frame")
    return {"cpu_ms": cpu / frames * 1e3, "fps_each": frames / wall / streams,
            "min_fps": min(counts) / wall}


def _profile_window():
    """perf recording this process for the measured window of a live row,
    when asked for (``peers.py profile``), so that neither start nor end is
    in the profile (every thread of the stream exists by then)."""
    data = os.environ.get("MIVELO_PEERS_PERF")
    if not data:
        return None
    return subprocess.Popen(["perf", "record", "-q", "-p", str(os.getpid()), "-F", "1999",
                             "-o", data, "--", "sleep", str(WINDOW)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def decode_file(peer, source):
    """Frames per second and CPU per frame of a file read as fast as it decodes."""
    cpu, wall = time.process_time(), time.perf_counter()
    one = Peer(peer, source)
    frames = 0
    while one.read() is not None:
        frames += 1
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    one.close()
    if frames != source["frames"]:
        raise RuntimeError(f"{peer} read {frames} of the file's {source['frames']} frames")
    return {"fps": frames / wall, "cpu_ms": cpu / frames * 1e3}


def opening(peer, source):
    """In a fresh process: import, the first open to its first frame, close(),
    the second open to its first frame, close()."""
    result = {"import_ms": import_peer(peer) * 1e3}
    for name in ("first", "second"):
        started = time.perf_counter()
        one = Peer(peer, source)
        if one.read() is None:
            raise RuntimeError(f"{peer}: no first frame")
        result[f"{name}_ms"] = (time.perf_counter() - started) * 1e3
        started = time.perf_counter()
        one.close()
        result[f"close_{name}_ms"] = (time.perf_counter() - started) * 1e3
    return result


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory(peer, source, streams=MEMORY_STREAMS):
    """Resident set of a process holding `streams` streams that each delivered frames."""
    import_peer(peer)
    before = resident_kib()
    peers = [Peer(peer, source) for _ in range(streams)]
    stop, measuring = threading.Event(), threading.Event()
    threads = _read_until(peers, stop, [0] * streams, measuring)
    time.sleep(2.0)
    after = resident_kib()
    stop.set()
    for thread in threads:
        thread.join(15.0)
    for one in peers:
        one.close()
    return {"mib": after / 1024, "added_mib": (after - before) / 1024}


def child(argv):
    mode, peer, source = argv[0], argv[1], json.loads(argv[2])
    peer = "reader" if peer == "before" else peer
    import_peer(peer) if mode != "open" and mode != "memory" else None
    if mode == "live":
        result = live(peer, source)
    elif mode == "many":
        result = live(peer, source, MANY)
    elif mode == "file":
        result = decode_file(peer, source)
    elif mode == "open":
        result = opening(peer, source)
    elif mode == "memory":
        result = memory(peer, source)
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    print(json.dumps(result), flush=True)
    return 0


# -- sources ------------------------------------------------------------------

class HttpServer:
    """tools/stream_server.py in a process of its own."""

    def __init__(self, width, height, fps=25):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TOOLS, "stream_server.py"), "--width", str(width),
             "--height", str(height), "--fps", str(fps), "--raw-format", "I420"],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("serving "):
            self.close()
            raise RuntimeError(f"the stream server did not start: {line!r}")
        self.url = line.split()[1]

    def close(self):
        self.process.terminate()
        self.process.wait(10)


def media_dir():
    path = os.environ.get("MIVELO_PEERS_MEDIA", "/tmp/mivelo-peers-media")
    os.makedirs(path, exist_ok=True)
    return path


def make_file(name, encoder, width, height, frames=FILE_FRAMES):
    """A file of `frames` frames of videotestsrc's ball, written once."""
    path = os.path.join(media_dir(), name)
    if not os.path.exists(path):
        partial = path + ".part"
        subprocess.run(
            ["gst-launch-1.0", "-q", "videotestsrc", "pattern=ball", f"num-buffers={frames}",
             "!", f"video/x-raw,format=I420,width={width},height={height},framerate=25/1",
             "!", *encoder.split(), "!", "filesink", f"location={partial}"],
            check=True, timeout=600)
        os.rename(partial, path)
    return path


def sources():
    """Starts the servers; returns (sources by row, things to close)."""
    sys.path.insert(0, TOOLS)
    from rtsp_server import RtspServer

    mjpeg_720 = HttpServer(1280, 720)
    mjpeg_480 = HttpServer(640, 480)
    camera = RtspServer(codec="h264", width=1280, height=720, fps=25).start()
    h264 = make_file("ball-1080p-h264.mp4", "x264enc speed-preset=veryfast key-int-max=50 "
                     "! h264parse ! mp4mux", 1920, 1080)
    mjpeg = make_file("ball-720p-mjpeg.avi", "jpegenc quality=85 ! avimux", 1280, 720)
    made = {
        "mjpeg720": ("live", {"kind": "http", "url": mjpeg_720.url}),
        "rtsp720": ("live", {"kind": "rtsp", "url": camera.url}),
        "many480": ("many", {"kind": "http", "url": mjpeg_480.url}),
        "file_h264": ("file", {"kind": "file", "url": h264, "frames": FILE_FRAMES}),
        "file_mjpeg": ("file", {"kind": "file", "url": mjpeg, "frames": FILE_FRAMES}),
        "open": ("open", {"kind": "http", "url": mjpeg_480.url}),
        "memory": ("memory", {"kind": "http", "url": mjpeg_480.url}),
    }
    return made, [mjpeg_720, mjpeg_480, camera]


# -- the table ----------------------------------------------------------------

# (label, row, value of a child's result, "lower" or "higher" is better)
TABLE = [
    ("CPU per delivered frame, live MJPEG 1280x720 (4:2:0) over HTTP, 25 fps, ms",
     "mjpeg720", "cpu_ms", "lower"),
    ("CPU per delivered frame, RTSP H.264 1280x720, 25 fps, ms", "rtsp720", "cpu_ms", "lower"),
    (f"CPU per frame, {MANY} MJPEG 640x480 streams in {MANY} threads, ms", "many480", "cpu_ms",
     "lower"),
    ("unpaced decode of a 1080p H.264 MP4, frames/s", "file_h264", "fps", "higher"),
    ("  same, CPU per frame, ms", "file_h264", "cpu_ms", "lower"),
    ("unpaced decode of a 1280x720 MJPEG AVI, frames/s", "file_mjpeg", "fps", "higher"),
    ("  same, CPU per frame, ms", "file_mjpeg", "cpu_ms", "lower"),
    ("first open in a fresh process to first frame, local MJPEG 640x480, ms", "open",
     "first_ms", "lower"),
    ("second open in the same process to first frame, ms", "open", "second_ms", "lower"),
    ("close(), ms", "open", "close_second_ms", "lower"),
    ("import, ms", "open", "import_ms", "lower"),
    (f"resident memory with {MEMORY_STREAMS} MJPEG 640x480 streams open, MiB", "memory", "mib",
     "lower"),
]


def run_child(mode, peer, source, timeout=180, perf=None):
    python = INTERPRETERS.get(peer, sys.executable)
    command = [python, os.path.abspath(__file__), "child", mode, peer, json.dumps(source)]
    if perf is not None:
        command = ["perf", "record", "-q", "-F", "1999", "-o", perf, "--", *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise RuntimeError(f"{mode} {peer} failed:\n{done.stderr[-2000:]}")
    return json.loads(lines[-1])


def busy_share():
    """Jiffies of the whole machine: (busy, total)."""
    with open("/proc/stat") as stat:
        fields = [int(v) for v in stat.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def measure(rows, rounds, peers):
    made, running = sources()
    results = {row: {peer: [] for peer in peers} for row in rows}
    load = [os.getloadavg()[0]]
    busy0 = busy_share()
    try:
        for r in range(rounds):
            order = peers if r % 2 == 0 else peers[::-1]
            for row in rows:
                mode, source = made[row]
                for peer in order:
                    results[row][peer].append(run_child(mode, peer, source))
            load.append(os.getloadavg()[0])
            print(f"round {r + 1} of {rounds} done (load {load[-1]:.1f})", file=sys.stderr)
    finally:
        for thing in running:
            thing.close()
    busy1 = busy_share()
    machine = (busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1])
    return results, {"load": load, "machine_busy": machine, "cpus": os.cpu_count()}


def table(results, machine, peers):
    head = f"{'':78} " + " ".join(f"{LABELS[p]:>17}" for p in peers)
    lines = [head]
    for label, row, key, better in TABLE:
        if row not in results:
            continue
        values = {peer: statistics.median(r[key] for r in results[row][peer]) for peer in peers}
        others = [values[p] for p in PEERS[1:]]
        best = min(others) if better == "lower" else max(others)
        cells = [f"{values['reader']:,.2f} ({values['reader'] / best:.2f}x)"]
        cells += [f"{values[p]:,.2f}" for p in peers[1:] if p != "before"]
        if "before" in values:
            cells.append(f"{values['before']:,.2f} ({values['before'] / best:.2f}x)")
        lines.append(f"{label:78} " + " ".join(f"{c:>17}" for c in cells))
    lines.append(f"(ratio: the reader over the {'leanest'} or fastest peer of the row; "
                 f"median of {len(next(iter(next(iter(results.values())).values())))} rounds; "
                 f"machine busy {machine['machine_busy']:.0%} of {machine['cpus']} CPUs, "
                 f"load average {min(machine['load']):.1f}-{max(machine['load']):.1f})")
    return "\n".join(lines)


def profile(argv):
    """peers.py profile ROW [PEER]: where one peer's CPU goes on one row's
    source, by thread and by library, then by function (perf). A live row is
    sampled over its measured window only; a file row over the whole child,
    whose decoder makes its threads as it opens, so the interpreter's start
    (about a tenth of the samples) is in it too."""
    row, peer = argv[0], (argv[1] if len(argv) > 1 else "reader")
    made, running = sources()
    data = os.path.join(media_dir(), f"perf-{row}-{peer}.data")
    try:
        mode, source = made[row]
        if mode == "file":
            print(json.dumps(run_child(mode, peer, source, perf=data)))
        else:
            os.environ["MIVELO_PEERS_PERF"] = data
            print(json.dumps(run_child(mode, peer, source)))
    finally:
        os.environ.pop("MIVELO_PEERS_PERF", None)
        for thing in running:
            thing.close()
    for sort in ("comm,dso", "dso,sym"):
        report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                                 "--sort", sort, "--percent-limit", "0.8"],
                                capture_output=True, text=True)
        print("\n".join(line for line in report.stdout.splitlines()
                        if line.strip() and not line.startswith("#")))
    return 0


def main(argv):
    if argv[:1] == ["child"]:
        return child(argv[1:])
    if argv[:1] == ["profile"]:
        return profile(argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default=None, help="rows, comma-separated: " + ", ".join(
        dict.fromkeys(row for _, row, _, _ in TABLE)))
    parser.add_argument("--json", default=None)
    parser.add_argument("--before", default=None, metavar="PYTHON",
                        help="also measure the reader of the package installed for PYTHON")
    args = parser.parse_args(argv)
    peers = PEERS
    if args.before:
        INTERPRETERS["before"] = args.before
        peers = PEERS + ("before",)
    rows = list(dict.fromkeys(row for _, row, _, _ in TABLE))
    if args.only:
        rows = [row for row in rows if row in args.only.split(",")]
    results, machine = measure(rows, args.rounds, peers)
    print(table(results, machine, peers))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"results": results, "machine": machine}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
