#!/usr/bin/python3
"""Read a video stream with mivelo's stream reader and report what arrives.

With no argument the demo starts the local MJPEG test server
(tools/stream_server.py), reads it through ``StreamReader`` for a few
seconds, prints progress, saves the first frame as a PNG and exits 0. Point
it at your own camera or file:

    demo.py http://camera.local/video.mjpg
    demo.py rtsp://camera.local/stream
    demo.py /videos/clip.mp4

or give a GStreamer launch string that contains ``{url}``; it ends in an
appsink named ``main_sink`` that gets BGR, RGB or GRAY8 frames:

    demo.py --url http://camera.local/video.mjpg \\
        "souphttpsrc location={url} name=buffer_src ! decodebin \\
         ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"

Without ``--url`` a launch string is filled with the local test stream.
A stream that fails is opened again up to twice; one that keeps failing, or
no frame in time, ends the demo with a one-line message on stderr and exit
code 1.
"""
import argparse
import logging
import pathlib
import struct
import sys
import time
import zlib

_HERE = pathlib.Path(__file__).resolve().parent

try:
    import mivelo  # noqa: F401
except ImportError:  # running from a source checkout
    sys.path.insert(0, str(_HERE.parent))

# Failed attempts in a row after which the demo gives up on a stream.
MAX_ATTEMPTS = 2


class DemoError(Exception):
    """Ends the demo with a one-line message and exit code 1."""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Read a video stream with mivelo, print progress and save the first frame.")
    parser.add_argument(
        "source", nargs="?",
        help="an http(s) or rtsp URL, a video file, or a launch string containing {url} "
             "(default: the local test stream)")
    parser.add_argument("--url", help="URL filled into a launch string's {url}")
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="how long to read (default: 5)")
    parser.add_argument("--timeout", type=float, default=15.0,
                        help="give up when no frame arrived after this many seconds (default: 15)")
    parser.add_argument("--png", default="first_frame.png",
                        help="where to save the first frame (default: first_frame.png)")
    args = parser.parse_args(argv)
    if not args.seconds > 0 or not args.timeout > 0:
        parser.error("--seconds and --timeout must be positive")
    if args.url is not None and (args.source is None or "{url}" not in args.source):
        parser.error("--url is only used with a launch string")
    return args


def describe(frame):
    return f"{frame.width}x{frame.height} {frame.format}"


def png_bytes(frame):
    """The frame as a PNG file (BGR and RGB in colour, GRAY8 in grey)."""
    pixels = bytes(frame)  # rows without their padding
    if frame.format == "GRAY8":
        colour_type, row = 0, frame.width
    elif frame.format in ("BGR", "RGB"):
        colour_type, row = 2, frame.width * 3
        if frame.format == "BGR":
            rgb = bytearray(pixels)
            rgb[0::3], rgb[2::3] = pixels[2::3], pixels[0::3]
            pixels = bytes(rgb)
    else:
        raise DemoError(f"cannot save a {frame.format} frame as PNG")
    # Each row starts with its filter type, 0 (none).
    rows = b"".join(b"\0" + pixels[y * row:(y + 1) * row] for y in range(frame.height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    header = struct.pack(">IIBBBBB", frame.width, frame.height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def save_png(frame, path):
    try:
        pathlib.Path(path).write_bytes(png_bytes(frame))
    except OSError as exc:
        raise DemoError(f"cannot write {path}: {exc.strerror}") from exc


def start_test_stream():
    """The local MJPEG test server, started; the caller closes it."""
    sys.path.insert(0, str(_HERE))
    from stream_server import StreamServer

    server = StreamServer().start()
    print(f"local test stream: {server.url('/stream.mjpg')}")
    return server


def open_reader(args, url):
    """A StreamReader for the demo's source; DemoError if it cannot be made."""
    try:
        from mivelo.errors import StreamSetupError
        from mivelo.stream_reader import StreamReader
        from mivelo.utils.gstreamer import MissingElementError
    except ImportError as exc:
        raise DemoError(f"the mivelo extension modules are not available ({exc}); "
                        "build and install the package first") from exc
    options = {"max_attempts": MAX_ATTEMPTS, "read_timeout": args.timeout}
    try:
        if args.source is not None and "{url}" in args.source:
            return StreamReader(args.source, options, url=url)
        return StreamReader(args.source or url, options)
    except (KeyError, IndexError) as exc:
        raise DemoError(f"invalid launch string ({type(exc).__name__}: {exc}); "
                        "{url} is the only field, write other braces doubled") from exc
    except (StreamSetupError, MissingElementError, ValueError) as exc:
        raise DemoError(str(exc)) from exc


class Progress:
    """Prints the first frame and then one line a second."""

    def __init__(self, reader):
        self.reader = reader
        self.started = self.last_line = time.monotonic()
        self.first = None
        self.first_at = None

    def frame(self, frame):
        now = time.monotonic()
        if self.first is None:
            self.first, self.first_at = frame, now - self.started
            print(f"first frame after {self.first_at:.2f} s: {describe(frame)}")
        if now - self.last_line >= 1.0:
            self.last_line = now
            stats = self.reader.stats
            print(f"{now - self.started:5.1f} s  frames {stats.frames:5d}  {stats.fps:5.1f} fps  "
                  f"dropped {stats.dropped}  reconnects {stats.reconnects}  {describe(frame)}")

    def summary(self):
        stats, took = self.reader.stats, time.monotonic() - self.started
        return (f"received {stats.frames} frames in {took:.1f} s "
                f"({stats.frames / took:.1f} fps), first after {self.first_at:.2f} s")


def read_for(reader, args):
    """Reads for ``args.seconds`` (or to the end of a file); the first frame."""
    from mivelo.stream_reader import StreamFailedError

    progress = Progress(reader)
    deadline = progress.started + args.seconds
    try:
        for frame in reader:
            progress.frame(frame)
            if time.monotonic() >= deadline:
                break
        else:
            print("the stream ended")
    except StreamFailedError as exc:
        raise DemoError(str(exc)) from exc
    except TimeoutError as exc:
        raise DemoError(f"no frame from {reader.url} within {args.timeout:g} s") from exc
    if progress.first is None:
        raise DemoError(f"{reader.url} ended before any frame arrived")
    print(progress.summary())
    return progress.first


def run(args):
    server = None
    try:
        url = args.url
        if args.source is None or ("{url}" in args.source and url is None):
            server = start_test_stream()
            url = server.url("/stream.mjpg")
        with open_reader(args, url) as reader:
            print(f"reading {reader.url} for {args.seconds:g} s")
            first = read_for(reader, args)
        save_png(first, args.png)
        print(f"saved the first frame to {args.png}")
    finally:
        if server is not None:
            server.close()


def main(argv=None):
    sys.stdout.reconfigure(line_buffering=True)
    args = parse_args(argv)
    logging.basicConfig(format="%(name)s: %(levelname)s: %(message)s", level=logging.WARNING)
    try:
        run(args)
    except DemoError as exc:
        print(f"demo: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001  (one line, never a traceback)
        print(f"demo: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
