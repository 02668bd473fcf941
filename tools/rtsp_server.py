#!/usr/bin/python3
"""Local RTSP test camera, served from a child process.

The child serves ``rtsp://127.0.0.1:PORT/cam``: ``videotestsrc pattern=ball``
(consecutive frames differ) encoded as MJPEG (plugins-good only) or H.264
(x264enc of plugins-ugly), through GStreamer's RTSP server library
(Debian's gir1.2-gst-rtsp-server-1.0) driven by ``gi``. All clients share one
encoder.

``RtspServer`` in the parent starts and kills such children. A camera that
restarts is ``kill()`` (SIGKILL: no goodbye to the clients) and then
``start()`` again on the same port. Starting a child (an interpreter, gi and
GStreamer) takes a good part of a second, so one is always kept waiting in
reserve with everything loaded, and ``start()`` only tells it to bind the
port: a restart takes milliseconds. Children end with their parent (they
watch their stdin) as well as when killed.

Use it as a context manager::

    with RtspServer(codec="mjpeg") as camera:
        url = camera.url

Run as a script it serves until interrupted; ``--standby`` (used by
``RtspServer``) makes it wait for a line ``go PORT`` on stdin before it binds.
"""
import argparse
import os
import select
import signal
import subprocess
import sys
import time

CODECS = {
    # The RTP payloader for JPEG takes 4:2:0 or 4:2:2 only.
    "mjpeg": "video/x-raw,format=I420,width={width},height={height},framerate={fps}/1 "
             "! jpegenc quality=85 ! rtpjpegpay name=pay0 pt=26",
    "h264": "video/x-raw,format=I420,width={width},height={height},framerate={fps}/1 "
            "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} "
            "! rtph264pay name=pay0 pt=96 config-interval=1",
}
MOUNT = "/cam"
# Bound for a child to load, and for it to answer "go".
_START_SECONDS = 30.0


# -- the child --------------------------------------------------------------

def _serve(args):
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer

    Gst.init(None)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(
        f"( videotestsrc is-live=true pattern=ball ! "
        f"{CODECS[args.codec].format(width=args.width, height=args.height, fps=args.fps)} )")
    factory.set_shared(True)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.get_mount_points().add_factory(MOUNT, factory)
    # Make the encoder's elements once now, so that the first client does
    # not wait for plugins to load.
    Gst.parse_launch(f"videotestsrc ! {CODECS[args.codec].format(width=8, height=8, fps=1)}")
    port = args.port
    if args.standby:
        line = sys.stdin.readline().split()
        if len(line) != 2 or line[0] != "go":
            return 0  # the parent went away
        port = int(line[1])
    server.set_service(str(port))
    if server.attach(None) == 0 or server.get_bound_port() < 0:
        print(f"error: cannot serve on port {port}", flush=True)
        return 1
    print(f"serving rtsp://127.0.0.1:{server.get_bound_port()}{MOUNT}", flush=True)
    loop = GLib.MainLoop()
    # End with the parent: its end of stdin closes then.
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.IN | GLib.IOCondition.HUP,
                      lambda *_: (loop.quit(), False)[1])
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, lambda: (loop.quit(), False)[1])
    loop.run()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serve a local RTSP test camera.")
    parser.add_argument("--port", type=int, default=8554)
    parser.add_argument("--codec", choices=sorted(CODECS), default="mjpeg")
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--standby", action="store_true",
                        help="load, then wait for 'go PORT' on stdin before serving")
    return _serve(parser.parse_args(argv))


# -- the parent -------------------------------------------------------------

class RtspServer:
    """RTSP test cameras in child processes, restartable on one port."""

    def __init__(self, *, codec="mjpeg", width=320, height=240, fps=25, port=0):
        if codec not in CODECS:
            raise ValueError(f"codec must be one of {', '.join(CODECS)}, not {codec!r}")
        self._command = [sys.executable, os.path.abspath(__file__), "--standby",
                         "--codec", codec, "--width", str(int(width)),
                         "--height", str(int(height)), "--fps", str(int(fps))]
        self.port = int(port)
        self._running = None
        self._reserve = None
        self.url = None

    def _spawn(self):
        return subprocess.Popen(self._command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, bufsize=1)

    def start(self):
        """Serves (again) on the port; returns at once when already serving."""
        if self._running is not None:
            return self
        child, self._reserve = self._reserve or self._spawn(), None
        try:
            child.stdin.write(f"go {self.port}\n")
            child.stdin.flush()
            line = _read_line(child, _START_SECONDS)
        except OSError as exc:
            line = f"error: {exc}"
        if not line.startswith("serving "):
            _end(child)
            raise RuntimeError(f"the RTSP test server did not start: {line.strip() or 'no answer'}")
        self._running = child
        self.url = line.split()[1]
        self.port = int(self.url.rsplit(":", 1)[1].split("/")[0])
        self._reserve = self._spawn()
        return self

    def kill(self):
        """Ends the serving child at once, as a camera losing power would."""
        child, self._running = self._running, None
        if child is not None:
            child.kill()
            child.wait(10)
            _close_pipes(child)

    def close(self):
        self.kill()
        reserve, self._reserve = self._reserve, None
        if reserve is not None:
            _end(reserve)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.close()


def _read_line(child, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([child.stdout], [], [], 0.1)
        if ready:
            return child.stdout.readline()
        if child.poll() is not None:
            return ""
    return ""


def _close_pipes(child):
    for pipe in (child.stdin, child.stdout):
        try:
            pipe.close()
        except OSError:
            pass


def _end(child):
    _close_pipes(child)  # a waiting child leaves when its stdin closes
    try:
        child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait(5)


if __name__ == "__main__":
    sys.exit(main())
