"""Runs every benchmark and prints one table.

    bash scripts/bench.sh            # builds the package into a venv, then this
    VENV/bin/python benchmarks/run.py [--quick] [--json FILE] [--no-e2e] [--no-micro]
                                      [--no-reader] [--no-many]

Per-call costs come from micro.py, run in a child process pinned to the
idlest CPU; the end-to-end rows from e2e.py against a local MJPEG server
(tools/stream_server.py) in a separate process; the stream reader's rows from
reader.py (its per-frame row pinned like the per-call rows); the rows of many
readers in one thread from many.py, against a stamped MJPEG server of its
own, each way in a child process of its own. Each row
compares two things measured side by side in this run; see
benchmarks/RESULTS.md for what limits each row.
"""
import argparse
import datetime
import json
import os
import platform
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SERVER = os.path.join(ROOT, "tools", "stream_server.py")
# Frame size of the test stream: large enough that decoding, not the HTTP
# server, limits the frame rate.
WIDTH, HEIGHT = 640, 480


def idlest_cpu(interval=0.3):
    """The CPU of this process's affinity set that was idlest just now."""
    cpus = sorted(os.sched_getaffinity(0))

    def idle():
        with open("/proc/stat") as stat:
            rows = [line.split() for line in stat if line.startswith("cpu") and line[3] != " "]
        return {int(row[0][3:]): int(row[4]) + int(row[5]) for row in rows}

    first = idle()
    time.sleep(interval)
    second = idle()
    return max(cpus, key=lambda cpu: second.get(cpu, 0) - first.get(cpu, 0))


def run_child(args, timeout, cpu=None):
    """Runs a benchmark script with this interpreter; returns its JSON lines."""
    command = [sys.executable, *args]
    if cpu is not None:
        command = ["taskset", "-c", str(cpu), *command]
    done = subprocess.run(command, cwd=HERE, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed:\n{done.stderr[-3000:]}")
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


class Server:
    """tools/stream_server.py in its own process, so that it does not share
    this process's (or the measured process's) interpreter lock."""

    def __init__(self):
        self.errors = tempfile.TemporaryFile("w+")
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--port", "0", "--fps", "25",
             "--width", str(WIDTH), "--height", str(HEIGHT)],
            stdout=subprocess.PIPE, stderr=self.errors, text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in self.process.stdout],
                         daemon=True).start()
        try:
            line = lines.get(timeout=60)
        except queue.Empty:
            line = ""
        if not line.startswith("serving "):
            self.close()
            self.errors.seek(0)
            raise RuntimeError(f"the stream server did not start: {self.errors.read()[-2000:]}")
        self.url = line.split()[1]

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.errors.close()


# -- the table --------------------------------------------------------------

