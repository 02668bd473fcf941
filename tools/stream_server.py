#!/usr/bin/python3
"""Local HTTP test server that streams video the way cameras and web servers do.

The server listens on 127.0.0.1 (port 0 picks a free port) and serves an
endless ``multipart/x-mixed-replace`` stream of JPEG frames. The frames are
made once with GStreamer (``videotestsrc pattern=ball``, so consecutive frames
differ) and then looped at the configured frame rate; no media is read from
disk or network. It also serves short video files in the container formats
of ``MEDIA_FORMATS``, encoded with GStreamer on first use and kept for the
rest of the process.

Routes (query parameters are optional):

``/stream.mjpg?fps=F&frames=N&type=T``
    The endless MJPEG stream. ``fps`` overrides the server's frame rate for
    this connection; ``frames`` ends the stream cleanly after N frames with a
    closing boundary (an end of stream for the client); ``type`` replaces
    the Content-Type header (a server that mislabels its stream).
``/frame.jpg``
    One JPEG frame.
``/video.mp4``, ``/video.webm``, ``/video.mkv``, ``/video.<kind>?truncate=N&type=T``
    A file of ``media_frames`` frames (``media_fps`` per second) in one of
    ``MEDIA_FORMATS``, sent whole with its Content-Length. ``truncate``
    sends only the first N bytes and then cuts the connection, the
    Content-Length still announcing the whole file; ``type`` replaces the
    Content-Type header.
``/drop.mjpg?after=N``
    N whole frames, then half a frame, then the connection is cut.
``/stall.mjpg?after=N``
    The response headers and N frames, then nothing more until the client
    leaves or the server closes.
``/silent``
    Reads the request and never answers, not even with headers.
``/garbage.mjpg``
    An endless multipart stream whose parts claim to be JPEG but hold
    pseudo-random bytes.
``/garbage.bin``
    Endless pseudo-random bytes (64 KiB per frame interval) served as
    ``application/octet-stream``.
``/page.html``
    A small HTML page (a camera's login page instead of its stream).
anything else
    404 Not Found.

The garbage routes send the same bytes on every request (a fixed seed).
Truly random bytes look like some format now and then (about one 1 MiB
block in fifty passes for H.263 video or LRC subtitles), and a client's
type detection then accepts them; the seeded bytes are rejected every time.

``closed_port()`` returns a port on 127.0.0.1 where nothing listens, for
clients whose connection must be refused.

Use it as a context manager::

    with StreamServer(fps=25) as srv:
        url = srv.url("/stream.mjpg")

``close()`` returns promptly even while clients are connected: streaming loops
wait on a stop event instead of sleeping, and the client sockets are shut
down so that handler threads blocked in ``send`` wake up at once.

Run as a script it serves until interrupted and prints the stream URL.
"""
import argparse
import os
import random
import socket
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = "mivelo-frame"

# A handler blocked on a client that neither reads nor closes gives up after
# this many seconds.
_SOCKET_TIMEOUT_SECONDS = 10.0
# Upper bound for the one-off GStreamer run that makes the frames.
_FRAME_GENERATION_TIMEOUT_SECONDS = 20.0

_frame_cache = {}
_frame_cache_lock = threading.Lock()
_media_cache = {}
_media_cache_lock = threading.Lock()

# Container formats of the /video.<kind> routes: Content-Type, the GStreamer
# elements that encode raw I420 video into it, and the Debian package that
# ships the encoder. The files must be readable front to back without seeking
# (HTTP servers of cameras and streaming services do not all support ranges):
# fragmented MP4 carries its header first, WebM is streamable by nature, and
# the Matroska file, written as a file is (its index at the end, its
# duration filled in afterwards: see _INDEXED), needs its index only to seek.
MEDIA_FORMATS = {
    "mp4": (
        "video/mp4",
        "x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} "
        "! mp4mux fragment-duration=200 streamable=true",
        "gstreamer1.0-plugins-ugly",
    ),
    "webm": (
        "video/webm",
        "vp8enc deadline=1 keyframe-max-dist={fps} ! webmmux streamable=true",
        "gstreamer1.0-plugins-good",
    ),
    "mkv": (
        "video/x-matroska",
        "x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} ! matroskamux",
        "gstreamer1.0-plugins-ugly",
    ),
}
# Kinds whose muxer goes back to write what it knows only at the end (an
# index, the duration): made through a file, where it can.
_INDEXED = {"mkv"}

