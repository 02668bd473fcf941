"""Long runs of the Python layer, too long for the test suite; run by hand.

    VENV/bin/python tools/soak.py threads [--runs 200]
    VENV/bin/python tools/soak.py cycles [--cycles 400] [--rounds 5]
    VENV/bin/python tools/soak.py faults [--seconds 180]
    VENV/bin/python tools/soak.py reader [--runs 100] [--error-runs 50]
    VENV/bin/python tools/soak.py forks [--runs 20]

``threads``: eight threads each run build(), pull_sample(0.01) and close() 25
times on one CustomPipelineFactory, in a fresh process per run (where every
use of a PyGObject class is a first use); counts the runs that crashed, that
printed a GStreamer or GLib CRITICAL, and that raised anything.

``cycles``: the heap in use (malloc's own count) per build/pull/close cycle
of the HTTP factory, per round, for pipelines closed and for pipelines
dropped without close(), and for the same pipeline built by GStreamer alone.

``faults``: the resident set after a stretch of failing streams (404,
refused, web page, garbage, truncated files, stalls, cuts, server kills),
everything closed, against the same process before; and what holds it:
shared libraries (plugins loaded once), malloc's heap in use and free,
its arenas, what malloc_trim(0) gives back.

``reader``: the stream reader's frames and failures, run after run: a file
of 200 frames read by a reader whose thread is held 50 ms after each build,
and by one under four busy Python threads (every frame, in order, each
time); a file with no index (a truncated MP4, and one that is no MP4 past
its header) whose demuxer's ERROR must reach the reader at once, against
the same file in plain GStreamer pipelines (decodebin reading the file
itself, and through a queue); and an MP4, a WebM and a Matroska file served
over HTTP, read by a fast and by a slow reader (every frame, then the end).

``forks``: what a child made by os.fork() gets when it builds a pipeline and
pulls a frame (within 3 s), in a fresh process per run: forked before
anything streamed; after a pipeline of the package streamed; and after a
plain GStreamer pipeline streamed and stopped, 0 to 20 s before the fork
(whose threads the package sees only through GLib's thread pools). A
"no frame" is the silent wait that ForkedProcessError is there to prevent.

``cycles`` and ``faults`` start the test stream server (tools/stream_server.py)
in a process of its own, so that its memory is not counted.

VENV is a virtual environment with the package installed, such as the .venv
that scripts/legs/10-release.sh builds.
"""
import argparse
import collections
import ctypes
import gc
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

THREADS_RUN = textwrap.dedent("""
    import threading
    from mivelo.pipeline_factories.custom import CustomPipelineFactory

    factory = CustomPipelineFactory(
        "videotestsrc is-live=true name=buffer_src ! videoconvert ! appsink name=main_sink "
        'fakesrc name="s{url}" ! fakesink', url="x", pipeline_watcher=lambda *args: None,
        on_complete=None)
    errors = []

    def work():
        try:
            for _ in range(25):
                pipeline = factory.build()
                pipeline.pull_sample(0.01)
                pipeline.close()
        except BaseException as exc:
            errors.append(repr(exc))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("raised:", errors)
""")


def soak_threads(runs):
    outcomes = collections.Counter()
    started = time.monotonic()
    for run in range(1, runs + 1):
        result = subprocess.run([sys.executable, "-c", THREADS_RUN], capture_output=True,
                                text=True, timeout=300)
        if result.returncode < 0:
            outcome = f"killed by signal {-result.returncode}"
        elif result.returncode != 0:
            outcome = f"exit status {result.returncode}"
        elif "raised: []" not in result.stdout:
            outcome = "raised"
        elif "CRITICAL" in result.stderr:
            outcome = "printed a CRITICAL"
        else:
            outcome = "clean"
        outcomes[outcome] += 1
        if outcome != "clean":
            print(f"run {run}: {outcome}: {(result.stdout + result.stderr).strip()[:300]}")
    print(f"{runs} runs in {time.monotonic() - started:.0f} s: "
          + ", ".join(f"{count} {outcome}" for outcome, count in outcomes.most_common()))
    return outcomes["clean"] == runs


