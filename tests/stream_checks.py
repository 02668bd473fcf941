"""Helpers for the tests that read real streams through both factories."""
import os
import threading
import time

from helpers import mivelo_threads, wait_until

# Launch string that decodes whatever the URL serves, as a custom pipeline.
DECODE_LAUNCH = (
    "souphttpsrc location={url} name=buffer_src ! decodebin ! videoconvert "
    "! video/x-raw,format=BGR ! appsink name=main_sink"
)

FACTORIES = ("http", "custom")


def build(kind, url, watcher, on_complete=None, launch=DECODE_LAUNCH):
    """A started pipeline for ``url`` from the HTTP or the custom factory."""
    if kind == "http":
        from mivelo.pipeline_factories.http import HTTPPipelineFactory

        factory = HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=on_complete)
    else:
        from mivelo.pipeline_factories.custom import CustomPipelineFactory

        factory = CustomPipelineFactory(launch, url=url, pipeline_watcher=watcher,
                                        on_complete=on_complete)
    return factory.build()


def socket_count():
    """TCP sockets open in this process (the test server's included).

    Unix socket pairs are left out: GStreamer's buses wake their readers
    through one, and a test that keeps bus messages keeps their buses.
    """
    tcp_inodes = set()
    for table in ("/proc/self/net/tcp", "/proc/self/net/tcp6"):
        try:
            with open(table) as lines:
                next(lines)
                tcp_inodes.update(line.split()[9] for line in lines)
        except OSError:  # no IPv6
            pass
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed since listed
            continue
        if target.startswith("socket:[") and target[8:-1] in tcp_inodes:
            count += 1
    return count


class ResourceSnapshot:
    """What the process holds before a pipeline; ``released`` checks it is back."""

    def __init__(self, server=None):
        self.server = server
        self.threads = set(mivelo_threads())
        self.sockets = socket_count()
        self.connections = server.active_connections if server is not None else 0

    def leftovers(self):
        found = []
        threads = set(mivelo_threads()) - self.threads
        if threads:
            found.append(f"threads {sorted(t.name for t in threads)}")
        if socket_count() > self.sockets:
            found.append(f"{socket_count() - self.sockets} TCP sockets")
        if self.server is not None and self.server.active_connections > self.connections:
            found.append(f"{self.server.active_connections - self.connections} server connections")
        return found

    def assert_released(self, timeout=3.0):
        wait_until(lambda: not self.leftovers(), timeout)
        assert not self.leftovers(), self.leftovers()


class Timer:
    def __init__(self):
        self.started = time.monotonic()

    @property
    def elapsed(self):
        return time.monotonic() - self.started


def pull_all(pipeline, timeout, limit=None):
    """Samples until the stream ends, ``limit`` is reached or none comes in ``timeout`` s."""
    samples = []
    while limit is None or len(samples) < limit:
        sample = pipeline.pull_sample(timeout)
        if sample is None:
            break
        samples.append(sample)
    return samples


def run_in_thread(function, timeout):
    """Run ``function()`` on a thread; return (finished, result) after at most ``timeout`` s."""
    result = []
    thread = threading.Thread(target=lambda: result.append(function()), daemon=True)
    thread.start()
    thread.join(timeout)
    return (not thread.is_alive()), (result[0] if result else None)
