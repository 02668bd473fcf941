"""Read a stream through a GStreamer launch string of your own.

    python3 examples/custom_pipeline.py http://camera.local/video.mjpg

The launch string names its source element "buffer_src" and ends in an
appsink named "main_sink"; "{url}" is replaced by the URL.  A string without
"{url}", or one that GStreamer cannot build, raises
InvalidCustomPipelineError.
"""
import sys
from typing import Any

from mivelo.errors import InvalidCustomPipelineError
from mivelo.pipeline_factories.custom import CustomPipelineFactory
from mivelo.utils.gstreamer import Pipeline
from mivelo.utils.timing import Timeout

LAUNCH = (
    'souphttpsrc location="{url}" name=buffer_src ! multipartdemux single-stream=true '
    "! jpegdec ! videoconvert ! video/x-raw,format=GRAY8 ! appsink name=main_sink"
)


def ignore_bus(bus: Any, message: Any, pipeline: Pipeline) -> None:
    pass


def first_frame_size(url: str, launch: str = LAUNCH) -> int:
    """The byte size of the first grey frame, or -1 when none came in 5 s."""
    factory = CustomPipelineFactory(launch, url=url, pipeline_watcher=ignore_bus, on_complete=None)
    with factory.build() as pipeline:
        timeout = Timeout(5, raise_error=False)
        while timeout:
            sample = pipeline.pull_sample(0.5)
            if sample is not None:
                size: int = sample.get_buffer().get_size()
                return size
    return -1


def main(url: str) -> int:
    try:
        CustomPipelineFactory("videotestsrc ! appsink name=main_sink", url=url,
                              pipeline_watcher=ignore_bus, on_complete=None)
    except InvalidCustomPipelineError as error:
        print(f"refused as expected: {error}")
    size = first_frame_size(url)
    print(f"first frame: {size} bytes" if size >= 0 else "no frame within 5 s")
    return 0 if size >= 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "http://127.0.0.1:8080/stream.mjpg"))