class _MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_LIBC = ctypes.CDLL("libc.so.6")
_LIBC.mallinfo2.restype = _MallInfo
_LIBC.fmemopen.restype = ctypes.c_void_p
_LIBC.fmemopen.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
_LIBC.malloc_info.argtypes = [ctypes.c_int, ctypes.c_void_p]
_LIBC.fclose.argtypes = [ctypes.c_void_p]


def heap_in_use():
    """Bytes that malloc has handed out and not had back."""
    info = _LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


def memory():
    """What holds the resident set, in KiB."""
    rss = anonymous = files = 0
    libraries = set()
    name = None
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                name = fields[5] if len(fields) > 5 else ""
                if name.endswith(".so") or ".so." in name:
                    libraries.add(name)
            elif fields[0] == "Rss:":
                size = int(fields[1])
                rss += size
                if name and name.startswith("/"):
                    files += size
                else:
                    anonymous += size
    info = _LIBC.mallinfo2()
    arenas = 0
    buffer = ctypes.create_string_buffer(1 << 20)
    stream = _LIBC.fmemopen(buffer, len(buffer), b"w")
    if stream:
        _LIBC.malloc_info(0, stream)
        _LIBC.fclose(stream)
        arenas = buffer.value.count(b"<heap nr=")
    return {
        "rss": rss, "file-backed": files, "anonymous": anonymous,
        "heap in use": (info.uordblks + info.hblkhd) // 1024,
        "heap free, held": info.fordblks // 1024, "arenas": arenas,
        "shared libraries": len(libraries),
        "plugins": sum("/gstreamer-1.0/" in library for library in libraries),
        "python blocks": sys.getallocatedblocks(),
        "threads": len(os.listdir("/proc/self/task")),
    }


class ServerProcess:
    """tools/stream_server.py in a process of its own, on a fixed port."""

    def __init__(self, width=160, height=120):
        self._args = [sys.executable, os.path.join(os.path.dirname(__file__), "stream_server.py"),
                      "--width", str(width), "--height", str(height)]
        self.port = 0
        self._process = None
        self.start()

    def start(self):
        port = ["--port", str(self.port)] if self.port else []
        self._process = subprocess.Popen(self._args + port, stdout=subprocess.PIPE, text=True)
        line = self._process.stdout.readline()
        self.port = int(line.split("127.0.0.1:", 1)[1].split("/", 1)[0])

    def kill(self):
        self._process.kill()
        self._process.wait()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"


def settle():
    """Waits for the package's threads to end, and collects garbage."""
    gc.collect()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(
            thread.name.startswith("mivelo-") for thread in threading.enumerate()):
        time.sleep(0.05)
    gc.collect()
    time.sleep(0.5)


# The HTTP factory's pipeline, built by GStreamer alone.
GST_ONLY = ("souphttpsrc location={url} ! decodebin name=d ! videoconvert name=c ! "
            "video/x-raw,format=BGR ! appsink name=s max-buffers=2 drop=true sync=false")


