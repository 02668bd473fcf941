#!/usr/bin/python3
"""Local HTTP test server that streams MJPEG the way IP cameras do.

The server listens on 127.0.0.1 (port 0 picks a free port) and serves an
endless ``multipart/x-mixed-replace`` stream of JPEG frames. The frames are
made once with GStreamer (``videotestsrc pattern=ball``, so consecutive frames
differ) and then looped at the configured frame rate; no media is read from
disk or network.

Routes (query parameters are optional):

``/stream.mjpg?fps=F&frames=N``
    The endless MJPEG stream. ``fps`` overrides the server's frame rate for
    this connection; ``frames`` ends the stream cleanly after N frames with a
    closing boundary (an end of stream for the client).
``/frame.jpg``
    One JPEG frame.
``/drop.mjpg?after=N``
    N whole frames, then half a frame, then the connection is cut.
``/stall.mjpg?after=N``
    The response headers and N frames, then nothing more until the client
    leaves or the server closes.
``/garbage.mjpg``
    An endless multipart stream whose parts claim to be JPEG but hold random
    bytes.
``/garbage.bin``
    Endless random bytes served as ``application/octet-stream``.
anything else
    404 Not Found.

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
import socket
import sys
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


def make_jpeg_frames(width=320, height=240, count=30):
    """Return ``count`` distinct JPEG frames of ``width`` x ``height`` pixels.

    The frames come from a short GStreamer run and are cached per size and
    count, so repeated servers in one process share them.
    """
    key = (width, height, count)
    with _frame_cache_lock:
        if key not in _frame_cache:
            _frame_cache[key] = _generate_frames(width, height, count)
        return list(_frame_cache[key])


def _generate_frames(width, height, count):
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    from gi.repository import Gst, GstApp  # noqa: F401  (GstApp: pull methods)

    Gst.init(None)
    launch = (
        f"videotestsrc pattern=ball num-buffers={int(count)} "
        f"! video/x-raw,width={int(width)},height={int(height)},framerate=25/1 "
        "! jpegenc quality=85 ! appsink name=sink sync=false"
    )
    pipeline = Gst.parse_launch(launch)
    sink = pipeline.get_by_name("sink")
    frames = []
    try:
        if pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise RuntimeError("could not start the frame generator pipeline")
        deadline = time.monotonic() + _FRAME_GENERATION_TIMEOUT_SECONDS
        while len(frames) < count and time.monotonic() < deadline:
            sample = sink.try_pull_sample(Gst.SECOND)
            if sample is None:
                if sink.is_eos():
                    break
                continue
            buf = sample.get_buffer()
            ok, info = buf.map(Gst.MapFlags.READ)
            if not ok:
                raise RuntimeError("could not map a generated JPEG buffer")
            try:
                frames.append(bytes(info.data))
            finally:
                buf.unmap(info)
    finally:
        pipeline.set_state(Gst.State.NULL)
    if len(frames) != count:
        raise RuntimeError(f"generated {len(frames)} of {count} JPEG frames")
    return frames


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
            "/garbage.mjpg": self._garbage_multipart,
            "/garbage.bin": self._garbage_bytes,
        }
        route = routes.get(parsed.path)
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

    def _start_multipart(self):
        self.send_response(200)
        self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
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
        self._start_multipart()
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

    def _drop(self, query):
        frames = self._owner.frames
        after = self._number(query, "after", 5, int)
        self._start_multipart()
        for index in self._paced(self._owner.fps, after):
            self._write(self._part(frames[index % len(frames)]))
        self._write(self._part(frames[0])[: len(frames[0]) // 2])
        # Cut the connection without an orderly end of the multipart body.
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _stall(self, query):
        frames = self._owner.frames
        after = self._number(query, "after", 0, int)
        self._start_multipart()
        for index in self._paced(self._owner.fps, after):
            self._write(self._part(frames[index % len(frames)]))
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
        for _ in self._paced(self._owner.fps):
            self._write(self._part(os.urandom(4096)))

    def _garbage_bytes(self, query):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        for _ in self._paced(self._owner.fps):
            self._write(os.urandom(4096))


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, owner):
        self.owner = owner
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        # A client going away is routine for a streaming server.
        pass


class StreamServer:
    """An endless MJPEG test stream on 127.0.0.1, see the module docstring."""

    def __init__(self, *, fps=25.0, width=320, height=240, frame_count=30,
                 host="127.0.0.1", port=0):
        if fps <= 0:
            raise ValueError(f"fps must be positive, got {fps!r}")
        self.fps = float(fps)
        self.width = int(width)
        self.height = int(height)
        self.frames = make_jpeg_frames(self.width, self.height, int(frame_count))
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
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
            name="mivelo-stream-server", daemon=True,
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
    args = parser.parse_args(argv)
    try:
        server = StreamServer(fps=args.fps, width=args.width, height=args.height, port=args.port)
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
