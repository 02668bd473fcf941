"""End-to-end measurements on real GStreamer against the local MJPEG server.

Run by run.py in a child process (the memory rows in one grandchild per
pipeline count), with the URL of a running tools/stream_server.py:

    e2e.py latency URL     build() latency and time to the first frame
    e2e.py fps URL         frames per second through pipeline.appsink against
                           gst-launch-1.0 with the same source and decoding
    e2e.py per-frame URL   Python calls per frame on GStreamer's threads
    e2e.py memory URL N    resident memory per pipeline with N pipelines

Each prints one JSON object. Every wait is bounded.
"""
import collections
import contextlib
import gc
import json
import os
import re
import statistics
import subprocess
import sys
import time

import mivelo.utils.gstreamer  # noqa: F401  (selects the GStreamer version first)
import mivelo.pipeline_factories.base as base
from gi.repository import Gst
from mivelo.pipeline_factories import http

# models/ is imported as the package `models` from the repository's root,
# appended so that mivelo is still the installed package.
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from models import http as model_http  # noqa: E402

# Upper bound for any single wait for a frame.
FRAME_TIMEOUT = 10.0


def watcher(bus, message, pipeline):
    pass


def factories(url):
    """The extension module's factory and its model, for the same URL."""
    return {
        "cpp": http.HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None),
        "py": model_http.HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None),
    }


def first_sample(pipeline, deadline):
    while time.monotonic() < deadline:
        sample = pipeline.pull_sample(0.5)
        if sample is not None:
            return sample
    return None


# -- build() latency and time to first frame --------------------------------

def latency(url, rounds=30):
    made = factories(url)
    samples = {name: {"build": [], "first_frame": []} for name in made}
    for r in range(rounds + 1):
        for name in (list(made) if r % 2 == 0 else list(made)[::-1]):
            start = time.perf_counter()
            pipeline = made[name].build()
            built = time.perf_counter()
            try:
                sample = first_sample(pipeline, time.monotonic() + FRAME_TIMEOUT)
                got = time.perf_counter()
            finally:
                pipeline.close()
            if sample is None:
                raise RuntimeError(f"no frame from {url} within {FRAME_TIMEOUT} s")
            if r == 0:
                continue  # warm-up: plugins loaded, server frames cached
            samples[name]["build"].append((built - start) * 1e3)
            samples[name]["first_frame"].append((got - start) * 1e3)
    result = {name: {what: statistics.median(values) for what, values in rows.items()}
              for name, rows in samples.items()}
    for what in ("build", "first_frame"):
        # Paired by round, so that a burst of load elsewhere hits both.
        result[f"{what}_ratio"] = statistics.median(
            c / p for c, p in zip(samples["cpp"][what], samples["py"][what]))
        result[f"{what}_best"] = {name: min(samples[name][what]) for name in samples}
    return result


# -- frames per second ------------------------------------------------------

def decode_chain(pipeline):
    """The launch syntax of what decodebin plugged between source and converter."""
    roles = {"Demuxer": [], "Parser": [], "Decoder": []}
    queue = False
    bins = [pipeline.gst_pipeline]
    while bins:
        iterator = bins.pop().iterate_elements()
        while True:
            result, element = iterator.next()
            if result != Gst.IteratorResult.OK:
                break
            if isinstance(element, Gst.Bin):
                bins.append(element)
            factory = element.get_factory()
            if factory is None:
                continue
            name = factory.get_name()
            klass = factory.get_metadata("klass") or ""
            if name == "multiqueue":
                queue = True
            for role, found in roles.items():
                if role in klass and "Source" not in klass and "Bin" not in klass:
                    found.append(name + (" single-stream=true" if name == "multipartdemux" else ""))
    chain = roles["Demuxer"] + (["queue"] if queue else []) + roles["Parser"] + roles["Decoder"]
    if not roles["Decoder"]:
        raise RuntimeError("decodebin plugged no decoder")
    return " ! ".join(chain)


