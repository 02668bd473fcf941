"""The stream reader, measured against the plain PyGObject way and GStreamer.

Run by run.py in child processes; each prints one JSON object:

    reader.py per-frame           read() + numpy.asarray(frame) against
                                  try-pull-sample + extract_dup + numpy.frombuffer,
                                  with the frames already waiting
    reader.py fps URL             frames per second through a reader against
                                  gst-launch-1.0 with the same source and decoding
    reader.py gil URL             a pure-Python counting thread alone, and while
                                  4 readers wait on URL (a 25 fps stream)
    reader.py many URL N          N readers on URL at once: frames per second each

Every wait is bounded.
"""
import json
import os
import statistics
import sys
import threading
import time

import numpy

import mivelo.utils.gstreamer  # noqa: F401  (selects the GStreamer version first)
from gi.repository import Gst
from mivelo.pipeline_factories import custom
from mivelo.stream_reader import StreamFailedError, StreamReader
from mivelo.utils.gstreamer import Pipeline

import e2e

SIZES = ((640, 480), (1920, 1080), (3840, 2160))
# Frames timed per round, the same at every size (with one more read first,
# so that what a reader does once, on its first frame, is not counted).
FRAMES = 32
ROUNDS = 7


# -- per frame, frames already waiting --------------------------------------

def waiting_frames(width, height, frames):
    """A launch string whose frames all wait decoded in the appsink once made,
    so that reading them costs no production and no hand-over between
    threads. Both ways keep what they read until the clock stops, so that
    neither pays inside the measurement for giving frames back (freeing a 4K
    frame's memory takes longer than reading it)."""
    return (f"videotestsrc name=buffer_src pattern=ball num-buffers={frames} "
            f"! video/x-raw,format=BGR,width={width},height={height} "
            "! appsink name=main_sink")


def sink_settings(frames):
    return {"sync": False, "max-buffers": frames, "drop": False}