def soak_cycles(cycles, rounds):
    from mivelo.pipeline_factories.http import HTTPPipelineFactory
    from mivelo.utils.gstreamer import make_multipart_single_stream

    from gi.repository import Gst

    server = ServerProcess()
    url = server.url("/stream.mjpg")
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *args: None, on_complete=None)

    def closed():
        factory.build().pull_sample(2).__class__  # noqa: B018  (dropped at once)

    def closed_explicitly():
        pipeline = factory.build()
        pipeline.pull_sample(2)
        pipeline.close()

    def gstreamer_alone():
        pipeline = Gst.parse_launch(GST_ONLY.format(url=url))
        decoder = pipeline.get_by_name("d")
        decoder.connect("deep-element-added", make_multipart_single_stream)
        converter = pipeline.get_by_name("c").get_static_pad("sink")
        decoder.connect("pad-added", lambda element, pad: pad.link(converter))
        pipeline.set_state(Gst.State.PLAYING)
        pipeline.get_by_name("s").try_pull_sample(2 * Gst.SECOND)
        pipeline.set_state(Gst.State.NULL)

    try:
        for label, cycle in (("close()", closed_explicitly), ("dropped", closed),
                             ("GStreamer alone", gstreamer_alone)):
            for _ in range(100):
                cycle()
            settle()
            heaps = [heap_in_use()]
            for _ in range(rounds):
                for _ in range(cycles):
                    cycle()
                settle()
                heaps.append(heap_in_use())
            per_cycle = [round((after - before) / cycles) for before, after in zip(heaps, heaps[1:])]
            print(f"{label}: heap in use, bytes per cycle, rounds of {cycles}: {per_cycle}",
                  flush=True)
    finally:
        server.kill()


FAULT_PATHS = ["/missing.mjpg", "CLOSED", "/page.html", "/garbage.bin", "/garbage.mjpg",
               "/video.mp4?truncate=20000", "/video.webm?truncate=20000", "/stall.mjpg?after=5",
               "/drop.mjpg?after=5", "/silent", "/stream.mjpg?frames=20"]


def soak_faults(seconds, slots=4, kill_every=10.0):
    import mivelo.pipeline_factories.base as base
    from mivelo.pipeline_factories.http import HTTPPipelineFactory

    base._STALL_TIMEOUT_SECONDS = 2.0
    server = ServerProcess()
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed_port = probe.getsockname()[1]
    after_import = memory()

    def run(path, pull_seconds=5.0):
        url = f"http://127.0.0.1:{closed_port}/x" if path == "CLOSED" else server.url(path)
        ended = threading.Event()

        def watcher(bus, message, pipeline):
            if message.type in (Gst.MessageType.ERROR, Gst.MessageType.EOS):
                ended.set()

        pipeline = HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None).build()
        deadline = time.monotonic() + pull_seconds
        while not ended.is_set() and time.monotonic() < deadline:
            pipeline.pull_sample(0.1)
        pipeline.close()

    from gi.repository import Gst

    for path in FAULT_PATHS:  # every plugin that the faults load, once
        run(path)
    settle()
    warmed = memory()
    stop = time.monotonic() + seconds
    counts = collections.Counter()

    def slot(index):
        while time.monotonic() < stop:
            path = FAULT_PATHS[(counts["runs"] + index) % len(FAULT_PATHS)]
            counts["runs"] += 1
            try:
                run(path)
            except Exception as exc:  # noqa: BLE001  (counted)
                counts[type(exc).__name__] += 1

    workers = [threading.Thread(target=slot, args=(i,)) for i in range(slots)]
    for worker in workers:
        worker.start()
    while time.monotonic() < stop:
        time.sleep(min(kill_every, max(0.0, stop - time.monotonic())))
        if time.monotonic() < stop:
            server.kill()
            counts["server kills"] += 1
            time.sleep(0.5)
            server.start()
    for worker in workers:
        worker.join()
    server.kill()
    settle()
    after = memory()
    trimmed = _LIBC.malloc_trim(0)
    after_trim = memory()
    print(f"{counts['runs']} failing streams in {seconds} s, {counts['server kills']} server "
          f"kills, {slots} at a time; raised: "
          f"{ {k: v for k, v in counts.items() if k not in ('runs', 'server kills')} }")
    rows = [("after import", after_import), ("each fault once", warmed),
            ("after the faults", after), (f"after malloc_trim ({trimmed})", after_trim)]
    keys = list(after_import)
    print("KiB unless counted:")
    print(f"{'':28}" + "".join(f"{key:>17}" for key in keys))
    for label, values in rows:
        print(f"{label:28}" + "".join(f"{values[key]:>17}" for key in keys))