def gst_launch_fps(url, chain, frames):
    """Frames per second of gst-launch-1.0 decoding `frames` frames into fakesink."""
    launch = (f'souphttpsrc location="{url}?fps=100000&frames={frames}" ! {chain} '
              "! videoconvert ! video/x-raw,format=BGR ! fakesink sync=false")
    done = subprocess.run(["gst-launch-1.0", *launch.split()], capture_output=True, text=True,
                          timeout=120)
    found = re.search(r"Execution ended after (\d+):(\d+):(\d+\.\d+)", done.stdout)
    if done.returncode != 0 or not found:
        raise RuntimeError(f"gst-launch-1.0 failed: {done.stdout[-500:]} {done.stderr[-500:]}")
    hours, minutes, seconds = found.groups()
    return frames / (int(hours) * 3600 + int(minutes) * 60 + float(seconds))


@contextlib.contextmanager
def module_settings(settings):
    """Rebinds module attributes, {(module, name): value}, for a while."""
    saved = {key: getattr(*key) for key in settings}
    try:
        for (module, name), value in settings.items():
            setattr(module, name, value)
        yield
    finally:
        for (module, name), value in saved.items():
            setattr(module, name, value)


def appsink_fps(url, frames, settings=None):
    """Frames per second pulled from pipeline.appsink over a stream of `frames`."""
    with module_settings(settings or {}):
        factory = http.HTTPPipelineFactory(url=f"{url}?fps=100000&frames={frames}",
                                           pipeline_watcher=watcher, on_complete=None)
        pipeline = factory.build()
    try:
        count, first, last = 0, None, None
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            sample = pipeline.pull_sample(1.0)
            if sample is None:
                if pipeline.appsink.get_property("eos"):
                    break
                continue
            last = time.perf_counter()
            first = first or last
            count += 1
    finally:
        pipeline.close()
    if count < 2:
        raise RuntimeError("the appsink delivered fewer than two frames")
    return (count - 1) / (last - first), count


def fps(url, rounds=5, seconds=3.0):
    probe = factories(url)["cpp"].build()
    try:
        first_sample(probe, time.monotonic() + FRAME_TIMEOUT)
        chain = decode_chain(probe)
    finally:
        probe.close()
    estimate = gst_launch_fps(url, chain, 300)
    frames = max(300, int(estimate * seconds))
    variants = {
        "gst_launch": None,
        "appsink": {},
        # A frame-rate limit far above the stream's rate: every frame passes,
        # but each goes through the limiter's Python buffer probe.
        "appsink_limited": {(http, "_FRAMERATE_LIMIT"): 1e5},
    }
    if getattr(base, "_STALL_TIMEOUT_SECONDS", None) is not None:
        # The stall watchdog switched off, to show what its polling costs.
        variants["appsink_no_watchdog"] = {(base, "_STALL_TIMEOUT_SECONDS"): None}
    rates = {name: [] for name in variants}
    shares = []
    for r in range(rounds):
        for name in (list(variants) if r % 2 == 0 else list(variants)[::-1]):
            if variants[name] is None:
                rates[name].append(gst_launch_fps(url, chain, frames))
                continue
            rate, count = appsink_fps(url, frames, variants[name])
            rates[name].append(rate)
            if name == "appsink":
                shares.append(count / frames)
    # Load from elsewhere only ever slows a run down, so the best of the
    # interleaved runs of each kind is what this machine can do.
    best = {name: max(values) for name, values in rates.items()}
    return {
        "chain": chain, "frames": frames, "best": best,
        "ratio": {name: best[name] / best["gst_launch"] for name in best},
        "pulled_share": statistics.median(shares), "rounds": rates,
    }


# -- Python per frame -------------------------------------------------------

def _callback_name(callback):
    function = getattr(callback, "__func__", callback)
    return getattr(function, "__qualname__", None) or type(callback).__qualname__