def fmt_ns(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def verdict(value, target, at_most=True):
    met = value <= target if at_most else value >= target
    return "yes" if met else "NO"


# Reference statements measured with the rows (micro.floors), by short name.
FLOOR_NAMES = {
    "clock": "T", "c_truth_test": "B", "truth_test_dispatch": "Bpy", "plain_instance": "N",
    "init_dispatch": "Npy", "python_call_from_c": "X", "base_init": "F",
    "http_build_calls": "Hc", "custom_build_calls": "Cc",
}
FLOOR_LABELS = {
    "clock": "time() from Python",
    "c_truth_test": "bool(x) reaching a truth test written in C",
    "truth_test_dispatch": "bool(x) reaching a Python __bool__",
    "plain_instance": "C() without __init__: making and freeing an instance",
    "init_dispatch": "C(1e9), Python __init__ that does nothing",
    "python_call_from_c": "extra for a Python function called from C",
    "base_init": "PipelineFactory(url=..., max_framerate=..., on_complete=...)",
    "http_build_calls": "the fake pipeline's methods that HTTP build() calls, from Python",
    "custom_build_calls": "the fake pipeline's methods that custom build() calls, from Python",
}


def reader_rows(reader):
    """The stream reader's rows: reader against the plain way or GStreamer."""
    rows = [("Stream reader (benchmarks/reader.py)", "reader", "other", "ratio", "target", "met")]
    per_frame = reader.get("per_frame")
    if per_frame:
        rows.append(("per frame, us: read() + numpy.asarray(frame) | try-pull-sample + "
                     "extract_dup + numpy.frombuffer", "", "", "", "", ""))
        for size, result in per_frame.items():
            target = ("<= 0.1x", verdict(result["ratio"], 0.1)) if size == "1920x1080" else ("", "")
            rows.append((f"  {size}", f"{result['us']['reader']:.1f}",
                         f"{result['us']['plain']:,.0f}", f"{result['ratio']:.4f}x", *target))
        sizes = list(per_frame)
        growth = per_frame[sizes[-1]]["us"]["reader"] / per_frame[sizes[0]]["us"]["reader"]
        rows.append((f"  reader's cost at {sizes[-1]} over {sizes[0]}", f"{growth:.2f}x", "",
                     "", "<= 1.5x", verdict(growth, 1.5)))
    fps = reader.get("fps")
    if fps:
        rows.append((f"frames/s through a reader vs gst-launch-1.0, {WIDTH}x{HEIGHT} MJPEG",
                     f"{fps['best']['reader']:.0f}", f"{fps['best']['gst_launch']:.0f} (gst)",
                     f"{fps['ratio']:.3f}", ">= 0.95", verdict(fps["ratio"], 0.95, False)))
    gil = reader.get("gil")
    if gil:
        rows.append((f"Python counting thread with {gil['readers']} readers waiting, "
                     "share of its solo rate", f"{gil['busy']:,.0f}/s", f"{gil['solo']:,.0f}/s",
                     f"{gil['ratio']:.3f}", ">= 0.90", verdict(gil["ratio"], 0.9, False)))
    many = reader.get("many")
    if many:
        rows.append((f"{many['count']} readers on {WIDTH}x{HEIGHT} 25 fps MJPEG, frames/s each "
                     "(min; median)", f"{many['min_fps']:.1f}; {many['median_fps']:.1f}", "", "",
                     ">= 24", verdict(many["min_fps"], 24, False)))
    return rows


MANY_WAYS = {
    "threads": "a thread per reader, read()",
    "set": "one thread, ReaderSet",
    "asyncio": "asyncio, a task per reader, async for",
    "asyncio-set": "asyncio, one ReaderSet, async for",
}


def many_rows(many):
    """The rows of many readers at once (many.py), ratios against a thread
    per reader."""
    summary = many["summary"]
    ways, floor = summary["ways"], summary["floor_ms_per_frame"]
    base = ways["threads"]
    rows = [(f"{many['count']} readers of 320x240 10 fps MJPEG (benchmarks/many.py; medians "
             f"of {len(many['rounds']['threads'])} rounds)", "value", "threads", "ratio", "target",
             "met")]
    for way, label in MANY_WAYS.items():
        row = ways[way]
        rows.append((f"{label}", "", "", "", "", ""))
        share = row["fps"] / row["offered_fps"]
        rows.append(("  frames/s delivered, share of offered", f"{row['fps']:.1f}",
                     f"{row['offered_fps']:.0f} offered", f"{share:.3f}", ">= 0.99",
                     verdict(share, 0.99, False)))
        target = ("<= 0.8x", verdict(row["cpu_ratio"], 0.8)) if way != "threads" else ("", "")
        rows.append(("  CPU per delivered frame, ms", f"{row['cpu_ms_per_frame']:.3f}",
                     f"{base['cpu_ms_per_frame']:.3f}", f"{row['cpu_ratio']:.2f}x", *target))
        rows.append((f"    above the pipelines' own ({floor:.3f} ms, nobody reading)",
                     f"{row['above_floor_ms']:.3f}", f"{base['above_floor_ms']:.3f}",
                     f"{row['above_floor_ratio']:.2f}x", "", ""))
        rows.append(("  frame age at delivery p50; p99, ms",
                     f"{row['age_p50_ms']:.1f}; {row['age_p99_ms']:.1f}",
                     f"{base['age_p50_ms']:.1f}; {base['age_p99_ms']:.1f}", "", "", ""))
        rows.append(("  threads while reading: Python; native",
                     f"{row['python_threads']:.0f}; {row['native_threads']:.0f}",
                     f"{base['python_threads']:.0f}; {base['native_threads']:.0f}", "", "", ""))
        rows.append(("  counting thread meanwhile, share of its rate alone", "", "",
                     f"{row['counter_share']:.3f}", ">= 0.90",
                     verdict(row["counter_share"], 0.9, False)))
        rows.append(("    share of its rate with the pipelines unread", "", "",
                     f"{row['counter_share_unread']:.3f}", "", ""))
    rows.append((f"the pipelines alone, nobody reading: counting thread's share of its rate "
                 "alone", "", "", f"{summary['floor_counter_share']:.3f}", "", ""))
    return rows


def table(micro, e2e, reader=None, many=None):
    rows = [("", "C++", "Python", "ratio", "target", "met"),
            ("Per call, ns (net of loop; median of interleaved rounds)", "", "", "", "", "")]
    floors = next((result["ns"] for result in micro if result["key"] == "floors"), {})
    for result in micro:
        if result["key"] == "floors":
            continue
        ns = result["ns"]
        if result["against"] == "time()":
            rows.append((result["label"], fmt_ns(ns["cpp"]), fmt_ns(ns["py"]),
                         f"{result['ratio']:.2f}x time()", f"<= {result['target']}x time()",
                         verdict(result["ratio"], result["target"])))
            rows.append(("  (time() alone; C++ against the Python model)", "", fmt_ns(ns["ref"]),
                         f"{result['ratio_py']:.2f}x", "", ""))
        else:
            rows.append((result["label"], fmt_ns(ns["cpp"]), fmt_ns(ns["py"]),
                         f"{result['ratio']:.2f}x", f"<= {result['target']}x",
                         verdict(result["ratio"], result["target"])))
        below = [floors[key] for key in result.get("floors", []) if key in floors]
        missed = result["ratio"] > result["target"]
        if missed and below and len(below) == len(result["floors"]):
            # A row that misses its target: what each side spends above the
            # floors it stands on (costs that any implementation pays).
            floor = sum(below)
            rows.append((f"  above the floor ({' + '.join(FLOOR_NAMES[k] for k in result['floors'])}"
                         f" = {fmt_ns(floor)})", fmt_ns(ns["cpp"] - floor), fmt_ns(ns["py"] - floor),
                         "", "", ""))
    if floors:
        rows.append(("Floors in the same run, ns", "", "", "", "", ""))
        for key, label in FLOOR_LABELS.items():
            if key in floors:
                rows.append((f"  {FLOOR_NAMES[key]}: {label}", "", fmt_ns(floors[key]), "", "", ""))
    if e2e:
        rows.append(("End to end, real GStreamer", "", "", "", "", ""))
        latency = e2e.get("latency")
        if latency:
            for what, label in (("build", "build() latency, ms (median; best)"),
                                ("first_frame", "time to first frame, ms (median; best)")):
                cpp, py = latency["cpp"][what], latency["py"][what]
                best = latency[f"{what}_best"]
                rows.append((label, f"{cpp:.2f}; {best['cpp']:.2f}", f"{py:.2f}; {best['py']:.2f}",
                             f"{latency[f'{what}_ratio']:.2f}x", "", ""))
        own = e2e.get("own_share")
        if own is not None:
            rows.append(("factory's own share of build() (fake build / real build)",
                         f"{own * 100:.3f}%", "", "", "< 5%", verdict(own, 0.05)))
        fps = e2e.get("fps")
        if fps:
            best, ratio = fps["best"], fps["ratio"]
            rows.append((f"frames/s via appsink vs gst-launch-1.0 ceiling, {WIDTH}x{HEIGHT} MJPEG",
                         f"{best['appsink']:.0f}", f"{best['gst_launch']:.0f} (gst)",
                         f"{ratio['appsink']:.3f}", ">= 0.95",
                         verdict(ratio["appsink"], 0.95, False)))
            labels = {"appsink_limited": "  same, with _FRAMERATE_LIMIT set (Python probe)",
                      "appsink_no_watchdog": "  same, stall watchdog off"}
            for name, label in labels.items():
                if name in best:
                    rows.append((label, f"{best[name]:.0f}", "", f"{ratio[name]:.3f}", "", ""))
        per_frame = e2e.get("per_frame")
        if per_frame:
            for label, key in (("Python calls per frame on GStreamer threads", "default"),
                               ("  same, with _FRAMERATE_LIMIT set", "with _FRAMERATE_LIMIT")):
                result = per_frame[key]
                target = ("0", verdict(result["per_frame"], 0.01)) if key == "default" else ("", "")
                rows.append((label, f"{result['per_frame']:.2f}", "", "", *target))
                for name, calls in result["per_frame_by_callback"].items():
                    rows.append((f"    {name}", f"{calls:.2f}", "", "", "", ""))
            rows.append(("  Pipeline.pull_sample() over appsink.try_pull_sample(), ns",
                         fmt_ns(per_frame["pull_sample_overhead_ns"]), "", "", "", ""))
        for result in e2e.get("memory", []):
            rows.append((f"resident memory per pipeline, {result['count']} pipelines, MiB",
                         f"{result['per_pipeline_kib'] / 1024:.2f}", "", "", "", ""))
    if reader:
        rows.extend(reader_rows(reader))
    if many:
        rows.extend(many_rows(many))
    widths = [max(len(row[i]) for row in rows) for i in range(6)]
    lines = []
    for row in rows:
        if row[1:] == ("", "", "", "", "") and row[0] and not row[0].startswith(" "):
            lines.append(row[0])
            continue
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, 6)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def header():
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    import mivelo
    try:
        gst = f"GStreamer {Gst.version_string().split()[-1]}"
    except Exception:  # noqa: B902 (the stand-in gi has no GStreamer to ask)
        gst = f"gi from {os.path.dirname(gi.__file__)}"
    cpu = "?"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return (f"mivelo benchmarks, {datetime.datetime.now():%Y-%m-%d %H:%M}\n"
            f"machine: {cpu}, {os.cpu_count()} CPUs, load average "
            f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}\n"
            f"interpreter: {platform.python_implementation()} {platform.python_version()} "
            f"({sys.executable}); {gst}\n"
            f"package: {os.path.dirname(mivelo.__file__)}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a rough look)")
    parser.add_argument("--no-micro", action="store_true")
    parser.add_argument("--no-e2e", action="store_true")
    parser.add_argument("--no-reader", action="store_true")
    parser.add_argument("--no-many", action="store_true")
    parser.add_argument("--cpu", type=int, help="CPU to pin the per-call rows to")
    parser.add_argument("--json", help="also write the raw results to this file")
    args = parser.parse_args(argv)
    started = time.monotonic()
    print(header(), flush=True)

    micro = []
    if not args.no_micro:
        cpu = args.cpu if args.cpu is not None else idlest_cpu()
        print(f"per-call rows: pinned to CPU {cpu} ...", flush=True)
        micro = run_child(["micro.py"] + (["--rounds", "5", "--repeat", "3"] if args.quick else []),
                          timeout=600, cpu=cpu)

    e2e = {}
    if not args.no_e2e:
        print("end-to-end rows: starting the stream server ...", flush=True)
        server = Server()
        try:
            print(f"  {server.url}: build() latency and first frame ...", flush=True)
            e2e["latency"] = run_child(["e2e.py", "latency", server.url], timeout=300)[0]
            print("  frames per second against gst-launch-1.0 ...", flush=True)
            e2e["fps"] = run_child(["e2e.py", "fps", server.url], timeout=600)[0]
            print("  Python calls per frame ...", flush=True)
            e2e["per_frame"] = run_child(["e2e.py", "per-frame", server.url], timeout=300)[0]
            e2e["memory"] = []
            for count in (1, 8, 16):
                print(f"  memory with {count} pipelines ...", flush=True)
                e2e["memory"].append(run_child(["e2e.py", "memory", server.url, str(count)],
                                               timeout=300)[0])
        finally:
            server.close()
        own = next((r for r in micro if r["key"] == "http_build"), None)
        if own is not None:
            # The C++ build() against the cheapest fake Pipeline: everything
            # the factory itself does, plus the fakes' own (Python) cost.
            e2e["own_share"] = own["ns"]["cpp"] * 1e-9 / (e2e["latency"]["cpp"]["build"] * 1e-3)

    reader = {}
    if not args.no_reader:
        cpu = args.cpu if args.cpu is not None else idlest_cpu()
        print(f"stream reader rows: per frame, pinned to CPU {cpu} ...", flush=True)
        reader["per_frame"] = run_child(["reader.py", "per-frame"], timeout=900, cpu=cpu)[0]
        server = Server()
        try:
            print(f"  {server.url}: frames per second against gst-launch-1.0 ...", flush=True)
            reader["fps"] = run_child(["reader.py", "fps", server.url], timeout=900)[0]
            print("  a counting thread while 4 readers wait ...", flush=True)
            reader["gil"] = run_child(["reader.py", "gil", server.url], timeout=600)[0]
            print("  16 readers at once ...", flush=True)
            reader["many"] = run_child(["reader.py", "many", server.url, "16"], timeout=600)[0]
        finally:
            server.close()

    many = None
    if not args.no_many:
        print("many readers in one thread: 64 readers, each way and the floor, 5 rounds ...",
              flush=True)
        many = run_child(["many.py", "all", "64", "6", "2" if args.quick else "5"],
                         timeout=3600)[0]

    print()
    print(table(micro, e2e, reader, many))
    print(f"\n(finished in {time.monotonic() - started:.0f} s)")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"micro": micro, "e2e": e2e, "reader": reader, "many": many}, out,
                      indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
