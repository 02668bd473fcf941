"""What a stream reader reads, and which factory builds its pipelines.

``Source(source, url, options)`` sorts what the caller gave:

* an ``http://`` or ``https://`` URL: ``HTTPPipelineFactory``;
* an ``rtsp://`` URL (and rtspsrc's other ``rtsp*`` schemes), a local file
  (a path, an ``os.PathLike`` or a ``file://`` URL): ``CustomPipelineFactory``
  with a launch template of this module (``RTSP_LAUNCH``, ``FILE_LAUNCH``),
  so that the factory's URL rule guards the URL;
* a launch string of the caller's own with ``{url}``, given with ``url=``:
  ``CustomPipelineFactory`` with that string. A source that names an
  existing file is that file, whatever its name holds.

A file's path never goes into a launch string: its ``file://`` URI does,
percent-encoded from the path's bytes, which leaves nothing that the launch
syntax reads (no quote, backslash, white space or brace) and which GStreamer
decodes back to the same bytes. So every file that ``open()`` opens is read,
whatever its name, and the URL rule still guards the string.
"""
import os
import pathlib
import urllib.parse

from mivelo.errors import SourceNotFoundError
from mivelo.utils.credentials import mask_text, mask_url
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.pipeline_factories.http import HTTPPipelineFactory
from mivelo.utils.gstreamer import pipeline_settings

__all__ = ["FILE_LAUNCH", "READ_CONVERTED", "RTSP_LAUNCH", "Source"]

# Launch templates for RTSP cameras and local files ("{frames}" is what
# follows the decoder, see Source.decoded; "{url}" stays for the factory to
# fill in). The RTSP source exposes one pad per stream of the camera; only
# video is linked, through the element that the factories call the buffer
# source, so that audio can stay unlinked without stopping the stream. The
# jitter buffer waits up to 200 ms for late packets, instead of rtspsrc's
# default of 2 s.
RTSP_LAUNCH = (
    'rtspsrc location="{{url}}" latency=200 ! application/x-rtp,media=video '
    "! queue name=buffer_src ! decodebin ! {frames} ! appsink name=main_sink"
)
# A file is read through a queue, which decodebin's demuxer then reads in
# push mode: reading a file in pull mode, the demuxer starts its own thread
# while decodebin is still plugging it, and an ERROR posted in that moment
# (a file with no index, a truncated one) is lost inside decodebin, which
# then waits for pads that never come. "{url}" is the file's URI, from which
# urisourcebin makes the file source (it hands on the file's bytes as they
# are, with no buffering of its own).
FILE_LAUNCH = (
    'urisourcebin uri="{{url}}" ! queue name=buffer_src ! decodebin ! {frames} '
    "! appsink name=main_sink"
)
# Pixel formats that the frame module converts the decoded frames to while
# reading them (the decoders' YUV, pixel for pixel as videoconvert would);
# the others are converted in the pipeline.
READ_CONVERTED = ("BGR", "RGB")


