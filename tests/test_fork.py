"""GStreamer in children made by os.fork(): one forked after GStreamer
streamed refuses to build a pipeline at once, naming the cause and the
remedy, and lets go of its parent's pipelines without waiting for them;
one forked before streams as any other process."""
import ast
import atexit
import os
import subprocess
import sys

import pytest

from helpers import REAL_GST, in_child, needs_gst, wait_until
from stream_checks import DECODE_LAUNCH, build
from stream_server import closed_port

pytestmark = needs_gst

if REAL_GST:
    from mivelo.stream_reader import StreamReader
    from mivelo.utils.gstreamer import ForkedProcessError, Pipeline

PROMPT_SECONDS = 1.0  # for a loaded machine: a refusal takes microseconds


@pytest.fixture(params=["playing", "closed"])
def parent_streamed(request, stream_server):
    """The parent has streamed; its pipeline still plays, or is closed."""
    with build("http", stream_server.url(), lambda *args: None) as pipeline:
        assert pipeline.pull_sample(5.0) is not None
        if request.param == "closed":
            pipeline.close()
        yield pipeline


BUILDS = {
    "Pipeline": lambda url: Pipeline(url),
    "from_launch_string": lambda url: Pipeline.from_launch_string("fakesrc ! fakesink", url),
    "http-factory": lambda url: build("http", url, lambda *args: None),
    "custom-factory": lambda url: build("custom", url, lambda *args: None, launch=DECODE_LAUNCH),
    "reader": lambda url: StreamReader(url),
}


@pytest.mark.parametrize("way", BUILDS)
def test_a_child_forked_after_streaming_refuses_at_once(parent_streamed, stream_server, way):
    kind, text, seconds = in_child(lambda: BUILDS[way](stream_server.url()))
    assert kind == ForkedProcessError.__name__ and issubclass(ForkedProcessError, RuntimeError)
    assert "fork" in text and "'spawn'" in text and "'forkserver'" in text
    assert seconds < PROMPT_SECONDS


@pytest.mark.parametrize("state", ["streaming", "waiting"])
def test_a_reader_from_before_the_fork_refuses_in_the_child(stream_server, state):
    # Its sink would wait for threads that stayed behind, and a reconnect that
    # took the refusal for a failed attempt would try again (read until it
    # streams, or until it failed and waits for its pause).
    pause = 0.3
    url = stream_server.url() if state == "streaming" else f"http://127.0.0.1:{closed_port()}/"
    with StreamReader(url, {"backoff_min": pause, "backoff_max": pause}) as reader:
        assert wait_until(lambda: (reader.read(0.05), reader.stats.last_error)[
            state == "waiting"] is not None, 5.0)
        kind, _, seconds = in_child(lambda: reader.read(5.0))
    assert kind == ForkedProcessError.__name__ and seconds < pause + PROMPT_SECONDS


def test_a_child_lets_the_parents_pipelines_go_at_once(parent_streamed):
    def leave():
        parent_streamed.close()
        atexit._run_exitfuncs()  # what leaving without os._exit runs
        return parent_streamed.closed

    was_closed = parent_streamed.closed
    kind, closed, seconds = in_child(leave)
    assert (kind, closed) == ("returned", "True") and seconds < PROMPT_SECONDS
    assert parent_streamed.closed is was_closed  # in the parent


# A fresh interpreter forks once before anything streamed, and once after a
# pipeline built without the package streamed (its GLib pool threads stay).
FRESH = """
import sys
from gi.repository import Gst
from helpers import in_child
from mivelo.utils.gstreamer import Pipeline

def stream():
    pipeline = Pipeline.from_launch_string("videotestsrc num-buffers=3 ! appsink name=s", None)
    pipeline.appsink = pipeline.get_by_name("s")
    pipeline.set_state(Gst.State.PLAYING)
    with pipeline:
        return pipeline.pull_sample(5.0) is not None

if sys.argv[1] == "outside":
    plain = Gst.parse_launch("videotestsrc num-buffers=3 ! fakesink")
    plain.set_state(Gst.State.PLAYING)
    plain.get_bus().timed_pop_filtered(5 * Gst.SECOND, Gst.MessageType.EOS)
    plain.set_state(Gst.State.NULL)
print(in_child(stream)[:2])
"""


@pytest.mark.parametrize("before, outcome", [("nothing", ("returned", "True")),
                                             ("outside", ("ForkedProcessError",))])
def test_what_the_parent_streamed_decides(before, outcome):
    done = subprocess.run([sys.executable, "-c", FRESH, before], capture_output=True,
                          text=True, timeout=60, cwd=os.path.dirname(__file__))
    assert ast.literal_eval(done.stdout.strip())[:len(outcome)] == outcome, done.stderr
