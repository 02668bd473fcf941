#!/usr/bin/python3
"""Read a video stream with mivelo and report what arrives.

With no argument the demo starts the local MJPEG test server
(tools/stream_server.py), reads it through the HTTP pipeline factory for a
few seconds, prints progress, saves the first decoded frame as a PNG and
exits 0. Point it at your own camera with an HTTP URL:

    demo.py http://camera.local/video.mjpg

or with a GStreamer launch string that contains ``{url}`` (the custom
pipeline factory); the sink must be an appsink named ``main_sink``:

    demo.py --url http://camera.local/video.mjpg \\
        "souphttpsrc location={url} name=buffer_src ! decodebin \\
         ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"

Without ``--url`` a launch string is filled with the local test stream.
An error from the stream, or no frame in time, ends the demo with a one-line
message on stderr and exit code 1.
"""
import argparse
import logging
import pathlib
import sys
import threading
import time

_HERE = pathlib.Path(__file__).resolve().parent

try:
    import mivelo  # noqa: F401
except ImportError:  # running from a source checkout
    sys.path.insert(0, str(_HERE.parent))

PNG_TIMEOUT_SECONDS = 5.0


class DemoError(Exception):
    """Ends the demo with a one-line message and exit code 1."""


class StreamMonitor:
    """Bus watcher and completion callback; remembers what went wrong."""

    def __init__(self, Gst):
        self._Gst = Gst
        self.error = None
        self.ended = threading.Event()
        self.linked_at = None

    def watch(self, bus, message, pipeline):
        Gst = self._Gst
        if message.type == Gst.MessageType.ERROR and self.error is None:
            error, debug = message.parse_error()
            source = message.src.get_name() if message.src is not None else "pipeline"
            self.error = f"{source}: {error.message}"
            self.ended.set()
        elif message.type == Gst.MessageType.EOS:
            self.ended.set()
        elif message.type == Gst.MessageType.WARNING:
            warning, _ = message.parse_warning()
            print(f"warning: {warning.message}", file=sys.stderr)

    def complete(self, pipeline):
        self.linked_at = time.monotonic()


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Read a video stream with mivelo, print progress and save the first frame.")
    parser.add_argument(
        "source", nargs="?",
        help="an http(s) URL, or a launch string containing {url} "
             "(default: the local test stream)")
    parser.add_argument("--url", help="URL filled into a launch string's {url}")
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="how long to read (default: 5)")
    # Above the base class's stall timeout (10 s), so that a stream that
    # stalls or does not decode ends with the watchdog's error, which tells
    # which of the two it is.
    parser.add_argument("--timeout", type=float, default=15.0,
                        help="give up when no frame arrived after this many seconds (default: 15)")
    parser.add_argument("--png", default="first_frame.png",
                        help="where to save the first frame (default: first_frame.png)")
    args = parser.parse_args(argv)
    if not args.seconds > 0 or not args.timeout > 0:
        parser.error("--seconds and --timeout must be positive")
    if args.source is not None and "{url}" not in args.source:
        if not args.source.startswith(("http://", "https://")):
            parser.error("source must be an http(s) URL or a launch string containing {url}")
        if args.url is not None:
            parser.error("--url is only used with a launch string")
    return args


def describe(sample):
    structure = sample.get_caps().get_structure(0)
    ok_w, width = structure.get_int("width")
    ok_h, height = structure.get_int("height")
    size = f"{width}x{height}" if ok_w and ok_h else "size unknown"
    video_format = structure.get_string("format") or structure.get_name()
    return f"{size} {video_format}"