def per_frame(url, seconds=2.0):
    """Counts the Python callbacks that GStreamer's threads run per frame.

    Every pad probe and signal handler that the package registers while a
    pipeline is built is wrapped in a counter (by wrapping Gst.Pad.add_probe
    and GObject.Object.connect), and so is the bus watcher; then the calls
    are counted over a window of steady streaming, after setup.
    """
    from gi.repository import GObject

    counts = collections.Counter()

    def counting(name, function):
        def wrapper(*args, **kwargs):
            counts[name] += 1
            return function(*args, **kwargs)
        return wrapper

    def add_probe(pad, mask, callback, *args):
        return original_add_probe(pad, mask, counting(
            f"pad probe {_callback_name(callback)}", callback), *args)

    def connect(obj, signal, callback, *args):
        return original_connect(obj, signal, counting(
            f"signal {signal}: {_callback_name(callback)}", callback), *args)

    original_add_probe = Gst.Pad.add_probe
    original_connect = GObject.Object.connect
    Gst.Pad.add_probe = add_probe
    GObject.Object.connect = connect
    result = {}
    try:
        for label, settings in (("default", {}),
                                ("with _FRAMERATE_LIMIT", {(http, "_FRAMERATE_LIMIT"): 1e5})):
            counts.clear()
            with module_settings(settings):
                factory = http.HTTPPipelineFactory(
                    url=f"{url}?fps=100000", on_complete=counting("on_complete", lambda p: None),
                    pipeline_watcher=counting("bus watcher", watcher))
                pipeline = factory.build()
            try:
                # Setup (bus messages of the state changes, decodebin's
                # signals, on_complete) happens before and around the first
                # frames; what runs per frame shows in the window after it.
                first_sample(pipeline, time.monotonic() + FRAME_TIMEOUT)
                end = time.monotonic() + 0.5
                while time.monotonic() < end:
                    pipeline.pull_sample(0.5)
                setup = dict(counts)
                frames = 0
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    if pipeline.pull_sample(0.5) is not None:
                        frames += 1
                window = {name: counts[name] - setup.get(name, 0) for name in counts}
            finally:
                pipeline.close()
            result[label] = {
                "frames": frames, "setup_calls": sum(setup.values()),
                "per_frame": sum(window.values()) / max(frames, 1),
                "per_frame_by_callback": {name: calls / max(frames, 1)
                                          for name, calls in sorted(window.items()) if calls},
            }
    finally:
        Gst.Pad.add_probe = original_add_probe
        GObject.Object.connect = original_connect
    result["pull_sample_overhead_ns"] = pull_sample_overhead()
    return result


def pull_sample_overhead(number=20000, rounds=7):
    """What Pipeline.pull_sample() adds in Python to appsink.try_pull_sample()."""
    pipeline = mivelo.utils.gstreamer.Pipeline(None)
    try:
        pipeline.appsink = pipeline.new_element("appsink", properties={})
        sink = pipeline.appsink
        wrapped, direct = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            for _ in range(number):
                pipeline.pull_sample(0)
            wrapped.append(time.perf_counter() - start)
            start = time.perf_counter()
            for _ in range(number):
                sink.try_pull_sample(0)
            direct.append(time.perf_counter() - start)
        return (min(wrapped) - min(direct)) / number * 1e9
    finally:
        pipeline.close()


# -- memory -----------------------------------------------------------------

def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def memory(url, count, settle=1.5):
    factory = http.HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None)
    warm = factory.build()  # loads the plugins and their libraries
    try:
        first_sample(warm, time.monotonic() + FRAME_TIMEOUT)
    finally:
        warm.close()
    gc.collect()
    time.sleep(0.3)
    before = rss_kib()
    pipelines = [factory.build() for _ in range(count)]
    try:
        deadline = time.monotonic() + FRAME_TIMEOUT
        for pipeline in pipelines:
            if first_sample(pipeline, deadline) is None:
                raise RuntimeError("a pipeline delivered no frame in time")
        end = time.monotonic() + settle
        while time.monotonic() < end:
            for pipeline in pipelines:
                pipeline.pull_sample(0.005)
        gc.collect()
        after = rss_kib()
        threads = len(os.listdir("/proc/self/task"))
    finally:
        for pipeline in pipelines:
            pipeline.close()
    return {"count": count, "before_kib": before, "after_kib": after,
            "per_pipeline_kib": (after - before) / count, "threads": threads}


def main(argv):
    what, url = argv[0], argv[1]
    if what == "latency":
        result = latency(url)
    elif what == "fps":
        result = fps(url)
    elif what == "per-frame":
        result = per_frame(url)
    elif what == "memory":
        result = memory(url, int(argv[2]))
    else:
        raise SystemExit(f"unknown measurement {what!r}")
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