_LOGIN_PAGE = (
    b"<!DOCTYPE html>\n<html><head><title>Camera login</title></head>\n"
    b"<body><form method=\"post\"><input name=\"user\"><input name=\"password\" "
    b"type=\"password\"><button>Log in</button></form></body></html>\n"
)


def make_jpeg_frames(width=320, height=240, count=30, raw_format=None):
    """Return ``count`` distinct JPEG frames of ``width`` x ``height`` pixels.

    ``raw_format`` is the layout that the encoder is given, which sets the
    JPEG's chroma subsampling: "I420" for the 4:2:0 that most cameras send,
    "Y42B" for 4:2:2; None lets GStreamer choose (4:4:4).

    The frames come from a short GStreamer run and are cached per size and
    count, so repeated servers in one process share them.
    """
    key = (width, height, count, raw_format)
    with _frame_cache_lock:
        if key not in _frame_cache:
            _frame_cache[key] = _generate_frames(width, height, count, raw_format)
        return list(_frame_cache[key])


def make_media(kind, width=320, height=240, frames=50, fps=25):
    """Return a video file of ``kind`` (a key of ``MEDIA_FORMATS``) as bytes.

    ``frames`` frames of ``width`` x ``height`` pixels at ``fps`` frames per
    second, encoded with GStreamer; cached per process and parameters.
    """
    if kind not in MEDIA_FORMATS:
        raise ValueError(f"unknown media kind {kind!r}; known: {', '.join(MEDIA_FORMATS)}")
    key = (kind, int(width), int(height), int(frames), int(fps))
    with _media_cache_lock:
        if key not in _media_cache:
            _media_cache[key] = _generate_media(*key)
        return _media_cache[key]


def _generate_media(kind, width, height, frames, fps):
    _content_type, encoder, package = MEDIA_FORMATS[kind]
    Gst = _gst()
    first = encoder.split("!")[0].split()[0]
    if Gst.ElementFactory.find(first) is None:
        raise RuntimeError(f"cannot make {kind} test media: GStreamer element '{first}' is "
                           f"missing (apt-get install {package})")
    launch = (
        f"videotestsrc pattern=ball num-buffers={frames} "
        f"! video/x-raw,format=I420,width={width},height={height},framerate={fps}/1 "
        f"! {encoder.format(fps=fps)}"
    )
    if kind not in _INDEXED:
        return b"".join(_run_generator(launch, f"{kind} test media"))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, f"media.{kind}")
        _run_to_file(f"{launch} ! filesink location={path}", f"{kind} test media")
        with open(path, "rb") as made:
            return made.read()


def _run_to_file(launch, what):
    """Run ``launch`` (ending in a filesink) to its end."""
    Gst = _gst()
    pipeline = Gst.parse_launch(launch)
    try:
        if pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise RuntimeError(f"could not start the pipeline that makes the {what}")
        message = pipeline.get_bus().timed_pop_filtered(
            int(_FRAME_GENERATION_TIMEOUT_SECONDS * Gst.SECOND),
            Gst.MessageType.EOS | Gst.MessageType.ERROR)
        if message is None:
            raise RuntimeError(f"making the {what} took longer than "
                               f"{_FRAME_GENERATION_TIMEOUT_SECONDS:g} s")
        if message.type == Gst.MessageType.ERROR:
            raise RuntimeError(f"making the {what} failed: {message.parse_error()[0].message}")
    finally:
        pipeline.set_state(Gst.State.NULL)