def _frames_of(source, options=None, pause=0.0):
    """The frame numbers that a reader of ``source`` delivers, to its end."""
    from mivelo.stream_reader import StreamReader

    with StreamReader(source, options) as reader:
        numbers = []
        for frame in reader:
            numbers.append(frame.index)
            if pause:
                time.sleep(pause)
        return numbers, reader.stats


def _busy_threads(count):
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            sum(range(1000))

    for _ in range(count):
        threading.Thread(target=spin, daemon=True).start()
    return stop


def _soak_whole_files(path, frames, runs):
    import mivelo.stream_reader.sources as sources

    build = sources.Source.build

    def held(*args):
        pipeline = build(*args)
        time.sleep(0.05)
        return pipeline

    for label in ("held 50 ms after build", "four busy threads"):
        stop = None
        if label.startswith("held"):
            sources.Source.build = held
        else:
            stop = _busy_threads(4)
        wrong, started = 0, time.monotonic()
        try:
            for run in range(runs):
                numbers, stats = _frames_of(path)
                if numbers != list(range(frames)):
                    wrong += 1
                    print(f"  run {run}: {len(numbers)} frames, {stats}")
        finally:
            sources.Source.build = build
            if stop is not None:
                stop.set()
        print(f"a file of {frames} frames, reader {label}: {runs - wrong} of {runs} runs gave "
              f"every frame in order ({time.monotonic() - started:.0f} s)", flush=True)


def _truncated_mp4(folder):
    """An MP4 cut before its index (the moov box, which mp4mux writes last)."""
    from stream_server import _run_to_file

    whole = os.path.join(folder, "whole.mp4")
    _run_to_file("videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240 ! x264enc "
                 f"speed-preset=ultrafast ! mp4mux ! filesink location={whole}", "an MP4")
    with open(whole, "rb") as made:
        data = made.read()
    path = os.path.join(folder, "truncated.mp4")
    with open(path, "wb") as cut:
        cut.write(data[:data.index(b"moov") - 4])
    return path


def _soak_file_errors(folder, runs):
    from mivelo.stream_reader import StreamFailedError, StreamReader

    from gi.repository import Gst

    broken = os.path.join(folder, "broken.mp4")
    with open(broken, "wb") as made:
        made.write(b"\x00\x00\x00\x20ftypisom" + bytes(200))
    for path in (_truncated_mp4(folder), broken):
        lost, slowest = 0, 0.0
        for _ in range(runs):
            started = time.monotonic()
            with StreamReader(path, {"stall_timeout": 10.0}) as reader:
                try:
                    reader.read(5.0)
                except StreamFailedError:
                    slowest = max(slowest, time.monotonic() - started)
                else:
                    lost += 1
        print(f"{os.path.basename(path)}: the reader lost the ERROR in {lost} of {runs} runs; "
              f"the others failed within {slowest:.2f} s", flush=True)
        for between in ("", " ! queue"):
            lost = 0
            for _ in range(runs):
                pipeline = Gst.parse_launch(f"filesrc location={path}{between} ! decodebin "
                                            "! videoconvert ! appsink sync=false")
                pipeline.set_state(Gst.State.PLAYING)
                message = pipeline.get_bus().timed_pop_filtered(
                    2 * Gst.SECOND, Gst.MessageType.ERROR | Gst.MessageType.EOS)
                lost += message is None
                pipeline.set_state(Gst.State.NULL)
            print(f"  plain GStreamer, filesrc{between} ! decodebin: lost in {lost} of {runs}",
                  flush=True)


