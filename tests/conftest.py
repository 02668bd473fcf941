import os
import pathlib
import sys
import threading
import time

import pytest
from hypothesis import settings

# CI runs a fixed set of examples (the same on every run), so that a red run
# can be repeated and a change cannot fail on examples it did not cause;
# elsewhere every run explores new ones.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

try:
    # Chooses real GStreamer or the stand-in gi; must come before any gi import.
    from gst_support import REAL_GST
except ModuleNotFoundError as exc:
    if exc.name != "gst_support":
        raise
    REAL_GST = True

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
# The Python models of the extension modules (models/), imported as
# models.<name>.  Appended, so that mivelo is still the installed package and
# not the source folder beside models/.
sys.path.append(str(ROOT))

from stream_server import StreamServer  # noqa: E402

if REAL_GST:
    # Selects the GStreamer version before anything else loads Gst.
    import mivelo.utils.gstreamer  # noqa: E402,F401


@pytest.fixture(scope="session")
def stream_server():
    """The endless local MJPEG stream at 25 fps, 320x240."""
    with StreamServer(fps=25, width=320, height=240) as server:
        yield server


class BusRecorder:
    """A bus watcher that records every call and lets tests wait for one."""

    def __init__(self):
        self.calls = []
        self._cond = threading.Condition()

    def __call__(self, bus, message, pipeline):
        with self._cond:
            self.calls.append((bus, message, pipeline, threading.current_thread()))
            self._cond.notify_all()

    def messages(self, kind=None):
        with self._cond:
            return [m for _, m, _, _ in self.calls if kind is None or m.type == kind]

    def wait_for(self, kind, timeout):
        """Return the first message of ``kind``, or None after ``timeout`` s."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for _, message, _, _ in self.calls:
                    if message.type == kind:
                        return message
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._cond.wait(remaining)


@pytest.fixture
def bus_recorder():
    return BusRecorder()


def wait_until(predicate, timeout, interval=0.02):
    """Poll ``predicate`` until it is true or ``timeout`` seconds pass."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return bool(predicate())


def mivelo_threads():
    return [t for t in threading.enumerate() if t.name.startswith("mivelo-bus-")]