def _gst():
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    from gi.repository import Gst, GstApp  # noqa: F401  (GstApp: pull methods)

    Gst.init(None)
    return Gst


def _generate_frames(width, height, count, raw_format=None):
    layout = f"format={raw_format}," if raw_format else ""
    launch = (
        f"videotestsrc pattern=ball num-buffers={int(count)} "
        f"! video/x-raw,{layout}width={int(width)},height={int(height)},framerate=25/1 "
        "! jpegenc quality=85"
    )
    frames = _run_generator(launch, "JPEG frames")
    if len(frames) != count:
        raise RuntimeError(f"generated {len(frames)} of {count} JPEG frames")
    return frames


def _run_generator(launch, what):
    """Run ``launch ! appsink`` to its end; return the buffers' bytes."""
    Gst = _gst()
    pipeline = Gst.parse_launch(f"{launch} ! appsink name=sink sync=false")
    sink = pipeline.get_by_name("sink")
    chunks = []
    try:
        if pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise RuntimeError(f"could not start the pipeline that makes the {what}")
        deadline = time.monotonic() + _FRAME_GENERATION_TIMEOUT_SECONDS
        while not sink.is_eos():
            if time.monotonic() > deadline:
                raise RuntimeError(f"making the {what} took longer than "
                                   f"{_FRAME_GENERATION_TIMEOUT_SECONDS:g} s")
            sample = sink.try_pull_sample(Gst.SECOND // 10)
            if sample is None:
                message = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
                if message is not None:
                    raise RuntimeError(f"making the {what} failed: "
                                       f"{message.parse_error()[0].message}")
                continue
            buf = sample.get_buffer()
            chunks.append(buf.extract_dup(0, buf.get_size()))
    finally:
        pipeline.set_state(Gst.State.NULL)
    return chunks


def closed_port():
    """A port on 127.0.0.1 where nothing listens: connecting is refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class _ClientGone(Exception):
    """The client closed the connection or the server is shutting down."""


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    timeout = _SOCKET_TIMEOUT_SECONDS
    server_version = "mivelo-test-camera/1.0"

    # -- plumbing -------------------------------------------------------

    @property
    def _owner(self):
        return self.server.owner

    def setup(self):
        super().setup()
        self._owner._register(self.connection)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        finally:
            self._owner._unregister(self.connection)

    def log_message(self, format, *args):  # noqa: A002  (base class signature)
        pass

    def _write(self, data):
        if self._owner._stopping.is_set():
            raise _ClientGone()
        try:
            self.wfile.write(data)
            self.wfile.flush()
        except (OSError, ValueError) as exc:
            raise _ClientGone() from exc

    def _pause(self, seconds):
        if self._owner._stopping.wait(seconds):
            raise _ClientGone()

    # -- routes ---------------------------------------------------------

    def do_GET(self):  # noqa: N802  (http.server naming)
        parsed = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(parsed.query)
        self._owner._record_request(parsed.path)
        routes = {
            "/stream.mjpg": self._stream,
            "/frame.jpg": self._single_frame,
            "/drop.mjpg": self._drop,
            "/stall.mjpg": self._stall,
            "/silent": self._silent,
            "/garbage.mjpg": self._garbage_multipart,
            "/garbage.bin": self._garbage_bytes,
            "/page.html": self._page,
        }
        route = routes.get(parsed.path)
        stem, _, kind = parsed.path.rpartition(".")
        if route is None and stem == "/video" and kind in MEDIA_FORMATS:
            route = lambda query: self._media(kind, query)  # noqa: E731
        try:
            if route is None:
                self.send_error(404, "Not Found")
            else:
                route(query)
        except _ClientGone:
            pass

    def _number(self, query, name, default, kind=float):
        try:
            value = kind(query[name][0])
        except (KeyError, IndexError, ValueError):
            return default
        return value if value > 0 else default

    def _start_multipart(self, content_type=None):
        self.send_response(200)
        self.send_header("Content-Type",
                         content_type or f"multipart/x-mixed-replace; boundary={BOUNDARY}")
        self.send_header("Cache-Control", "no-cache, private")
        self.send_header("Pragma", "no-cache")
        self.end_headers()
        self.wfile.flush()

    @staticmethod
    def _part(payload, content_type="image/jpeg"):
        head = (
            f"--{BOUNDARY}\r\n"
            f"Content-Type: {content_type}\r\n"
            f"Content-Length: {len(payload)}\r\n\r\n"
        ).encode("ascii")
        return head + payload + b"\r\n"

    def _paced(self, fps, limit=None):
        """Yield frame indices at ``fps`` until ``limit`` (None: forever)."""
        interval = 1.0 / fps
        next_time = time.monotonic()
        index = 0
        while limit is None or index < limit:
            yield index
            index += 1
            next_time += interval
            delay = next_time - time.monotonic()
            if delay > 0:
                self._pause(delay)
            elif delay < -1.0:
                # Far behind (slow client): start pacing afresh rather than
                # bursting the backlog.
                next_time = time.monotonic()

    def _stream(self, query):
        frames = self._owner.frames
        fps = self._number(query, "fps", self._owner.fps)
        limit = self._number(query, "frames", None, int)
        self._start_multipart(query.get("type", [None])[0])
        for index in self._paced(fps, limit):
            self._write(self._part(frames[index % len(frames)]))
        self._write(f"--{BOUNDARY}--\r\n".encode("ascii"))

    def _single_frame(self, query):
        frame = self._owner.frames[0]
        self.send_response(200)
        self.send_header("Content-Type", "image/jpeg")
        self.send_header("Content-Length", str(len(frame)))
        self.end_headers()
        self._write(frame)

    def _media(self, kind, query):
        try:
            data = self._owner.media(kind)
        except RuntimeError as exc:  # an encoder is missing
            self.send_error(500, str(exc))
            return
        truncate = self._number(query, "truncate", None, int)
        self.send_response(200)
        self.send_header("Content-Type", query.get("type", [MEDIA_FORMATS[kind][0]])[0])
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        body = data[:truncate] if truncate is not None else data
        for start in range(0, len(body), 16384):
            self._write(body[start:start + 16384])
        if truncate is not None:
            self._cut()

    def _page(self, query):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(_LOGIN_PAGE)))
        self.end_headers()
        self._write(_LOGIN_PAGE)

    def _cut(self):
        """End the connection without an orderly end of the response."""
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _drop(self, query):
        frames = self._owner.frames
        after = self._number(query, "after", 5, int)
        self._start_multipart()
        for index in self._paced(self._owner.fps, after):
            self._write(self._part(frames[index % len(frames)]))
        self._write(self._part(frames[0])[: len(frames[0]) // 2])
        self._cut()

    def _stall(self, query):
        frames = self._owner.frames
        after = self._number(query, "after", 0, int)
        self._start_multipart()
        for index in self._paced(self._owner.fps, after):
            self._write(self._part(frames[index % len(frames)]))
        self._hold_silently()

    def _silent(self, query):
        self._hold_silently()

    def _hold_silently(self):
        # Keep the connection open and silent. Polling with a short timeout
        # notices a client that hung up as well as the server's shutdown.
        self.connection.settimeout(0.2)
        while True:
            self._pause(0.05)
            try:
                if self.connection.recv(1024) == b"":
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def _garbage_multipart(self, query):
        self._start_multipart()
        noise = _noise(4096)
        for _ in self._paced(self._owner.fps):
            self._write(self._part(next(noise)))

    def _garbage_bytes(self, query):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        # Fast enough that a client's type detection, which gives up after
        # some amount of data, does so within a fraction of a second.
        noise = _noise(65536)
        for _ in self._paced(self._owner.fps):
            self._write(next(noise))


def _noise(size, seed=0):
    """Endless blocks of ``size`` pseudo-random bytes, the same every time."""
    rng = random.Random(seed)
    while True:
        yield rng.getrandbits(8 * size).to_bytes(size, "little")


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, owner):
        self.owner = owner
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        # A client going away is routine for a streaming server.
        pass

    def process_request_thread(self, request, client_address):
        # Named as Python 3.10 and later name them, on every version, so that
        # tests that count threads can tell the server's from others.
        threading.current_thread().name = "test-stream-server (process_request_thread)"
        super().process_request_thread(request, client_address)


class StreamServer:
    """An endless MJPEG test stream on 127.0.0.1, see the module docstring."""

    def __init__(self, *, fps=25.0, width=320, height=240, frame_count=30,
                 media_frames=50, host="127.0.0.1", port=0, raw_format=None):
        if fps <= 0:
            raise ValueError(f"fps must be positive, got {fps!r}")
        self.fps = float(fps)
        self.width = int(width)
        self.height = int(height)
        self.media_frames = int(media_frames)
        self.frames = make_jpeg_frames(self.width, self.height, int(frame_count), raw_format)
        self._address = (host, int(port))
        self._server = None
        self._thread = None
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._connections = set()
        self._requests = []

    # -- lifecycle ------------------------------------------------------

    def start(self):
        if self._server is not None:
            return self
        self._stopping.clear()
        self._server = _Server(self._address, self)
        # Not "mivelo-...": that prefix names the package's own threads, which
        # the tests count.
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
            name="test-stream-server", daemon=True,
        )
        self._thread.start()
        return self

    def close(self, timeout=5.0):
        """Stop serving, drop every client, and wait (bounded) for the threads."""
        server, self._server = self._server, None
        if server is None:
            return
        self._stopping.set()
        server.shutdown()
        server.server_close()
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(timeout)
        deadline = time.monotonic() + timeout
        while self.active_connections and time.monotonic() < deadline:
            time.sleep(0.01)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.close()

    # -- information ----------------------------------------------------

    @property
    def media_fps(self):
        """Frame rate of the /video.<kind> files (whole frames per second)."""
        return max(1, round(self.fps))

    def media(self, kind):
        """The bytes that ``/video.<kind>`` serves (made on first use)."""
        return make_media(kind, self.width, self.height, self.media_frames, self.media_fps)

    @property
    def port(self):
        if self._server is None:
            raise RuntimeError("the stream server is not running")
        return self._server.server_address[1]

    def url(self, path="/stream.mjpg"):
        host = self._address[0]
        if not path.startswith("/"):
            path = "/" + path
        return f"http://{host}:{self.port}{path}"

    @property
    def active_connections(self):
        """Number of client connections currently being handled."""
        with self._lock:
            return len(self._connections)

    @property
    def requests(self):
        """Paths requested so far, in order."""
        with self._lock:
            return list(self._requests)

    # -- bookkeeping from handler threads --------------------------------

    def _register(self, conn):
        with self._lock:
            self._connections.add(conn)

    def _unregister(self, conn):
        with self._lock:
            self._connections.discard(conn)

    def _record_request(self, path):
        with self._lock:
            self._requests.append(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serve an endless local MJPEG test stream.")
    parser.add_argument("--port", type=int, default=0, help="port to bind (default: any free port)")
    parser.add_argument("--fps", type=float, default=25.0, help="frame rate (default: 25)")
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--raw-format", default=None,
                        help="layout given to the JPEG encoder: I420 for 4:2:0, Y42B for "
                             "4:2:2 (default: 4:4:4)")
    args = parser.parse_args(argv)
    try:
        server = StreamServer(fps=args.fps, width=args.width, height=args.height, port=args.port,
                              raw_format=args.raw_format)
    except (ValueError, RuntimeError, OSError) as exc:
        print(f"stream_server: {exc}", file=sys.stderr)
        return 1
    with server:
        print(f"serving {server.url('/stream.mjpg')} (Ctrl-C to stop)", flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