def wait_until_made(sink, frames, deadline=60.0):
    """Waits until every frame is decoded and waiting in the sink."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if sink.get_property("stats").get_uint64("rendered")[1] >= frames:
            return
        time.sleep(0.005)
    raise RuntimeError("the frames were not made in time")


def reader_round(width, height, frames):
    """Seconds of each read() + numpy.asarray(frame)."""
    launch = waiting_frames(width, height, frames).replace(f"num-buffers={frames}",
                                                           "num-buffers={url}")
    # The factory gives the sink the settings of this module global at build().
    with e2e.module_settings({(custom, "_APPSINK_PROPERTIES"): sink_settings(frames + 1)}):
        reader = StreamReader(launch, url=str(frames + 1))
    with reader:
        wait_until_made(reader._connection.appsink, frames + 1)  # noqa: SLF001  (only to wait)
        kept = [reader.read(30.0)]
        took = []
        for _ in range(frames):
            started = time.perf_counter()
            frame = reader.read(30.0)
            kept.append(numpy.asarray(frame))
            took.append(time.perf_counter() - started)
        del frame, kept
    return took


def plain_round(width, height, frames):
    """Seconds of each try-pull-sample + extract_dup + numpy.frombuffer."""
    settings = " ".join(f"{k}={str(v).lower()}" for k, v in sink_settings(frames + 1).items())
    launch = waiting_frames(width, height, frames + 1) + " " + settings
    with Pipeline.from_launch_string(launch, None) as pipeline:
        sink = pipeline.get_by_name("main_sink")
        pipeline.set_state(Gst.State.PLAYING)
        wait_until_made(sink, frames + 1)
        kept = [sink.emit("try-pull-sample", 30 * Gst.SECOND)]
        took = []
        for _ in range(frames):
            started = time.perf_counter()
            sample = sink.emit("try-pull-sample", 30 * Gst.SECOND)
            buffer = sample.get_buffer()
            kept.append(numpy.frombuffer(buffer.extract_dup(0, buffer.get_size()),
                                         dtype=numpy.uint8))
            took.append(time.perf_counter() - started)
        del sample, buffer, kept
    return took


def per_frame(rounds=ROUNDS):
    """Median seconds per frame of each way at each size, over every frame of
    interleaved rounds: a frame during which another process took the CPU
    shows as an outlier, which the median leaves out."""
    result = {}
    for width, height in SIZES:
        times = {"reader": [], "plain": []}
        for r in range(rounds + 1):
            order = ("reader", "plain") if r % 2 == 0 else ("plain", "reader")
            for name in order:
                took = (reader_round if name == "reader" else plain_round)(width, height, FRAMES)
                if r:  # the first round warms up
                    times[name].extend(took)
        us = {name: statistics.median(values) * 1e6 for name, values in times.items()}
        result[f"{width}x{height}"] = {"us": us, "ratio": us["reader"] / us["plain"]}
    return result


# -- frames per second against gst-launch-1.0 --------------------------------

def reader_fps(url, frames):
    """Frames per second that one reader delivers of a stream of `frames`."""
    count, first, last = 0, None, None
    options = {"reconnect": False, "stall_timeout": 30.0}
    with StreamReader(f"{url}?fps=100000&frames={frames}", options) as reader:
        while True:
            try:
                frame = reader.read(60.0)
            except StreamFailedError:  # the stream ended
                break
            if frame is None:
                break
            last = time.perf_counter()
            first = first or last
            count += 1
            del frame
    if count < 2:
        raise RuntimeError("the reader delivered fewer than two frames")
    return (count - 1) / (last - first), count


def fps(url, rounds=5, seconds=3.0):
    probe = e2e.factories(url)["cpp"].build()
    try:
        e2e.first_sample(probe, time.monotonic() + e2e.FRAME_TIMEOUT)
        chain = e2e.decode_chain(probe)
    finally:
        probe.close()
    frames = max(300, int(e2e.gst_launch_fps(url, chain, 300) * seconds))
    # The pipeline's own appsink pulled through PyGObject, as e2e.py measures
    # it: what the same pipeline delivers without the reader.
    rates = {"gst_launch": [], "reader": [], "appsink": []}
    shares = []
    for r in range(rounds):
        for name in (list(rates) if r % 2 == 0 else list(rates)[::-1]):
            if name == "gst_launch":
                rates[name].append(e2e.gst_launch_fps(url, chain, frames))
            elif name == "appsink":
                rates[name].append(e2e.appsink_fps(url, frames)[0])
            else:
                rate, count = reader_fps(url, frames)
                rates[name].append(rate)
                shares.append(count / frames)
    # Load from elsewhere only ever slows a run down: the best of the
    # interleaved runs of each kind is what this machine can do.
    best = {name: max(values) for name, values in rates.items()}
    return {"chain": chain, "frames": frames, "best": best,
            "ratio": best["reader"] / best["gst_launch"],
            "ratio_appsink": best["appsink"] / best["gst_launch"],
            "delivered_share": statistics.median(shares), "rounds": rates}


# -- the interpreter lock while readers wait ---------------------------------

def run_delay(tid):
    """Seconds that thread `tid` has spent runnable but waiting for a CPU."""
    with open(f"/proc/self/task/{tid}/schedstat") as stat:
        return int(stat.read().split()[1]) / 1e9


def count_for(seconds, cpu):
    """Loop steps per second of a pure-Python counter on a thread pinned to
    `cpu`: over the wall-clock time, and over the time it was not waiting for
    the CPU (which other processes of a shared machine take; waiting for the
    interpreter lock is sleeping, and stays counted)."""
    result = []

    def run():
        os.sched_setaffinity(0, {cpu})  # this thread only
        tid = threading.get_native_id()
        steps, delay = 0, run_delay(tid)
        started = time.perf_counter()
        end = started + seconds
        while True:
            for _ in range(1000):
                steps += 1
            now = time.perf_counter()
            if now >= end:
                break
        wall = now - started
        result.append((steps / wall, steps / (wall - (run_delay(tid) - delay))))

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return result[0]


def gil(url, readers=4, rounds=7, seconds=1.5):
    """The counter pinned to one CPU, everything else of this process to the
    other, so that what the counter loses is the interpreter lock; rounds
    alone and with the readers alternate."""
    cpus = sorted(os.sched_getaffinity(0))
    counter_cpu, other = cpus[-1], set(cpus[:-1]) or {cpus[-1]}
    os.sched_setaffinity(0, other)
    rates = {"solo": [], "busy": []}
    delivered = []
    for _ in range(rounds):
        rates["solo"].append(count_for(seconds, counter_cpu))
        stop = threading.Event()
        counts = [0] * readers
        opened = [StreamReader(url) for _ in range(readers)]

        def read(n):
            while not stop.is_set():
                if opened[n].read(0.5) is not None:
                    counts[n] += 1

        threads = [threading.Thread(target=read, args=(n,)) for n in range(readers)]
        for thread in threads:
            thread.start()
        time.sleep(1.0)  # every reader streaming
        before = list(counts)
        rates["busy"].append(count_for(seconds, counter_cpu))
        delivered.append(min(c - b for c, b in zip(counts, before)) / seconds)
        stop.set()
        for thread in threads:
            thread.join()
        for reader in opened:
            reader.close()
    ratios = [[busy[i] / solo[i] for solo, busy in zip(rates["solo"], rates["busy"])]
              for i in (0, 1)]
    return {"ratio": statistics.median(ratios[1]), "ratio_wall": statistics.median(ratios[0]),
            "solo": statistics.median(r[1] for r in rates["solo"]),
            "busy": statistics.median(r[1] for r in rates["busy"]),
            "ratios": ratios[1], "ratios_wall": ratios[0],
            "min_reader_fps": min(delivered), "readers": readers,
            "cpus": {"counter": counter_cpu, "rest": sorted(other)}}


# -- many readers at once -----------------------------------------------------

def many(url, count, warmup=2.0, seconds=5.0):
    readers = [StreamReader(url) for _ in range(count)]
    counts = [0] * count
    measuring = threading.Event()
    stop = threading.Event()

    def read(n):
        while not stop.is_set():
            frame = readers[n].read(0.5)
            if frame is not None and measuring.is_set():
                counts[n] += 1

    threads = [threading.Thread(target=read, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    time.sleep(warmup)
    measuring.set()
    started = time.monotonic()
    time.sleep(seconds)
    measuring.clear()
    took = time.monotonic() - started
    stop.set()
    for thread in threads:
        thread.join()
    dropped = [r.stats.dropped for r in readers]
    reconnects = [r.stats.reconnects for r in readers]
    for reader in readers:
        reader.close()
    rates = [c / took for c in counts]
    return {"count": count, "fps": rates, "min_fps": min(rates),
            "median_fps": statistics.median(rates), "dropped": dropped,
            "reconnects": reconnects}


def main(argv):
    kind = argv[1]
    if kind == "per-frame":
        result = per_frame()
    elif kind == "fps":
        result = fps(argv[2])
    elif kind == "gil":
        result = gil(argv[2])
    elif kind == "many":
        result = many(argv[2], int(argv[3]))
    else:
        raise SystemExit(f"unknown measurement {kind!r}")
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
