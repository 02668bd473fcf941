"""Fixtures and hooks.  What test modules import lives in helpers.py and
fakes.py."""
import os
import pathlib
import sys

import pytest
from hypothesis import settings

# CI runs a fixed set of examples (the same on every run), so that a red run
# can be repeated and a change cannot fail on examples it did not cause;
# elsewhere every run explores new ones.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

# Chooses real GStreamer or the stand-in gi; must come before any gi import.
from gst_support import REAL_GST  # noqa: I100

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
# The Python models of the extension modules (models/), imported as
# models.<name>.  Appended, so that mivelo is still the installed package and
# not the source folder beside models/.
sys.path.append(str(ROOT))

from helpers import BusRecorder, wait_until  # noqa: E402
from stream_server import StreamServer  # noqa: E402

if REAL_GST:
    # Selects the GStreamer version before anything else loads Gst.
    import mivelo.utils.gstreamer  # noqa: E402,F401


@pytest.fixture(scope="session")
def stream_server():
    """The endless local MJPEG stream at 25 fps, 320x240."""
    with StreamServer(fps=25, width=320, height=240) as server:
        yield server


@pytest.fixture
def idle_stream_server(stream_server):
    """The session's stream server once the connections of earlier tests are
    gone (each test waits for its own to go), for tests that count the
    connections they make."""
    wait_until(lambda: stream_server.active_connections == 0, timeout=5)
    return stream_server


@pytest.fixture
def bus_recorder():
    return BusRecorder()


@pytest.fixture
def launch():
    """launch(string, play=True) -> (pipeline, its element named "sink"): a
    pipeline of the package from a launch string, playing unless asked not
    to; every pipeline is closed after the test."""
    from gi.repository import Gst

    from mivelo.utils.gstreamer import Pipeline

    pipelines = []

    def start(string, play=True):
        pipeline = Pipeline.from_launch_string(string, None)
        pipelines.append(pipeline)
        if play:
            pipeline.set_state(Gst.State.PLAYING)
        return pipeline, pipeline.get_by_name("sink")

    yield start
    for pipeline in pipelines:
        pipeline.close()