def save_png(sample, path, Gst):
    """Encode ``sample`` as PNG with GStreamer and write it to ``path``."""
    from mivelo.utils.gstreamer import Pipeline

    with Pipeline.from_launch_string(
            "appsrc name=src format=time ! decodebin ! videoconvert ! pngenc "
            "! appsink name=sink sync=false", None) as encoder:
        encoder.appsink = encoder.get_by_name("sink")
        src = encoder.get_by_name("src")
        src.set_property("caps", sample.get_caps())
        encoder.set_state(Gst.State.PLAYING)
        src.emit("push-buffer", sample.get_buffer())
        src.emit("end-of-stream")
        png = encoder.pull_sample(PNG_TIMEOUT_SECONDS)
        if png is None:
            raise DemoError("could not encode the first frame as PNG")
        buffer = png.get_buffer()
        data = buffer.extract_dup(0, buffer.get_size())
    try:
        pathlib.Path(path).write_bytes(data)
    except OSError as exc:
        raise DemoError(f"cannot write {path}: {exc.strerror}") from exc


def run(args):
    # First: selects the GStreamer version before the extension modules load it.
    from mivelo.utils.gstreamer import Gst, MissingElementError

    try:
        from mivelo.pipeline_factories.custom import CustomPipelineFactory
        from mivelo.pipeline_factories.http import HTTPPipelineFactory
    except ImportError as exc:
        raise DemoError(f"the mivelo extension modules are not available ({exc}); "
                        "build and install the package first") from exc
    from mivelo.errors import StreamSetupError

    server = None
    pipeline = None
    try:
        url = args.url
        if args.source is None or ("{url}" in args.source and url is None):
            sys.path.insert(0, str(_HERE))
            from stream_server import StreamServer

            server = StreamServer().start()
            url = server.url("/stream.mjpg")
            print(f"local test stream: {url}")
        monitor = StreamMonitor(Gst)
        started = time.monotonic()
        try:
            if args.source is not None and "{url}" in args.source:
                try:
                    factory = CustomPipelineFactory(args.source, url=url,
                                                    pipeline_watcher=monitor.watch,
                                                    on_complete=monitor.complete)
                except (KeyError, IndexError, ValueError) as exc:
                    raise DemoError(f"invalid launch string ({type(exc).__name__}: {exc}); "
                                    "{url} is the only field, write other braces doubled"
                                    ) from exc
            else:
                url = args.source or url
                factory = HTTPPipelineFactory(url=url, pipeline_watcher=monitor.watch,
                                              on_complete=monitor.complete)
            pipeline = factory.build()
        except (StreamSetupError, MissingElementError) as exc:
            raise DemoError(str(exc)) from exc
        print(f"reading {url} for {args.seconds:g} s")
        frames, first_at, first_sample, last_report = 0, None, None, started
        deadline = started + args.seconds
        while True:
            now = time.monotonic()
            if monitor.error is not None:
                raise DemoError(f"stream error from {monitor.error}")
            if first_at is None and now - started > args.timeout:
                raise DemoError(f"no frame from {url} within {args.timeout:g} s")
            if now >= deadline and first_at is not None:
                break
            sample = pipeline.pull_sample(0.1)
            if sample is None:
                if monitor.ended.is_set() and monitor.error is None:
                    # End of stream and every queued frame pulled.
                    if not frames:
                        raise DemoError(f"the stream {url} ended before any frame arrived")
                    print("the stream ended")
                    break
                continue
            frames += 1
            if first_sample is None:
                first_sample, first_at = sample, time.monotonic() - started
                print(f"first frame after {first_at:.2f} s: {describe(sample)}")
            if time.monotonic() - last_report >= 1.0:
                last_report = time.monotonic()
                elapsed = last_report - started
                print(f"{elapsed:5.1f} s  frames {frames:5d}  "
                      f"{frames / elapsed:5.1f} fps  {describe(sample)}")
        elapsed = time.monotonic() - started
        print(f"received {frames} frames in {elapsed:.1f} s ({frames / elapsed:.1f} fps), "
              f"first after {first_at:.2f} s")
        pipeline.close()
        save_png(first_sample, args.png, Gst)
        print(f"saved the first frame to {args.png}")
    finally:
        if pipeline is not None:
            pipeline.close()
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