def _soak_http_files(runs):
    from stream_server import StreamServer

    with StreamServer(fps=25, media_frames=50) as server:
        for kind in ("mp4", "webm", "mkv"):
            for label, pause in (("fast", 0.0), ("slow, 10 ms a frame", 0.01)):
                wrong = 0
                for run in range(runs):
                    numbers, stats = _frames_of(server.url(f"/video.{kind}"), pause=pause)
                    if numbers != list(range(50)) or stats.reconnects:
                        wrong += 1
                        print(f"  run {run}: {len(numbers)} frames, {stats}")
                print(f"{kind} over HTTP, {label} reader: {runs - wrong} of {runs} runs gave "
                      "all 50 frames and the end", flush=True)


def soak_reader(runs, error_runs):
    import tempfile

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from stream_server import make_media

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "clip.mp4")
        with open(path, "wb") as made:
            made.write(make_media("mp4", 320, 240, 200, 25))
        _soak_whole_files(path, 200, runs)
        _soak_file_errors(folder, error_runs)
    _soak_http_files(max(1, runs // 10))


FORK_RUN = textwrap.dedent("""
    import os, sys, time
    from gi.repository import Gst
    from mivelo.utils.gstreamer import Pipeline

    LAUNCH = "videotestsrc num-buffers=3 ! appsink name=main_sink"

    def stream():
        pipeline = Pipeline.from_launch_string(LAUNCH, None)
        pipeline.appsink = pipeline.get_by_name("main_sink")
        pipeline.set_state(Gst.State.PLAYING)
        with pipeline:
            return "frame" if pipeline.pull_sample(3.0) is not None else "no frame"

    before, pause = sys.argv[1], float(sys.argv[2])
    if before == "package":
        stream()
    elif before == "plain":
        plain = Gst.parse_launch(LAUNCH.replace("appsink name=main_sink", "fakesink"))
        plain.set_state(Gst.State.PLAYING)
        plain.get_bus().timed_pop_filtered(5 * Gst.SECOND, Gst.MessageType.EOS)
        plain.set_state(Gst.State.NULL)
    time.sleep(pause)
    read, write = os.pipe()
    if os.fork() == 0:
        try:
            outcome = stream()
        except Exception as error:
            outcome = type(error).__name__
        os.write(write, outcome.encode())
        os._exit(0)
    os.close(write)
    print(os.read(read, 100).decode())
""")


def soak_forks(runs):
    cases = [("nothing", 0.0), ("package", 0.0)] + [
        ("plain", pause) for pause in (0.0, 0.2, 0.6, 2.0, 20.0)]
    for before, pause in cases:
        outcomes = collections.Counter()
        for _ in range(runs):
            result = subprocess.run([sys.executable, "-c", FORK_RUN, before, str(pause)],
                                    capture_output=True, text=True, timeout=120)
            outcomes[result.stdout.strip() or f"exit {result.returncode}"] += 1
        print(f"after {before:8} {pause:4g} s: "
              + ", ".join(f"{count} {outcome}" for outcome, count in outcomes.most_common()),
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    threads = commands.add_parser("threads", help="the eight-thread build/pull/close run")
    threads.add_argument("--runs", type=int, default=200)
    cycles = commands.add_parser("cycles", help="heap per build/close cycle")
    cycles.add_argument("--cycles", type=int, default=400)
    cycles.add_argument("--rounds", type=int, default=5)
    faults = commands.add_parser("faults", help="resident set after failing streams")
    faults.add_argument("--seconds", type=float, default=180.0)
    reader = commands.add_parser("reader", help="the stream reader's frames and failures")
    reader.add_argument("--runs", type=int, default=100)
    reader.add_argument("--error-runs", type=int, default=50)
    forks = commands.add_parser("forks", help="pipelines in forked children")
    forks.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    if args.command == "threads":
        sys.exit(0 if soak_threads(args.runs) else 1)
    if args.command == "cycles":
        soak_cycles(args.cycles, args.rounds)
    if args.command == "faults":
        soak_faults(args.seconds)
    if args.command == "reader":
        soak_reader(args.runs, args.error_runs)
    if args.command == "forks":
        soak_forks(args.runs)


if __name__ == "__main__":
    main()
