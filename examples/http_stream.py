"""Read a few frames of an MJPEG (or any decodable) stream over HTTP.

    python3 examples/http_stream.py http://camera.local/video.mjpg

Prints the size of each frame as it arrives, and stops after ten frames or
ten seconds, whichever comes first.
"""
import sys
from typing import Any, List

from mivelo.pipeline_factories.http import HTTPPipelineFactory
from mivelo.utils.gstreamer import Pipeline
from mivelo.utils.timing import Timeout


def on_bus_message(bus: Any, message: Any, pipeline: Pipeline) -> None:
    # Called on a thread of the package for every message of the pipeline,
    # in order; errors end up here as well as in the log.
    if message.type.value_nick == "error":
        error, _debug = message.parse_error()
        print(f"stream error: {error.message}", file=sys.stderr)


def main(url: str) -> int:
    started: List[Pipeline] = []
    factory = HTTPPipelineFactory(
        url=url, pipeline_watcher=on_bus_message, on_complete=started.append
    )
    frames = 0
    with factory.build() as pipeline:
        timeout = Timeout(10, raise_error=False)
        while timeout and frames < 10:
            sample = pipeline.pull_sample(0.5)
            if sample is None:
                continue
            structure = sample.get_caps().get_structure(0)
            width = structure.get_value("width")
            height = structure.get_value("height")
            frames += 1
            print(f"frame {frames}: {width}x{height}")
    print(f"{frames} frames; decoding started: {bool(started)}")
    return 0 if frames else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "http://127.0.0.1:8080/stream.mjpg"))