class Source:
    """What a reader reads and which factory builds its pipelines.

    ``kind`` is "http", "rtsp", "file" or "launch"; ``url`` the URL as
    given, or a file's path; ``shown`` how texts for people name it (a
    password masked, a path's undecodable bytes escaped); ``filled`` what
    fills the factory's ``{url}`` (a file's URI); ``finite`` True for a
    local file (or a launch string that reads one), which ends rather than
    being reopened, and None where only the stream itself can tell (see
    ``connection``), unless the ``finite`` option decides;
    ``convert_to`` the pixel format that ``pull()`` converts the frames to
    as they are read (BGR or RGB), or None when the pipeline delivers them
    in the reader's format.
    """

    def __init__(self, source, url, options):
        path = None
        if isinstance(source, os.PathLike):
            path = source = os.fsdecode(os.fspath(source))
        elif not isinstance(source, str):
            raise TypeError(f"source must be a str or an os.PathLike, not "
                            f"{type(source).__name__}")
        if url is not None and not isinstance(url, str):
            raise TypeError(f"url must be a str or None, not {type(url).__name__}")
        if not source:
            raise ValueError("source is empty: give an http(s):// or rtsp:// URL, a file path "
                             "or file:// URL, or a launch string with {url}")
        self.pixel_format = options.pixel_format
        self.convert_to = None
        if path is None and "{url}" in source and not _is_file(source):
            self._launch_string(source, url, options)
        elif url is not None:
            raise ValueError("url= is for a launch string with {url}; "
                             f"{mask_text(repr(source))} " + (
                                 "names a file" if path is not None or "{url}" in source
                                 else "holds no {url}"))
        else:
            self._url(source, path)
        if options.finite is not None:
            self.finite = options.finite  # the caller's word is the last

    def _launch_string(self, source, url, options):
        if url is None:
            raise ValueError("a launch string needs the URL to fill in: pass url=...")
        if options.pixel_format_given:
            raise ValueError("option 'pixel_format' does not apply to a launch string of your "
                             "own: convert the frames in it (videoconvert ! "
                             "video/x-raw,format=BGR ! appsink name=main_sink)")
        self.kind, self.url, self.launch = "launch", url, source
        self.shown, self.filled = mask_url(url), url
        path = _file_path(url)
        self.finite = True if path is not None and os.path.isfile(path) else None

    def _url(self, source, path):
        scheme = "" if path is not None else urllib.parse.urlsplit(source).scheme.lower()
        self.launch = None
        self.shown = mask_url(source)
        self.finite = None
        # How the frames are converted, for the factories' pipelines: by the
        # frame module as they are read, or by videoconvert in the pipeline.
        if self.pixel_format in READ_CONVERTED:
            self.convert_to = self.pixel_format
            frames = "video/x-raw"
        else:
            frames = f"videoconvert ! video/x-raw,format={self.pixel_format}"
        self.filled = source
        if scheme in ("http", "https"):
            self.kind, self.url = "http", source
            return
        if scheme.startswith("rtsp"):
            self.kind, self.url = "rtsp", source
            self.launch = RTSP_LAUNCH.format(frames=frames)
            return
        if path is None:
            path = _file_path(source)
        if path is None:
            raise ValueError(f"cannot read {mask_text(repr(source))}: give an http(s):// or "
                             "rtsp:// URL, a file path or file:// URL, or a launch string "
                             "with {url}")
        self.shown = os.fsencode(path).decode("utf-8", "backslashreplace")
        if not os.path.isfile(path):
            raise SourceNotFoundError(
                f"{self.shown} is a directory, not a video file" if os.path.isdir(path)
                else f"{self.shown} is not a regular file" if os.path.exists(path)
                else f"no such file: {self.shown}")
        self.kind, self.url, self.finite = "file", path, True
        self.filled = pathlib.Path(os.path.abspath(path)).as_uri()
        self.launch = FILE_LAUNCH.format(frames=frames)

    def build(self, watcher, settings):
        """A new, started pipeline with ``settings`` (``PipelineSettings``,
        its frame format filled in here); its bus messages go to ``watcher``."""
        with pipeline_settings(settings._replace(frame_format=self.pixel_format,
                                                 converted=self.convert_to is None)):
            if self.kind == "http":
                factory = HTTPPipelineFactory(url=self.url, pipeline_watcher=watcher,
                                              on_complete=None)
            else:
                factory = CustomPipelineFactory(self.launch, url=self.filled,
                                                pipeline_watcher=watcher, on_complete=None)
            return factory.build()


def _file_path(text):
    """The local path that ``text`` names as a path or file:// URL, or None."""
    parts = urllib.parse.urlsplit(text)
    scheme = parts.scheme.lower()
    if scheme == "file":
        if parts.netloc not in ("", "localhost"):
            raise ValueError(f"{mask_text(repr(text))} names a file on another host")
        # Decoded to the bytes it names, which need not be UTF-8.
        return os.fsdecode(urllib.parse.unquote_to_bytes(parts.path))
    if scheme == "" or os.path.exists(text):
        return text
    return None


def _is_file(text):
    """Whether ``text`` names an existing file, as a path or file:// URL."""
    try:
        path = _file_path(text)
    except ValueError:
        return False
    return path is not None and os.path.isfile(path)
